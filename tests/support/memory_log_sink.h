// A log sink that keeps every record in memory, for tests to read.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/log/logger.h"

namespace helper {

class MemoryLogSink : public LogSink {
 public:
  void write(const LogRecord& record) override {
    std::lock_guard<std::mutex> guard(mutex_);
    records_.push_back(record);
  }
  std::vector<LogRecord> records() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return records_;
  }
  // The messages of one category (all categories when empty), in order.
  std::vector<std::string> messages(const std::string& category = "") const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> out;
    for (const auto& r : records_) {
      if (category.empty() || r.category == category) out.push_back(r.message);
    }
    return out;
  }
  void clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    records_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
};

}  // namespace helper
