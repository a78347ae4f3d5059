// Any output of pgrep, read by the orphan sweep, against a plain second
// reading: split at the line breaks (LF, VT, FF, CR, CR LF, NEL, LS, PS),
// keep the lines that are an optional sign and digits within 32 bits.
#include <charconv>
#include <cstdlib>
#include <string>
#include <vector>

#include "helper/engine/mihomo_manager.h"

namespace {

std::vector<int32_t> reference(const std::string& s) {
  std::vector<int32_t> ids;
  auto take = [&ids](std::string line) {
    const size_t first = !line.empty() && (line[0] == '+' || line[0] == '-') ? 1 : 0;
    if (first == line.size()) return;
    for (size_t i = first; i < line.size(); ++i) {
      if (line[i] < '0' || line[i] > '9') return;
    }
    const std::string digits = line[0] == '+' ? line.substr(1) : line;
    int64_t value = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (r.ec == std::errc() && value >= INT32_MIN && value <= INT32_MAX) ids.push_back(static_cast<int32_t>(value));
  };
  std::string line;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    size_t skip = 0;
    if (c == '\n' || c == '\v' || c == '\f' || c == '\r') skip = 1;
    else if (s.compare(i, 2, "\xc2\x85") == 0) skip = 2;
    else if (s.compare(i, 3, "\xe2\x80\xa8") == 0 || s.compare(i, 3, "\xe2\x80\xa9") == 0) skip = 3;
    if (skip == 0) {
      line += c;
      continue;
    }
    take(line);
    line.clear();
    i += skip - 1;
  }
  take(line);
  return ids;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string output(reinterpret_cast<const char*>(data), size);
  if (helper::MihomoManager::parseProcessIds(output) != reference(output)) std::abort();
  return 0;
}
