// Runs a proxy framer on the in-memory driver over a proxy's bytes fed in
// pieces and collects what can be observed.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "helper/framers/proxy_connect.h"
#include "tests/framers/memory_driver.h"

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

inline ProxyConnectSetup makeSetup(std::optional<std::string> username, std::optional<std::string> password,
                                   std::string host = "t", uint16_t port = 1) {
  return {ProxyConfig{"proxy.test", 1080, std::move(username), std::move(password), ProxyKind::socks5},
          ProxyTarget{std::move(host), port}};
}

// Publishes `setup` (when present) and creates a framer instance of
// `definition` on a new in-memory driver, as an opener does.
inline std::unique_ptr<MemoryFramerDriver> makeDriver(const stream::FramerDefinition& definition,
                                                      const std::optional<ProxyConnectSetup>& setup) {
  ProxyConnectCoordinator::withdraw();
  if (setup) ProxyConnectCoordinator::publish(*setup);
  auto driver = std::make_unique<MemoryFramerDriver>(definition);
  ProxyConnectCoordinator::withdraw();  // clears the early mark
  return driver;
}

struct Outcome {
  bool ready = false;
  std::optional<int> failure;
  std::vector<Bytes> writes;
  Bytes delivered;
  size_t consumedAtEnd = 0;  // consumed when the handshake ended
  size_t consumed = 0;
  size_t buffered = 0;
  bool wellFormed = true;  // the framer kept its promises (MemoryFramerDriver::wellFormed)
  bool operator==(const Outcome&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  return out << "{ready=" << o.ready << " failure=" << o.failure.value_or(0) << " writes="
             << ::testing::PrintToString(o.writes) << " delivered=" << ::testing::PrintToString(o.delivered)
             << " consumedAtEnd=" << o.consumedAtEnd << " consumed=" << o.consumed << " buffered=" << o.buffered
             << " wellFormed=" << o.wellFormed << "}";
}

// Starts the framer and feeds `proxyBytes` cut before each offset in `cuts`.
inline Outcome runSplit(const stream::FramerDefinition& definition, const std::optional<ProxyConnectSetup>& setup,
                        ByteView proxyBytes, const std::vector<size_t>& cuts) {
  const auto driver = makeDriver(definition, setup);
  driver->start();
  size_t from = 0;
  for (size_t to : cuts) {
    driver->receive(proxyBytes.subspan(from, to - from));
    from = to;
  }
  driver->receive(proxyBytes.subspan(from));
  const auto& d = *driver;
  return Outcome{d.ready, d.failure, d.writes, d.delivered, d.consumedAtEnd, d.consumed, d.buffered(), d.wellFormed};
}

// Ways of cutting `length` (> 0) bytes: all of them up to 17 bytes; beyond,
// none, byte by byte, every one or two cuts, and `randomSplits` random ones.
inline std::vector<std::vector<size_t>> splitsOf(size_t length, size_t randomSplits = 400) {
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
  for (size_t i = 0; i < randomSplits; ++i) add([&](size_t) { return random() % 3 == 0; });
  return splits;
}

inline Bytes randomBytes(size_t size) {
  std::mt19937 random(7);
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(random());
  return out;
}

}  // namespace helper::test
