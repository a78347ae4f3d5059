// What the proxy framers share: the setup taken when an instance is created,
// the definition that creates instances, the code of a failed
// authentication, and, once the handshake is done, input going up and
// output going down unchanged.
#pragma once

#include <cerrno>
#include <cstddef>
#include <memory>
#include <optional>

#include "helper/framers/proxy_connect.h"
#include "platform/stream/framer.h"

namespace helper {

// Authentication failed: the proxy refused the credentials, asked for
// credentials the setup does not carry, or answered 407. Where the system
// has EAUTH (the BSDs) it is that; Linux has none, and EACCES stands in for
// it: it is the "permission denied" code, and no other failure of the
// framers uses it (they use EINVAL, EBADMSG, EPROTONOSUPPORT and
// ECONNREFUSED).
#ifdef EAUTH
inline constexpr int kEAUTH = EAUTH;
#else
inline constexpr int kEAUTH = EACCES;
#endif

namespace framers {

// The base of a proxy framer type `Framer` (default-constructible, with a
// static `label`): what both framers do alike.
template <class Framer>
class ProxyFramer : public stream::FramerImplementation {
 public:
  // Shared by every stream; also marks every message delivered upward.
  static const stream::FramerDefinition& definition() {
    static const stream::FramerDefinition instance{
        Framer::label, [](stream::FramerInstance&) -> std::unique_ptr<stream::FramerImplementation> {
          return std::make_unique<Framer>();
        }};
    return instance;
  }

  // Output passes through in every state, unchanged and without a copy. A
  // failure to send is the stream's business: it reports it.
  void handleOutput(stream::FramerInstance& framer, const stream::FramerMessage&, size_t messageLength,
                    bool) final {
    framer.writeOutputNoCopy(messageLength);
  }
  void wakeup(stream::FramerInstance&) final {}
  bool stop(stream::FramerInstance&) final { return true; }
  void cleanup(stream::FramerInstance&) final {}

 protected:
  // The largest chunk delivered upward at once.
  static constexpr size_t kMaxDeliveryChunk = 65536;

  // Delivers every buffered byte to the application in chunks of at most
  // kMaxDeliveryChunk, each marked with a new message of this framer type
  // and copied once, by the stream, on its way up.
  static void passThrough(stream::FramerInstance& framer) {
    const auto deliver = [&](stream::ByteView bytes, bool) -> size_t {
      framer.deliverInput(bytes, stream::FramerMessage{&definition()}, false);
      return bytes.size();
    };
    while (framer.parseInput(1, kMaxDeliveryChunk, deliver)) {
    }
  }

  // Taken once, when the stream creates the instance; absent when nothing
  // had been published. Never replaced.
  const std::optional<ProxyConnectSetup> setup_ = ProxyConnectCoordinator::consume();
};

}  // namespace framers
}  // namespace helper
