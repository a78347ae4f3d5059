// A framer over a connected TCP socket, on the caller's thread: the owner
// runs the framer's handshake with a deadline, then reads and writes plain
// bytes through it (the framer sees every byte and may pass them through).
// Blocking calls, one at a time: a stream is not shared between threads.
//
// A failed stream stays failed. Its Error's code is a POSIX code: the
// framer's own (markFailed), ETIMEDOUT when the deadline passed, the errno
// of a failed socket call, or 0 when the peer closed the stream before the
// handshake ended.
//
// What the framer leaves unconsumed stays buffered; the proxy framers bound
// it (a SOCKS5 reply, an HTTP response head of at most 64 KiB).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>

#include "platform/base/result.h"
#include "platform/base/unique_fd.h"
#include "platform/stream/framer.h"

namespace helper::stream {

using Clock = std::chrono::steady_clock;

// Resolves `host` (a name, or an IPv4 or IPv6 literal without brackets) and
// tries its addresses in turn until one connects: a blocking socket with
// TCP_NODELAY. The deadline covers resolution and connection; a resolver
// that hangs is left behind on a thread of its own. Error: when the name
// does not resolve, code 0 and the resolver's words (gai_strerror);
// otherwise the errno (ETIMEDOUT when the deadline passed) and its words.
Result<UniqueFd> connectTcp(const std::string& host, uint16_t port, Clock::time_point deadline);

class SocketStream final : private FramerInstance {
 public:
  // Bytes received in one call: the most a pass-through framer gets at once.
  static constexpr size_t kReceiveSize = size_t{64} * 1024;

  // Takes over the connected socket and creates the framer instance.
  SocketStream(UniqueFd socket, const FramerDefinition& definition);
  // Stops the framer and closes the socket.
  ~SocketStream();
  SocketStream(const SocketStream&) = delete;
  SocketStream& operator=(const SocketStream&) = delete;

  // Starts the framer and receives until it marks the stream ready or
  // failed, the peer closes, or the deadline passes. Once the handshake has
  // ended, reports how it ended.
  Status handshake(Clock::time_point deadline);
  // Up to buffer.size() bytes that the framer delivered; 0 at the end of
  // the stream.
  Result<size_t> read(std::span<uint8_t> buffer);
  // All of `data`, through the framer.
  Status write(ByteView data);
  // Both fail with ENOTCONN until the handshake has ended, and with the
  // stream's failure once it has failed.

 private:
  bool parseInput(size_t minimumIncompleteLength, size_t maximumLength,
                  ParseFunction parse) override;
  void writeOutput(ByteView data) override;
  void writeOutputNoCopy(size_t length) override;
  void deliverInput(ByteView data, const FramerMessage& message, bool isComplete) override;
  void markReady() override;
  void markFailed(int error) override;

  Status status() const;
  // Fails the stream (a failed stream keeps its first failure); returns the failure.
  Error fail(Error error);
  // One recv() into the input; false when nothing came (an interrupted
  // call, or a failure, which fails the stream).
  bool receive();

  enum class State { preparing, ready, failed };

  UniqueFd socket_;
  const FramerDefinition& definition_;
  std::unique_ptr<FramerImplementation> framer_;
  State state_ = State::preparing;
  Error failure_{""};  // set once the state is failed
  Bytes input_;  // input_[inputBegin_, inputEnd_) is received, not consumed
  size_t inputBegin_ = 0;
  size_t inputEnd_ = 0;
  bool endOfStream_ = false;
  std::span<uint8_t> readTarget_;  // the rest of the buffer of the read in progress
  std::deque<uint8_t> delivered_;  // delivered bytes beyond a read's buffer (taken from the front)
  ByteView pendingOutput_;  // the application's bytes in write()
};

}  // namespace helper::stream
