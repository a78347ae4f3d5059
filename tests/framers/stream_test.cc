// The socket driver, the hand-off of setups to framers with its gate, and
// the opener that uses both.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "helper/framers/connection_state.h"
#include "helper/framers/proxy_http_client.h"
#include "helper/framers/socks5_framer.h"
#include "tests/framers/split_harness.h"

namespace helper {
namespace {

using namespace helper::test;
using namespace std::chrono_literals;
using stream::SocketStream;
using stream::StreamError;
using stream::StreamStage;
using Clock = std::chrono::steady_clock;
using Coordinator = ProxyConnectCoordinator;
using State = Coordinator::HandOffState;

std::pair<int, int> socketPair() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  return {fds[0], fds[1]};
}

// Socket calls that come back short or interrupted, or fail on sending.
struct TestOps : stream::SocketOps {
  bool choppy = false;
  std::atomic<bool> brokenSend{false};
  std::atomic<int> calls{0};
  ssize_t send(int fd, const void* data, size_t length) override {
    if (brokenSend || (choppy && ++calls % 3 == 0)) return errno = brokenSend ? EPIPE : EINTR, -1;
    return SocketOps::send(fd, data, choppy ? std::min<size_t>(length, 1000) : length);
  }
  ssize_t recv(int fd, void* buffer, size_t length) override {
    if (choppy && ++calls % 2 == 0) return errno = EINTR, -1;
    return SocketOps::recv(fd, buffer, choppy ? std::min<size_t>(length, 777) : length);
  }
};

// A SOCKS5 stream without credentials for target t:1 on one end of a
// socket pair; `peer` is the proxy's end.
struct Socks5Pair {
  TestOps ops;
  std::unique_ptr<SocketStream> stream;
  int peer;
  Socks5Pair() {
    const auto [ours, theirs] = socketPair();
    Coordinator::publish(makeSetup({}, {}));
    stream = std::make_unique<SocketStream>(ours, &SOCKS5Framer::definition(), ops);
    Coordinator::withdraw();
    peer = theirs;
  }
};

// With short and interrupted socket calls, and reads both smaller and larger
// than what arrives: nothing is lost, and the bytes that came with the
// proxy's reply come first.
TEST(SocketStreamTest, HandshakeThenBothDirectionsAtOnce) {
  Socks5Pair pair;
  pair.ops.choppy = true;
  std::thread peer(scriptedPeer, pair.peer,
                   std::vector<Step>{{bytes({5, 1, 0}), bytes({5, 0})},
                                     {bytes({5, 1, 0, 3, 1, 't', 0, 1}),
                                      bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80, 'h', 'i'})}},
                   nullptr);
  auto& s = *pair.stream;
  ASSERT_TRUE(s.handshake(Clock::now() + 5s)) << stream::describe(s.error());
  uint8_t buf[16];
  ASSERT_EQ(s.read(buf), 2);
  EXPECT_EQ(Bytes(buf, buf + 2), bytes("hi"));
  const Bytes data = randomBytes(2 << 20);
  EXPECT_TRUE(echoThrough(s, data, 50000, 100) == data);
  EXPECT_TRUE(echoThrough(s, data, 4096, 70000) == data);
  s.shutdownWrite();
  EXPECT_EQ(s.read(buf), 0);
  // A send that fails fails the stream.
  pair.ops.brokenSend = true;
  EXPECT_FALSE(s.write(bytes("lost")));
  EXPECT_EQ(s.error(), (StreamError{StreamStage::io, EPIPE}));
  EXPECT_FALSE(s.write(bytes("again")));
  s.close();
  peer.join();
}

