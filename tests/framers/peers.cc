#include "tests/framers/peers.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace helper::test {
namespace {

using namespace std::chrono_literals;

int listenLoopback(uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 64) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error(std::string("cannot listen on loopback: ") + std::strerror(errno));
  }
  *port = ntohs(address.sin_port);
  return fd;
}

bool connects(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

pid_t spawnLogged(const std::vector<std::string>& argv, const std::string& logPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return pid;
}

// Waits for input while checking `stopping`; false when it is time to end.
bool readable(int fd, const std::atomic<bool>& stopping) {
  while (!stopping) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) return true;
  }
  return false;
}

}  // namespace

uint16_t freePort() {
  uint16_t port = 0;
  ::close(listenLoopback(&port));
  return port;
}

ServerProcess::~ServerProcess() {
  if (reaped_) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 300; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(10ms);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::string ServerProcess::log() const { return readFile(logPath_); }

bool ServerProcess::waitUntilListening(double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      reaped_ = true;
      return false;
    }
    if (connects(port_)) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

std::string missingProgram(const std::string& path, const std::string& package) {
  if (access(path.c_str(), X_OK) == 0) return "";
  return path + " is not installed (Debian package " + package + ")";
}

std::unique_ptr<ServerProcess> startMicrosocks(const TempDir& dir, std::optional<std::string> user,
                                               std::optional<std::string> password) {
  const uint16_t port = freePort();
  std::vector<std::string> argv{"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(port)};
  if (user) argv.insert(argv.end(), {"-u", *user});
  if (password) argv.insert(argv.end(), {"-P", *password});
  const std::string log = dir.file("microsocks-" + std::to_string(port) + ".log");
  return std::make_unique<ServerProcess>(spawnLogged(argv, log), port, log);
}

std::unique_ptr<ServerProcess> startTinyproxy(const TempDir& dir, std::optional<std::string> user,
                                              std::optional<std::string> password) {
  const uint16_t port = freePort();
  const std::string name = "tinyproxy-" + std::to_string(port);
  std::string config = "Port " + std::to_string(port) +
                       "\nListen 127.0.0.1\nTimeout 30\nMaxClients 32\nAllow 127.0.0.1\n"
                       "LogLevel Info\nPidFile \"" + dir.file(name + ".pid") + "\"\n";
  if (user && password) config += "BasicAuth " + *user + " " + *password + "\n";
  writeFile(dir.file(name + ".conf"), config);
  const std::string log = dir.file(name + ".log");
  return std::make_unique<ServerProcess>(
      spawnLogged({"/usr/bin/tinyproxy", "-d", "-c", dir.file(name + ".conf")}, log), port, log);
}

std::unique_ptr<ServerProcess> startSquid(const TempDir& dir, const std::string& user,
                                          const std::string& password) {
  const uint16_t port = freePort();
  crypt_data data{};
  const char* hash = crypt_r(password.c_str(), "$6$helpertest$", &data);
  if (!hash || hash[0] == '*') throw std::runtime_error("crypt_r failed");
  chmod(dir.path().c_str(), 0755);
  const std::string htpasswd = dir.file("htpasswd");
  writeFile(htpasswd, user + ":" + hash + "\n");
  chmod(htpasswd.c_str(), 0644);
  const std::string config = dir.file("squid.conf");
  writeFile(config, "http_port 127.0.0.1:" + std::to_string(port) + "\n"
                    "pid_filename none\n"
                    "cache_log stdio:/dev/stderr\n"
                    "access_log none\n"
                    "cache deny all\n"
                    "cache_mem 8 MB\n"
                    "pinger_enable off\n"
                    "shutdown_lifetime 0 seconds\n"
                    "auth_param basic program /usr/lib/squid/basic_ncsa_auth " + htpasswd + "\n"
                    "auth_param basic realm helper-test\n"
                    "acl loopback src 127.0.0.1/32\n"
                    "acl authenticated proxy_auth REQUIRED\n"
                    "http_access allow loopback authenticated\n"
                    "http_access deny all\n");
  const std::string log = dir.file("squid.log");
  return std::make_unique<ServerProcess>(spawnLogged({"/usr/sbin/squid", "-N", "-f", config}, log),
                                         port, log);
}

std::string danteUnavailable() {
  if (auto missing = missingProgram("/usr/sbin/danted", "dante-server"); !missing.empty()) return missing;
  if (geteuid() != 0) {
    return "danted checks system accounts; the test gives it a private account list in a "
           "mount namespace of its own, which needs root";
  }
  return "";
}

namespace {

struct DanteChild {
  const char* passwd;
  const char* shadow;
  int logFd;
  char* const* argv;
};

// Runs in the new namespaces, before exec: only async-signal-safe calls.
int danteMain(void* raw) {
  const auto* c = static_cast<const DanteChild*>(raw);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(120);
  if (mount(c->passwd, "/etc/passwd", nullptr, MS_BIND, nullptr) != 0) _exit(121);
  if (mount(c->shadow, "/etc/shadow", nullptr, MS_BIND, nullptr) != 0) _exit(122);
  const int devnull = open("/dev/null", O_RDONLY);
  dup2(devnull, 0);
  dup2(c->logFd, 1);
  dup2(c->logFd, 2);
  execv(c->argv[0], c->argv);
  _exit(127);
}

}  // namespace

std::unique_ptr<ServerProcess> startDante(const TempDir& dir, const std::string& user,
                                          const std::string& password) {
  const uint16_t port = freePort();
  crypt_data data{};
  const char* hash = crypt_r(password.c_str(), "$6$helpertest$", &data);
  if (!hash || hash[0] == '*') throw std::runtime_error("crypt_r failed");
  const std::string passwdPath = dir.file("passwd");
  const std::string shadowPath = dir.file("shadow");
  writeFile(passwdPath, readFile("/etc/passwd") + user + ":x:64999:64999::/nonexistent:/usr/sbin/nologin\n");
  writeFile(shadowPath, readFile("/etc/shadow") + user + ":" + hash + ":19000:0:99999:7:::\n");
  chmod(shadowPath.c_str(), 0640);
  const std::string configPath = dir.file("danted.conf");
  writeFile(configPath, "logoutput: stderr\n"
                        "internal: 127.0.0.1 port = " + std::to_string(port) + "\n"
                        "external: 127.0.0.1\n"
                        "socksmethod: username\n"
                        "clientmethod: none\n"
                        "user.privileged: root\n"
                        "user.unprivileged: nobody\n"
                        "client pass { from: 127.0.0.1/32 to: 0.0.0.0/0 }\n"
                        "socks pass { from: 127.0.0.1/32 to: 0.0.0.0/0 }\n");
  const std::string logPath = dir.file("danted.log");
  const int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::string program = "/usr/sbin/danted", flag = "-f";
  char* argv[] = {program.data(), flag.data(), const_cast<char*>(configPath.c_str()), nullptr};
  DanteChild child{passwdPath.c_str(), shadowPath.c_str(), logFd, argv};
  std::vector<char> stack(256 * 1024);
  const pid_t pid = clone(danteMain, stack.data() + stack.size(), CLONE_NEWNS | CLONE_NEWPID | SIGCHLD, &child);
  const int error = errno;
  close(logFd);
  if (pid < 0) throw std::runtime_error(std::string("cannot start danted: clone: ") + std::strerror(error));
  return std::make_unique<ServerProcess>(pid, port, logPath);
}

LoopbackServer::LoopbackServer(Serve serve) {
  listener_ = listenLoopback(&port_);
  acceptor_ = std::thread([this, serve = std::move(serve)] {
    while (!stopping_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) connections_.emplace_back(serve, fd, std::cref(stopping_));
    }
  });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  acceptor_.join();
  for (auto& t : connections_) t.join();
  ::close(listener_);
}

EchoServer::EchoServer()
    : LoopbackServer([](int fd, const std::atomic<bool>& stopping) {
        std::vector<char> buf(65536);
        while (readable(fd, stopping)) {
          const ssize_t n = ::read(fd, buf.data(), buf.size());
          if (n <= 0 || ::send(fd, buf.data(), static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
        }
        ::close(fd);
      }) {}

FixedReplyServer::FixedReplyServer(std::string reply)
    : LoopbackServer([reply = std::move(reply)](int fd, const std::atomic<bool>& stopping) {
        (void)!::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        char buf[4096];
        while (readable(fd, stopping) && ::read(fd, buf, sizeof buf) > 0) {
        }
        ::close(fd);
      }) {}

}  // namespace helper::test
