// The socket driver and connectTcp() on real sockets, the gate of the
// hand-off of setups to framers, and tunnels opened by many threads at once.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/tcp.h>

#include <atomic>

#include "helper/framers/socks5_framer.h"
#include "tests/framers/peers.h"
#include "tests/framers/split_harness.h"

namespace helper {
namespace {

using namespace helper::test;
using namespace std::chrono_literals;
using stream::SocketStream;
using Clock = std::chrono::steady_clock;
using Coordinator = ProxyConnectCoordinator;

std::pair<UniqueFd, UniqueFd> socketPair() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

template <class R>
int codeOf(const R& result) {
  return result ? -1 : result.error().code;
}

// The proxy's end: for each step reads the bytes it expects (a difference
// counts in `mismatches`) and sends its answer; then echoes `echo` bytes
// and closes.
struct Step {
  Bytes expect, answer;
};
void proxyPeer(UniqueFd fd, const std::vector<Step>& steps, size_t echo, std::atomic<int>* mismatches) {
  for (const auto& step : steps) {
    Bytes got;
    if (!readExactly(fd.get(), step.expect.size(), &got) || !writeAll(fd.get(), step.answer)) return;
    if (got != step.expect) ++*mismatches;
  }
  Bytes buf(65536);
  for (ssize_t n; echo > 0 && (n = ::read(fd.get(), buf.data(), std::min(buf.size(), echo))) > 0;) {
    writeAll(fd.get(), ByteView(buf).first(static_cast<size_t>(n)));
    echo -= static_cast<size_t>(n);
  }
}

// No application bytes pass before the handshake ends or after it fails.
TEST(SocketStreamTest, HandshakeFailures) {
  const struct {
    const char* name;
    Bytes answer;
    bool thenEnd;
    int code;
  } cases[] = {
      {"the framer refuses", bytes({5, 0xFF}), false, EPROTONOSUPPORT},
      {"the peer ends mid-reply", bytes({5}), true, 0},
      {"a silent peer", {}, false, ETIMEDOUT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto [ours, theirs] = socketPair();
    Coordinator::publish(makeSetup({}, {}));
    const auto s = std::make_unique<SocketStream>(std::move(ours), SOCKS5Framer::definition());
    Coordinator::withdraw();
    uint8_t buf[4];
    EXPECT_EQ(codeOf(s->read(buf)), ENOTCONN);
    EXPECT_EQ(codeOf(s->write(bytes("early"))), ENOTCONN);
    writeAll(theirs.get(), c.answer);
    if (c.thenEnd) shutdown(theirs.get(), SHUT_WR);
    const auto began = Clock::now();
    EXPECT_EQ(codeOf(s->handshake(began + 300ms)), c.code);
    const auto took = Clock::now() - began;
    EXPECT_TRUE(c.code == ETIMEDOUT ? took >= 300ms && took < 2s : took < 300ms);
    EXPECT_EQ(codeOf(s->handshake(Clock::now() + 1s)), c.code) << "the framer started twice";
    EXPECT_EQ(codeOf(s->read(buf)), c.code);
    EXPECT_EQ(codeOf(s->write(bytes("late"))), c.code);
  }
}

TEST(ConnectTcpTest, ConnectsOrSaysWhy) {
  uint16_t port = 0;
  const UniqueFd listener(listenLoopback(&port));
  const auto connected = stream::connectTcp("127.0.0.1", port, Clock::now() + 5s);
  ASSERT_TRUE(connected) << connected.error().message;
  int noDelay = 0;
  socklen_t length = sizeof noDelay;
  getsockopt(connected->get(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length);
  EXPECT_TRUE(noDelay && !(fcntl(connected->get(), F_GETFL) & O_NONBLOCK)) << "not blocking with TCP_NODELAY";
  const struct {
    std::string host;
    uint16_t port;
    Clock::duration left;
    int code;
    std::string message;
  } failures[] = {
      {"127.0.0.1", freePort(), 5s, ECONNREFUSED, std::strerror(ECONNREFUSED)},
      {"127.0.0.1", port, -1ms, ETIMEDOUT, std::strerror(ETIMEDOUT)},
      {"", port, 5s, 0, gai_strerror(EAI_NONAME)},
  };
  for (const auto& f : failures) {
    const auto failed = stream::connectTcp(f.host, f.port, Clock::now() + f.left);
    ASSERT_FALSE(failed) << f.host;
    EXPECT_EQ(std::tie(failed.error().code, failed.error().message), std::tie(f.code, f.message));
  }
}

// Never two holders of the gate, and the gate is never lost, also when
// callers give up while it changes hands.
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

// Many openers at once: every stream gets its own setup, never another's.
// Then each carries plain bytes: first those that came with the proxy's
// reply, then an echo read in pieces smaller and larger than what arrives,
// then the end of the stream; a send to the peer that has gone fails it.
TEST(OpenTunnelTest, ConcurrentOpenersNeverSwapSetupsThenCarryPlainBytes) {
  const Bytes data = randomBytes(1 << 18);
  std::atomic<int> mismatches{0};
  std::vector<std::jthread> openers;
  for (int i = 0; i < 16; ++i) {
    openers.emplace_back([&, i] {
      const std::string user = "user" + std::to_string(i), host = "target" + std::to_string(i) + ".test";
      auto [ours, theirs] = socketPair();
      std::jthread proxy(
          proxyPeer, std::move(theirs),
          std::vector<Step>{
              {bytes({5, 2, 0, 2}), bytes({5, 2})},
              {concat({bytes({1, static_cast<int>(user.size())}), bytes(user), bytes({2, 'p', 'w'})}), bytes({1, 0})},
              {concat({bytes({5, 1, 0, 3, static_cast<int>(host.size())}), bytes(host), bytes({1, 0xBB})}),
               bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 1, 'h', 'i'})}},
          2 * data.size(), &mismatches);
      // Declared after the peer: when a check fails, the stream closes
      // first, which ends a peer still waiting for it.
      const auto tunnel = openTunnel(std::move(ours), ProxyConfig{"proxy.test", 1080, user, "pw", ProxyKind::socks5},
                                     ProxyTarget{host, 443}, Clock::now() + 10s);
      ASSERT_TRUE(tunnel) << tunnel.error().message;
      uint8_t buf[16];
      ASSERT_EQ((*tunnel)->read(buf).value(), 2u);
      EXPECT_EQ(Bytes(buf, buf + 2), bytes("hi"));
      EXPECT_TRUE(echoThrough(**tunnel, data, 50000, 100) == data);
      EXPECT_TRUE(echoThrough(**tunnel, data, 4096, 70000) == data);
      EXPECT_EQ((*tunnel)->read(buf).value(), 0u);
      proxy.join();
      EXPECT_EQ(codeOf((*tunnel)->write(bytes("lost"))), EPIPE);
      EXPECT_EQ(codeOf((*tunnel)->read(buf)), EPIPE) << "a failed stream stays failed";
    });
  }
  openers.clear();
  EXPECT_EQ(mismatches, 0);
  EXPECT_TRUE(!Coordinator::shared().inFlight() && !Coordinator::handOffState().hasSetup);
}

}  // namespace
}  // namespace helper