TEST(SocketStreamTest, NoApplicationBytesBeforeTheHandshakeEndsOrAfterItFails) {
  Socks5Pair pair;
  auto& s = *pair.stream;
  uint8_t buf[4];
  EXPECT_EQ(s.read(buf), -1);
  EXPECT_EQ(errno, ENOTCONN);
  EXPECT_FALSE(s.write(bytes("too early")));
  EXPECT_EQ(errno, ENOTCONN);
  writeAll(pair.peer, bytes({5, 0xFF}));
  EXPECT_FALSE(s.handshake(Clock::now() + 5s));
  EXPECT_EQ(s.error(), (StreamError{StreamStage::handshake, EPROTONOSUPPORT}));
  EXPECT_EQ(s.state(), SocketStream::State::failed);
  EXPECT_EQ(s.read(buf), -1);
  EXPECT_FALSE(s.write(bytes("x")));
  ::close(pair.peer);
}

TEST(SocketStreamTest, PeerClosingMidHandshake) {
  Socks5Pair pair;
  std::thread peer([&] {
    readExactly(pair.peer, 3);
    writeAll(pair.peer, bytes({5}));  // half a method reply, then gone
    ::close(pair.peer);
  });
  EXPECT_FALSE(pair.stream->handshake(Clock::now() + 5s));
  EXPECT_EQ(pair.stream->error(), (StreamError{StreamStage::closed, ECONNRESET}));
  peer.join();
}

// A framer that never consumes: the stream stops buffering and fails
// instead of growing without bound.
struct HoardingFramer final : stream::FramerImplementation {
  stream::StartResult start(stream::FramerInstance&) override { return stream::StartResult::willMarkReady; }
  size_t handleInput(stream::FramerInstance&) override { return 0; }
  void handleOutput(stream::FramerInstance&, const stream::FramerMessage&, size_t, bool) override {}
  void wakeup(stream::FramerInstance&) override {}
  bool stop(stream::FramerInstance&) override { return true; }
  void cleanup(stream::FramerInstance&) override {}
};

TEST(SocketStreamTest, AHandshakeThatNeverConsumesOverflows) {
  static const stream::FramerDefinition hoarding{
      "Hoarding", [](stream::FramerInstance&) -> std::unique_ptr<stream::FramerImplementation> {
        return std::make_unique<HoardingFramer>();
      }};
  const auto [ours, theirs] = socketPair();
  SocketStream s(ours, &hoarding);
  std::thread peer([fd = theirs] { writeAll(fd, Bytes(1 << 20, 'j')); });
  EXPECT_FALSE(s.handshake(Clock::now() + 10s));
  EXPECT_EQ(s.error(), (StreamError{StreamStage::overflow, EMSGSIZE}));
  s.close();  // the peer's blocked send fails now
  peer.join();
  ::close(theirs);
}

class HandOffTest : public ::testing::Test {
 protected:
  void SetUp() override { Coordinator::withdraw(); }
  void TearDown() override { Coordinator::withdraw(); }
  static State state() { return Coordinator::handOffState(); }
  static bool isReady(std::future<void>& f) { return f.wait_for(0s) == std::future_status::ready; }
};

TEST_F(HandOffTest, ConsumeWithAnEmptySlotReturnsNothingButStillResumesTheContinuation) {
  EXPECT_FALSE(Coordinator::consume());
  EXPECT_EQ(state(), (State{false, false, false}));
  auto taken = Coordinator::awaitConsumption();
  EXPECT_FALSE(Coordinator::consume());
  EXPECT_TRUE(isReady(taken));
  EXPECT_EQ(state(), (State{false, false, false}));
}

TEST_F(HandOffTest, ConsumeResumesAWaitingPublisherWithoutMarkingEarly) {
  Coordinator::publish(makeSetup("u", "p", "t", 1));
  auto taken = Coordinator::awaitConsumption();
  EXPECT_FALSE(isReady(taken));
  EXPECT_EQ(state(), (State{true, true, false}));
  const auto setup = Coordinator::consume();
  EXPECT_TRUE(setup && setup->proxy.username == "u" && setup->target == (ProxyTarget{"t", 1}));
  EXPECT_TRUE(isReady(taken));
  EXPECT_EQ(state(), (State{false, false, false}));
}

