// The control transport's socket layer: Unix-domain SOCK_SEQPACKET sockets,
// where one send is one packet and a receive never returns part of one or
// two of them. Every packet received by the service carries the sender's
// kernel-attested credentials (SO_PASSCRED), so a request can be tied to the
// process that wrote it, not just to the process that connected.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/clock.h"
#include "platform/base/result.h"
#include "platform/base/unique_fd.h"

namespace helper::ipc {

// The largest request the service reads; anything longer closes the
// connection.
inline constexpr std::size_t kDefaultMaxPacketSize = std::size_t{64} * 1024;

using helper::UniqueFd;

// Process credentials as the kernel reports them.
struct Credentials {
  pid_t pid = 0;
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
};

// The credentials of the process at the other end of a connected socket, as
// they were when it connected (SO_PEERCRED).
std::optional<Credentials> peerCredentials(int fd);

// Asks the kernel to attach the sender's credentials to every packet this
// socket receives.
bool enableCredentialPassing(int fd);

struct ReceivedPacket {
  enum class Status {
    packet,     // `data` holds one whole packet
    closed,     // the other end closed the connection
    timeout,    // nothing arrived in time
    tooLarge,   // a packet longer than the limit; `size` is its length
    withFiles,  // the packet carried file descriptors (closed at once)
    error,      // `error` holds the errno value
  };
  Status status = Status::error;
  std::string data;
  std::size_t size = 0;
  // The sender's credentials, when the kernel attached them.
  std::optional<Credentials> sender;
  int error = 0;
};

// Receives one packet of at most `maxSize` bytes, waiting up to
// `timeoutSeconds` (negative: without limit).
ReceivedPacket receivePacket(int fd, std::size_t maxSize, double timeoutSeconds);

// Sends one packet, waiting up to `timeoutSeconds` for room in the other
// end's queue. The error's code is the errno value (ETIMEDOUT on time-out,
// EPIPE when the other end is gone). Never raises SIGPIPE.
Status sendPacket(int fd, std::string_view data, double timeoutSeconds);

// A listening SOCK_SEQPACKET socket bound at `path`, mode 0666. An existing
// socket file that nobody listens on any more is replaced; a live one, or a
// file of another kind, is left alone and reported. The parent directory is
// created when missing.
Result<UniqueFd> bindListeningSocket(const std::string& path);

// The listening socket handed over by systemd socket activation (LISTEN_PID
// and LISTEN_FDS naming this process), when it is a listening Unix
// SOCK_SEQPACKET socket; an invalid descriptor when systemd passed none, an
// error when it passed some but none of that kind. Clears the variables so
// children do not see them.
Result<UniqueFd> socketFromActivation();

// A SOCK_SEQPACKET socket connected to `path`, or a reason a user can act on.
Result<UniqueFd> connectSocket(const std::string& path);

}  // namespace helper::ipc
