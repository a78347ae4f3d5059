// A framer driver without a socket, for tests and fuzzing: the test feeds
// the peer's bytes in whatever pieces it likes and plays the application;
// the driver records everything the framer does.
//
// Unlike the socket driver it keeps calling handleInput() after a failure,
// so that a test can check that a failed framer leaves later input alone.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "platform/stream/framer.h"
#include "platform/stream/input_buffer.h"

namespace helper::stream {

class MemoryFramerDriver final : public FramerInstance {
 public:
  struct Delivery {
    Bytes data;
    const FramerDefinition* definition;
    bool isComplete;
  };
  struct ParseCall {
    size_t minimum;
    size_t maximum;
    bool called;       // whether parse ran (enough bytes were buffered)
    size_t presented;  // bytes parse was given
    size_t consumed;   // bytes parse took
  };

  // Creates the framer instance of `definition`, as a real stream does.
  explicit MemoryFramerDriver(const FramerDefinition& definition);
  ~MemoryFramerDriver();
  MemoryFramerDriver(const MemoryFramerDriver&) = delete;
  MemoryFramerDriver& operator=(const MemoryFramerDriver&) = delete;

  // The framer's start. A `ready` result makes the stream ready unless the
  // framer failed it.
  StartResult start();
  // Bytes from the peer: buffered, then handleInput() runs.
  void receive(ByteView bytes);
  // The peer closed its side: handleInput() runs once more with the
  // buffered bytes marked complete.
  void receiveEnd();
  // One message from the application: handleOutput() with its length.
  void send(ByteView bytes, bool isComplete = false);
  // The application closes the stream: stop(), then cleanup().
  void close();

  // All bytes written towards the peer, and each write call on its own.
  const Bytes& written() const { return written_; }
  const std::vector<Bytes>& writes() const { return writes_; }
  // All bytes delivered to the application, and each delivery on its own.
  const Bytes& delivered() const { return delivered_; }
  const std::vector<Delivery>& deliveries() const { return deliveries_; }
  size_t consumed() const { return consumed_; }
  size_t buffered() const { return input_.size(); }
  bool isReady() const { return readyCalls_ > 0 || startedReady_; }
  int readyCalls() const { return readyCalls_; }
  std::optional<int> failure() const { return failure_; }
  int failCalls() const { return failCalls_; }
  // Consumed count at the moment of the first failure.
  size_t consumedAtFailure() const { return consumedAtFailure_; }
  // Consumed count when markReady() was first called.
  size_t consumedAtReady() const { return consumedAtReady_; }
  const std::vector<ParseCall>& parseCalls() const { return parseCalls_; }
  const std::vector<size_t>& handleInputResults() const { return handleInputResults_; }
  // writeOutputNoCopy() calls that threw.
  int noCopyErrors() const { return noCopyErrors_; }
  // Makes writeOutputNoCopy() throw, as a stream whose send side broke may.
  void failNoCopyWrites(bool fail) { failNoCopy_ = fail; }

  // FramerInstance
  bool parseInput(size_t minimumIncompleteLength, size_t maximumLength,
                  ParseFunction parse) override;
  void writeOutput(ByteView data) override;
  void writeOutputNoCopy(size_t length) override;
  void deliverInput(ByteView data, const FramerMessage& message, bool isComplete) override;
  void markReady() override;
  void markFailed(int error) override;

 private:
  void runInput();

  const FramerDefinition& definition_;
  std::unique_ptr<FramerImplementation> implementation_;
  InputBuffer input_;
  bool endOfStream_ = false;
  bool closed_ = false;
  bool startedReady_ = false;
  ByteView pendingOutput_;
  Bytes written_;
  std::vector<Bytes> writes_;
  Bytes delivered_;
  std::vector<Delivery> deliveries_;
  size_t consumed_ = 0;
  int readyCalls_ = 0;
  std::optional<int> failure_;
  int failCalls_ = 0;
  size_t consumedAtFailure_ = 0;
  size_t consumedAtReady_ = 0;
  bool failNoCopy_ = false;
  std::vector<ParseCall> parseCalls_;
  std::vector<size_t> handleInputResults_;
  int noCopyErrors_ = 0;
};

}  // namespace helper::stream
