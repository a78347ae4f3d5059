#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/stream/socket_stream.h"

namespace helper::stream {

// ---- errors ---------------------------------------------------------------

const char* stageName(StreamStage stage) {
  switch (stage) {
    case StreamStage::none: return "none";
    case StreamStage::resolve: return "resolve";
    case StreamStage::connect: return "connect";
    case StreamStage::handshake: return "handshake";
    case StreamStage::closed: return "closed";
    case StreamStage::overflow: return "overflow";
    case StreamStage::timeout: return "timeout";
    case StreamStage::io: return "io";
  }
  return "unknown";
}

std::string describe(const StreamError& error) {
  if (!error) return "no error";
  const std::string what = error.stage == StreamStage::resolve ? gai_strerror(error.code)
                                                               : std::strerror(error.code);
  return std::string(stageName(error.stage)) + ": " + what;
}

// ---- real socket calls ------------------------------------------------------

ssize_t SocketOps::recv(int fd, void* buffer, size_t length) { return ::recv(fd, buffer, length, 0); }
ssize_t SocketOps::send(int fd, const void* data, size_t length) {
  return ::send(fd, data, length, MSG_NOSIGNAL);
}
int SocketOps::poll(pollfd* fds, nfds_t count, int timeoutMs) { return ::poll(fds, count, timeoutMs); }
int SocketOps::shutdown(int fd, int how) { return ::shutdown(fd, how); }
int SocketOps::close(int fd) { return ::close(fd); }

SocketOps& SocketOps::real() {
  static SocketOps ops;
  return ops;
}

// ---- the stream -------------------------------------------------------------

SocketStream::SocketStream(int fd, const FramerDefinition* definition, SocketOps& ops)
    : fd_(fd), ops_(ops), definition_(definition) {
  if (definition_) {
    implementation_ = definition_->create(*this);
  } else {
    state_ = State::ready;
  }
}

SocketStream::~SocketStream() { close(); }

StreamError SocketStream::error() const {
  std::lock_guard lock(framerMutex_);
  return error_;
}

void SocketStream::fail(StreamStage stage, int code) {
  std::lock_guard lock(framerMutex_);
  failLocked(stage, code);
}

void SocketStream::failLocked(StreamStage stage, int code) {
  if (!error_) error_ = StreamError{stage, code};
  if (state_ != State::closed) state_ = State::failed;
}

bool SocketStream::handshake(Clock::time_point deadline) {
  std::lock_guard reading(readMutex_);
  {
    std::lock_guard lock(framerMutex_);
    if (!implementation_ || started_) return state_ == State::ready;
    started_ = true;
    const StartResult result = implementation_->start(*this);
    if (result == StartResult::ready && state_ == State::preparing) state_ = State::ready;
  }
  if (!flush(true)) return false;
  while (state_ == State::preparing) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
      fail(StreamStage::timeout, ETIMEDOUT);
      break;
    }
    if (input_.size() >= kMaxHandshakeInput) {
      fail(StreamStage::overflow, EMSGSIZE);
      break;
    }
    pollfd p{fd_, POLLIN, 0};
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    const int ready = ops_.poll(&p, 1, static_cast<int>(std::min<int64_t>(ms, 60'000)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      fail(StreamStage::io, errno);
      break;
    }
    if (ready == 0) continue;
    const Received got = receiveInput();
    if (got == Received::again) continue;
    if (got == Received::error) break;
    runInput();
    if (!flush(true)) break;
    if (got == Received::end && state_ == State::preparing) {
      fail(StreamStage::closed, ECONNRESET);
    }
  }
  return state_ == State::ready;
}

SocketStream::Received SocketStream::receiveInput() {
  auto room = input_.reserveTail(kReceiveSize);
  const ssize_t n = ops_.recv(fd_, room.data(), std::min(room.size(), kReceiveSize));
  if (n > 0) {
    input_.commitTail(static_cast<size_t>(n));
    return Received::data;
  }
  if (n == 0) {
    endOfStream_ = true;
    return Received::end;
  }
  if (errno == EINTR || errno == EAGAIN) return Received::again;
  fail(StreamStage::io, errno);
  return Received::error;
}

void SocketStream::runInput() {
  std::lock_guard lock(framerMutex_);
  if (state_ == State::closed) return;
  implementation_->handleInput(*this);
}

size_t SocketStream::takeDelivered(std::span<uint8_t> buffer) {
  size_t copied = 0;
  while (copied < buffer.size() && !delivered_.empty()) {
    const Bytes& front = delivered_.front();
    const size_t n = std::min(buffer.size() - copied, front.size() - deliveredOffset_);
    std::memcpy(buffer.data() + copied, front.data() + deliveredOffset_, n);
    copied += n;
    deliveredOffset_ += n;
    if (deliveredOffset_ == front.size()) {
      delivered_.pop_front();
      deliveredOffset_ = 0;
    }
  }
  return copied;
}

ssize_t SocketStream::read(std::span<uint8_t> buffer) {
  std::lock_guard reading(readMutex_);
  if (buffer.empty()) return 0;
  for (;;) {
    {
      std::lock_guard lock(framerMutex_);
      if (!delivered_.empty()) return static_cast<ssize_t>(takeDelivered(buffer));
      if (state_ == State::preparing) {
        errno = ENOTCONN;
        return -1;
      }
      if (state_ != State::ready) {
        errno = error_ ? error_.code : EBADF;
        return -1;
      }
      if (endOfStream_) return 0;
    }
    if (!implementation_) {
      const ssize_t n = ops_.recv(fd_, buffer.data(), buffer.size());
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      const int code = errno;
      fail(StreamStage::io, code);
      errno = code;
      return -1;
    }
    const Received got = receiveInput();
    if (got == Received::again) continue;
    if (got == Received::error) {
      errno = error().code;
      return -1;
    }
    size_t filled = 0;
    {
      std::lock_guard lock(framerMutex_);
      readTarget_ = buffer;
      readFilled_ = 0;
      if (state_ != State::closed) implementation_->handleInput(*this);
      filled = readFilled_;
      readTarget_ = {};
      readFilled_ = 0;
    }
    const bool flushed = flush(false);
    // Bytes already in the caller's buffer are its own, whatever else broke.
    if (filled > 0) return static_cast<ssize_t>(filled);
    if (!flushed) {
      errno = error().code;
      return -1;
    }
  }
}

bool SocketStream::write(ByteView data) {
  if (state_ != State::ready) {
    errno = state_ == State::preparing ? ENOTCONN : (error().code ? error().code : EBADF);
    return false;
  }
  std::lock_guard writing(writeMutex_);
  if (!implementation_) return sendAll(data.data(), data.size());
  return passOutput(data, false);
}

bool SocketStream::shutdownWrite() {
  if (state_ != State::ready) {
    errno = ENOTCONN;
    return false;
  }
  std::lock_guard writing(writeMutex_);
  if (implementation_ && !passOutput({}, true)) return false;
  if (ops_.shutdown(fd_, SHUT_WR) != 0) {
    fail(StreamStage::io, errno);
    return false;
  }
  return true;
}

bool SocketStream::passOutput(ByteView data, bool isComplete) {
  // The bytes are queued and the sender role taken in one hold of the lock.
  // Were the lock let go in between, a reader could find the queue full and
  // nobody sending, take the application's bytes and block on a socket
  // whose far end waits for us to read.
  std::unique_lock lock(framerMutex_);
  sendingDone_.wait(lock, [this] { return !sending_; });
  if (state_ != State::ready) {
    errno = error_.code ? error_.code : EBADF;
    return false;
  }
  pendingOutput_ = data;
  const FramerMessage message{definition_};
  implementation_->handleOutput(*this, message, data.size(), isComplete);
  // Whatever the framer did not take is dropped: that is its decision.
  pendingOutput_ = {};
  return sendQueued(lock);
}

void SocketStream::cancel() {
  if (fd_ >= 0) ops_.shutdown(fd_, SHUT_RDWR);
}

void SocketStream::close() {
  {
    std::lock_guard lock(framerMutex_);
    if (closed_) return;
    closed_ = true;
    if (implementation_) {
      // A framer that asks to finish first is not waited for: this stream
      // has no deferred close.
      implementation_->stop(*this);
      implementation_->cleanup(*this);
    }
    state_ = State::closed;
  }
  if (fd_ >= 0) ops_.close(fd_);
}

bool SocketStream::flush(bool wait) {
  std::unique_lock lock(framerMutex_);
  if (wait) sendingDone_.wait(lock, [this] { return !sending_; });
  return sendQueued(lock);
}

bool SocketStream::sendQueued(std::unique_lock<std::mutex>& lock) {
  if (sending_ || output_.empty()) return state_ != State::failed;
  sending_ = true;
  bool ok = true;
  while (ok && !output_.empty()) {
    Segment segment = std::move(output_.front());
    output_.pop_front();
    lock.unlock();
    const uint8_t* data = segment.owned.empty() ? segment.data : segment.owned.data();
    ok = sendAll(data, segment.length);
    lock.lock();
  }
  if (!ok) output_.clear();
  sending_ = false;
  sendingDone_.notify_all();
  return ok;
}

bool SocketStream::sendAll(const uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ops_.send(fd_, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int code = errno;
      fail(StreamStage::io, code);
      errno = code;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// ---- FramerInstance -----------------------------------------------------------
// Called by the framer from inside its entry points, with framerMutex_ held.

bool SocketStream::parseInput(size_t minimumIncompleteLength, size_t maximumLength,
                              ParseFunction parse) {
  return input_.parse(minimumIncompleteLength, maximumLength, endOfStream_, parse);
}

void SocketStream::writeOutput(ByteView data) {
  if (data.empty()) return;
  Segment segment{Bytes(data.begin(), data.end()), nullptr, data.size()};
  output_.push_back(std::move(segment));
}

void SocketStream::writeOutputNoCopy(size_t length) {
  if (length > pendingOutput_.size()) {
    throw std::length_error("writeOutputNoCopy: not that much application output pending");
  }
  if (length == 0) return;
  output_.push_back(Segment{{}, pendingOutput_.data(), length});
  pendingOutput_ = pendingOutput_.subspan(length);
}

void SocketStream::deliverInput(ByteView data, const FramerMessage&, bool) {
  // Straight into the buffer of the read in progress, if nothing is queued
  // before these bytes; the rest waits for the next read.
  if (delivered_.empty() && readFilled_ < readTarget_.size()) {
    const size_t n = std::min(data.size(), readTarget_.size() - readFilled_);
    std::memcpy(readTarget_.data() + readFilled_, data.data(), n);
    readFilled_ += n;
    data = data.subspan(n);
  }
  if (!data.empty()) delivered_.emplace_back(data.begin(), data.end());
}

void SocketStream::markReady() {
  if (state_ == State::preparing) state_ = State::ready;
}

void SocketStream::markFailed(int error) { failLocked(StreamStage::handshake, error); }

}  // namespace helper::stream
