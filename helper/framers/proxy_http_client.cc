#include "helper/framers/proxy_http_client.h"

#include <unistd.h>

#include <memory>
#include <system_error>
#include <thread>

#include "helper/framers/http_connect_framer.h"
#include "helper/framers/socks5_framer.h"

namespace helper {
namespace {

using Clock = std::chrono::steady_clock;
using stream::StreamError;
using stream::StreamStage;

ConnectOutcome failed(StreamStage stage, int code) {
  ConnectOutcome outcome;
  outcome.error = StreamError{stage, code};
  return outcome;
}

// One attempt, start to end, on the attempt's own thread.
ConnectOutcome attempt(const std::optional<ProxyConfig>& proxy,
                       const ProxyHTTPClient::Connector& connector, const ProxyTarget& target,
                       Clock::time_point deadline, const AtomicFlag& abandoned) {
  const auto began = Clock::now();
  const std::string& host = proxy ? proxy->host : target.host;
  const uint16_t port = proxy ? proxy->port : target.port;
  stream::ConnectResult connection = connector(host, port, deadline);
  if (connection.fd < 0) {
    ConnectOutcome outcome;
    outcome.error = connection.error;
    return outcome;
  }
  ConnectOutcome outcome;
  outcome.connectTime = Clock::now() - began;
  if (!proxy) {
    outcome.stream = std::make_unique<stream::SocketStream>(connection.fd, nullptr);
    return outcome;
  }

  std::unique_ptr<stream::SocketStream> stream;
  {
    // One setup in the slot at a time: publish, create the stream (whose
    // framer instance takes the setup), and let the next opener in.
    auto pass = ProxyConnectCoordinator::shared().enter(deadline);
    if (!pass || abandoned.isSet()) {
      ::close(connection.fd);
      return failed(StreamStage::timeout, ETIMEDOUT);
    }
    ProxyConnectCoordinator::publish(ProxyConnectSetup{*proxy, target});
    stream = std::make_unique<stream::SocketStream>(connection.fd,
                                                    &ProxyHTTPClient::framerFor(proxy->kind));
    auto taken = ProxyConnectCoordinator::awaitConsumption();
    if (taken.wait_until(deadline) != std::future_status::ready) {
      ProxyConnectCoordinator::withdraw();
    }
  }
  const auto handshakeBegan = Clock::now();
  const bool ready = stream->handshake(deadline);
  outcome.handshakeTime = Clock::now() - handshakeBegan;
  if (!ready) {
    outcome.error = stream->error();
    return outcome;
  }
  outcome.stream = std::move(stream);
  return outcome;
}

}  // namespace

ProxyHTTPClient::ProxyHTTPClient(std::optional<ProxyConfig> proxy, Connector connector)
    : proxy_(std::move(proxy)), connector_(std::move(connector)) {}

const stream::FramerDefinition& ProxyHTTPClient::framerFor(ProxyKind kind) {
  return kind == ProxyKind::http ? HTTPConnectFramer::definition() : SOCKS5Framer::definition();
}

ConnectOutcome ProxyHTTPClient::openStream(const ProxyTarget& target,
                                           std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  auto box = std::make_shared<ConnectionStateBox>();
  auto abandoned = std::make_shared<AtomicFlag>();
  auto result = box->outcome();
  // The thread owns copies of everything it uses, so it may outlive this
  // call (and this client) when the caller gives up first.
  try {
    std::thread([box, abandoned, proxy = proxy_, connector = connector_, target, deadline] {
      box->resolve(attempt(proxy, connector, target, deadline, *abandoned));
    }).detach();
  } catch (const std::system_error& e) {
    return failed(StreamStage::io, e.code().value());
  }
  if (result.wait_until(deadline) != std::future_status::ready) {
    abandoned->set();
    box->resolve(failed(StreamStage::timeout, ETIMEDOUT));
  }
  return result.get();
}

}  // namespace helper
