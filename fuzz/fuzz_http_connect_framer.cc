// Random HTTP proxy responses at random split points: the framer's outcome
// does not depend on how the bytes arrive, and it never consumes or
// delivers what is not its own.
#include "fuzz/framer_fuzz.h"
#include "helper/framers/http_connect_framer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return helper::fuzz::fuzzFramer(helper::HTTPConnectFramer::definition(), data, size);
}
