// The launcher of an application written in Python. The helper admits only
// a native program signed as the application, so this small program is
// what connects and is admitted; it then runs the application's own script
// under the system's interpreter and relays whole packets between the two:
// the helper's to the script, the script's to the helper.
//
// Install it like the native application (signed as tarn.CorvalethApp,
// root:corvalethapp, mode 2755) in a directory only root can change, with
// the script beside it (root-owned, not writable by others). What it
// guarantees, and what stays the application's part, is in
// docs/integrating.md.
//
// The script finds its end of the relay, a SOCK_SEQPACKET socket, on
// descriptor 3, and speaks the protocol of docs/protocol.md over it from
// the greeting on. Arguments after the launcher's own name are passed to
// the script. Exit status: the script's (128 + N when signal N ended it);
// 3 the helper is not reachable; 1 the launcher could not start the script.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kSocketPath = "/run/tarn.CorvalethApp.helper.xpc";
// Never found through PATH: a fixed file only root can change.
constexpr const char* kInterpreter = "/usr/bin/python3";
// The application's code, beside the launcher.
constexpr const char* kScriptName = "example.py";
constexpr int kScriptFd = 3;
// The helper's largest packet (its greeting's maxPacketSize); one byte
// more tells a larger one apart.
constexpr std::size_t kMaxPacket = 65536;

volatile sig_atomic_t scriptPid = 0;

[[noreturn]] void fail(int status, const std::string& why) {
  std::fprintf(stderr, "launcher: %s\n", why.c_str());
  std::exit(status);
}

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// Connected to the helper, which must run as root: the script's packets go
// nowhere else. Under HELPER_ROOT (a development helper) the socket is
// there.
int connectToHelper() {
  const char* root = std::getenv("HELPER_ROOT");
  const std::string path = std::string(root != nullptr ? root : "") + kSocketPath;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) fail(3, "socket path too long: " + path);
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) fail(1, errnoText("socket"));
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    fail(3, errnoText("the helper is not reachable at " + path));
  }
  ucred server{};
  socklen_t length = sizeof(server);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &server, &length) != 0 || server.uid != 0) {
    fail(3, path + " is not served by root");
  }
  return fd;
}

// The script's path, once it is a file only root can change: its directory
// is the launcher's own, which admission already requires to be so.
std::string trustedScript() {
  std::string self(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= self.size()) fail(1, "cannot find the launcher's own file");
  self.resize(static_cast<std::size_t>(n));
  std::string script = self.substr(0, self.rfind('/') + 1) + kScriptName;
  struct stat st {};
  if (::lstat(script.c_str(), &st) != 0) fail(1, errnoText(script));
  if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    fail(1, script + " must be a regular file owned by root and writable by nobody else");
  }
  return script;
}

// The script under the interpreter, in isolated mode (no PYTHON* variables,
// no user site-packages, not its own directory on the module path), with a
// fixed environment and descriptors 0, 1, 2 and its end of the relay only.
// It keeps the application's group, so the kernel makes it non-dumpable
// like the launcher: other processes of the user cannot trace it.
pid_t startScript(const std::string& script, int scriptEnd, char** arguments) {
  std::vector<const char*> argv = {kInterpreter, "-I", script.c_str()};
  for (char** a = arguments; *a != nullptr; ++a) argv.push_back(*a);
  argv.push_back(nullptr);
  const char* const environment[] = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8", nullptr};
  const pid_t pid = ::fork();
  if (pid < 0) fail(1, errnoText("fork"));
  if (pid == 0) {
    // dup2 leaves the copy open across exec; everything else is closed.
    if (::dup2(scriptEnd, kScriptFd) != kScriptFd || ::close_range(kScriptFd + 1, ~0U, 0) != 0) _exit(127);
    ::execve(kInterpreter, const_cast<char* const*>(argv.data()), const_cast<char* const*>(environment));
    _exit(127);
  }
  return pid;
}

// Moves one packet; false when `from` ended or the packet cannot be passed
// on whole.
bool relay(int from, int to, std::vector<char>& buffer) {
  // Without a control buffer any descriptors the script attaches are
  // dropped by the kernel, never passed on.
  const ssize_t n = ::recv(from, buffer.data(), buffer.size(), MSG_TRUNC);
  if (n <= 0 || static_cast<std::size_t>(n) > kMaxPacket) return false;
  return ::send(to, buffer.data(), static_cast<std::size_t>(n), MSG_NOSIGNAL) == n;
}

void forwardSignal(int signal) {
  if (scriptPid > 0) ::kill(scriptPid, signal);
}

}  // namespace

int main(int argc, char** argv) {
  (void)argc;
  const int helper = connectToHelper();
  const std::string script = trustedScript();
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) fail(1, errnoText("socketpair"));
  // The launcher ends when the script does: a stop request is the script's
  // to act on (it may want to deactivate first).
  struct sigaction forward {};
  forward.sa_handler = forwardSignal;
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &forward, nullptr);
  scriptPid = startScript(script, pair[1], argv + 1);
  ::close(pair[1]);
  const int app = pair[0];

  std::vector<char> buffer(kMaxPacket + 1);
  for (;;) {
    pollfd fds[2] = {{helper, POLLIN, 0}, {app, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    // A readable end is drained before a hang-up counts: a refusal arrives
    // together with the end of the connection.
    if ((fds[0].revents & POLLIN) != 0) {
      if (!relay(helper, app, buffer)) break;
    } else if (fds[0].revents != 0) {
      break;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      if (!relay(app, helper, buffer)) break;
    } else if (fds[1].revents != 0) {
      break;
    }
  }
  // Either side gone: the other sees its end of the relay close.
  ::close(helper);
  ::close(app);
  int status = 0;
  while (::waitpid(scriptPid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
