// RFC 3986 parsing through uriparser: the authority parts of an absolute URI,
// raw (still percent-encoded) as they stand in the text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace helper::uri {

struct Authority {
  std::optional<std::string> userInfo;  // between "//" and "@"
  std::optional<std::string> host;      // IPv6 literals without their brackets
  std::optional<std::string> port;      // the digits after the host's ":"
};

// The authority of `text` when it is one valid URI; absent otherwise.
std::optional<Authority> parseAuthority(std::string_view text);

// Percent-decodes once ("%2540" gives "%40"). Absent when the result is not
// valid UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

}  // namespace helper::uri
