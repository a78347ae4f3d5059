// A framer running over a connected TCP socket. The owner creates the
// stream on the socket (which creates the framer instance), runs the
// handshake with a deadline, and then reads and writes plain bytes: the
// framer sees every byte in both directions and may pass them through.
//
// Threads: one thread may read while another writes (a relay); reads are
// taken one at a time, and so are writes. The framer's entry points are
// called under one lock, so they never run concurrently. cancel() may be
// called from any thread to wake a blocked reader or writer; close() and the
// destructor only when no other thread is inside the stream.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <span>

#include "platform/stream/framer.h"
#include "platform/stream/input_buffer.h"
#include "platform/stream/stream_error.h"

namespace helper::stream {

// The socket calls the stream makes, so that tests can fail or shorten
// them. The defaults are the real calls (send without SIGPIPE).
class SocketOps {
 public:
  virtual ~SocketOps() = default;
  virtual ssize_t recv(int fd, void* buffer, size_t length);
  virtual ssize_t send(int fd, const void* data, size_t length);
  virtual int poll(pollfd* fds, nfds_t count, int timeoutMs);
  virtual int shutdown(int fd, int how);
  virtual int close(int fd);

  static SocketOps& real();
};

class SocketStream final : private FramerInstance {
 public:
  using Clock = std::chrono::steady_clock;
  enum class State { preparing, ready, failed, closed };

  // Bytes received in one call; also the largest chunk a pass-through
  // framer is given.
  static constexpr size_t kReceiveSize = size_t{64} * 1024;
  // Input a handshake may leave unconsumed before the stream gives up.
  static constexpr size_t kMaxHandshakeInput = size_t{256} * 1024;

  // Takes over the connected socket `fd` and creates the framer instance of
  // `definition` for it. Without a definition the stream is a plain socket,
  // ready at once.
  SocketStream(int fd, const FramerDefinition* definition, SocketOps& ops = SocketOps::real());
  ~SocketStream();
  SocketStream(const SocketStream&) = delete;
  SocketStream& operator=(const SocketStream&) = delete;

  // Starts the framer and runs its handshake until it marks the stream
  // ready or failed, the peer closes, or `deadline` passes (then the stream
  // fails with `timeout`). True when ready; error() says why not.
  bool handshake(Clock::time_point deadline);

  // After the handshake: up to buffer.size() bytes for the application;
  // 0 at the end of the stream; -1 on failure (see error()), or when the
  // stream is not ready (ENOTCONN).
  ssize_t read(std::span<uint8_t> buffer);
  // Sends all of `data` through the framer; false on failure.
  bool write(ByteView data);
  // Ends the application's sending side (after everything written).
  bool shutdownWrite();
  // Wakes a blocked read or write; they then fail. Any thread.
  void cancel();
  // Stops the framer and closes the socket. Idempotent.
  void close();

  State state() const { return state_.load(); }
  StreamError error() const;
  int nativeHandle() const { return fd_; }
  const FramerDefinition* definition() const { return definition_; }

 private:
  struct Segment {
    Bytes owned;
    const uint8_t* data;
    size_t length;
  };

  // FramerInstance
  bool parseInput(size_t minimumIncompleteLength, size_t maximumLength,
                  ParseFunction parse) override;
  void writeOutput(ByteView data) override;
  void writeOutputNoCopy(size_t length) override;
  void deliverInput(ByteView data, const FramerMessage& message, bool isComplete) override;
  void markReady() override;
  void markFailed(int error) override;

  enum class Received { data, end, again, error };
  Received receiveInput();
  void runInput();
  // Sends the queued output. One caller at a time holds the sender role and
  // sends until the queue is empty, so output leaves in the order it was
  // queued. With `wait`, a caller that finds another sender at work waits
  // for it and then sends; without (a reader), it leaves its output to that
  // sender: a reader must never wait for a writer that is blocked because
  // nobody reads.
  bool flush(bool wait);
  // The application's output (empty with `isComplete` to end the sending
  // side) through the framer and out. Returns once it is sent: the bytes
  // are not copied. With writeMutex_ held.
  bool passOutput(ByteView data, bool isComplete);
  // The sending part, entered and left with framerMutex_ held.
  bool sendQueued(std::unique_lock<std::mutex>& lock);
  bool sendAll(const uint8_t* data, size_t length);
  size_t takeDelivered(std::span<uint8_t> buffer);
  void fail(StreamStage stage, int code);
  void failLocked(StreamStage stage, int code);

  int fd_;
  SocketOps& ops_;
  const FramerDefinition* definition_;
  std::unique_ptr<FramerImplementation> implementation_;

  std::mutex readMutex_;    // one reader (or the handshake) at a time
  std::mutex writeMutex_;   // one writer at a time
  mutable std::mutex framerMutex_;  // the framer's entry points and the fields below
  InputBuffer input_;       // owned by the reader
  bool endOfStream_ = false;  // owned by the reader
  std::deque<Bytes> delivered_;  // delivered bytes no read has taken yet
  size_t deliveredOffset_ = 0;
  std::span<uint8_t> readTarget_;  // the buffer of the read in progress
  size_t readFilled_ = 0;
  std::deque<Segment> output_;
  bool sending_ = false;  // someone holds the sender role
  std::condition_variable sendingDone_;
  ByteView pendingOutput_;
  StreamError error_;
  bool started_ = false;
  bool closed_ = false;
  std::atomic<State> state_{State::preparing};
};

}  // namespace helper::stream
