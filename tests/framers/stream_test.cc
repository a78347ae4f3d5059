// The socket driver: handshake with a deadline, the plain byte stream
// afterwards in both directions at once, and the socket calls failing or
// coming back short.
#include "platform/stream/socket_stream.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "helper/framers/socks5_framer.h"
#include "tests/framers/split_harness.h"

namespace helper {
namespace {

using namespace helper::test;
using namespace std::chrono_literals;
using stream::SocketStream;
using stream::StreamStage;
using Clock = std::chrono::steady_clock;

bool readExactly(int fd, size_t n, Bytes* out = nullptr) {
  Bytes buf(n);
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, buf.data() + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  if (out) *out = std::move(buf);
  return true;
}

bool writeAll(int fd, ByteView data) {
  return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

// The proxy end: answers a SOCKS5 handshake without credentials for a
// one-byte host name, sends `afterReply` with the reply, then echoes.
void socks5Peer(int fd, Bytes afterReply = {}) {
  Bytes greeting, request;
  if (readExactly(fd, 3, &greeting) && writeAll(fd, bytes({5, 0})) && readExactly(fd, 8, &request) &&
      writeAll(fd, concat({bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80}), afterReply}))) {
    std::vector<uint8_t> buf(65536);
    ssize_t n;
    while ((n = ::read(fd, buf.data(), buf.size())) > 0) {
      if (!writeAll(fd, ByteView(buf.data(), static_cast<size_t>(n)))) break;
    }
  }
  ::close(fd);
}

struct Pair {
  int client = -1, peer = -1;
  Pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    client = fds[0];
    peer = fds[1];
  }
};

std::unique_ptr<SocketStream> socks5Stream(int fd, stream::SocketOps& ops = stream::SocketOps::real()) {
  ProxyConnectCoordinator::publish(makeSetup({}, {}, "t", 1));
  auto s = std::make_unique<SocketStream>(fd, &SOCKS5Framer::definition(), ops);
  ProxyConnectCoordinator::withdraw();
  return s;
}

Bytes randomBytes(size_t n) {
  std::mt19937 random(7);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(random());
  return out;
}

// Writes `data` from one thread while reading the echo on another.
Bytes echoThrough(SocketStream& s, const Bytes& data, size_t writeChunk = 50000, size_t readChunk = 70000) {
  std::thread writer([&] {
    for (size_t at = 0; at < data.size(); at += writeChunk) {
      if (!s.write(ByteView(data).subspan(at, std::min(writeChunk, data.size() - at)))) return;
    }
  });
  Bytes echoed;
  std::vector<uint8_t> buf(readChunk);
  while (echoed.size() < data.size()) {
    const ssize_t n = s.read(buf);
    if (n <= 0) break;
    echoed.insert(echoed.end(), buf.begin(), buf.begin() + n);
  }
  writer.join();
  return echoed;
}

TEST(SocketStreamTest, HandshakeThenBothDirectionsAtOnce) {
  Pair pair;
  std::thread peer(socks5Peer, pair.peer, bytes("early"));
  auto s = socks5Stream(pair.client);
  ASSERT_TRUE(s->handshake(Clock::now() + 5s)) << stream::describe(s->error());
  EXPECT_EQ(s->state(), SocketStream::State::ready);
  uint8_t buf[16];
  ASSERT_EQ(s->read(buf), 5) << "bytes after the reply come first";
  EXPECT_EQ(Bytes(buf, buf + 5), bytes("early"));
  // More than the socket buffers hold: a writer that is not read
  // concurrently would block, so this also checks that reading and writing
  // do not wait for each other.
  const Bytes data = randomBytes(8 << 20);
  EXPECT_TRUE(echoThrough(*s, data) == data);
  s->shutdownWrite();
  EXPECT_EQ(s->read(buf), 0);
  s->close();
  peer.join();
}

TEST(SocketStreamTest, SilentPeerTimesOutAtTheDeadline) {
  Pair pair;
  auto s = socks5Stream(pair.client);
  const auto began = Clock::now();
  EXPECT_FALSE(s->handshake(Clock::now() + 150ms));
  EXPECT_GE(Clock::now() - began, 150ms);
  EXPECT_LT(Clock::now() - began, 2s);
  EXPECT_EQ(s->error(), (stream::StreamError{StreamStage::timeout, ETIMEDOUT}));
  ::close(pair.peer);
}

