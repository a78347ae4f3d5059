#include "platform/log/logger.h"

#include <cstdarg>
#include <cstdio>

namespace helper {

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::log(LogLevel level, std::string message) const {
  os().log(LogRecord{level, subsystem_, category_, std::move(message)});
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
  const double now = os().monotonicNow();
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

}  // namespace helper
