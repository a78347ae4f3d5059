#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/ipc/packet_server.h"
#include "platform/random/random.h"

namespace helper::ipc {
namespace {

// The peer pinned by a pidfd: from the socket when the kernel offers it
// (Linux 6.5 and later), else opened by pid right away. Why the fallback is
// safe is in docs/code-signing.md: a request must carry the nonce sent
// after admission and the kernel-attested pid of the pinned process, which
// is alive from admission to the request, so no other process can have
// sent it.
Result<PeerProcess> pinPeer(int fd, const Credentials& credentials, bool forceFallback) {
  int pidfd = -1;
  socklen_t length = sizeof(pidfd);
  if (!forceFallback && ::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0 && pidfd >= 0) {
    return PeerProcess(credentials.pid, UniqueFd(pidfd), credentials.uid, credentials.gid);
  }
  return PeerProcess::fromPid(credentials.pid, credentials.uid, credentials.gid);
}

// In the order docs/protocol.md shows the keys.
std::string refusalPacket(RefusalCode code, const std::string& reason) {
  const nlohmann::ordered_json packet = {
      {"refused", reason}, {"error", {{"domain", kRefusalDomain}, {"code", static_cast<int>(code)}}}};
  return packet.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

struct PacketServer::Shared {
  Mutex mutex;
  CondVar changed;
  std::size_t connections GUARDED_BY(mutex) = 0;
  std::map<uid_t, std::size_t> perUser GUARDED_BY(mutex);
  std::set<int> fds GUARDED_BY(mutex);  // sockets of live connections, for stop()
  bool stopping GUARDED_BY(mutex) = false;

  // One connection fewer.
  void release(uid_t uid) REQUIRES(mutex) {
    --connections;
    if (--perUser[uid] == 0) perUser.erase(uid);
    changed.notify_all();
  }
};

ServerConnection::ServerConnection(UniqueFd fd, Credentials credentials, PeerProcess peer)
    : fd_(std::move(fd)), credentials_(credentials), peer_(std::move(peer)), nonce_(randomHex(16)) {}

bool ServerConnection::peerClosed() const {
  pollfd p{fd_.get(), POLLRDHUP, 0};
  int rc;
  do rc = ::poll(&p, 1, 0);
  while (rc < 0 && errno == EINTR);
  return rc > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0;
}

PacketServer::PacketServer(Options options, Delegate& delegate)
    : options_(std::move(options)),
      delegate_(delegate),
      log_(kLogSubsystem, "Listener"),
      shared_(std::make_shared<Shared>()) {
  const char* fallback = std::getenv("HELPER_PIDFD_FALLBACK");
  forcePidfdFallback_ = fallback != nullptr && std::string(fallback) == "1";
}

PacketServer::~PacketServer() { stop(); }

Status PacketServer::resume() {
  if (options_.useSocketActivation) {
    Result<UniqueFd> activated = socketFromActivation();
    if (!activated) return activated.error();
    listenFd_ = std::move(*activated);
  }
  if (!listenFd_.valid()) {
    Result<UniqueFd> bound = bindListeningSocket(options_.socketPath);
    if (!bound) return bound.error();
    listenFd_ = std::move(*bound);
  }
  // Accepted sockets inherit this, so even packets a client writes before
  // it was accepted carry its credentials.
  enableCredentialPassing(listenFd_.get());
  stopEvent_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stopEvent_.valid()) return Error::fromErrno("eventfd");
  listener_ = std::thread([this] { listen(); });
  pthread_setname_np(listener_.native_handle(), "listener");
  return success();
}

void PacketServer::stop() {
  if (!listener_.joinable()) return;
  const uint64_t one = 1;
  if (::write(stopEvent_.get(), &one, sizeof(one)) < 0) {
    // The listener polls this descriptor; an eventfd write fails only on
    // overflow, which leaves it readable anyway.
  }
  listener_.join();
  MutexLock lock(shared_->mutex);
  shared_->stopping = true;
  for (int fd : shared_->fds) ::shutdown(fd, SHUT_RDWR);
  while (shared_->connections != 0) shared_->changed.wait(lock.mutex());
}

std::size_t PacketServer::connectionCount() const {
  MutexLock guard(shared_->mutex);
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
    accepted(UniqueFd(fd));
  }
}

void PacketServer::refuse(int fd, RefusalCode code, const std::string& reason) {
  // Best effort: the socket is new, so its queue has room; never wait.
  (void)sendPacket(fd, refusalPacket(code, reason), 0);  // a peer that cannot take it is closed anyway
}

void PacketServer::accepted(UniqueFd fd) {
  enableCredentialPassing(fd.get());
  const std::optional<Credentials> credentials = peerCredentials(fd.get());
  if (!credentials) {
    log_.error("listener: cannot read the credentials of a new connection: %s", std::strerror(errno));
    return;
  }
  {
    MutexLock guard(shared_->mutex);
    const std::size_t mine = shared_->perUser.count(credentials->uid) ? shared_->perUser[credentials->uid] : 0;
    // Root, who may do anything anyway, is held only to the global limit.
    const bool userFull = credentials->uid != 0 && mine >= options_.maxConnectionsPerUser;
    if (shared_->connections >= options_.maxConnections || userFull) {
      // One line per second at most: a flood must not flood the log too.
      ++capRefusals_;
      const double now = monotonicSeconds();
      if (lastCapLog_ < 0 || now - lastCapLog_ >= 1) {
        log_.error("refusing connection from PID %d (uid %u): %zu connections are open, %zu of them its user's "
                   "(limits %zu and %zu a user); %zu refused so far",
                   credentials->pid, credentials->uid, shared_->connections, mine, options_.maxConnections,
                   options_.maxConnectionsPerUser, capRefusals_);
        lastCapLog_ = now;
      }
      if (userFull) {
        refuse(fd.get(), RefusalCode::tooManyFromUser,
               "too many connections to the helper from this user (limit " +
                   std::to_string(options_.maxConnectionsPerUser) + "); close some and try again");
      } else {
        refuse(fd.get(), RefusalCode::tooManyConnections,
               "too many connections to the helper (limit " + std::to_string(options_.maxConnections) +
                   "); close some and try again");
      }
      return;
    }
    // Counted from now on, so the limits hold during admission as well.
    ++shared_->connections;
    ++shared_->perUser[credentials->uid];
  }

  Result<PeerProcess> peer = pinPeer(fd.get(), *credentials, forcePidfdFallback_);
  if (!peer) {
    log_.error("refusing connection from PID %d: the process is gone", credentials->pid);
    MutexLock guard(shared_->mutex);
    shared_->release(credentials->uid);
    return;
  }
  const int rawFd = fd.get();
  {
    MutexLock guard(shared_->mutex);
    shared_->fds.insert(rawFd);
  }
  auto connection = std::make_shared<ServerConnection>(std::move(fd), *credentials, std::move(*peer));
  // Admission and service on the connection's own thread: a peer whose
  // admission is slow holds up nobody else.
  auto serve = [this, shared = shared_, connection, options = options_, log = log_] {
    pthread_setname_np(pthread_self(), "connection");
    ServerConnection& c = *connection;
    const int fd = c.fd_.get();
    const bool accepted = delegate_.shouldAcceptNewConnection(*this, c);
    if (!accepted || !c.resumed_ || !c.handler_) {
      if (c.refusal_) {
        refuse(fd, c.refusal_->first, c.refusal_->second);
      } else {
        refuse(fd, RefusalCode::notAdmitted,
               "this program is not allowed to use the helper (its code signature was not accepted; the helper's "
               "log says why)");
      }
    } else {
      nlohmann::ordered_json hello = {
          {"hello", options.serviceName}, {"nonce", c.nonce()}, {"maxPacketSize", options.maxPacketSize}};
      if (options.protocolVersion != 0) hello["protocolVersion"] = options.protocolVersion;
      bool open = sendPacket(fd, hello.dump(), 0).ok();
      while (open) {
        ReceivedPacket packet = receivePacket(fd, options.maxPacketSize, options.idleTimeout);
        using Status = ReceivedPacket::Status;
        if (packet.status == Status::timeout) {
          log.info("closing connection from PID %d: no request for %.0f s", c.processIdentifier(),
                   options.idleTimeout);
          break;
        }
        if (packet.status == Status::closed || packet.status == Status::error) break;
        if (packet.status == Status::tooLarge) {
          log.error("closing connection from PID %d: a request of %zu bytes exceeds the limit of %zu",
                    c.processIdentifier(), packet.size, options.maxPacketSize);
          break;
        }
        if (packet.status == Status::withFiles) {
          log.error("closing connection from PID %d: a request carried file descriptors", c.processIdentifier());
          break;
        }
        if (!packet.sender || packet.sender->pid != c.processIdentifier()) {
          log.error("closing connection from PID %d: a request was sent by PID %d, not by the admitted client",
                    c.processIdentifier(), packet.sender ? packet.sender->pid : 0);
          break;
        }
        if (c.senderCheck_) {
          if (const std::string why = c.senderCheck_(*packet.sender); !why.empty()) {
            log.error("closing connection from PID %d: %s", c.processIdentifier(), why.c_str());
            break;
          }
        }
        const std::optional<std::string> reply = c.handler_->handlePacket(c, packet.data);
        open = reply && sendPacket(fd, *reply, options.sendTimeout).ok();
      }
    }
    c.handler_.reset();
    {
      MutexLock guard(shared->mutex);
      shared->fds.erase(fd);
      shared->release(c.userIdentifier());
    }
    // Closed only once stop() can no longer see the descriptor, whose number
    // may be reused at once, and once it is no longer counted: a client that
    // sees its connection end finds its place free.
    c.fd_.reset();
  };
  try {
    std::thread(std::move(serve)).detach();
  } catch (const std::system_error& e) {
    log_.error("refusing connection from PID %d: cannot start its thread: %s", credentials->pid, e.what());
    MutexLock guard(shared_->mutex);
    shared_->fds.erase(rawFd);
    shared_->release(credentials->uid);
  }
}

}  // namespace helper::ipc
