// The engine supervisor's one error type. Its description is the user-facing
// text that reaches the desktop application unchanged.
#pragma once

#include <exception>
#include <string>
#include <vector>

namespace helper {

class MihomoError : public std::exception {
 public:
  // The ordinal is the error code.
  enum class Case { binaryMissing = 0, startFailed = 1, tunNotCreated = 2 };

  static constexpr const char* kDomain = "helper.MihomoError";
  // The TUN wait limit as the user-facing text states it.
  static constexpr int kTunWaitLimitSeconds = 30;

  static MihomoError binaryMissing(std::string path);
  static MihomoError startFailed(std::string reason);
  // `existingUtuns` sorted ascending by the caller.
  static MihomoError tunNotCreated(std::vector<std::string> existingUtuns);

  Case errorCase() const { return case_; }
  int code() const { return static_cast<int>(case_); }
  // The path of binaryMissing, the reason of startFailed; empty otherwise.
  const std::string& detail() const { return detail_; }
  const std::vector<std::string>& existingUtuns() const { return existingUtuns_; }

  const std::string& errorDescription() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  MihomoError(Case c, std::string detail, std::vector<std::string> utuns);

  Case case_;
  std::string detail_;
  std::vector<std::string> existingUtuns_;
  std::string description_;
};

// The text a client is told for any error of an engine start: the
// description of a MihomoError, what() of anything else.
std::string describeError(const std::exception& error);

}  // namespace helper
