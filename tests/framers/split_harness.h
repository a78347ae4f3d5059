// Runs a proxy framer on the in-memory driver over a scripted proxy's
// bytes, fed in pieces, and collects everything that can be observed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "helper/framers/proxy_connect.h"
#include "platform/stream/memory_driver.h"

namespace helper::test {

using stream::Bytes;
using stream::ByteView;

Bytes bytes(std::initializer_list<int> values);
Bytes bytes(std::string_view text);
Bytes concat(std::initializer_list<Bytes> parts);
std::string hex(ByteView data);

ProxyConnectSetup makeSetup(std::optional<std::string> username, std::optional<std::string> password,
                            std::string targetHost, uint16_t targetPort,
                            ProxyKind kind = ProxyKind::socks5);

// Publishes `setup` (nothing when absent) and creates a framer instance of
// `definition` on a new in-memory driver, as an opener would.
std::unique_ptr<stream::MemoryFramerDriver> makeDriver(const stream::FramerDefinition& definition,
                                                       const std::optional<ProxyConnectSetup>& setup);

struct Outcome {
  bool ready = false;
  std::optional<int> failure;
  std::vector<Bytes> writes;
  Bytes delivered;
  size_t consumedAtEnd = 0;       // consumed once the handshake ended
  size_t consumed = 0;            // consumed in all
  size_t buffered = 0;            // left in the input buffer
  bool handleInputAlwaysZero = true;

  bool operator==(const Outcome&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Outcome& outcome);

// Starts the framer and feeds `proxyBytes`, cut before each offset in
// `cuts` (ascending, each in 1..size-1).
Outcome runSplit(const stream::FramerDefinition& definition,
                 const std::optional<ProxyConnectSetup>& setup, ByteView proxyBytes,
                 const std::vector<size_t>& cuts);

// Ways of cutting `length` bytes: every one of them (2^(length-1)) up to
// kExhaustiveLimit bytes; beyond, every split with at most two cuts, the
// byte-by-byte split, and `randomSplits` random ones (fixed seed).
inline constexpr size_t kExhaustiveLimit = 17;
std::vector<std::vector<size_t>> splitsOf(size_t length, size_t randomSplits = 400);

}  // namespace helper::test
