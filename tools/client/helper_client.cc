#include "tools/client/helper_client.h"

#include <cerrno>
#include <cstring>

#include "helper/protocol/helper_constants.h"
#include "platform/paths/paths.h"

namespace helper {
namespace {

using Kind = HelperClientError::Kind;
using Received = ipc::ReceivedPacket::Status;

// Replies are small; the largest is a status record.
constexpr std::size_t kMaxReplySize = std::size_t{64} * 1024;

std::string secondsText(double s) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%g", s);
  return buf;
}

}  // namespace

std::unique_ptr<HelperClient> HelperClient::connect(Options options) {
  if (options.socketPath.empty()) options.socketPath = paths::rooted(kControlSocketPath);
  if (!options.requireRootServer) options.requireRootServer = paths::helperRoot().empty();
  auto connected = ipc::PacketClient::connect(options.socketPath, *options.requireRootServer);
  if (!connected) throw HelperClientError(Kind::unreachable, connected.error().message);
  std::unique_ptr<ipc::PacketClient> socket = std::move(*connected);

  const ipc::ReceivedPacket first = socket->receive(kMaxReplySize, options.connectTimeout);
  switch (first.status) {
    case Received::packet:
      break;
    case Received::timeout:
      throw HelperClientError(Kind::timeout, "the helper did not greet this connection within " +
                                                 secondsText(options.connectTimeout) + " s");
    case Received::closed:
      throw HelperClientError(Kind::refused, "the helper closed the connection without a word");
    default:
      throw HelperClientError(Kind::protocol, "cannot read the helper's greeting: " +
                                                  std::string(std::strerror(first.error)));
  }
  Result<std::variant<Hello, Refusal>> greeting = decodeGreeting(first.data);
  if (!greeting) {
    throw HelperClientError(Kind::protocol, "the helper's greeting makes no sense (" + greeting.error().message + ")");
  }
  if (const auto* refusal = std::get_if<Refusal>(&*greeting)) {
    throw HelperClientError(Kind::refused, "the helper refused the connection: " + refusal->reason, refusal->error);
  }
  Hello hello = std::get<Hello>(*greeting);
  return std::unique_ptr<HelperClient>(new HelperClient(std::move(options), std::move(socket), std::move(hello)));
}

HelperClient::HelperClient(Options options, std::unique_ptr<ipc::PacketClient> socket, Hello hello)
    : options_(std::move(options)), socket_(std::move(socket)), hello_(std::move(hello)) {}

ControlResult HelperClient::call(ControlRequest request, double timeout) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (closed_) throw HelperClientError(Kind::disconnected, "the connection to the helper is closed");
  request.id = nextId_++;
  const std::string packet = encodeRequest(request, hello_.nonce);
  if (packet.size() > hello_.maxPacketSize) {
    // Sending it would only make the helper close the connection.
    throw HelperClientError(Kind::protocol, "the request is " + std::to_string(packet.size()) +
                                                " bytes; the helper takes at most " +
                                                std::to_string(hello_.maxPacketSize));
  }
  if (const auto sent = socket_->send(packet, timeout); !sent) {
    closed_ = true;
    socket_->close();
    throw HelperClientError(sent.error().code == ETIMEDOUT ? Kind::timeout : Kind::disconnected,
                            std::string("cannot send to the helper: ") + std::strerror(sent.error().code));
  }
  const double deadline = monotonicSeconds() + timeout;
  for (;;) {
    const double left = deadline - monotonicSeconds();
    const ipc::ReceivedPacket reply = socket_->receive(kMaxReplySize, left > 0 ? left : 0);
    if (reply.status == Received::timeout) {
      // The reply may still come; the next call skips it by its id.
      throw HelperClientError(Kind::timeout, std::string("no reply to ") + operationName(request.op) +
                                                 " within " + secondsText(timeout) + " s");
    }
    if (reply.status != Received::packet) {
      closed_ = true;
      socket_->close();
      throw HelperClientError(Kind::disconnected,
                              std::string("the helper closed the connection during ") +
                                  operationName(request.op));
    }
    Result<ControlReply> decoded = decodeReply(reply.data, request.op);
    // A late reply to an earlier call that timed out is skipped; it may be
    // of another operation.
    const std::optional<std::uint64_t> id = decoded ? decoded->id : replyId(reply.data);
    if (id && *id < request.id) continue;
    if (!decoded || decoded->id != request.id) {
      closed_ = true;
      socket_->close();
      throw HelperClientError(Kind::protocol,
                              "the helper's reply makes no sense (" +
                                  (decoded ? "unexpected id " + std::to_string(decoded->id)
                                           : decoded.error().message) +
                                  ")");
    }
    return std::move(decoded->result);
  }
}

std::string HelperClient::ping() {
  ControlRequest r;
  r.op = ControlOperation::ping;
  return std::get<PingResult>(call(r, options_.pingTimeout)).version;
}

HelperStatus HelperClient::status() {
  ControlRequest r;
  r.op = ControlOperation::status;
  return std::get<HelperStatus>(call(r, options_.requestTimeout));
}

ActivateResult HelperClient::activate(const std::string& proxyURL, std::int32_t clientPID) {
  ControlRequest r;
  r.op = ControlOperation::activate;
  r.proxyURL = proxyURL;
  r.clientPID = clientPID;
  return std::get<ActivateResult>(call(r, options_.activateTimeout));
}

bool HelperClient::heartbeat(const std::string& sessionToken) {
  ControlRequest r;
  r.op = ControlOperation::heartbeat;
  r.sessionToken = sessionToken;
  return std::get<HeartbeatResult>(call(r, options_.requestTimeout)).success;
}

DeactivateResult HelperClient::deactivate(const std::string& sessionToken) {
  ControlRequest r;
  r.op = ControlOperation::deactivate;
  r.sessionToken = sessionToken;
  return std::get<DeactivateResult>(call(r, options_.requestTimeout));
}

HeartbeatKeeper::HeartbeatKeeper(HelperClient& client, std::string sessionToken, double interval,
                                 std::function<void(const std::string&)> onEnded)
    : client_(client), token_(std::move(sessionToken)), interval_(interval), onEnded_(std::move(onEnded)) {
  thread_ = std::thread([this] { run(); });
}

HeartbeatKeeper::~HeartbeatKeeper() { stop(); }

void HeartbeatKeeper::stop() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool HeartbeatKeeper::running() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return running_;
}

std::uint64_t HeartbeatKeeper::beats() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return beats_;
}

void HeartbeatKeeper::run() {
  std::string reason;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (wake_.wait_for(lock, std::chrono::duration<double>(interval_), [this] { return stopping_; })) {
        running_ = false;
        return;
      }
    }
    try {
      if (!client_.heartbeat(token_)) {
        reason = "the helper refused the heartbeat: the session has ended";
        break;
      }
      std::lock_guard<std::mutex> guard(mutex_);
      ++beats_;
    } catch (const HelperClientError& e) {
      // A heartbeat that timed out behind a long engine start is not fatal;
      // the next one may get through in time.
      if (e.kind() == HelperClientError::Kind::timeout) continue;
      reason = e.what();
      break;
    }
  }
  bool stopping;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    running_ = false;
    stopping = stopping_;
  }
  if (!stopping && onEnded_) onEnded_(reason);
}

}  // namespace helper
