#include "helper/front/helper_listener_delegate.h"

#include <memory>

#include "helper/codesign/code_sign_validator.h"
#include "helper/front/control_connection.h"
#include "helper/session/helper_service_impl.h"

namespace helper {

HelperListenerDelegate::HelperListenerDelegate() : log_(kLogSubsystem, "Listener") {}

bool HelperListenerDelegate::shouldAcceptNewConnection(ipc::PacketServer& /*listener*/,
                                                       ipc::ServerConnection& connection) {
  const Verdict verdict = CodeSignValidator::validate(connection.peer());
  if (verdict.admitted) {
    for (const auto& [level, line] : verdict.lines) CodeSignValidator::log().log(level, line);
    // Every request must come from the process admitted, as it was admitted:
    // its real user and group are what the kernel attaches to its packets.
    connection.setSenderCheck([&connection, admitted = *verdict.admitted](const ipc::Credentials& sender) {
      if (sender.uid != admitted.uid || sender.gid != admitted.gid) {
        return "a request carried the credentials of uid " + std::to_string(sender.uid) + " gid " +
               std::to_string(sender.gid) + ", not of the admitted client";
      }
      return CodeSignValidator::recheck(connection.peer(), admitted);
    });
    // The JSON codec admits exactly the reply types of the interface (text,
    // numbers, the status record), which is what registering the allowed
    // reply classes achieves elsewhere. The first export creates the
    // service, sweep included; admission waits for it.
    connection.setHandler(std::make_shared<ControlConnectionHandler>(HelperServiceImpl::shared()));
    connection.resume();
    log_.info("Accepted connection from PID %d", connection.processIdentifier());
    return true;
  }

  std::size_t heldBack = 0;
  if (refusalLog_.allow(&heldBack)) {
    if (heldBack > 0) {
      log_.notice("%zu more connections were refused meanwhile; their lines were left out (at most 20 a second "
                  "are logged)",
                  heldBack);
    }
    for (const auto& [level, line] : verdict.lines) CodeSignValidator::log().log(level, line);
    log_.error("Rejected connection: signature validation failed (PID %d)", connection.processIdentifier());
  }
  // Compares the file now with the one at start, without the service lock.
  if (!CodeSignValidator::imageReplacedSinceLaunch()) return false;
  connection.refuseWith(ipc::RefusalCode::updated,
                        "the helper was updated and is restarting; connect again in a moment");
  // The check takes the service lock, which a long engine start may hold:
  // it runs on the service's timer thread, and refusals meanwhile add none.
  HelperServiceImpl::shared().markStaleImageSoon();
  return false;
}

}  // namespace helper
