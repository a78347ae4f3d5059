// Real peers for the framers' socket tests, interoperability tests and
// benchmark: proxy servers from Debian on free loopback ports, ended by the
// ids the tests started, a loopback server of the test's own, and plain
// socket helpers.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/stream/socket_stream.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"

namespace helper::test {

inline bool readExactly(int fd, size_t n, stream::Bytes* out = nullptr) {
  stream::Bytes buf(n);
  const bool complete = ::recv(fd, buf.data(), n, MSG_WAITALL) == static_cast<ssize_t>(n);
  if (out) *out = std::move(buf);
  return complete;
}

inline bool writeAll(int fd, stream::ByteView data) {
  return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

inline int listenLoopback(uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error(std::string("cannot listen on loopback: ") + std::strerror(errno));
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// A loopback port nobody listens on right now.
inline uint16_t freePort() {
  uint16_t port = 0;
  ::close(listenLoopback(&port));
  return port;
}

// Why `path` cannot be run here (naming its Debian package), or empty.
inline std::string missingProgram(const std::string& path, const std::string& package) {
  return access(path.c_str(), X_OK) == 0 ? "" : path + " is not installed (Debian package " + package + ")";
}

// A server process listening on `port`, its output in `logPath`; killed on
// destruction by its own pid (SIGKILL: the servers keep nothing worth a
// clean stop, and the namespace wrapper of danted ignores SIGTERM).
class ServerProcess {
 public:
  ServerProcess(const std::vector<std::string>& argv, uint16_t port, std::string logPath)
      : port_(port), logPath_(std::move(logPath)) {
    const UniqueFd log(::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    child_ = startProgram(SpawnRequest(argv[0], {argv.begin() + 1, argv.end()}, log.get(), log.get()));
  }
  ~ServerProcess() {
    child_->sendSignal(SIGKILL);
    child_->waitForExit(-1);
  }
  uint16_t port() const { return port_; }
  std::string log() const { return readFile(logPath_); }
  // False when the process died or did not listen within 10 s.
  bool waitUntilListening() {
    const auto deadline = stream::Clock::now() + std::chrono::seconds(10);
    while (stream::Clock::now() < deadline && child_->isRunning()) {
      if (stream::connectTcp("127.0.0.1", port_, deadline)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

 private:
  uint16_t port_;
  std::string logPath_;
  std::unique_ptr<ChildProcess> child_;
};
using Server = std::unique_ptr<ServerProcess>;

// Every proxy account of the tests has this password; its SHA-512 crypt(3)
// hash, for htpasswd and shadow files.
inline const std::string kPassword = "s3cret";
inline const std::string kPasswordHash =
    "$6$helpertest$AevxszG0lq1/9AUEDzabHFO8dkgaqWeu22c4I04me0XCIH0eEWz9p4iuIa2bMLgkuV95/e6ffj6L9urd/bj/10";

// microsocks, which admits only `user`.
inline Server startMicrosocks(const TempDir& dir, const std::string& user) {
  const uint16_t port = freePort();
  return std::make_unique<ServerProcess>(std::vector<std::string>{"/usr/bin/microsocks", "-i", "127.0.0.1", "-p",
                                                                  std::to_string(port), "-u", user, "-P", kPassword},
                                         port, dir.file("microsocks.log"));
}

// squid, with Basic authentication of `user` when given. It drops root for
// the "proxy" account, so the test folder is made readable to it.
inline Server startSquid(const TempDir& dir, const std::optional<std::string>& user = {}) {
  const uint16_t port = freePort();
  std::string config = "http_port 127.0.0.1:" + std::to_string(port) +
                       "\npid_filename none\ncache_log stdio:/dev/stderr\naccess_log none\ncache deny all\n"
                       "cache_mem 8 MB\npinger_enable off\nshutdown_lifetime 0 seconds\n"
                       "acl loopback src 127.0.0.1/32\n";
  if (user) {
    chmod(dir.path().c_str(), 0755);
    writeFile(dir.file("htpasswd"), *user + ":" + kPasswordHash + "\n");
    chmod(dir.file("htpasswd").c_str(), 0644);
    config += "auth_param basic program /usr/lib/squid/basic_ncsa_auth " + dir.file("htpasswd") +
              "\nacl authenticated proxy_auth REQUIRED\nhttp_access allow loopback authenticated\n";
  }
  writeFile(dir.file("squid.conf"), config + "http_access allow loopback\nhttp_access deny all\n");
  return std::make_unique<ServerProcess>(
      std::vector<std::string>{"/usr/sbin/squid", "-N", "-f", dir.file("squid.conf")}, port, dir.file("squid.log"));
}

// danted with the username method checks system accounts, so it runs in
// private mount and PID namespaces where copies of passwd and shadow with
// the test account are bind-mounted over the machine's. Needs root.
inline std::string danteUnavailable() {
  if (auto missing = missingProgram("/usr/sbin/danted", "dante-server"); !missing.empty()) return missing;
  return geteuid() == 0 ? "" : "danted checks system accounts; the test's private account list needs root";
}

inline Server startDante(const TempDir& dir, const std::string& user) {
  const uint16_t port = freePort();
  writeFile(dir.file("passwd"), readFile("/etc/passwd") + user + ":x:64999:64999::/nonexistent:/usr/sbin/nologin\n");
  writeFile(dir.file("shadow"), readFile("/etc/shadow") + user + ":" + kPasswordHash + ":19000:0:99999:7:::\n");
  chmod(dir.file("shadow").c_str(), 0600);
  writeFile(dir.file("danted.conf"), "logoutput: stderr\ninternal: 127.0.0.1 port = " + std::to_string(port) +
                                         "\nexternal: 127.0.0.1\nsocksmethod: username\nclientmethod: none\n"
                                         "user.privileged: root\nuser.unprivileged: nobody\n"
                                         "client pass { from: 127.0.0.1/32 to: 0.0.0.0/0 }\n"
                                         "socks pass { from: 127.0.0.1/32 to: 0.0.0.0/0 }\n");
  // The shell stays the namespace's first process: unshare's --kill-child
  // ends it with unshare, and with it everything in the namespace. danted
  // itself would lose that signal when it switches user ids.
  const std::string script = "mount --bind " + dir.file("passwd") + " /etc/passwd && mount --bind " +
                             dir.file("shadow") + " /etc/shadow && /usr/sbin/danted -f " + dir.file("danted.conf") +
                             "; exit";
  return std::make_unique<ServerProcess>(
      std::vector<std::string>{"/usr/bin/unshare", "--mount", "--pid", "--kill-child", "/bin/sh", "-c", script}, port,
      dir.file("danted.log"));
}

// Serves one connection at a time: sends `reply`, then echoes what comes
// (or with `echo` false ignores it) until the client closes.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::string reply = "", bool echo = true) : listener_(listenLoopback(&port_)) {
    thread_ = std::jthread([this, reply = std::move(reply), echo](const std::stop_token& stop) {
      stream::Bytes buf(65536);
      while (readable(listener_.get(), stop)) {
        const UniqueFd fd(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        bool ok = writeAll(fd.get(), stream::ByteView(reinterpret_cast<const uint8_t*>(reply.data()), reply.size()));
        for (ssize_t n; ok && readable(fd.get(), stop) && (n = ::read(fd.get(), buf.data(), buf.size())) > 0;) {
          ok = !echo || writeAll(fd.get(), stream::ByteView(buf).first(static_cast<size_t>(n)));
        }
      }
    });
  }
  uint16_t port() const { return port_; }

 private:
  // Waits for input while checking whether it is time to end.
  static bool readable(int fd, const std::stop_token& stop) {
    for (pollfd p{fd, POLLIN, 0}; !stop.stop_requested();) {
      if (poll(&p, 1, 50) > 0) return true;
    }
    return false;
  }

  uint16_t port_ = 0;
  UniqueFd listener_;
  std::jthread thread_;  // declared last: stopped and joined before the listener closes
};

}  // namespace helper::test
