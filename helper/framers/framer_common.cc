#include "helper/framers/framer_common.h"

#include <exception>

namespace helper::framers {

void passThrough(stream::FramerInstance& framer, const stream::FramerDefinition& definition) {
  const auto deliver = [&](stream::ByteView bytes, bool) -> size_t {
    if (bytes.empty()) return 0;
    const stream::FramerMessage message{&definition};
    framer.deliverInput(bytes, message, false);
    return bytes.size();
  };
  while (framer.parseInput(1, kMaxDeliveryChunk, deliver)) {
  }
}

void forwardOutput(stream::FramerInstance& framer, size_t messageLength) {
  try {
    framer.writeOutputNoCopy(messageLength);
  } catch (const std::exception&) {
    // Dropped, as the stream reports its own send failures.
  }
}

}  // namespace helper::framers
