#include "platform/log/logger.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "platform/base/clock.h"
#include "platform/paths/paths.h"

namespace helper {
namespace {

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<size_t>(n);
  }
}

std::string timestamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                now.tv_nsec / 1000000);
  return buf;
}

class StderrSink : public LogSink {
 public:
  void write(const LogRecord& r) override {
    // One write per line, so lines of concurrent threads never interleave.
    writeAll(STDERR_FILENO, timestamp() + " " + logLevelName(r.level) + " " + r.category + ": " +
                                r.message + "\n");
  }
};

// journald's native protocol: one datagram per entry, one field per line as
// KEY=value, or, for a value that holds a line feed, KEY, a line feed, the
// value's length as 64-bit little-endian, the value and a line feed.
class JournalSink : public LogSink {
 public:
  explicit JournalSink(const std::string& socketPath)
      : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    address_.sun_family = AF_UNIX;
    socketPath.copy(address_.sun_path, sizeof(address_.sun_path) - 1);
  }
  ~JournalSink() override {
    if (fd_ >= 0) ::close(fd_);
  }
  JournalSink(const JournalSink&) = delete;
  JournalSink& operator=(const JournalSink&) = delete;

  void write(const LogRecord& r) override {
    const std::string entry = journalEntry(r);
    ssize_t sent = -1;
    if (fd_ >= 0) {
      do {
        sent = ::sendto(fd_, entry.data(), entry.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address_), sizeof(address_));
      } while (sent < 0 && errno == EINTR);
    }
    // Not delivered (no journal, or an entry too large for one datagram):
    // the line still goes somewhere.
    if (sent != static_cast<ssize_t>(entry.size())) fallback_.write(r);
  }

 private:
  int fd_;
  sockaddr_un address_{};
  StderrSink fallback_;
};

void appendField(std::string& entry, const char* key, const std::string& value) {
  entry += key;
  if (value.find('\n') == std::string::npos) {
    entry += '=';
    entry += value;
  } else {
    entry += '\n';
    uint64_t length = value.size();
    for (int i = 0; i < 8; ++i, length >>= 8) entry += static_cast<char>(length & 0xFF);
    entry += value;
  }
  entry += '\n';
}

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<LogSink>& sinkSlot() {
  static std::shared_ptr<LogSink> sink = makeDefaultLogSink();
  return sink;
}

std::shared_ptr<LogSink> currentSink() {
  std::lock_guard<std::mutex> guard(sinkMutex());
  return sinkSlot();
}

}  // namespace

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

std::shared_ptr<LogSink> makeJournalSink(const std::string& socketPath) {
  return std::make_shared<JournalSink>(socketPath);
}

std::shared_ptr<LogSink> makeDefaultLogSink() {
  const char* const journal = "/run/systemd/journal/socket";
  struct stat st {};
  if (paths::helperRoot().empty() && ::stat(journal, &st) == 0 && S_ISSOCK(st.st_mode)) {
    return makeJournalSink(journal);
  }
  return std::make_shared<StderrSink>();
}

void setLogSink(std::shared_ptr<LogSink> sink) {
  if (!sink) sink = makeDefaultLogSink();
  std::lock_guard<std::mutex> guard(sinkMutex());
  sinkSlot() = std::move(sink);
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::log(LogLevel level, std::string message) const {
  currentSink()->write(LogRecord{level, subsystem_, category_, std::move(message)});
}

// Formats twice, sizing first; a va_list cannot be walked twice, so each
// pass starts its own.
#define HELPER_LOG_LEVEL_FN(name, level)                                        \
  void Logger::name(const char* format, ...) const {                            \
    va_list args;                                                               \
    va_start(args, format);                                                     \
    const int length = std::vsnprintf(nullptr, 0, format, args);                \
    va_end(args);                                                               \
    std::string text(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');  \
    va_start(args, format);                                                     \
    std::vsnprintf(text.data(), text.size(), format, args);                     \
    va_end(args);                                                               \
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);                  \
    log(level, std::move(text));                                                \
  }
HELPER_LOG_LEVEL_FN(info, LogLevel::info)
HELPER_LOG_LEVEL_FN(notice, LogLevel::notice)
HELPER_LOG_LEVEL_FN(error, LogLevel::error)
HELPER_LOG_LEVEL_FN(fault, LogLevel::fault)
#undef HELPER_LOG_LEVEL_FN

bool LogLimiter::allow(std::size_t* heldBack) {
  const double now = monotonicSeconds();
  std::lock_guard<std::mutex> guard(mutex_);
  if (windowStart_ < 0 || now - windowStart_ >= window_) {
    windowStart_ = now;
    inWindow_ = 0;
  }
  if (inWindow_ >= perWindow_) {
    ++held_;
    return false;
  }
  ++inWindow_;
  *heldBack = held_;
  held_ = 0;
  return true;
}

void consoleLog(const std::string& line) { writeAll(STDERR_FILENO, line + "\n"); }

}  // namespace helper
