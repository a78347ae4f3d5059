#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/stream/socket_stream.h"

namespace helper::stream {
namespace {

using AddressList = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

// Milliseconds left until `deadline` for poll(), at least 0, at most a minute.
int pollTimeout(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, 60'000));
}

// getaddrinfo() on a thread of its own, which owns everything it touches:
// when the deadline passes first, its answer is dropped whenever it comes.
Result<AddressList> resolve(const std::string& host, uint16_t port, Clock::time_point deadline) {
  auto answer = std::make_shared<std::promise<Result<AddressList>>>();
  auto future = answer->get_future();
  try {
    std::thread([answer, host, port] {
      const addrinfo hints{.ai_flags = AI_NUMERICSERV, .ai_family = AF_UNSPEC, .ai_socktype = SOCK_STREAM,
                           .ai_protocol = IPPROTO_TCP, .ai_addrlen = 0, .ai_addr = nullptr,
                           .ai_canonname = nullptr, .ai_next = nullptr};
      addrinfo* found = nullptr;
      const int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
      if (status != 0) return answer->set_value(Error{gai_strerror(status), 0});
      answer->set_value(AddressList(found, freeaddrinfo));
    }).detach();
  } catch (const std::system_error& e) {
    return Error::fromErrno("cannot start the name resolution", e.code().value());
  }
  if (future.wait_until(deadline) != std::future_status::ready) return Error{std::strerror(ETIMEDOUT), ETIMEDOUT};
  return future.get();
}

// Connects `fd` (non-blocking) to `address`; 0 or an errno value.
int connectOne(int fd, const addrinfo& address, Clock::time_point deadline) {
  if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  for (pollfd p{fd, POLLOUT, 0}; Clock::now() < deadline;) {
    const int ready = ::poll(&p, 1, pollTimeout(deadline));
    if (ready < 0 && errno != EINTR) return errno;
    if (ready <= 0) continue;
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 ? error : errno;
  }
  return ETIMEDOUT;
}

}  // namespace

Result<UniqueFd> connectTcp(const std::string& host, uint16_t port, Clock::time_point deadline) {
  auto addresses = resolve(host, port, deadline);
  if (!addresses) return addresses.error();
  int error = ENETUNREACH;
  for (const addrinfo* a = addresses->get(); a; a = a->ai_next) {
    if (Clock::now() >= deadline) return Error{std::strerror(ETIMEDOUT), ETIMEDOUT};
    UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    error = fd.valid() ? connectOne(fd.get(), *a, deadline) : errno;
    if (error == 0) {
      fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
      const int one = 1;
      setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return fd;
    }
  }
  return Error{std::strerror(error), error};
}

SocketStream::SocketStream(UniqueFd socket, const FramerDefinition& definition)
    : socket_(std::move(socket)), definition_(definition) {
  framer_ = definition.create(*this);
}

SocketStream::~SocketStream() {
  // A framer that asks to finish first is not waited for: there is no
  // deferred close here.
  framer_->stop(*this);
  framer_->cleanup(*this);
}

Status SocketStream::status() const {
  if (state_ == State::ready) return success();
  if (state_ == State::failed) return failure_;
  return Error{"the stream's handshake has not ended", ENOTCONN};
}

Error SocketStream::fail(Error error) {
  if (state_ != State::failed) failure_ = std::move(error);
  state_ = State::failed;
  return failure_;
}

Status SocketStream::handshake(Clock::time_point deadline) {
  if (state_ != State::preparing) return status();
  if (framer_->start(*this) == StartResult::ready) markReady();
  while (state_ == State::preparing) {
    if (Clock::now() >= deadline) return fail(Error::fromErrno("no complete handshake in time", ETIMEDOUT));
    pollfd p{socket_.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, pollTimeout(deadline));
    if (ready < 0 && errno != EINTR) return fail(Error::fromErrno("poll"));
    if (ready <= 0 || !receive()) continue;
    framer_->handleInput(*this);
    if (endOfStream_ && state_ == State::preparing) {
      return fail(Error{"the peer closed the connection during the handshake", 0});
    }
  }
  return status();
}

bool SocketStream::receive() {
  if (inputBegin_ == inputEnd_) inputBegin_ = inputEnd_ = 0;
  if (input_.size() - inputEnd_ < kReceiveSize) {
    // What is left moves to the front first: a handshake leaves a few
    // unconsumed bytes, the pass-through none.
    std::copy(input_.begin() + inputBegin_, input_.begin() + inputEnd_, input_.begin());
    inputEnd_ -= std::exchange(inputBegin_, 0);
    input_.resize(std::max(input_.size(), inputEnd_ + kReceiveSize));
  }
  const ssize_t n = ::recv(socket_.get(), input_.data() + inputEnd_, kReceiveSize, 0);
  if (n < 0 && errno != EINTR) fail(Error::fromErrno("recv"));
  if (n < 0) return false;
  inputEnd_ += static_cast<size_t>(n);
  if (n == 0) endOfStream_ = true;
  return true;
}

Result<size_t> SocketStream::read(std::span<uint8_t> buffer) {
  if (Status usable = status(); !usable) return usable.error();
  while (delivered_.empty() && !endOfStream_ && !buffer.empty()) {
    readTarget_ = buffer;
    if (receive()) framer_->handleInput(*this);
    const size_t filled = buffer.size() - readTarget_.size();
    readTarget_ = {};
    if (state_ == State::failed) return failure_;
    if (filled > 0) return filled;
  }
  const auto n = static_cast<ptrdiff_t>(std::min(buffer.size(), delivered_.size()));
  std::copy_n(delivered_.begin(), n, buffer.begin());
  delivered_.erase(delivered_.begin(), delivered_.begin() + n);
  return static_cast<size_t>(n);
}

Status SocketStream::write(ByteView data) {
  if (Status usable = status(); !usable) return usable;
  pendingOutput_ = data;
  framer_->handleOutput(*this, FramerMessage{&definition_}, data.size(), false);
  pendingOutput_ = {};
  return status();
}

// ---- FramerInstance: called by the framer from inside its entry points ----

bool SocketStream::parseInput(size_t minimumIncompleteLength, size_t maximumLength, ParseFunction parse) {
  const size_t buffered = inputEnd_ - inputBegin_;
  if (buffered < minimumIncompleteLength) return false;
  const size_t presented = std::min(buffered, maximumLength);
  const size_t taken = parse(ByteView(input_).subspan(inputBegin_, presented), endOfStream_ && presented == buffered);
  if (taken > presented) throw std::out_of_range("parse function consumed more bytes than it was given");
  inputBegin_ += taken;
  return true;
}

void SocketStream::writeOutput(ByteView data) {
  while (!data.empty() && state_ != State::failed) {
    const ssize_t n = ::send(socket_.get(), data.data(), data.size(), MSG_NOSIGNAL);
    if (n >= 0) data = data.subspan(static_cast<size_t>(n));
    if (n < 0 && errno != EINTR) fail(Error::fromErrno("send"));
  }
}

void SocketStream::writeOutputNoCopy(size_t length) {
  if (length > pendingOutput_.size()) {
    throw std::length_error("writeOutputNoCopy: not that much application output pending");
  }
  // Sent at once from the application's buffer: nothing is queued here.
  writeOutput(pendingOutput_.first(length));
  pendingOutput_ = pendingOutput_.subspan(length);
}

void SocketStream::deliverInput(ByteView data, const FramerMessage&, bool) {
  // Straight into the buffer of the read in progress; what does not fit
  // waits for the next read. Once a read's buffer is full, every later byte
  // of it waits, so the order holds.
  const size_t n = std::min(data.size(), readTarget_.size());
  std::copy_n(data.begin(), n, readTarget_.begin());
  readTarget_ = readTarget_.subspan(n);
  delivered_.insert(delivered_.end(), data.begin() + static_cast<ptrdiff_t>(n), data.end());
}

void SocketStream::markReady() {
  if (state_ == State::preparing) state_ = State::ready;
}

void SocketStream::markFailed(int error) { fail(Error::fromErrno("the handshake failed", error)); }

}  // namespace helper::stream
