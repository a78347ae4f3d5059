// Stream protocol framers: a framer sits between a connected byte stream and
// the application above it. It may speak a protocol of its own at the start
// of the stream (a proxy handshake, say) and afterwards pass bytes through.
//
// Two sides meet here. A driver (a real socket, or the in-memory driver of
// the tests) owns the stream and offers the framer the six operations of
// `FramerInstance`. A framer type implements `FramerImplementation`; the
// driver creates one instance of it per stream through the type's
// `FramerDefinition` and calls its entry points as data and events arrive,
// one call at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

namespace helper::stream {

using ByteView = std::span<const uint8_t>;
using Bytes = std::vector<uint8_t>;

class FramerInstance;
class FramerImplementation;

// A framer type as drivers see it: its label and how to create one instance
// of it for a new stream. Framer types keep one static definition, which
// also marks every message they deliver upward.
struct FramerDefinition {
  std::string_view label;
  std::unique_ptr<FramerImplementation> (*create)(FramerInstance& framer);
};

// A message travelling through the framer; it carries the definition of the
// framer that made it.
struct FramerMessage {
  const FramerDefinition* definition = nullptr;
};

// What `start` tells the driver: `ready` declares the stream usable at once;
// `willMarkReady` promises a later markReady() (or markFailed()).
enum class StartResult { ready, willMarkReady };

// The parse function handed to parseInput(): it gets the first buffered
// bytes and whether they reach the end of the stream, and returns how many
// of them to consume (0 consumes nothing: a peek). A non-owning reference to
// a callable that outlives the call; it never allocates.
class ParseFunction {
 public:
  // Implicit on purpose: lambdas are passed directly. The requires-clause
  // keeps it from hiding the copy and move constructors.
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, ParseFunction> &&
             std::is_invocable_r_v<size_t, F&, ByteView, bool>)
  ParseFunction(F&& f)  // NOLINT(bugprone-forwarding-reference-overload): constrained, see above
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* object, ByteView bytes, bool isComplete) -> size_t {
          return (*static_cast<std::remove_reference_t<F>*>(object))(bytes, isComplete);
        }) {}

  size_t operator()(ByteView bytes, bool isComplete) const { return call_(object_, bytes, isComplete); }

 private:
  void* object_;
  size_t (*call_)(void*, ByteView, bool);
};

// The operations a framer calls on its stream. Every driver gives them
// exactly these results:
//
// parseInput(min, max, parse): when at least `min` bytes are buffered, calls
//   `parse` once with the first buffered bytes (at most `max` of them),
//   removes from the front of the buffer as many bytes as `parse` returns,
//   and returns true. With fewer than `min` bytes buffered it does not call
//   `parse` and returns false. `parse` returning more than it was given is a
//   programming error (std::out_of_range).
// writeOutput(data): sends the bytes after everything written before.
// writeOutputNoCopy(length): sends `length` bytes of the application's
//   pending output (the message being handled by handleOutput) unchanged,
//   without copying them; throws std::length_error when fewer are pending.
// deliverInput(data, message, isComplete): hands a copy of the bytes to
//   the application above, in order. The copy is the driver's (straight
//   into the buffer of a waiting read where it can), so that bytes passed
//   through are copied once on their way in.
// markReady(): declares the stream ready for the application.
// markFailed(error): fails the stream with a POSIX error code.
class FramerInstance {
 public:
  virtual bool parseInput(size_t minimumIncompleteLength, size_t maximumLength,
                          ParseFunction parse) = 0;
  virtual void writeOutput(ByteView data) = 0;
  virtual void writeOutputNoCopy(size_t length) = 0;
  virtual void deliverInput(ByteView data, const FramerMessage& message, bool isComplete) = 0;
  virtual void markReady() = 0;
  virtual void markFailed(int error) = 0;

 protected:
  ~FramerInstance() = default;
};

// A framer type. The driver calls these from one thread at a time per
// stream, so an implementation needs no locks of its own.
//
// start: once, before anything else.
// handleInput: whenever new input is buffered; reads it with parseInput().
//   The result is a hint of how many more bytes are wanted (0: no hint).
// handleOutput: for every message the application sends; `messageLength`
//   bytes are pending for writeOutputNoCopy(). `isComplete` marks the last
//   message before the application closes its sending side.
// wakeup: when a wakeup the framer asked for is due (the drivers here never
//   schedule one).
// stop: when the application closes the stream; true lets it close at once.
// cleanup: last, before the instance is destroyed.
class FramerImplementation {
 public:
  virtual ~FramerImplementation() = default;
  virtual StartResult start(FramerInstance& framer) = 0;
  virtual size_t handleInput(FramerInstance& framer) = 0;
  virtual void handleOutput(FramerInstance& framer, const FramerMessage& message,
                            size_t messageLength, bool isComplete) = 0;
  virtual void wakeup(FramerInstance& framer) = 0;
  virtual bool stop(FramerInstance& framer) = 0;
  virtual void cleanup(FramerInstance& framer) = 0;
};

}  // namespace helper::stream
