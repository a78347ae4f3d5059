// What a hostile local user runs against the helper, one technique per mode.
// Every attempt that gets as far as a request asks for an activation with a
// marker as its client pid, so the test can tell from the helper's log
// whether any request of the attacker's was ever served. Prints what it saw.
//
//   attacker memfd MARK IMAGE URL            the signed client run from a memfd it can still write
//   attacker connect-exec MARK IMAGE URL     a child connects, then execs the signed client; the
//                                            parent, which shares the socket, sends the request
//   attacker userns-forge MARK IMAGE URL     the same inside new user, mount and pid namespaces,
//                                            the parent naming the signed child in the credentials
//   attacker traceme MARK IMAGE URL          the signed client started under ptrace (PTRACE_TRACEME)
//   attacker ptrace PID                      PTRACE_ATTACH to PID, and /proc/PID/mem opened to write
//   attacker connect-exit                    connects, prints its pid, exits at once
//   attacker hoard N                         opens N connections, prints what each heard, then stops
//                                            itself holding them
// The helper's socket is $HELPER_ROOT/run/tarn.CorvalethApp.helper.xpc.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

extern char** environ;

namespace {

// Connects `fd`, a new socket unless given, to the helper, or exits.
int connectToHelper(int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)) {
  const char* root = std::getenv("HELPER_ROOT");
  const std::string path = std::string(root ? root : "") + "/run/tarn.CorvalethApp.helper.xpc";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::printf("connect: %s\n", std::strerror(errno));
    std::exit(2);
  }
  return fd;
}

// The first packet within two seconds, or "(none)".
std::string receive(int fd) {
  timeval tv{2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char buf[4096];
  const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "(none)";
}

// Runs the signed client's activate with `marker` as its pid, from `path`
// (a name for the image's file), and does not return.
[[noreturn]] void execClient(const std::string& path, const std::string& marker, const std::string& url) {
  const char* argv[] = {"client", "activate", url.c_str(), "--pid", marker.c_str(), "--detach", nullptr};
  ::execve(path.c_str(), const_cast<char**>(argv), environ);
  std::printf("exec %s: %s\n", path.c_str(), std::strerror(errno));
  std::_Exit(127);
}

// Runs the intact image from a memfd, which stays open in the client: a
// descriptor through which its user could rewrite the code while it runs.
int memfdAttack(const std::string& marker, const std::string& image, const std::string& url) {
  std::ifstream in(image, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  const int memfd = static_cast<int>(::syscall(SYS_memfd_create, "client", 0));
  if (memfd < 0 || ::write(memfd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return 3;
  execClient("/proc/self/fd/" + std::to_string(memfd), marker, url);
}

// A child connects and execs the signed client; the parent shares the
// socket and speaks for it, naming the child as the sender when `forge`.
int connectExec(const std::string& marker, const std::string& image, const std::string& url, bool forge) {
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  int stop[2], connected[2];
  if (::pipe(stop) != 0 || ::pipe2(connected, O_CLOEXEC) != 0) return 3;
  const pid_t child = ::fork();
  if (child == 0) {
    connectToHelper(fd);
    ::dup2(stop[0], 0);  // the client reads the URL from a standard input that never ends
    execClient(image, marker, "-");  // the pipe closes at the exec: connected and exec'ing
  }
  ::close(connected[1]);
  char done;
  while (::read(connected[0], &done, 1) > 0) {
  }
  const std::string greeting = receive(fd);
  std::printf("greeting: %s\n", greeting.c_str());
  const size_t at = greeting.find("\"nonce\":\"");
  const std::string nonce = at == std::string::npos ? "" : greeting.substr(at + 9, 32);
  const std::string packet = "{\"nonce\":\"" + nonce + "\",\"id\":1,\"op\":\"activate\",\"proxyURL\":\"" + url +
                             "\",\"clientPID\":" + marker + "}";
  iovec iov{const_cast<char*>(packet.data()), packet.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  // Inside the namespaces this process may name any process of its pid
  // namespace as the sender.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
  if (forge) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    *c = cmsghdr{CMSG_LEN(sizeof(ucred)), SOL_SOCKET, SCM_CREDENTIALS};
    const ucred cred{child, 0, 0};
    std::memcpy(CMSG_DATA(c), &cred, sizeof cred);
  }
  std::printf("send: %s\n", ::sendmsg(fd, &msg, MSG_NOSIGNAL) >= 0 ? "ok" : std::strerror(errno));
  std::printf("reply: %s\n", receive(fd).c_str());
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return 0;
}

int usernsForge(const std::string& marker, const std::string& image, const std::string& url) {
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWPID) != 0) {
    std::printf("unshare: %s\n", std::strerror(errno));
    return 3;
  }
  std::ofstream("/proc/self/setgroups") << "deny";
  std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
  std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
  // The first child is pid 1 of the new pid namespace, with every
  // capability of the new user namespace.
  const pid_t init = ::fork();
  if (init == 0) std::_Exit(connectExec(marker, image, url, true));
  int status = 0;
  ::waitpid(init, &status, 0);
  return WEXITSTATUS(status);
}

int traceme(const std::string& marker, const std::string& image, const std::string& url) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    ::raise(SIGSTOP);
    execClient(image, marker, url);
  }
  int status = 0;
  ::waitpid(child, &status, 0);  // stopped before the exec
  ::ptrace(PTRACE_CONT, child, nullptr, nullptr);
  ::waitpid(child, &status, 0);  // the exec, under trace
  // Detached: it runs untraced from here, but it was started under ptrace.
  ::ptrace(PTRACE_DETACH, child, nullptr, nullptr);
  ::waitpid(child, &status, 0);
  std::printf("client exited with %d\n", WEXITSTATUS(status));
  return 0;
}

int ptraceAttach(pid_t pid) {
  const long attached = ::ptrace(PTRACE_ATTACH, pid, nullptr, nullptr);
  std::printf("attach: %s\n", attached == 0 ? "ok" : std::strerror(errno));
  if (attached == 0) ::ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
  const int mem = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDWR);
  std::printf("mem: %s\n", mem >= 0 ? "ok" : std::strerror(errno));
  return 0;
}

// Opens `count` connections and keeps them: they stay open while it is
// stopped.
int hoard(int count) {
  for (int i = 0; i < count; ++i) {
    const std::string first = receive(connectToHelper());
    std::printf("%s\n", first.find("\"hello\"") != std::string::npos ? "hello" : first.c_str());
  }
  ::raise(SIGSTOP);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "memfd" && argc == 5) return memfdAttack(argv[2], argv[3], argv[4]);
  if (mode == "connect-exec" && argc == 5) return connectExec(argv[2], argv[3], argv[4], false);
  if (mode == "userns-forge" && argc == 5) return usernsForge(argv[2], argv[3], argv[4]);
  if (mode == "traceme" && argc == 5) return traceme(argv[2], argv[3], argv[4]);
  if (mode == "ptrace" && argc == 3) return ptraceAttach(std::atoi(argv[2]));
  if (mode == "connect-exit") {
    connectToHelper();
    std::printf("%d\n", ::getpid());
    return 0;
  }
  if (mode == "hoard" && argc == 3) return hoard(std::atoi(argv[2]));
  std::fprintf(stderr, "usage: see the head of tests/attack/attacker.cc\n");
  return 64;
}
