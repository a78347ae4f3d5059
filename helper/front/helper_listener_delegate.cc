#include "helper/front/helper_listener_delegate.h"

#include <memory>

#include "helper/codesign/code_sign_validator.h"
#include "helper/front/control_connection.h"
#include "helper/session/helper_service_impl.h"

namespace helper {

HelperListenerDelegate::HelperListenerDelegate() : HelperListenerDelegate(Options{}) {}

HelperListenerDelegate::HelperListenerDelegate(Options options)
    : options_(std::move(options)), log_(kLogSubsystem, "Listener") {
  if (!options_.validate) options_.validate = [](const PeerProcess& peer) { return CodeSignValidator::validate(peer); };
  if (!options_.recheck) {
    options_.recheck = [](const PeerProcess& peer, const AdmittedPeer& admitted) {
      return CodeSignValidator::recheck(peer, admitted);
    };
  }
  if (!options_.imageReplacedSinceLaunch) {
    options_.imageReplacedSinceLaunch = [] { return CodeSignValidator::imageReplacedSinceLaunch(); };
  }
  if (!options_.service) options_.service = []() -> HelperServiceImpl& { return HelperServiceImpl::shared(); };
}

bool HelperListenerDelegate::shouldAcceptNewConnection(ipc::PacketServer& /*listener*/,
                                                       ipc::ServerConnection& connection) {
  const Verdict verdict = options_.validate(connection.peer());
  if (verdict.admitted) {
    for (const auto& [level, line] : verdict.lines) CodeSignValidator::log().log(level, line);
    // Every request must come from the process admitted, as it was admitted:
    // its real user and group are what the kernel attaches to its packets.
    connection.setSenderCheck([this, &connection, admitted = *verdict.admitted](const ipc::Credentials& sender) {
      if (sender.uid != admitted.uid || sender.gid != admitted.gid) {
        return "a request carried the credentials of uid " + std::to_string(sender.uid) + " gid " +
               std::to_string(sender.gid) + ", not of the admitted client";
      }
      return options_.recheck(connection.peer(), admitted);
    });
    // The JSON codec admits exactly the reply types of the interface (text,
    // numbers, the status record), which is what registering the allowed
    // reply classes achieves elsewhere. The first export creates the
    // service, sweep included; admission waits for it.
    connection.setHandler(std::make_shared<ControlConnectionHandler>(options_.service()));
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
  // Reads the start stamp under the stamp lock, then compares it with the
  // file now; never together with the service lock.
  if (!options_.imageReplacedSinceLaunch()) return false;
  connection.refuseWith(ipc::RefusalCode::updated,
                        "the helper was updated and is restarting; connect again in a moment");
  // The check takes the service lock, which a long engine start may hold:
  // it runs on the service's timer thread, and refusals meanwhile add none.
  options_.service().markStaleImageSoon();
  return false;
}

}  // namespace helper
