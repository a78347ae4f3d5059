// The client side of the control transport: a connected SOCK_SEQPACKET
// socket that sends one packet per request and reads one packet per reply.
// The packets' content is the caller's business.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/ipc/packet_socket.h"

namespace helper::ipc {

class PacketClient {
 public:
  // Connects to `path` and checks who listens there: with
  // `requireRootServer` the listening process must run as root, so that an
  // unprivileged impostor cannot pose as the helper.
  static Result<std::unique_ptr<PacketClient>> connect(const std::string& path, bool requireRootServer);

  // See sendPacket.
  Status send(std::string_view packet, double timeoutSeconds = 5);
  ReceivedPacket receive(std::size_t maxSize, double timeoutSeconds);

  const Credentials& server() const { return server_; }
  int fd() const { return fd_.get(); }
  // Closes the socket now; later calls fail.
  void close() { fd_.reset(); }

 private:
  PacketClient(UniqueFd fd, Credentials server) : fd_(std::move(fd)), server_(server) {}
  UniqueFd fd_;
  Credentials server_;
};

}  // namespace helper::ipc
