// Why a stream could not be opened or broke: the stage that failed and a
// code. The code is a POSIX errno value, except for `resolve`, where it is a
// getaddrinfo() result (EAI_*).
#pragma once

#include <string>

namespace helper::stream {

enum class StreamStage {
  none,       // no error
  resolve,    // the host name did not resolve
  connect,    // the TCP connection was refused or failed
  handshake,  // the framer failed the stream (its own code)
  closed,     // the peer closed the stream before the handshake ended
  overflow,   // the peer sent more than a handshake may buffer
  timeout,    // the deadline passed (ETIMEDOUT)
  io,         // a socket call failed
};

struct StreamError {
  StreamStage stage = StreamStage::none;
  int code = 0;

  explicit operator bool() const { return stage != StreamStage::none; }
  bool operator==(const StreamError&) const = default;
};

const char* stageName(StreamStage stage);
// "connect: Connection refused", "resolve: Name or service not known", ...
std::string describe(const StreamError& error);

}  // namespace helper::stream
