#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/ipc/packet_server.h"
#include "platform/random/random.h"

namespace helper::ipc {
namespace {

// The peer pinned by a pidfd: from the socket when the kernel offers it
// (Linux 6.5 and later), else opened by pid right away. The fallback is
// safe because every request is checked against the pid that the kernel
// attests for it, which a process reusing the pid does not send from.
std::optional<PeerProcess> pinPeer(int fd, pid_t pid) {
  int pidfd = -1;
  socklen_t length = sizeof(pidfd);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0 && pidfd >= 0) {
    return PeerProcess(pid, pidfd);
  }
  return PeerProcess::fromPid(pid);
}

std::string refusalPacket(const std::string& reason) {
  return nlohmann::json{{"refused", reason}}.dump(-1, ' ', false,
                                                  nlohmann::json::error_handler_t::replace);
}

}  // namespace

struct PacketServer::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t connections = 0;
  std::set<int> fds;  // sockets of live connections, for stop()
  bool stopping = false;
};

ServerConnection::ServerConnection(UniqueFd fd, Credentials credentials, PeerProcess peer)
    : fd_(std::move(fd)), credentials_(credentials), peer_(std::move(peer)), nonce_(randomHex(16)) {}

PacketServer::PacketServer(Options options, Delegate& delegate)
    : options_(std::move(options)),
      delegate_(delegate),
      log_(kLogSubsystem, "Listener"),
      shared_(std::make_shared<Shared>()) {}

PacketServer::~PacketServer() { stop(); }

std::string PacketServer::resume() {
  std::string error;
  if (options_.useSocketActivation) {
    listenFd_ = socketFromActivation(&error);
    activated_ = listenFd_.valid();
    if (!activated_ && !error.empty()) return error;
  }
  if (!listenFd_.valid()) {
    listenFd_ = bindListeningSocket(options_.socketPath, &error);
    if (!listenFd_.valid()) return error;
  }
  // Accepted sockets inherit this, so even packets a client writes before
  // it was accepted carry its credentials.
  enableCredentialPassing(listenFd_.get());
  stopEvent_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stopEvent_.valid()) return std::string("eventfd: ") + std::strerror(errno);
  listener_ = std::thread([this] { listen(); });
  pthread_setname_np(listener_.native_handle(), "listener");
  return "";
}

void PacketServer::stop() {
  if (!listener_.joinable()) return;
  const uint64_t one = 1;
  if (::write(stopEvent_.get(), &one, sizeof(one)) < 0) {
    // The listener polls this descriptor; an eventfd write fails only on
    // overflow, which leaves it readable anyway.
  }
  listener_.join();
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->stopping = true;
  for (int fd : shared_->fds) ::shutdown(fd, SHUT_RDWR);
  shared_->changed.wait(lock, [this] { return shared_->connections == 0; });
}

std::size_t PacketServer::connectionCount() const {
  std::lock_guard<std::mutex> guard(shared_->mutex);
  return shared_->connections;
}

void PacketServer::listen() {
  pollfd fds[2] = {{listenFd_.get(), POLLIN, 0}, {stopEvent_.get(), POLLIN, 0}};
  for (;;) {
    const int rc = ::poll(fds, 2, -1);
    if (rc < 0) {
      if (errno == EINTR) continue;
      log_.fault("listener: poll failed: %s", std::strerror(errno));
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents == 0) continue;
    const int fd = ::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: the waiting connection stays queued; try again
        // shortly instead of spinning.
        log_.error("listener: cannot accept a connection: %s", std::strerror(errno));
        ::usleep(100 * 1000);
      }
      continue;
    }
    admit(UniqueFd(fd));
  }
}

void PacketServer::refuse(int fd, const std::string& reason) {
  // Best effort: the socket is new, so its queue has room; never wait.
  sendPacket(fd, refusalPacket(reason), 0);
}

