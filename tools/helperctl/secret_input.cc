#include "tools/helperctl/secret_input.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <iostream>

namespace helperctl {
namespace {

// Far beyond any proxy URL or token; it bounds what a stray `< /dev/zero`
// makes us hold.
constexpr std::size_t kMaxSecretSize = std::size_t{16} * 1024;

// The terminal whose echo is off while a secret is typed, so that a signal
// that ends the process gives it back as it was.
int gEchoOffFd = -1;
termios gSavedTerminal{};

extern "C" void restoreTerminalAndRaise(int sig) {
  tcsetattr(gEchoOffFd, TCSANOW, &gSavedTerminal);
  signal(sig, SIG_DFL);
  raise(sig);
}

constexpr int kTerminalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// One line typed at the terminal `fd`, without echo; the prompt goes to
// standard error. Canonical mode hands over one line per read.
bool readFromTerminal(int fd, const std::string& prompt, std::string& text, int& error) {
  termios saved{};
  const bool echoOff = tcgetattr(fd, &saved) == 0 && (saved.c_lflag & ECHO) != 0;
  if (echoOff) {
    gEchoOffFd = fd;
    gSavedTerminal = saved;
    for (const int sig : kTerminalSignals) signal(sig, restoreTerminalAndRaise);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fd, TCSANOW, &quiet);
  }
  std::cerr << prompt << std::flush;
  bool ok = true;
  char buf[512];
  while (text.size() <= kMaxSecretSize && (text.empty() || text.back() != '\n')) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      ok = false;
    }
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  if (echoOff) {
    tcsetattr(fd, TCSANOW, &saved);
    for (const int sig : kTerminalSignals) signal(sig, SIG_DFL);
    std::cerr << "\n";  // the Enter that was not echoed
  }
  return ok;
}

// Everything until end of file, or a little more than the limit.
bool readAll(int fd, std::string& text, int& error) {
  char buf[4096];
  while (text.size() <= kMaxSecretSize) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      return false;
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

void SecretInput::addTo(CLI::App& command, const std::string& description, const std::string& exitStatus) {
  command_ = "helperctl " + command.get_name();
  command.footer("An argument is visible to every local user in the process list (ps, "
                      "/proc/PID/cmdline) for as long as helperctl runs. Give a " + what_ +
                      " that must stay secret as - instead, to read it from standard input: `" + command_ +
                      " - < file`, or `echo " + name_ + " | " + command_ +
                      " -` (echo is built into the shell, so it runs as no process of its own). At a "
                      "terminal, - asks for it and reads it without echo.\n\n" + exitStatus);
  command.add_option(name_, argument_, description + ", or - to read it from standard input (one line)");
  command.add_option("--fd", fd_,
                     "read the " + what_ + " from this open file descriptor instead, as - reads standard "
                     "input: `" + command_ + " --fd 3 3< file`")
      ->type_name("N")
      ->check(CLI::Validator(
          [](const std::string& text) {
            int fd = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), fd);
            if (text.empty() || error != std::errc() || end != text.data() + text.size() || fd < 0) {
              return "wants a file descriptor number (0 is standard input), not '" + text + "'";
            }
            return std::string();
          },
          ""));
}

std::optional<std::string> SecretInput::read() const {
  const auto fail = [this](const std::string& why) {
    std::cerr << command_ << ": " << why << "\n";
    return std::nullopt;
  };
  if (!fd_ && argument_.empty()) {
    return fail("the " + what_ + " is missing: give it as an argument, as - to read it from standard "
                "input, or with --fd N\nRun `" + command_ + " --help` for usage.");
  }
  if (fd_ && !argument_.empty() && argument_ != "-") {
    return fail("the " + what_ + " is given both as an argument and with --fd; give it one way");
  }
  if (!fd_ && argument_ != "-") return argument_;

  const int fd = fd_.value_or(STDIN_FILENO);
  const std::string source = fd == STDIN_FILENO ? "standard input" : "descriptor " + std::to_string(fd);
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return fail((fd_ ? "--fd " + std::to_string(fd) + ": " : std::string()) + source + " is not open");
  if ((flags & O_ACCMODE) == O_WRONLY) return fail(source + " is open for writing only");

  std::string text;
  int error = 0;
  const bool ok = isatty(fd) != 0 ? readFromTerminal(fd, what_ + " (not echoed): ", text, error)
                                  : readAll(fd, text, error);
  if (!ok) return fail("cannot read the " + what_ + " from " + source + ": " + std::strerror(error));
  if (text.size() > kMaxSecretSize) {
    return fail(source + " holds more than " + std::to_string(kMaxSecretSize) + " bytes; expected the " +
                what_ + " on one line");
  }
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.empty()) return fail(source + " is empty; expected the " + what_ + " on one line");
  if (text.find('\n') != std::string::npos) {
    return fail(source + " holds more than one line; expected the " + what_ + " alone on one line");
  }
  return text;
}

}  // namespace helperctl
