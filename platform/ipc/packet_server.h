// The service side of the control transport: a listener thread that admits
// connections one at a time, and one delivery thread per admitted connection
// that serves its requests one at a time, so connections are served
// concurrently and each connection's replies come in order.
//
// What the transport guarantees before a request reaches a handler:
// - the connection was admitted by the delegate, which saw the peer as a
//   pidfd-pinned process (SO_PEERPIDFD);
// - the first packet the client received was the hello, carrying a random
//   nonce created after admission;
// - the request packet is at most the size limit, carries no descriptors,
//   and the kernel attests that it was sent by the admitted process itself
//   (SO_PASSCRED); otherwise the connection is closed with one log line.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/ipc/packet_socket.h"
#include "platform/log/logger.h"
#include "platform/process/peer_process.h"

namespace helper::ipc {

class ServerConnection;

// Serves the requests of one admitted connection, on its delivery thread.
class PacketHandler {
 public:
  virtual ~PacketHandler() = default;
  // One request in, the reply packet out; nullopt closes the connection
  // (the handler logs why).
  virtual std::optional<std::string> handlePacket(ServerConnection& connection,
                                                  std::string_view packet) = 0;
};

// One client connection on the service side.
class ServerConnection {
 public:
  ServerConnection(UniqueFd fd, Credentials credentials, PeerProcess peer);

  // The peer as it connected: its pid (SO_PEERCRED) and a pidfd for it.
  pid_t processIdentifier() const { return credentials_.pid; }
  uid_t userIdentifier() const { return credentials_.uid; }
  const PeerProcess& peer() const { return peer_; }
  // The connection's nonce (32 lower-case hex digits), sent in the hello.
  const std::string& nonce() const { return nonce_; }

  // Admission: the object that serves the connection's requests, then
  // resume(). A connection the delegate accepts without both is refused.
  void setHandler(std::shared_ptr<PacketHandler> handler) { handler_ = std::move(handler); }
  void resume() { resumed_ = true; }

 private:
  friend class PacketServer;
  UniqueFd fd_;
  Credentials credentials_;
  PeerProcess peer_;
  std::string nonce_;
  std::shared_ptr<PacketHandler> handler_;
  bool resumed_ = false;
};

class PacketServer {
 public:
  // Decides, on the listener thread, whether a new connection is served.
  class Delegate {
   public:
    virtual ~Delegate() = default;
    virtual bool shouldAcceptNewConnection(PacketServer& listener, ServerConnection& connection) = 0;
  };

  struct Options {
    std::string socketPath;
    // Put into the hello packet.
    std::string serviceName;
    std::size_t maxPacketSize = kDefaultMaxPacketSize;
    // Connections open at once (admitted or being admitted); more are
    // refused with a message until some close.
    std::size_t maxConnections = 64;
    // Take the socket from systemd when it passed one (LISTEN_FDS).
    bool useSocketActivation = true;
    // How long a reply may wait for room in a client's queue before the
    // connection is given up.
    double sendTimeout = 5;
  };

  PacketServer(Options options, Delegate& delegate);
  // Stops the server (see stop()).
  ~PacketServer();
  PacketServer(const PacketServer&) = delete;
  PacketServer& operator=(const PacketServer&) = delete;

  // Takes or binds the socket and starts the listener thread. Returns the
  // empty text on success, otherwise why it cannot listen.
  std::string resume();
  // Stops accepting, closes every connection and waits for the delivery
  // threads; a request being handled is finished first. For tests and
  // orderly shutdown.
  void stop();

  const Options& options() const { return options_; }
  // Whether the socket came from systemd.
  bool socketActivated() const { return activated_; }
  std::size_t connectionCount() const;

 private:
  struct Shared;
  void listen();
  void admit(UniqueFd fd);
  void refuse(int fd, const std::string& reason);

  Options options_;
  Delegate& delegate_;
  Logger log_;
  UniqueFd listenFd_;
  UniqueFd stopEvent_;
  bool activated_ = false;
  std::shared_ptr<Shared> shared_;
  std::thread listener_;
  double lastCapLog_ = -1;
  std::size_t capRefusals_ = 0;
};

}  // namespace helper::ipc
