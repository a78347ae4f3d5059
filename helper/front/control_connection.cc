#include "helper/front/control_connection.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

#include "helper/protocol/control_message.h"

namespace helper {
namespace {

// Where an operation puts its reply. The first reply counts; the service
// answers every request exactly once, so a second one is a bug, dropped
// with a fault line rather than sent out of order.
class ReplySlot {
 public:
  void put(ControlResult result, const Logger& log, ControlOperation op) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (result_) {
        log.fault("second reply to %s dropped", operationName(op));
        return;
      }
      result_ = std::move(result);
    }
    ready_.notify_all();
  }
  // The reply, once it is there. The operations of this service reply
  // before they return, so this does not wait in practice.
  ControlResult take() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return result_.has_value(); });
    return std::move(*result_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::optional<ControlResult> result_;
};

// A failure as the reply's message and its code.
std::pair<std::optional<std::string>, std::optional<ErrorCode>> split(std::optional<Failure> failure) {
  if (!failure) return {};
  return {std::move(failure->message), std::move(failure->code)};
}

}  // namespace

ControlConnectionHandler::ControlConnectionHandler(HelperProtocol& exportedObject)
    : exported_(exportedObject), log_(kLogSubsystem, "Listener") {}

std::optional<std::string> ControlConnectionHandler::handlePacket(ipc::ServerConnection& connection,
                                                                  std::string_view packet) {
  Result<ControlRequest> decoded = decodeRequest(packet, connection.nonce());
  if (!decoded) {
    log_.error("closing connection from PID %d: malformed request (%s)",
               connection.processIdentifier(), decoded.error().message.c_str());
    return std::nullopt;
  }
  const ControlRequest& request = *decoded;
  // The slot is shared with the callbacks, so a reply that came late could
  // never write into a finished frame.
  auto slot = std::make_shared<ReplySlot>();
  // For the callbacks, which may outlive this frame (never this handler's
  // process-wide logger).
  static const Logger log(kLogSubsystem, "Listener");
  const ControlOperation op = request.op;
  const Caller caller{connection.userIdentifier(), [&connection] { return connection.peerClosed(); }};
  switch (op) {
    case ControlOperation::ping:
      exported_.ping([slot, op](std::string version) {
        slot->put(PingResult{std::move(version)}, log, op);
      });
      break;
    case ControlOperation::activate:
      exported_.activate(caller, request.proxyURL, request.clientPID,
                         [slot, op](bool success, std::optional<std::string> token, std::optional<Failure> failure) {
                           auto [message, code] = split(std::move(failure));
                           slot->put(ActivateResult{success, std::move(token), std::move(message), std::move(code)},
                                     log, op);
                         });
      break;
    case ControlOperation::deactivate:
      exported_.deactivate(caller, request.sessionToken,
                           [slot, op](bool success, std::optional<Failure> failure) {
                             auto [message, code] = split(std::move(failure));
                             slot->put(DeactivateResult{success, std::move(message), std::move(code)}, log, op);
                           });
      break;
    case ControlOperation::heartbeat:
      exported_.heartbeat(request.sessionToken, [slot, op](bool success) {
        slot->put(HeartbeatResult{success}, log, op);
      });
      break;
    case ControlOperation::status:
      exported_.status([slot, op](HelperStatus status) { slot->put(std::move(status), log, op); });
      break;
  }
  return encodeReply(ControlReply{request.id, slot->take()});
}

}  // namespace helper
