// The client side of a SOCKS5 handshake (RFC 1928, with the username and
// password sub-negotiation of RFC 1929) on a stream already connected to the
// proxy; afterwards every byte passes through unchanged.
//
// The instance takes its setup from ProxyConnectCoordinator::consume() when
// the stream creates it. It is exact on the wire and resumable at any byte
// boundary: a step that finds too few bytes buffered consumes nothing and
// waits, and the handshake never consumes a byte beyond the proxy's reply.
// Failures are reported with markFailed() and a POSIX code:
//   EINVAL           no setup had been published
//   EBADMSG          a reply's version is not 5, or an unknown address type
//   kEAUTH           credentials refused, or asked for and not in the setup
//   EPROTONOSUPPORT  the proxy selected no method the framer speaks
//   ECONNREFUSED     the proxy refused the CONNECT (any reply code)
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "helper/framers/proxy_framer.h"

namespace helper {

class SOCKS5Framer final : public framers::ProxyFramer<SOCKS5Framer> {
 public:
  static constexpr std::string_view label = "SOCKS5";

  stream::StartResult start(stream::FramerInstance& framer) override;
  size_t handleInput(stream::FramerInstance& framer) override;

 private:
  enum class State {
    initial,
    awaitingMethod,
    awaitingAuth,
    awaitingConnectHeader,
    awaitingConnectAddr,
    ready,
    failed,
  };

  // Each returns true when it made progress (moved on or failed), false
  // when it needs more input and has consumed nothing.
  bool readMethodReply(stream::FramerInstance& framer);
  bool readAuthReply(stream::FramerInstance& framer);
  bool readConnectHeader(stream::FramerInstance& framer);
  bool readConnectAddr(stream::FramerInstance& framer);
  void sendConnect(stream::FramerInstance& framer, const ProxyTarget& target);
  void fail(stream::FramerInstance& framer, int code);

  State state_ = State::initial;
  std::vector<uint8_t> connectHeader_;
};

}  // namespace helper
