#include "platform/random/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace helper {

std::string randomBytes(std::size_t count) {
  std::string out(count, '\0');
  std::size_t filled = 0;
  while (filled < count) {
    const ssize_t n = ::getrandom(out.data() + filled, count - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::perror("getrandom");
      std::abort();
    }
    filled += static_cast<std::size_t>(n);
  }
  return out;
}

namespace {

std::string hexOf(const std::string& bytes, const char* digits) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 0xf]);
  }
  return out;
}

}  // namespace

std::string randomHex(std::size_t count) { return hexOf(randomBytes(count), "0123456789abcdef"); }

std::string randomUUIDString() {
  std::string bytes = randomBytes(16);
  bytes[6] = static_cast<char>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<char>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  const std::string hex = hexOf(bytes, "0123456789ABCDEF");
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20, 12);
}

}  // namespace helper
