// Opens byte streams to targets through the upstream proxy: connects to the
// proxy, publishes the handshake's setup, creates the stream with the
// framer for the proxy's kind, and runs the handshake, all within one
// time-out. Without an upstream it connects to targets directly.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "helper/config/proxy_config.h"
#include "helper/framers/connection_state.h"
#include "helper/framers/proxy_connect.h"
#include "platform/stream/framer.h"
#include "platform/stream/tcp_connect.h"

namespace helper {

class ProxyHTTPClient {
 public:
  // How TCP connections are made; connectTcp unless a test says otherwise.
  using Connector = std::function<stream::ConnectResult(
      const std::string& host, uint16_t port, std::chrono::steady_clock::time_point deadline)>;

  explicit ProxyHTTPClient(std::optional<ProxyConfig> proxy, Connector connector = stream::connectTcp);

  const std::optional<ProxyConfig>& proxy() const { return proxy_; }

  // A ready stream to `target` through the upstream, or why there is none.
  // The time-out covers everything: name resolution, the connection to the
  // proxy, the wait for the hand-off and the handshake. The attempt runs on
  // a thread of its own, so that a name resolution that hangs cannot hold
  // the caller beyond the time-out; an outcome that comes too late is
  // dropped and its stream closed.
  ConnectOutcome openStream(const ProxyTarget& target, std::chrono::milliseconds timeout) const;

  // The framer for an upstream of this kind.
  static const stream::FramerDefinition& framerFor(ProxyKind kind);

 private:
  const std::optional<ProxyConfig> proxy_;
  const Connector connector_;
};

}  // namespace helper
