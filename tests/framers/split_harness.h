// Runs a proxy framer without a socket, for the framers' tests and fuzz
// targets: the proxy's bytes are fed in whatever pieces the test likes and
// the test plays the application; the driver records what the framer does
// and whether it kept the promises of a proxy framer.
#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "helper/framers/proxy_connect.h"
#include "platform/stream/framer.h"

namespace helper::test {

using stream::Bytes;
using stream::ByteView;

inline Bytes bytes(std::initializer_list<int> values) { return Bytes(values.begin(), values.end()); }
inline Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// What can be observed of a framer: ready, its failure, its writes towards
// the proxy, the bytes delivered to the application, the bytes consumed
// when the handshake ended and in all, the bytes left buffered, and whether
// it kept its promises (MemoryFramerDriver::wellFormed).
using Outcome = std::tuple<bool, std::optional<int>, std::vector<Bytes>, Bytes, size_t, size_t, size_t, bool>;

// Unlike SocketStream it keeps calling handleInput() after a failure, so a
// test can check that a failed framer leaves later input alone.
class MemoryFramerDriver final : public stream::FramerInstance {
 public:
  // Creates the framer instance of `definition`, as a real stream does.
  explicit MemoryFramerDriver(const stream::FramerDefinition& definition)
      : definition_(definition), framer_(definition.create(*this)) {}

  // The framer's start; a `ready` result counts as markReady() unless the
  // framer failed the stream.
  stream::StartResult start() {
    const stream::StartResult result = framer_->start(*this);
    if (result == stream::StartResult::ready && !failure) markReady();
    return result;
  }
  // Bytes from the peer, then handleInput(); with `end`, the peer closed
  // its side after them.
  void receive(stream::ByteView bytes, bool end = false) {
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    endOfStream_ = end;
    wellFormed &= framer_->handleInput(*this) == 0;
  }
  Outcome outcome() const {
    return {ready, failure, writes, delivered, consumedAtEnd, consumed, input_.size(), wellFormed};
  }

  std::vector<stream::Bytes> writes;  // each write towards the peer
  stream::Bytes delivered;            // everything delivered to the application
  size_t consumed = 0;
  bool ready = false;
  std::optional<int> failure;
  size_t consumedAtEnd = 0;  // consumed when the stream became ready or failed
  // False once the framer broke a promise: a handleInput() hint other than
  // 0; a second markReady() or markFailed(), or both; input consumed after a
  // failure; a delivery before the stream is ready, empty, complete, over
  // 64 KiB or not marked with the framer's definition.
  bool wellFormed = true;

  bool parseInput(size_t minimumIncompleteLength, size_t maximumLength, stream::ParseFunction parse) override {
    if (input_.size() < minimumIncompleteLength) return false;
    const size_t presented = std::min(input_.size(), maximumLength);
    const size_t taken = parse(stream::ByteView(input_).first(presented), endOfStream_ && presented == input_.size());
    if (taken > presented) throw std::out_of_range("parse function consumed more bytes than it was given");
    wellFormed &= taken == 0 || !failure;
    input_.erase(input_.begin(), input_.begin() + static_cast<ptrdiff_t>(taken));
    consumed += taken;
    return true;
  }
  void writeOutput(stream::ByteView data) override { writes.emplace_back(data.begin(), data.end()); }
  // The application sends nothing through this driver.
  void writeOutputNoCopy(size_t) override { throw std::logic_error("no application output pending"); }
  void deliverInput(stream::ByteView data, const stream::FramerMessage& message, bool isComplete) override {
    wellFormed &= ready && message.definition == &definition_ && !isComplete && !data.empty() && data.size() <= 65536;
    delivered.insert(delivered.end(), data.begin(), data.end());
  }
  void markReady() override {
    wellFormed &= !ready && !failure;
    if (!ready) consumedAtEnd = consumed;
    ready = true;
  }
  void markFailed(int error) override {
    wellFormed &= !ready && !failure;
    if (!failure) {
      consumedAtEnd = consumed;
      failure = error;
    }
  }

 private:
  const stream::FramerDefinition& definition_;
  std::unique_ptr<stream::FramerImplementation> framer_;
  stream::Bytes input_;
  bool endOfStream_ = false;
};

inline ProxyConnectSetup makeSetup(std::optional<std::string> username, std::optional<std::string> password,
                                   std::string host = "t", uint16_t port = 1) {
  return {ProxyConfig{"proxy.test", 1080, std::move(username), std::move(password), ProxyKind::socks5},
          ProxyTarget{std::move(host), port}};
}

// Publishes `setup` (when present) and creates a framer instance of
// `definition` on a new in-memory driver, as an opener does; starts it and
// feeds `proxyBytes` cut before each offset in `cuts` (not descending); with
// `end`, the peer then closes its side.
inline Outcome runSplit(const stream::FramerDefinition& definition, const std::optional<ProxyConnectSetup>& setup,
                        ByteView proxyBytes, const std::vector<size_t>& cuts, bool end = false) {
  ProxyConnectCoordinator::withdraw();
  if (setup) ProxyConnectCoordinator::publish(*setup);
  MemoryFramerDriver driver(definition);
  ProxyConnectCoordinator::withdraw();  // clears the early mark
  driver.start();
  size_t from = 0;
  for (size_t to : cuts) {
    driver.receive(proxyBytes.subspan(from, to - from));
    from = to;
  }
  driver.receive(proxyBytes.subspan(from), end);
  return driver.outcome();
}

// Ways of cutting `length` (> 0) bytes: all of them up to 17 bytes; beyond,
// none, byte by byte, every one or two cuts, and 100 random ones.
inline std::vector<std::vector<size_t>> splitsOf(size_t length) {
  std::vector<std::vector<size_t>> splits;
  const auto add = [&](auto cutBefore) {
    std::vector<size_t> cuts;
    for (size_t at = 1; at < length; ++at) {
      if (cutBefore(at)) cuts.push_back(at);
    }
    splits.push_back(std::move(cuts));
  };
  if (length <= 17) {
    for (size_t mask = 0; mask < (size_t{1} << (length - 1)); ++mask) {
      add([&](size_t at) { return (mask >> (at - 1)) & 1; });
    }
    return splits;
  }
  add([](size_t) { return false; });
  add([](size_t) { return true; });
  for (size_t a = 1; a < length; ++a) {
    for (size_t b = a; b < length; ++b) add([&](size_t at) { return at == a || at == b; });
  }
  std::mt19937 random(12345);
  for (int i = 0; i < 100; ++i) add([&](size_t) { return random() % 3 == 0; });
  return splits;
}

inline Bytes randomBytes(size_t size) {
  std::mt19937 random(7);
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(random());
  return out;
}

}  // namespace helper::test
