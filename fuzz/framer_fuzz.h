// Shared by the proxy framer fuzz targets: a random proxy byte stream, fed
// at random split points, must give exactly the outcome of feeding it in
// one piece, and the outcome must keep the framers' promises.
//
// Input: one byte of flags (which credentials are present, whether the
// stream ends), the proxy's bytes (length-prefixed by the provider), then
// the sizes of the pieces to feed them in.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <optional>
#include <tuple>
#include <vector>

#include "helper/framers/proxy_connect.h"
#include "platform/stream/memory_driver.h"

namespace helper::fuzz {

inline void check(bool condition) {
  if (!condition) std::abort();
}

// The outcome, which must not depend on how the input was split.
inline auto run(const stream::FramerDefinition& definition, const ProxyConnectSetup& setup,
                const stream::Bytes& input, const std::vector<size_t>& pieces, bool end) {
  ProxyConnectCoordinator::publish(setup);
  stream::MemoryFramerDriver driver(definition);
  ProxyConnectCoordinator::withdraw();
  driver.start();
  size_t at = 0;
  for (size_t piece : pieces) {
    const size_t n = std::min(piece, input.size() - at);
    driver.receive(stream::ByteView(input).subspan(at, n));
    at += n;
  }
  if (at < input.size()) driver.receive(stream::ByteView(input).subspan(at));
  if (end) driver.receiveEnd();

  // What every outcome must keep.
  check(driver.readyCalls() <= 1);
  check(driver.failCalls() <= 1);
  check(!(driver.isReady() && driver.failure()));
  for (size_t r : driver.handleInputResults()) check(r == 0);
  check(driver.consumed() + driver.buffered() == input.size());
  for (const auto& d : driver.deliveries()) {
    check(d.definition == &definition && !d.isComplete && !d.data.empty() && d.data.size() <= 65536);
  }
  if (driver.failure()) {
    // Nothing consumed or delivered after the failure.
    check(driver.consumed() == driver.consumedAtFailure());
    check(driver.delivered().empty());
  }
  if (driver.isReady()) {
    // Everything after the handshake went up unchanged, in order.
    check(driver.buffered() == 0);
    check(std::equal(driver.delivered().begin(), driver.delivered().end(),
                     input.begin() + static_cast<ptrdiff_t>(driver.consumedAtReady()), input.end()));
  } else {
    check(driver.delivered().empty());
  }
  return std::make_tuple(driver.isReady(), driver.failure(), driver.writes(), driver.delivered(), driver.consumed(),
                         driver.failure() ? driver.consumedAtFailure() : driver.consumedAtReady(), driver.buffered());
}

inline int fuzzFramer(const stream::FramerDefinition& definition, ProxyKind kind, const uint8_t* data,
                      size_t size) {
  FuzzedDataProvider provider(data, size);
  const uint8_t flags = provider.ConsumeIntegral<uint8_t>();
  ProxyConfig proxy;
  proxy.host = "proxy.test";
  proxy.port = 1080;
  proxy.kind = kind;
  if (flags & 1) proxy.username = (flags & 4) ? "" : "user";
  if (flags & 2) proxy.password = (flags & 8) ? "" : "pass";
  const ProxyConnectSetup setup{proxy, ProxyTarget{(flags & 16) ? "2001:db8::1" : "target.test", 443}};
  const bool end = flags & 32;
  const std::string text = provider.ConsumeRandomLengthString(1 << 16);
  const stream::Bytes input(text.begin(), text.end());
  std::vector<size_t> pieces;
  while (provider.remaining_bytes() > 0) pieces.push_back(provider.ConsumeIntegralInRange<size_t>(1, 80));

  check(run(definition, setup, input, {}, end) == run(definition, setup, input, pieces, end));
  return 0;
}

}  // namespace helper::fuzz
