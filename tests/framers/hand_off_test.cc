#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "helper/framers/connection_state.h"
#include "helper/framers/proxy_connect.h"
#include "helper/framers/proxy_http_client.h"
#include "helper/framers/socks5_framer.h"
#include "tests/framers/split_harness.h"

namespace helper {
namespace {

using namespace helper::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using State = ProxyConnectCoordinator::HandOffState;

class HandOffTest : public ::testing::Test {
 protected:
  void SetUp() override { ProxyConnectCoordinator::withdraw(); }
  void TearDown() override { ProxyConnectCoordinator::withdraw(); }
  static State state() { return ProxyConnectCoordinator::handOffState(); }
  static bool isReady(std::future<void>& f) { return f.wait_for(0s) == std::future_status::ready; }
};

TEST_F(HandOffTest, ConsumeWithNothingPublishedChangesNothing) {
  EXPECT_FALSE(ProxyConnectCoordinator::consume());
  EXPECT_EQ(state(), (State{false, false, false}));
}

TEST_F(HandOffTest, ConsumeResumesAWaitingPublisherWithoutMarkingEarly) {
  ProxyConnectCoordinator::publish(makeSetup("u", "p", "t", 1));
  auto taken = ProxyConnectCoordinator::awaitConsumption();
  EXPECT_FALSE(isReady(taken));
  EXPECT_EQ(state(), (State{true, true, false}));
  const auto setup = ProxyConnectCoordinator::consume();
  ASSERT_TRUE(setup);
  EXPECT_EQ(setup->proxy.username, "u");
  EXPECT_EQ(setup->target, (ProxyTarget{"t", 1}));
  EXPECT_TRUE(isReady(taken));
  EXPECT_EQ(state(), (State{false, false, false}));
}

TEST_F(HandOffTest, ConsumeBeforeThePublisherWaitsMarksEarlyUntilThePublisherLooks) {
  ProxyConnectCoordinator::publish(makeSetup({}, {}, "t", 1));
  ASSERT_TRUE(ProxyConnectCoordinator::consume());
  EXPECT_EQ(state(), (State{false, false, true}));
  EXPECT_FALSE(ProxyConnectCoordinator::consume()) << "the slot empties on the first consume";
  EXPECT_TRUE(state().consumedEarly) << "consume never clears the mark";
  auto taken = ProxyConnectCoordinator::awaitConsumption();
  EXPECT_TRUE(isReady(taken)) << "a publisher must not wait for a setup already taken";
  EXPECT_EQ(state(), (State{false, false, false}));
}

TEST_F(HandOffTest, ConsumeWithAnEmptySlotStillResumesTheContinuation) {
  auto taken = ProxyConnectCoordinator::awaitConsumption();
  EXPECT_FALSE(ProxyConnectCoordinator::consume());
  EXPECT_TRUE(isReady(taken));
  EXPECT_EQ(state(), (State{false, false, false}));
}

TEST_F(HandOffTest, TwoFramersAfterOnePublicationOnlyTheFirstGetsTheSetup) {
  ProxyConnectCoordinator::publish(makeSetup({}, {}, "t", 1));
  stream::MemoryFramerDriver first(SOCKS5Framer::definition());
  stream::MemoryFramerDriver second(SOCKS5Framer::definition());
  EXPECT_EQ(first.start(), stream::StartResult::willMarkReady);
  EXPECT_EQ(first.written(), bytes({5, 1, 0}));
  second.start();
  EXPECT_EQ(second.failure(), EINVAL);
}

TEST_F(HandOffTest, PublishingClearsAnOldEarlyMark) {
  ProxyConnectCoordinator::publish(makeSetup({}, {}, "a", 1));
  ProxyConnectCoordinator::consume();
  ProxyConnectCoordinator::publish(makeSetup({}, {}, "b", 2));
  auto taken = ProxyConnectCoordinator::awaitConsumption();
  EXPECT_FALSE(isReady(taken)) << "the mark of the previous publication leaked into this one";
  EXPECT_EQ(ProxyConnectCoordinator::consume()->target.host, "b");
  EXPECT_TRUE(isReady(taken));
}

TEST(GateTest, AdmitsOneAtATimeInArrivalOrder) {
  ProxyConnectCoordinator gate;
  auto first = gate.enter(Clock::now() + 1s);
  ASSERT_TRUE(first);
  EXPECT_TRUE(gate.inFlight());
  std::vector<int> order;
  std::mutex orderMutex;
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      auto pass = gate.enter(Clock::now() + 10s);
      ASSERT_TRUE(pass);
      std::lock_guard lock(orderMutex);
      order.push_back(i);
    });
    // Wait until this one is queued, so that the arrival order is known.
    while (gate.waiting() != static_cast<size_t>(i + 1)) std::this_thread::sleep_for(1ms);
  }
  first->release();
  for (auto& t : threads) t.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_FALSE(gate.inFlight());
}