TEST_F(HandOffTest, ConsumeBeforeThePublisherWaitsMarksEarlyUntilThePublisherLooks) {
  Coordinator::publish(makeSetup({}, {}));
  ASSERT_TRUE(Coordinator::consume());
  EXPECT_EQ(state(), (State{false, false, true}));
  EXPECT_FALSE(Coordinator::consume()) << "the slot empties on the first consume";
  EXPECT_TRUE(state().consumedEarly) << "consume never clears the mark";
  auto taken = Coordinator::awaitConsumption();
  EXPECT_TRUE(isReady(taken)) << "a publisher must not wait for a setup already taken";
  EXPECT_EQ(state(), (State{false, false, false}));
  // A new publication starts without the mark of the one before.
  Coordinator::publish(makeSetup({}, {}, "a"));
  Coordinator::consume();
  Coordinator::publish(makeSetup({}, {}, "b"));
  auto next = Coordinator::awaitConsumption();
  EXPECT_FALSE(isReady(next));
  EXPECT_EQ(Coordinator::consume()->target.host, "b");
}

// First come first served; a waiter that gives up leaves the queue, and the
// gate is never handed to it.
TEST(GateTest, AdmitsInArrivalOrderAndSkipsWaitersThatGaveUp) {
  Coordinator gate;
  auto holder = gate.enter(Clock::now() + 1s).value();
  std::vector<int> order;
  std::mutex orderMutex;
  std::vector<std::jthread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      const auto pass = gate.enter(Clock::now() + 10s);
      std::lock_guard lock(orderMutex);
      order.push_back(pass ? i : -1);
    });
    for (auto until = Clock::now() + 5s; gate.waiting() <= size_t(i) && Clock::now() < until;) {
      std::this_thread::sleep_for(1ms);
    }
  }
  const auto began = Clock::now();
  EXPECT_FALSE(gate.enter(began + 50ms));
  EXPECT_TRUE(Clock::now() - began >= 50ms && gate.waiting() == 3);
  holder.release();
  threads.clear();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_FALSE(gate.inFlight()) << "the gate went to a caller who had given up";
  EXPECT_TRUE(gate.enter(Clock::now()));
}

TEST(GateTest, NeverTwoHoldersUnderContention) {
  Coordinator gate;
  std::atomic<int> inside{0}, admitted{0};
  std::atomic<bool> overlap{false};
  std::vector<std::jthread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        // Some callers give up quickly, to mix time-outs with hand-overs.
        if (const auto pass = gate.enter(Clock::now() + ((t % 2) ? 1ms : 10s))) {
          if (++inside > 1) overlap = true;
          std::this_thread::sleep_for(20us);  // long enough for a second holder to show
          --inside;
          ++admitted;
        }
      }
    });
  }
  threads.clear();
  EXPECT_FALSE(overlap);
  EXPECT_GE(admitted.load(), 800);
  EXPECT_TRUE(!gate.inFlight() && gate.waiting() == 0);
}

// One outcome is handed over, whether it comes before the waiter or after;
// a refused later outcome closes its stream.
TEST(ConnectionStateBoxTest, DeliversTheFirstOutcomeOnceAndClosesLaterStreams) {
  const auto timedOut = [] { return ConnectOutcome{nullptr, {StreamStage::timeout, ETIMEDOUT}, {}, {}}; };
  const auto [early, earlyPeer] = socketPair();
  ConnectionStateBox keeps;
  EXPECT_TRUE(keeps.resolve(ConnectOutcome{std::make_unique<SocketStream>(early, nullptr), {}, {}, {}}));
  EXPECT_FALSE(keeps.resolve(timedOut())) << "a second outcome replaced the pending one";
  EXPECT_EQ(keeps.outcome().get().stream->nativeHandle(), early);
  ConnectionStateBox box;
  auto waiting = box.outcome();
  EXPECT_TRUE(box.resolve(timedOut()));
  const auto [late, latePeer] = socketPair();
  EXPECT_FALSE(box.resolve(ConnectOutcome{std::make_unique<SocketStream>(late, nullptr), {}, {}, {}}));
  char c;
  EXPECT_EQ(::read(latePeer, &c, 1), 0) << "a refused outcome must not leak its connection";
  EXPECT_EQ(waiting.get().error.stage, StreamStage::timeout);
  ::close(earlyPeer);
  ::close(latePeer);
}

