#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/base/clock.h"
#include "platform/os/os.h"
#include "platform/paths/paths.h"
#include "platform/process/pidfd.h"
#include "platform/process/self_exe.h"

namespace helper {
namespace {

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string timestamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, now.tv_nsec / 1000000);
  return buf;
}

void appendField(std::string& entry, const char* key, const std::string& value) {
  entry += key;
  if (value.find('\n') == std::string::npos) {
    entry += '=';
    entry += value;
  } else {
    // A value with a line feed: the key, a line feed, the length as 64-bit
    // little-endian, then the value.
    entry += '\n';
    uint64_t length = value.size();
    for (int i = 0; i < 8; ++i, length >>= 8) entry += static_cast<char>(length & 0xFF);
    entry += value;
  }
  entry += '\n';
}

// The journal's datagram socket, opened at first use; none when journald
// is not there or a HELPER_ROOT sandbox is set.
struct Journal {
  UniqueFd fd;
  sockaddr_un address{};
};

const Journal& journal() {
  static const Journal* j = [] {
    auto* out = new Journal;
    const char* const path = "/run/systemd/journal/socket";
    struct stat st {};
    if (paths::helperRoot().empty() && ::stat(path, &st) == 0 && S_ISSOCK(st.st_mode)) {
      out->fd.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
      out->address.sun_family = AF_UNIX;
      std::string(path).copy(out->address.sun_path, sizeof(out->address.sun_path) - 1);
    }
    return out;
  }();
  return *j;
}

std::atomic<Os*>& current() {
  static Os real;
  static std::atomic<Os*> installed{&real};
  return installed;
}

}  // namespace

Os& os() { return *current().load(); }

OsScope::OsScope(Os& replacement) : previous_(current().exchange(&replacement)) {}
OsScope::~OsScope() { current().store(previous_); }

Result<std::unique_ptr<ChildProcess>> Os::spawn(const SpawnRequest& request) { return spawnChild(request); }

Result<std::string> Os::runCommand(const std::string& path, const std::vector<std::string>& args,
                                   const std::optional<std::vector<int>>& keepCapabilities) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return Error::fromErrno("pipe");
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  SpawnRequest request(path, args, writeEnd.get(), writeEnd.get());
  request.keepCapabilities = keepCapabilities;
  Result<std::unique_ptr<ChildProcess>> child = spawnChild(request);
  if (!child) return child.error();
  writeEnd.reset();
  // Read while the command runs, so that one with more output than the
  // pipe holds cannot block on it.
  std::string output;
  char buf[8192];
  for (;;) {
    const ssize_t n = read(readEnd.get(), buf, sizeof buf);
    if (n > 0) {
      output.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  (*child)->waitForExit(-1);
  return output;
}

std::vector<PeerProcess> Os::processesRunning(const std::vector<FileIdentity>& images) {
  std::vector<PeerProcess> found;
  if (images.empty()) return found;
  auto isImage = [&images](pid_t pid) {
    struct stat st {};
    if (::stat(("/proc/" + std::to_string(pid) + "/exe").c_str(), &st) != 0) return false;
    return std::any_of(images.begin(), images.end(), [&st](const FileIdentity& id) {
      return id.device == st.st_dev && id.inode == st.st_ino;
    });
  };
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto pid = static_cast<pid_t>(std::stol(name));
    if (pid == ::getpid() || !isImage(pid)) continue;
    // Pinned, then looked at again: the pidfd names the process that runs
    // the image now, not one that had the pid a moment ago.
    Result<PeerProcess> pinned = PeerProcess::fromPid(pid);
    if (pinned && isImage(pid) && pinned->running()) found.push_back(std::move(*pinned));
  }
  return found;
}

bool Os::processQuiet(pid_t pid) {
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), {});
    // The state follows the command name, which is in parentheses and may
    // hold anything.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) continue;
    if (stat[close + 2] == 'R') return false;
  }
  return !ec;
}

Status Os::signal(const PeerProcess& process, int signal) {
  if (pidfdSendSignal(process.pidfd(), signal) != 0) return Error::fromErrno("pidfd_send_signal");
  return success();
}