TEST(GateTest, AWaiterThatTimesOutLeavesTheQueueAndTheGateIsNotLost) {
  ProxyConnectCoordinator gate;
  auto holder = gate.enter(Clock::now() + 1s);
  ASSERT_TRUE(holder);
  const auto began = Clock::now();
  EXPECT_FALSE(gate.enter(Clock::now() + 50ms));
  EXPECT_GE(Clock::now() - began, 50ms);
  EXPECT_EQ(gate.waiting(), 0u);
  holder->release();
  EXPECT_FALSE(gate.inFlight()) << "the gate went to a caller who had given up";
  EXPECT_TRUE(gate.enter(Clock::now()));
}

TEST(GateTest, NeverTwoHoldersUnderContention) {
  ProxyConnectCoordinator gate;
  std::atomic<int> inside{0};
  std::atomic<int> maxInside{0};
  std::atomic<int> admitted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        // Some callers give up quickly, to mix time-outs with hand-overs.
        auto pass = gate.enter(Clock::now() + ((t % 2) ? 1ms : 10s));
        if (!pass) continue;
        const int now = ++inside;
        int seen = maxInside.load();
        while (now > seen && !maxInside.compare_exchange_weak(seen, now)) {
        }
        --inside;
        ++admitted;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(maxInside.load(), 1);
  EXPECT_GE(admitted.load(), 800);
  EXPECT_FALSE(gate.inFlight());
  EXPECT_EQ(gate.waiting(), 0u);
}

// A stream end whose peer end tells whether it was closed.
struct SocketPair {
  int ours = -1, theirs = -1;
  SocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) ours = fds[0], theirs = fds[1];
  }
  ~SocketPair() {
    if (theirs >= 0) close(theirs);
  }
  bool peerClosed() const {
    char c;
    return ::read(theirs, &c, 1) == 0;
  }
};

TEST(ConnectionStateBoxTest, OutcomeBeforeTheWaiterIsKeptForIt) {
  ConnectionStateBox box;
  SocketPair pair;
  ConnectOutcome outcome;
  outcome.stream = std::make_unique<stream::SocketStream>(pair.ours, nullptr);
  EXPECT_TRUE(box.resolve(std::move(outcome)));
  EXPECT_FALSE(box.resolve(ConnectOutcome{nullptr, {stream::StreamStage::timeout, ETIMEDOUT}, {}, {}}))
      << "a second outcome replaced the pending one";
  auto got = box.outcome().get();
  ASSERT_TRUE(got.stream);
  EXPECT_EQ(got.stream->nativeHandle(), pair.ours);
}

TEST(ConnectionStateBoxTest, FirstOutcomeWinsAndALaterStreamIsClosed) {
  ConnectionStateBox box;
  auto waiting = box.outcome();
  EXPECT_TRUE(box.resolve(ConnectOutcome{nullptr, {stream::StreamStage::timeout, ETIMEDOUT}, {}, {}}));
  SocketPair late;
  ConnectOutcome lateOutcome;
  lateOutcome.stream = std::make_unique<stream::SocketStream>(late.ours, nullptr);
  EXPECT_FALSE(box.resolve(std::move(lateOutcome)));
  EXPECT_TRUE(late.peerClosed()) << "a refused outcome must not leak its connection";
  EXPECT_EQ(waiting.get().error.stage, stream::StreamStage::timeout);
}

TEST(AtomicFlagTest, ExactlyOneSetterWins) {
  AtomicFlag flag;
  std::atomic<int> winners{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&] { winners += flag.set(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(winners.load(), 1);
  EXPECT_TRUE(flag.isSet());
}

// A SOCKS5 proxy on the far end of a socketpair that checks it is asked for
// exactly the target its opener wanted, then echoes.
void fakeSocks5Proxy(int fd, std::string expectedUser, std::string expectedHost, std::atomic<int>* mismatches) {
  auto readExactly = [fd](size_t n) {
    Bytes out(n);
    size_t got = 0;
    while (got < n) {
      const ssize_t r = ::read(fd, out.data() + got, n - got);
      if (r <= 0) return Bytes();
      got += static_cast<size_t>(r);
    }
    return out;
  };
  auto send = [fd](const Bytes& b) { return ::write(fd, b.data(), b.size()) == static_cast<ssize_t>(b.size()); };
  readExactly(4);  // 05 02 00 02
  send(bytes({5, 2}));
  Bytes head = readExactly(2);
  if (head.size() != 2) return close(fd), void();
  Bytes user = readExactly(head[1]);
  Bytes plen = readExactly(1);
  if (plen.empty()) return close(fd), void();
  readExactly(plen[0]);
  send(bytes({1, 0}));
  Bytes connect = readExactly(5);
  if (connect.size() != 5) return close(fd), void();
  Bytes host = readExactly(connect[4]);
  readExactly(2);
  if (std::string(user.begin(), user.end()) != expectedUser ||
      std::string(host.begin(), host.end()) != expectedHost) {
    ++*mismatches;
  }
  send(bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 1}));
  char buf[256];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) (void)!::write(fd, buf, static_cast<size_t>(n));
  close(fd);
}

