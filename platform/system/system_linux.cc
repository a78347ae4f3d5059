#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/base/clock.h"
#include "platform/paths/paths.h"
#include "platform/process/pidfd.h"
#include "platform/system/system.h"

namespace helper {
namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

std::system_error errnoError(const std::string& what) {
  return std::system_error(errno, std::generic_category(), what);
}

class LinuxSystem : public System {
 public:
  std::unique_ptr<ChildProcess> spawn(const SpawnRequest& request) override { return spawnChild(request); }

  std::string runCommand(const std::string& path, const std::vector<std::string>& args,
                         const std::optional<std::vector<int>>& keepCapabilities) override {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw errnoError("pipe");
    Fd readEnd(fds[0]);
    Fd writeEnd(fds[1]);
    SpawnRequest request;
    request.path = path;
    request.args = args;
    request.stdoutFd = request.stderrFd = writeEnd.get();
    request.keepCapabilities = keepCapabilities;
    auto child = spawnChild(request);
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
    child->waitForExit(-1);
    return output;
  }

  std::vector<std::string> interfaceNames() override {
    std::vector<std::string> names;
    struct if_nameindex* list = if_nameindex();
    if (list == nullptr) return names;
    for (auto* entry = list; entry->if_index != 0 && entry->if_name != nullptr; ++entry) {
      names.emplace_back(entry->if_name);
    }
    if_freenameindex(list);
    return names;
  }

  std::unique_ptr<LinkMonitor> openLinkMonitor() override { return helper::openLinkMonitor(); }

  std::vector<PeerProcess> processesRunning(const std::vector<FileIdentity>& images) override {
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

  bool processQuiet(pid_t pid) override {
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
      std::ifstream in(task.path() / "stat");
      std::string stat((std::istreambuf_iterator<char>(in)), {});
      // The state follows the command name, which is in parentheses and may
      // hold anything.
      const size_t close = stat.rfind(')');
      if (close == std::string::npos || close + 2 >= stat.size()) continue;
      const char state = stat[close + 2];
      if (state == 'R') return false;
    }
    return !ec;
  }

  int signalProcess(const PeerProcess& process, int signal) override {
    return pidfdSendSignal(process.pidfd(), signal) == 0 ? 0 : errno;
  }

  void waitForExits(const std::vector<PeerProcess>& processes, double timeoutSeconds) override {
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

  bool isExecutableFile(const std::string& path) override {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
  }

  std::optional<FileIdentity> fileIdentity(const std::string& path) override {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileIdentity::of(st);
  }

  void createDirectories(const std::string& path) override { std::filesystem::create_directories(path); }

  void writeFileAtomically(const std::string& path, const std::string& content, mode_t mode) override {
    std::string tmp = paths::dirName(path) + "/." + path.substr(path.rfind('/') + 1) + ".XXXXXX";
    Fd fd(mkostemp(tmp.data(), O_CLOEXEC));
    if (fd.get() < 0) throw errnoError("cannot create a temporary file beside " + path);
    auto fail = [&tmp](const std::string& what) {
      const auto error = errnoError(what);
      unlink(tmp.c_str());
      return error;
    };
    size_t done = 0;
    while (done < content.size()) {
      const ssize_t n = write(fd.get(), content.data() + done, content.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw fail("cannot write " + tmp);
      done += static_cast<size_t>(n);
    }
    if (fchmod(fd.get(), mode) != 0 || fsync(fd.get()) != 0) throw fail("cannot write " + tmp);
    fd.reset();
    if (rename(tmp.c_str(), path.c_str()) != 0) throw fail("cannot replace " + path);
  }

  int openForAppend(const std::string& path, mode_t mode) override {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
    return fd >= 0 ? fd : -errno;
  }

  mode_t setFileCreationMask(mode_t mask) override { return ::umask(mask); }

  double monotonicNow() override { return monotonicSeconds(); }

  void sleepFor(double seconds) override {
    if (seconds <= 0) return;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
};

}  // namespace

System& realSystem() {
  static LinuxSystem* system = new LinuxSystem;
  return *system;
}

}  // namespace helper
