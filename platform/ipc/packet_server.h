// The service side of the control transport: a listener thread that only
// accepts connections and counts them against a global and a per-user
// limit, and one thread per connection that asks the delegate whether to
// serve it (admission) and then serves its requests one at a time, so no
// connection's admission or requests hold up another's, and each
// connection's replies come in order.
//
// What the transport guarantees before a request reaches a handler:
// - the connection was admitted by the delegate, which saw the peer as a
//   pidfd-pinned process (SO_PEERPIDFD; on kernels without it, pidfd_open
//   right after accept, see docs/code-signing.md);
// - the first packet the client received was the hello, carrying a random
//   nonce created after admission;
// - the request packet is at most the size limit, carries no descriptors,
//   the kernel attests that it was sent by the admitted process itself
//   (SO_PASSCRED), and the delegate's check of the sender passed;
//   otherwise the connection is closed with one log line.
// An admitted connection that sends nothing for the idle limit is closed.
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
#include <utility>

#include "platform/base/mutex.h"
#include "platform/ipc/packet_socket.h"
#include "platform/log/logger.h"
#include "platform/process/peer_process.h"

namespace helper::ipc {

class ServerConnection;

// Why a connection is refused: the number its refusal packet carries beside
// the text, in the domain kRefusalDomain. Clients act on the number, so it
// never changes.
inline constexpr const char* kRefusalDomain = "helper.AdmissionError";
enum class RefusalCode {
  notAdmitted = 1,         // the delegate did not admit the client
  tooManyConnections = 2,  // the limit of connections open at once
  tooManyFromUser = 3,     // the limit of one user's connections
  updated = 4,             // the service was updated and is about to restart
};

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
  // True once the client has closed its end (or it broke): a reply would
  // reach nobody.
  bool peerClosed() const;

  // Admission: the object that serves the connection's requests, then
  // resume(). A connection the delegate accepts without both is refused.
  void setHandler(std::shared_ptr<PacketHandler> handler) { handler_ = std::move(handler); }
  void resume() { resumed_ = true; }
  // Checked for every request, after the transport's own check that the
  // admitted process sent it: empty to serve it, else why the connection
  // is closed.
  void setSenderCheck(std::function<std::string(const Credentials& sender)> check) {
    senderCheck_ = std::move(check);
  }
  // What a refused client is told instead of the default text and code.
  void refuseWith(RefusalCode code, std::string reason) { refusal_.emplace(code, std::move(reason)); }

 private:
  friend class PacketServer;
  UniqueFd fd_;
  Credentials credentials_;
  PeerProcess peer_;
  std::string nonce_;
  std::shared_ptr<PacketHandler> handler_;
  std::function<std::string(const Credentials&)> senderCheck_;
  std::optional<std::pair<RefusalCode, std::string>> refusal_;
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
    // Put into the hello packet, the version as "protocolVersion" when it
    // is not 0.
    std::string serviceName;
    unsigned protocolVersion = 0;
    std::size_t maxPacketSize = kDefaultMaxPacketSize;
    // Connections open at once (admitted or being admitted), in all and of
    // one user other than root; more are refused with a message until some
    // close.
    std::size_t maxConnections = 64;
    std::size_t maxConnectionsPerUser = 16;
    // An admitted connection with no request for this long is closed; the
    // application sends a heartbeat every 5 s.
    double idleTimeout = 15;
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
  Status resume();
  // Stops accepting, closes every connection and waits for the delivery
  // threads; a request being handled is finished first. For tests and
  // orderly shutdown.
  void stop();

  const Options& options() const { return options_; }
  std::size_t connectionCount() const;

 private:
  struct Shared;
  void listen();
  void accepted(UniqueFd fd);
  void refuse(int fd, RefusalCode code, const std::string& reason);

  Options options_;
  Delegate& delegate_;
  Logger log_;
  UniqueFd listenFd_;
  UniqueFd stopEvent_;
  std::shared_ptr<Shared> shared_;
  std::thread listener_;
  double lastCapLog_ = -1;
  std::size_t capRefusals_ = 0;
  // Pin peers with pidfd_open even where SO_PEERPIDFD works
  // (HELPER_PIDFD_FALLBACK=1), so that the path of older kernels is tested.
  bool forcePidfdFallback_ = false;
};

}  // namespace helper::ipc