TEST(SocketStreamTest, PeerClosingMidHandshakeOrFramerFailing) {
  {
    Pair pair;
    auto s = socks5Stream(pair.client);
    std::thread peer([&] {
      readExactly(pair.peer, 3);
      writeAll(pair.peer, bytes({5}));  // half a method reply, then gone
      ::close(pair.peer);
    });
    EXPECT_FALSE(s->handshake(Clock::now() + 5s));
    EXPECT_EQ(s->error(), (stream::StreamError{StreamStage::closed, ECONNRESET}));
    peer.join();
  }
  {
    Pair pair;
    auto s = socks5Stream(pair.client);
    writeAll(pair.peer, bytes({5, 0xFF}));
    EXPECT_FALSE(s->handshake(Clock::now() + 5s));
    EXPECT_EQ(s->error(), (stream::StreamError{StreamStage::handshake, EPROTONOSUPPORT}));
    EXPECT_EQ(s->state(), SocketStream::State::failed);
    uint8_t buf[4];
    EXPECT_EQ(s->read(buf), -1);
    EXPECT_FALSE(s->write(bytes("x")));
    ::close(pair.peer);
  }
}

TEST(SocketStreamTest, NoApplicationBytesBeforeTheHandshakeEnds) {
  Pair pair;
  auto s = socks5Stream(pair.client);
  uint8_t buf[4];
  EXPECT_EQ(s->read(buf), -1);
  EXPECT_EQ(errno, ENOTCONN);
  EXPECT_FALSE(s->write(bytes("too early")));
  EXPECT_EQ(errno, ENOTCONN);
  ::close(pair.peer);
}

// A framer that never consumes anything: the stream stops buffering and
// fails instead of growing without bound.
class HoardingFramer final : public stream::FramerImplementation {
 public:
  static const stream::FramerDefinition& definition() {
    static const stream::FramerDefinition d{"Hoarding", [](stream::FramerInstance&) {
      return std::unique_ptr<stream::FramerImplementation>(new HoardingFramer);
    }};
    return d;
  }
  stream::StartResult start(stream::FramerInstance&) override { return stream::StartResult::willMarkReady; }
  size_t handleInput(stream::FramerInstance& f) override {
    f.parseInput(1, 1 << 20, [](ByteView, bool) -> size_t { return 0; });
    return 0;
  }
  void handleOutput(stream::FramerInstance&, const stream::FramerMessage&, size_t, bool) override {}
  void wakeup(stream::FramerInstance&) override {}
  bool stop(stream::FramerInstance&) override { return true; }
  void cleanup(stream::FramerInstance&) override {}
};

TEST(SocketStreamTest, AHandshakeThatNeverConsumesOverflows) {
  Pair pair;
  SocketStream s(pair.client, &HoardingFramer::definition());
  std::thread peer([&] {
    const Bytes junk(1 << 20, 'j');
    writeAll(pair.peer, junk);
  });
  EXPECT_FALSE(s.handshake(Clock::now() + 10s));
  EXPECT_EQ(s.error(), (stream::StreamError{StreamStage::overflow, EMSGSIZE}));
  s.close();  // the peer's blocked send fails now
  peer.join();
  ::close(pair.peer);
}

// Short sends and interrupted calls are the normal life of a socket.
class ChoppyOps : public stream::SocketOps {
 public:
  ssize_t send(int fd, const void* data, size_t length) override {
    if (++sends_ % 3 == 0) {
      errno = EINTR;
      return -1;
    }
    return SocketOps::send(fd, data, std::min<size_t>(length, 1000));
  }
  ssize_t recv(int fd, void* buffer, size_t length) override {
    if (++recvs_ % 2 == 0) {
      errno = EINTR;
      return -1;
    }
    return SocketOps::recv(fd, buffer, std::min<size_t>(length, 777));
  }

 private:
  std::atomic<int> sends_{0}, recvs_{0};
};

TEST(SocketStreamTest, ShortAndInterruptedCallsLoseNothing) {
  Pair pair;
  std::thread peer(socks5Peer, pair.peer, Bytes{});
  ChoppyOps ops;
  auto s = socks5Stream(pair.client, ops);
  ASSERT_TRUE(s->handshake(Clock::now() + 5s)) << stream::describe(s->error());
  const Bytes data = randomBytes(300000);
  // Reads smaller than what arrives at once: the rest waits, in order.
  EXPECT_TRUE(echoThrough(*s, data, 4096, 100) == data);
  s->close();
  peer.join();
}

class BrokenSendOps : public stream::SocketOps {
 public:
  bool broken = false;
  ssize_t send(int fd, const void* data, size_t length) override {
    if (broken) {
      errno = EPIPE;
      return -1;
    }
    return SocketOps::send(fd, data, length);
  }
};

TEST(SocketStreamTest, ASendErrorFailsTheStream) {
  Pair pair;
  std::thread peer(socks5Peer, pair.peer, Bytes{});
  BrokenSendOps ops;
  auto s = socks5Stream(pair.client, ops);
  ASSERT_TRUE(s->handshake(Clock::now() + 5s));
  ops.broken = true;
  EXPECT_FALSE(s->write(bytes("lost")));
  EXPECT_EQ(s->error(), (stream::StreamError{StreamStage::io, EPIPE}));
  EXPECT_FALSE(s->write(bytes("again")));
  s->cancel();
  s->close();
  peer.join();
}

}  // namespace
}  // namespace helper
