#include <cerrno>

#include "platform/ipc/packet_client.h"

namespace helper::ipc {

std::unique_ptr<PacketClient> PacketClient::connect(const std::string& path, bool requireRootServer,
                                                    std::string* error) {
  UniqueFd fd = connectSocket(path, error);
  if (!fd.valid()) return nullptr;
  const std::optional<Credentials> server = peerCredentials(fd.get());
  if (!server) {
    if (error) *error = "cannot read the credentials of the process listening on " + path;
    return nullptr;
  }
  if (requireRootServer && server->uid != 0) {
    if (error) {
      *error = "refusing to talk to " + path + ": it is served by user id " +
               std::to_string(server->uid) + " (PID " + std::to_string(server->pid) +
               "), not by root";
    }
    return nullptr;
  }
  return std::unique_ptr<PacketClient>(new PacketClient(std::move(fd), *server));
}

int PacketClient::send(std::string_view packet, double timeoutSeconds) {
  if (!fd_.valid()) return EBADF;
  return sendPacket(fd_.get(), packet, timeoutSeconds);
}

ReceivedPacket PacketClient::receive(std::size_t maxSize, double timeoutSeconds) {
  if (!fd_.valid()) {
    ReceivedPacket out;
    out.status = ReceivedPacket::Status::closed;
    return out;
  }
  return receivePacket(fd_.get(), maxSize, timeoutSeconds);
}

}  // namespace helper::ipc
