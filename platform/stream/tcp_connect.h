// Opening a TCP connection by host name or address literal, with a
// deadline over resolution and connection together.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/stream/stream_error.h"

namespace helper::stream {

struct ConnectResult {
  int fd = -1;  // a connected, blocking socket with TCP_NODELAY; -1 on failure
  StreamError error;
};

// Resolves `host` (a name, an IPv4 literal or an IPv6 literal without
// brackets) and tries its addresses in turn until one connects. Name
// resolution itself cannot be interrupted; the deadline is checked after it.
ConnectResult connectTcp(const std::string& host, uint16_t port,
                         std::chrono::steady_clock::time_point deadline);

}  // namespace helper::stream
