// Serves one admitted control connection: decodes each request, calls the
// exported object and encodes its one reply. A request that does not decode
// closes the connection with one log line and reaches nothing else.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "helper/protocol/helper_protocol.h"
#include "platform/ipc/packet_server.h"
#include "platform/log/logger.h"

namespace helper {

class ControlConnectionHandler : public ipc::PacketHandler {
 public:
  explicit ControlConnectionHandler(HelperProtocol& exportedObject);

  std::optional<std::string> handlePacket(ipc::ServerConnection& connection,
                                          std::string_view packet) override;

 private:
  HelperProtocol& exported_;
  Logger log_;
};

}  // namespace helper