void Os::waitForExits(const std::vector<PeerProcess>& processes, double timeoutSeconds) {
  const double deadline = monotonicNow() + timeoutSeconds;
  for (const auto& process : processes) {
    for (;;) {
      const double left = deadline - monotonicNow();
      if (!process.running() || left <= 0) break;
      pollfd p{process.pidfd(), POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(std::ceil(left * 1000)));
    }
  }
}

void Os::exit(int status) { ::_exit(status); }

std::vector<std::string> Os::interfaceNames() {
  std::vector<std::string> names;
  struct if_nameindex* list = if_nameindex();
  if (list == nullptr) return names;
  for (auto* entry = list; entry->if_index != 0 && entry->if_name != nullptr; ++entry) {
    names.emplace_back(entry->if_name);
  }
  if_freenameindex(list);
  return names;
}

std::unique_ptr<LinkMonitor> Os::openLinkMonitor() { return helper::openLinkMonitor(); }

std::string Os::ownExecutablePath() { return helper::ownExecutablePath(); }

Result<UniqueFd> Os::openOwnImage() {
  UniqueFd fd(::open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return Error::fromErrno("cannot open /proc/self/exe");
  return fd;
}

Result<codesign::RootImage> Os::openRootImage(const std::string& path) { return codesign::openRootImage(path); }

bool Os::isExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

Result<FileIdentity> Os::fileIdentity(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Error::fromErrno("cannot stat " + path);
  return FileIdentity::of(st);
}

Status Os::createDirectories(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return Error{"cannot create " + path + ": " + ec.message(), ec.value()};
  return success();
}

Status Os::writeFileAtomically(const std::string& path, const std::string& content, mode_t mode) {
  std::string tmp = paths::dirName(path) + "/." + path.substr(path.rfind('/') + 1) + ".XXXXXX";
  UniqueFd fd(mkostemp(tmp.data(), O_CLOEXEC));
  if (!fd.valid()) return Error::fromErrno("cannot create a temporary file beside " + path);
  auto fail = [&tmp](const std::string& what) {
    Error error = Error::fromErrno(what);
    unlink(tmp.c_str());
    return error;
  };
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd.get(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("cannot write " + tmp);
    done += static_cast<size_t>(n);
  }
  if (fchmod(fd.get(), mode) != 0 || fsync(fd.get()) != 0) return fail("cannot write " + tmp);
  fd.reset();
  if (rename(tmp.c_str(), path.c_str()) != 0) return fail("cannot replace " + path);
  return success();
}

Result<UniqueFd> Os::openForAppend(const std::string& path, mode_t mode) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode));
  if (!fd.valid()) return Error::fromErrno("cannot open " + path);
  return fd;
}

mode_t Os::setFileCreationMask(mode_t mask) { return ::umask(mask); }

double Os::monotonicNow() { return monotonicSeconds(); }

double Os::wallNow() { return wallSeconds(); }

void Os::sleepFor(double seconds) {
  if (seconds <= 0) return;
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void Os::log(const LogRecord& r) {
  const Journal& j = journal();
  if (j.fd.valid()) {
    const std::string entry = journalEntry(r);
    ssize_t sent;
    do {
      sent = ::sendto(j.fd.get(), entry.data(), entry.size(), MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&j.address), sizeof(j.address));
    } while (sent < 0 && errno == EINTR);
    if (sent == static_cast<ssize_t>(entry.size())) return;
    // Not delivered (journald gone, or an entry too large for a datagram):
    // the line still goes somewhere.
  }
  // One write per line, so lines of concurrent threads never interleave.
  writeAll(STDERR_FILENO,
           timestamp() + " " + logLevelName(r.level) + " " + r.category + ": " + r.message + "\n");
}

const char* logLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::info: return "info";
    case LogLevel::notice: return "default";
    case LogLevel::error: return "error";
    case LogLevel::fault: return "fault";
  }
  return "?";
}

std::string journalEntry(const LogRecord& r) {
  std::string entry;
  appendField(entry, "MESSAGE", r.message);
  appendField(entry, "PRIORITY", std::to_string(static_cast<int>(r.level)));
  appendField(entry, "SYSLOG_IDENTIFIER", "helper");
  appendField(entry, "SUBSYSTEM", r.subsystem);
  appendField(entry, "CATEGORY", r.category);
  return entry;
}

}  // namespace helper
