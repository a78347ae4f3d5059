// Admission of control connections: a peer whose code signature passes
// validation is served by the session service; any other is refused, and a
// refusal also checks whether our own executable was replaced on disk,
// which starts the stale-image exit.
#pragma once

#include "helper/codesign/code_sign_validator.h"
#include "platform/ipc/packet_server.h"
#include "platform/log/logger.h"
#include "platform/process/peer_process.h"

namespace helper {

class HelperListenerDelegate : public ipc::PacketServer::Delegate {
 public:
  HelperListenerDelegate();

  // On the connection's thread, once per new connection.
  bool shouldAcceptNewConnection(ipc::PacketServer& listener, ipc::ServerConnection& connection) override;

 private:
  Logger log_;
  // Refusals are logged in detail at most 20 a second.
  LogLimiter refusalLog_{20, 1};
};

}  // namespace helper
