#include <cerrno>

#include "platform/ipc/packet_client.h"

namespace helper::ipc {

Result<std::unique_ptr<PacketClient>> PacketClient::connect(const std::string& path, bool requireRootServer) {
  Result<UniqueFd> fd = connectSocket(path);
  if (!fd) return fd.error();
  const std::optional<Credentials> server = peerCredentials(fd->get());
  if (!server) return Error::fromErrno("cannot read the credentials of the process listening on " + path);
  if (requireRootServer && server->uid != 0) {
    return Error{"refusing to talk to " + path + ": it is served by user id " + std::to_string(server->uid) +
                     " (PID " + std::to_string(server->pid) + "), not by root",
                 EPERM};
  }
  return std::unique_ptr<PacketClient>(new PacketClient(std::move(*fd), *server));
}

Status PacketClient::send(std::string_view packet, double timeoutSeconds) {
  if (!fd_.valid()) return Error::fromErrno("send", EBADF);
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
