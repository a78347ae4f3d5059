// Process-wide logging in the shape of the unified log: every logger has a
// subsystem and a category, and four levels. Where the lines go is decided by
// one process-wide sink: journald (native protocol, with SUBSYSTEM and
// CATEGORY fields) when the journal is there, one line on stderr otherwise, or
// an in-memory sink installed by tests.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace helper {

// The unified log's levels with their syslog priorities. `notice` is the
// level the unified log calls "default".
enum class LogLevel { info = 6, notice = 5, error = 3, fault = 2 };

const char* logLevelName(LogLevel level);

struct LogRecord {
  LogLevel level;
  std::string subsystem;
  std::string category;
  std::string message;
};

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(const LogRecord& record) = 0;
};

// Replaces the process-wide sink; nullptr restores the default one.
void setLogSink(std::shared_ptr<LogSink> sink);

// journald's native protocol on the datagram socket at `socketPath`; a line
// that cannot be sent goes to stderr instead.
std::shared_ptr<LogSink> makeJournalSink(const std::string& socketPath);
// The datagram of one entry: MESSAGE, PRIORITY, SYSLOG_IDENTIFIER=helper,
// SUBSYSTEM and CATEGORY.
std::string journalEntry(const LogRecord& record);

// The sink the default chooses: journald when its socket exists and no
// HELPER_ROOT sandbox is set, stderr otherwise.
std::shared_ptr<LogSink> makeDefaultLogSink();

class Logger {
 public:
  Logger(std::string subsystem, std::string category);

  // printf-style formats, checked by the compiler.
  void info(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void notice(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void error(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void fault(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void log(LogLevel level, std::string message) const;

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  std::string subsystem_;
  std::string category_;
};

// Every logger of the service uses this subsystem.
inline constexpr const char* kLogSubsystem = "tarn.CorvalethApp.helper";

// Keeps a flood of similar lines (refused connections, say) from flooding
// the log: lets `perWindow` events through per `window` seconds and counts
// the rest. The first event let through after others were held back learns
// how many, so that the count is logged before it.
class LogLimiter {
 public:
  LogLimiter(std::size_t perWindow, double window) : perWindow_(perWindow), window_(window) {}
  // True when this event may be logged; then `*heldBack` is the number of
  // events held back since the last one logged (0 mostly).
  bool allow(std::size_t* heldBack);

 private:
  const std::size_t perWindow_;
  const double window_;
  std::mutex mutex_;
  double windowStart_ = -1;
  std::size_t inWindow_ = 0;
  std::size_t held_ = 0;
};

// The console log: one line on stderr, written at once.
void consoleLog(const std::string& line);

}  // namespace helper