void PacketServer::admit(UniqueFd fd) {
  enableCredentialPassing(fd.get());
  const std::optional<Credentials> credentials = peerCredentials(fd.get());
  if (!credentials) {
    log_.error("listener: cannot read the credentials of a new connection: %s", std::strerror(errno));
    return;
  }
  {
    std::lock_guard<std::mutex> guard(shared_->mutex);
    if (shared_->connections >= options_.maxConnections) {
      // One line per second at most: a flood must not flood the log too.
      ++capRefusals_;
      const double now = monotonicSeconds();
      if (lastCapLog_ < 0 || now - lastCapLog_ >= 1) {
        log_.error("refusing connection from PID %d: %zu connections are open (limit %zu); %zu refused so far",
                   credentials->pid, shared_->connections, options_.maxConnections, capRefusals_);
        lastCapLog_ = now;
      }
      refuse(fd.get(),
             "too many connections to the helper (limit " + std::to_string(options_.maxConnections) +
                 "); close some and try again");
      return;
    }
    // Counted from now on, so the cap holds during admission as well.
    ++shared_->connections;
  }
  auto release = [shared = shared_] {
    std::lock_guard<std::mutex> guard(shared->mutex);
    --shared->connections;
    shared->changed.notify_all();
  };

  std::optional<PeerProcess> peer = pinPeer(fd.get(), credentials->pid);
  if (!peer) {
    log_.error("refusing connection from PID %d: the process is gone", credentials->pid);
    release();
    return;
  }
  const int rawFd = fd.get();
  auto connection = std::make_shared<ServerConnection>(std::move(fd), *credentials, std::move(*peer));
  const bool accepted = delegate_.shouldAcceptNewConnection(*this, *connection);
  if (!accepted || !connection->resumed_ || !connection->handler_) {
    refuse(rawFd,
           "this program is not allowed to use the helper (its code signature was not accepted; "
           "the helper's log says why)");
    release();
    return;
  }

  const nlohmann::json hello = {{"hello", options_.serviceName},
                                {"nonce", connection->nonce()},
                                {"maxPacketSize", options_.maxPacketSize}};
  if (sendPacket(rawFd, hello.dump(), 0) != 0) {
    release();
    return;
  }
  {
    std::lock_guard<std::mutex> guard(shared_->mutex);
    if (shared_->stopping) {
      --shared_->connections;
      shared_->changed.notify_all();
      return;
    }
    shared_->fds.insert(rawFd);
  }
  auto serve = [shared = shared_, connection, options = options_, log = log_] {
    pthread_setname_np(pthread_self(), "connection");
    ServerConnection& c = *connection;
    const int fd = c.fd_.get();
    for (;;) {
      ReceivedPacket packet = receivePacket(fd, options.maxPacketSize, -1);
      using Status = ReceivedPacket::Status;
      if (packet.status == Status::timeout) continue;
      if (packet.status == Status::closed || packet.status == Status::error) break;
      if (packet.status == Status::tooLarge) {
        log.error("closing connection from PID %d: a request of %zu bytes exceeds the limit of %zu",
                  c.processIdentifier(), packet.size, options.maxPacketSize);
        break;
      }
      if (packet.status == Status::withFiles) {
        log.error("closing connection from PID %d: a request carried file descriptors",
                  c.processIdentifier());
        break;
      }
      if (!packet.sender || packet.sender->pid != c.processIdentifier() ||
          packet.sender->uid != c.userIdentifier()) {
        log.error("closing connection from PID %d: a request was sent by PID %d, not by the admitted client",
                  c.processIdentifier(), packet.sender ? packet.sender->pid : 0);
        break;
      }
      const std::optional<std::string> reply = c.handler_->handlePacket(c, packet.data);
      if (!reply) break;
      if (sendPacket(fd, *reply, options.sendTimeout) != 0) break;
    }
    {
      std::lock_guard<std::mutex> guard(shared->mutex);
      shared->fds.erase(fd);
    }
    // Closed only once stop() can no longer see the descriptor, whose number
    // may be reused at once.
    c.handler_.reset();
    c.fd_.reset();
    std::lock_guard<std::mutex> guard(shared->mutex);
    --shared->connections;
    shared->changed.notify_all();
  };
  try {
    std::thread(std::move(serve)).detach();
  } catch (const std::system_error& e) {
    log_.error("refusing connection from PID %d: cannot start its thread: %s", credentials->pid, e.what());
    std::lock_guard<std::mutex> guard(shared_->mutex);
    shared_->fds.erase(rawFd);
    --shared_->connections;
    shared_->changed.notify_all();
  }
}

}  // namespace helper::ipc
