#include "platform/text/ip.h"

#include <arpa/inet.h>

#include <cstring>

namespace helper::ip {

bool isIPv4Literal(const std::string& text) {
  in_addr addr{};
  return std::strlen(text.c_str()) == text.size() && inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

bool isIPv6Literal(const std::string& text) {
  in6_addr addr{};
  return std::strlen(text.c_str()) == text.size() &&
         inet_pton(AF_INET6, text.c_str(), &addr) == 1;
}

}  // namespace helper::ip
