// What the proxy framers share once their handshake is done: input goes up
// unchanged, output goes down unchanged.
#pragma once

#include <cstddef>

#include "platform/stream/framer.h"

namespace helper::framers {

// The largest chunk delivered upward at once.
inline constexpr size_t kMaxDeliveryChunk = 65536;

// Delivers every buffered byte to the application in chunks of at most
// kMaxDeliveryChunk, each marked with a new message of `definition` and
// copied once, by the stream, on its way up.
void passThrough(stream::FramerInstance& framer, const stream::FramerDefinition& definition);

// Sends the application's message of `messageLength` bytes unchanged and
// without copying it. A failure to send is the stream's business, not the
// framer's, and is dropped.
void forwardOutput(stream::FramerInstance& framer, size_t messageLength);

}  // namespace helper::framers