TEST(AtomicFlagTest, ExactlyOneSetterWins) {
  AtomicFlag flag;
  std::atomic<int> winners{0};
  std::vector<std::jthread> threads(8);
  for (auto& t : threads) t = std::jthread([&] { winners += flag.set(); });
  threads.clear();
  EXPECT_TRUE(winners == 1 && flag.isSet());
}

// Many openers at once: every stream gets its own setup, never another's.
TEST(ProxyHTTPClientTest, ConcurrentOpenersNeverSwapSetups) {
  std::atomic<int> mismatches{0}, opened{0};
  std::mutex proxiesMutex;
  std::vector<std::jthread> proxies, openers;
  for (int i = 0; i < 16; ++i) {
    openers.emplace_back([&, i] {
      const std::string user = "user" + std::to_string(i), host = "target" + std::to_string(i) + ".test";
      const std::vector<Step> script{
          {bytes({5, 2, 0, 2}), bytes({5, 2})},
          {concat({bytes({1, static_cast<int>(user.size())}), bytes(user), bytes({2, 'p', 'w'})}), bytes({1, 0})},
          {concat({bytes({5, 1, 0, 3, static_cast<int>(host.size())}), bytes(host), bytes({1, 0xBB})}),
           bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 1})}};
      const ProxyHTTPClient client(ProxyConfig{"proxy.test", 1080, user, "pw", ProxyKind::socks5},
                                   [&, script](const std::string&, uint16_t, Clock::time_point) {
                                     const auto [ours, theirs] = socketPair();
                                     std::lock_guard lock(proxiesMutex);
                                     proxies.emplace_back(scriptedPeer, theirs, script, &mismatches);
                                     return stream::ConnectResult{ours, {}};
                                   });
      const auto outcome = client.openStream(ProxyTarget{host, 443}, 10s);
      EXPECT_TRUE(outcome.stream) << stream::describe(outcome.error);
      opened += outcome.stream != nullptr;
    });
  }
  openers.clear();
  std::lock_guard lock(proxiesMutex);
  proxies.clear();
  EXPECT_TRUE(opened == 16 && mismatches == 0);
  EXPECT_TRUE(!Coordinator::shared().inFlight() && !Coordinator::handOffState().hasSetup);
}

// A name resolution that hangs does not hold the caller past its time-out,
// and the connection that comes too late is closed.
TEST(ProxyHTTPClientTest, TimeOutCoversAHangingConnectAndDropsTheLateStream) {
  const auto [ours, theirs] = socketPair();
  std::promise<void> release;
  const ProxyHTTPClient client(ProxyConfig{"slow.test", 1080, {}, {}, ProxyKind::socks5},
                               [fd = ours, released = release.get_future().share()](
                                   const std::string&, uint16_t, Clock::time_point) {
                                 released.wait();
                                 return stream::ConnectResult{fd, {}};
                               });
  const auto began = Clock::now();
  const auto outcome = client.openStream(ProxyTarget{"t", 1}, 100ms);
  const auto took = Clock::now() - began;
  EXPECT_EQ(outcome.error, (StreamError{StreamStage::timeout, ETIMEDOUT}));
  EXPECT_TRUE(!outcome.stream && took >= 100ms && took < 1s);
  release.set_value();
  char c;
  EXPECT_EQ(::read(theirs, &c, 1), 0) << "the late connection was not closed";
  ::close(theirs);
  EXPECT_FALSE(Coordinator::handOffState().hasSetup) << "the abandoned attempt published a setup";
}

}  // namespace
}  // namespace helper
