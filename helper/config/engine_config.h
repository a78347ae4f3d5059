// The engine's configuration text for one upstream proxy: TUN mode with
// automatic routing, one proxy named "upstream", and rules that keep the
// upstream itself, loopback and the LAN direct, reject a fixed set of the
// platform vendor's background endpoints and send everything else upstream.
#pragma once

#include <string>
#include <string_view>

#include "helper/config/proxy_config.h"
#include "platform/base/result.h"

namespace helper {

// The engine's automatic routing uses its own routing table and ip rules at
// priorities kEngineRuleIndex to kEngineRuleIndex + kEngineRuleSpan (v4 and
// v6). Pinning them lets the supervisor remove exactly what an engine killed
// with SIGKILL leaves behind.
inline constexpr int kEngineRouteTable = 7100;
inline constexpr int kEngineRuleIndex = 7100;
inline constexpr int kEngineRuleSpan = 10;

// The whole file: UTF-8, LF between lines, no LF after the last one. The TUN
// device gets the name `tunDevice`. MihomoError::startFailed when the host
// holds characters a configuration cannot carry unquoted.
Result<std::string> makeConfig(const ProxyConfig& upstream, std::string_view tunDevice);

// Non-empty, at most 253 characters, each one of a-z A-Z 0-9 . - : _
bool isValidHost(std::string_view host);

// The value as one double-quoted YAML scalar on a single line, which the
// engine's YAML reader and PyYAML take back unchanged.
// Never fails: text that is not valid UTF-8 gives "".
std::string escapeYAML(std::string_view value);

}  // namespace helper