// Many openers at once: every stream gets its own setup, never another's.
TEST(ProxyHTTPClientTest, ConcurrentOpenersNeverSwapSetups) {
  std::atomic<int> mismatches{0};
  std::vector<std::thread> proxies;
  std::mutex proxiesMutex;
  std::vector<std::thread> openers;
  std::atomic<int> opened{0};
  for (int i = 0; i < 16; ++i) {
    openers.emplace_back([&, i] {
      const std::string user = "user" + std::to_string(i);
      const std::string host = "target" + std::to_string(i) + ".test";
      ProxyConfig proxy{"proxy.test", 1080, user, "pw", ProxyKind::socks5};
      ProxyHTTPClient client(proxy, [&, user, host](const std::string&, uint16_t, Clock::time_point) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
          return stream::ConnectResult{-1, {stream::StreamStage::connect, errno}};
        }
        std::lock_guard lock(proxiesMutex);
        proxies.emplace_back(fakeSocks5Proxy, fds[1], user, host, &mismatches);
        return stream::ConnectResult{fds[0], {}};
      });
      auto outcome = client.openStream(ProxyTarget{host, 443}, 10s);
      ASSERT_TRUE(outcome.stream) << stream::describe(outcome.error);
      const Bytes ping = bytes("ping " + user);
      ASSERT_TRUE(outcome.stream->write(ping));
      uint8_t buf[64];
      size_t got = 0;
      while (got < ping.size()) {
        const ssize_t n = outcome.stream->read(std::span(buf + got, sizeof buf - got));
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
      }
      EXPECT_EQ(Bytes(buf, buf + got), ping);
      ++opened;
    });
  }
  for (auto& t : openers) t.join();
  {
    std::lock_guard lock(proxiesMutex);
    for (auto& t : proxies) t.join();
  }
  EXPECT_EQ(opened.load(), 16);
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_FALSE(ProxyConnectCoordinator::shared().inFlight());
  EXPECT_FALSE(ProxyConnectCoordinator::handOffState().hasSetup);
}

// A name resolution that hangs does not hold the caller past its time-out,
// and the connection that comes too late is closed.
TEST(ProxyHTTPClientTest, TimeOutCoversAHangingConnectAndDropsTheLateStream) {
  auto late = std::make_shared<SocketPair>();
  auto release = std::make_shared<std::promise<void>>();
  auto released = release->get_future().share();
  ProxyHTTPClient client(ProxyConfig{"slow.test", 1080, {}, {}, ProxyKind::socks5},
                         [late, released](const std::string&, uint16_t, Clock::time_point) {
                           released.wait();
                           return stream::ConnectResult{late->ours, {}};
                         });
  const auto began = Clock::now();
  auto outcome = client.openStream(ProxyTarget{"t", 1}, 100ms);
  const auto took = Clock::now() - began;
  EXPECT_FALSE(outcome.stream);
  EXPECT_EQ(outcome.error.stage, stream::StreamStage::timeout);
  EXPECT_EQ(outcome.error.code, ETIMEDOUT);
  EXPECT_GE(took, 100ms);
  EXPECT_LT(took, 1s);
  release->set_value();
  EXPECT_TRUE(late->peerClosed());
  // The abandoned attempt published nothing.
  EXPECT_FALSE(ProxyConnectCoordinator::handOffState().hasSetup);
}

TEST(ProxyHTTPClientTest, ConnectFailuresAreReportedAsSuch) {
  ProxyHTTPClient client(ProxyConfig{"p", 1, {}, {}, ProxyKind::http},
                         [](const std::string&, uint16_t, Clock::time_point) {
                           return stream::ConnectResult{-1, {stream::StreamStage::connect, ECONNREFUSED}};
                         });
  const auto outcome = client.openStream(ProxyTarget{"t", 1}, 1s);
  EXPECT_EQ(outcome.error, (stream::StreamError{stream::StreamStage::connect, ECONNREFUSED}));
}

}  // namespace
}  // namespace helper
