// Logging in the shape of the unified log: every logger has a subsystem and
// a category, and four levels. The records go to os().log(): journald
// (native protocol, with SUBSYSTEM and CATEGORY fields) when the journal is
// there, one line on stderr otherwise.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

#include "platform/os/os.h"

namespace helper {

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

}  // namespace helper
