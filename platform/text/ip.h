// Textual IP address forms, as inet_pton reads them.
#pragma once

#include <string>

namespace helper::ip {

// Four dotted decimal parts, nothing else.
bool isIPv4Literal(const std::string& text);
// The RFC 4291 textual forms, without brackets or zone.
bool isIPv6Literal(const std::string& text);

}  // namespace helper::ip
