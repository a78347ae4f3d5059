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
#include <vector>

#include "tests/framers/split_harness.h"

namespace helper::fuzz {

inline void check(bool condition) {
  if (!condition) std::abort();
}

inline int fuzzFramer(const stream::FramerDefinition& definition, const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const uint8_t flags = provider.ConsumeIntegral<uint8_t>();
  std::optional<std::string> username, password;
  if (flags & 1) username = (flags & 4) ? "" : "user";
  if (flags & 2) password = (flags & 8) ? "" : "pass";
  const auto setup = test::makeSetup(username, password, (flags & 16) ? "2001:db8::1" : "target.test", 443);
  const bool end = flags & 32;
  const std::string text = provider.ConsumeRandomLengthString(1 << 16);
  const stream::Bytes input(text.begin(), text.end());
  // Pieces beyond the input are empty: more calls with nothing new.
  std::vector<size_t> cuts;
  for (size_t at = 0; provider.remaining_bytes() > 0;) {
    at = std::min(at + provider.ConsumeIntegralInRange<size_t>(1, 80), input.size());
    cuts.push_back(at);
  }

  const test::Outcome whole = test::runSplit(definition, setup, input, {}, end);
  check(whole == test::runSplit(definition, setup, input, cuts, end));
  // The framer kept its promises, and nothing was lost or made up:
  // everything after the handshake went up unchanged, in order.
  const auto& [ready, failure, writes, delivered, consumedAtEnd, consumed, buffered, wellFormed] = whole;
  check(wellFormed);
  check(consumed + buffered == input.size());
  if (ready) {
    check(buffered == 0);
    check(std::equal(delivered.begin(), delivered.end(), input.begin() + static_cast<ptrdiff_t>(consumedAtEnd),
                     input.end()));
  }
  return 0;
}

}  // namespace helper::fuzz
