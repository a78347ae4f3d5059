// What the proxy framers share: the setup taken when an instance is created,
// the definition that creates instances, and, once the handshake is done,
// input going up and output going down unchanged.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "helper/framers/proxy_connect.h"
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

// The base of a proxy framer type `Framer` (which has a static `label` and a
// constructor taking the FramerInstance): what both framers do alike.
template <class Framer>
class ProxyFramer : public stream::FramerImplementation {
 public:
  // Shared by every stream; also marks every message delivered upward.
  static const stream::FramerDefinition& definition() {
    static const stream::FramerDefinition instance{
        Framer::label, [](stream::FramerInstance& framer) -> std::unique_ptr<stream::FramerImplementation> {
          return std::make_unique<Framer>(framer);
        }};
    return instance;
  }

  // Output passes through in every state.
  void handleOutput(stream::FramerInstance& framer, const stream::FramerMessage&, size_t messageLength,
                    bool) final {
    forwardOutput(framer, messageLength);
  }
  void wakeup(stream::FramerInstance&) final {}
  bool stop(stream::FramerInstance&) final { return true; }
  void cleanup(stream::FramerInstance&) final {}

 protected:
  // Taken once, when the stream creates the instance; absent when nothing
  // had been published. Never replaced.
  const std::optional<ProxyConnectSetup> setup_ = ProxyConnectCoordinator::consume();
};

}  // namespace helper::framers
