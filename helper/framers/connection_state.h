// Small state holders of a connection attempt through the upstream proxy:
// the one-shot outcome box and a once-only flag. Internal to the framers'
// opener (ProxyHTTPClient); the tests use them directly.
#pragma once

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/stream/socket_stream.h"
#include "platform/stream/stream_error.h"

namespace helper {

// How a connection attempt ended: a ready stream, or why there is none.
struct ConnectOutcome {
  std::unique_ptr<stream::SocketStream> stream;  // set on success only
  stream::StreamError error;
  std::chrono::nanoseconds connectTime{0};    // until the TCP connection stood
  std::chrono::nanoseconds handshakeTime{0};  // from the framer's start to ready
};

// Delivers the outcome of one connection attempt exactly once, whichever
// comes first, the outcome or the waiting caller. An outcome that finds no
// waiter is kept in `pending_`; a waiter that finds no outcome leaves its
// continuation. Once one outcome is in, later ones are refused (and dropped,
// which closes their stream).
class ConnectionStateBox {
 public:
  // The waiting side; call once.
  std::future<ConnectOutcome> outcome();
  // True when this outcome is the one handed over (or kept for the waiter).
  bool resolve(ConnectOutcome outcome);

 private:
  std::mutex lock_;
  std::optional<std::promise<ConnectOutcome>> continuation_;
  std::optional<ConnectOutcome> pending_;
  bool resolved_ = false;
};

// Lets an action happen at most once across threads.
class AtomicFlag {
 public:
  // Sets the flag; true only for the call that set it.
  bool set();
  bool isSet() const;

 private:
  mutable std::mutex lock_;
  bool done_ = false;
};

}  // namespace helper
