// Shared by the proxy framer fuzz targets: a random proxy byte stream, fed
// at random split points, must give exactly the outcome of feeding it in
// one piece, and the outcome must keep the framers' promises.
//
// Input: one byte of flags (which credentials are present, whether the
// stream ends), the proxy's bytes (length-prefixed by the provider), then
// the sizes of the pieces to feed them in.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <tuple>
#include <vector>

#include "helper/framers/proxy_connect.h"
#include "tests/framers/memory_driver.h"

namespace helper::fuzz {

inline void check(bool condition) {
  if (!condition) std::abort();
}

// The outcome, which must not depend on how the input was split.
inline auto run(const stream::FramerDefinition& definition, const ProxyConnectSetup& setup,
                const stream::Bytes& input, const std::vector<size_t>& pieces, bool end) {
  ProxyConnectCoordinator::publish(setup);
  test::MemoryFramerDriver driver(definition);
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

  // What every outcome must keep: the driver's checks of the framer's
  // promises, and nothing lost or made up.
  check(driver.wellFormed);
  check(driver.consumed + driver.buffered() == input.size());
  if (driver.ready) {
    // Everything after the handshake went up unchanged, in order.
    check(driver.buffered() == 0);
    check(std::equal(driver.delivered.begin(), driver.delivered.end(),
                     input.begin() + static_cast<ptrdiff_t>(driver.consumedAtEnd), input.end()));
  }
  return std::make_tuple(driver.ready, driver.failure, driver.writes, driver.delivered, driver.consumed,
                         driver.consumedAtEnd, driver.buffered());
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
