// The client side of an HTTP/1.1 CONNECT handshake, with Basic proxy
// authorization (RFC 7617), on a stream already connected to the proxy;
// afterwards every byte passes through unchanged.
//
// The request goes out in one write. Nothing is consumed until the whole
// response head with its blank line (CR LF CR LF) is buffered; then exactly
// the head is consumed, and bytes after it are delivered at once. Of the
// head only the status code is read. Failures (markFailed, POSIX codes):
//   EINVAL        no setup had been published
//   EBADMSG       the status line has no status code, or the head does not
//                 end within the first 64 KiB
//   kEAUTH        status 407
//   ECONNREFUSED  any other status outside 200-299
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "helper/framers/proxy_framer.h"

namespace helper {

class HTTPConnectFramer final : public framers::ProxyFramer<HTTPConnectFramer> {
 public:
  static constexpr std::string_view label = "HTTPConnect";
  // The bytes of the head searched for its end; a longer head is refused.
  static constexpr size_t kMaxHead = 65536;

  stream::StartResult start(stream::FramerInstance& framer) override;
  size_t handleInput(stream::FramerInstance& framer) override;

  // The request the framer sends for `setup`; exposed for tests and tools.
  static std::string connectRequest(const ProxyConnectSetup& setup);
  // The status code of a response head, or absent when its status line has
  // none (fewer than two fields, or a second field that is not a decimal
  // integer in the signed 64-bit range).
  static std::optional<int64_t> statusCode(std::string_view head);

 private:
  enum class State { initial, awaitingResponse, ready, failed };

  // True when it made progress (ready or failed), false when the head is
  // not complete yet.
  bool readConnectResponse(stream::FramerInstance& framer);
  void fail(stream::FramerInstance& framer, int code);

  State state_ = State::initial;
};

}  // namespace helper
