// A framer driver without a socket, for the framers' tests and fuzz targets:
// the test feeds the proxy's bytes in whatever pieces it likes and plays the
// application; the driver records what the framer does and whether it kept
// the promises of a proxy framer.
//
// Unlike SocketStream it keeps calling handleInput() after a failure, so a
// test can check that a failed framer leaves later input alone.
#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "platform/stream/framer.h"

namespace helper::test {

class MemoryFramerDriver final : public stream::FramerInstance {
 public:
  // Creates the framer instance of `definition`, as a real stream does.
  explicit MemoryFramerDriver(const stream::FramerDefinition& definition)
      : definition_(definition), framer_(definition.create(*this)) {}
  ~MemoryFramerDriver() {
    framer_->stop(*this);
    framer_->cleanup(*this);
  }

  // The framer's start; a `ready` result counts as markReady() unless the
  // framer failed the stream.
  stream::StartResult start() {
    const stream::StartResult result = framer_->start(*this);
    if (result == stream::StartResult::ready && !failure) markReady();
    return result;
  }
  // Bytes from the peer: buffered, then handleInput().
  void receive(stream::ByteView bytes) {
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    wellFormed &= framer_->handleInput(*this) == 0;
  }
  // The peer closed its side: handleInput() with the buffered bytes complete.
  void receiveEnd() {
    endOfStream_ = true;
    receive({});
  }
  // One message from the application.
  void send(stream::ByteView bytes) {
    pending_ = bytes;
    framer_->handleOutput(*this, stream::FramerMessage{&definition_}, bytes.size(), false);
    pending_ = {};
  }
  size_t buffered() const { return input_.size(); }

  std::vector<stream::Bytes> writes;  // each write towards the peer
  stream::Bytes delivered;            // everything delivered to the application
  size_t consumed = 0;
  bool ready = false;
  std::optional<int> failure;
  size_t consumedAtEnd = 0;  // consumed when the stream became ready or failed
  // False once the framer broke a promise: a handleInput() hint other than
  // 0; a second markReady() or markFailed(), or both; input consumed after a
  // failure; a delivery before the stream is ready, empty, complete, over
  // 64 KiB or not marked with the framer's definition.
  bool wellFormed = true;

  bool parseInput(size_t minimumIncompleteLength, size_t maximumLength, stream::ParseFunction parse) override {
    if (input_.size() < minimumIncompleteLength) return false;
    const size_t presented = std::min(input_.size(), maximumLength);
    const size_t taken = parse(stream::ByteView(input_).first(presented), endOfStream_ && presented == input_.size());
    if (taken > presented) throw std::out_of_range("parse function consumed more bytes than it was given");
    wellFormed &= taken == 0 || !failure;
    input_.erase(input_.begin(), input_.begin() + static_cast<ptrdiff_t>(taken));
    consumed += taken;
    return true;
  }
  void writeOutput(stream::ByteView data) override { writes.emplace_back(data.begin(), data.end()); }
  void writeOutputNoCopy(size_t length) override {
    if (length > pending_.size()) throw std::length_error("not that much output pending");
    writeOutput(pending_.first(length));
    pending_ = pending_.subspan(length);
  }
  void deliverInput(stream::ByteView data, const stream::FramerMessage& message, bool isComplete) override {
    wellFormed &= ready && message.definition == &definition_ && !isComplete && !data.empty() && data.size() <= 65536;
    delivered.insert(delivered.end(), data.begin(), data.end());
  }
  void markReady() override {
    wellFormed &= !ready && !failure;
    if (!ready) consumedAtEnd = consumed;
    ready = true;
  }
  void markFailed(int error) override {
    wellFormed &= !ready && !failure;
    if (!failure) {
      consumedAtEnd = consumed;
      failure = error;
    }
  }

 private:
  const stream::FramerDefinition& definition_;
  std::unique_ptr<stream::FramerImplementation> framer_;
  stream::Bytes input_;
  bool endOfStream_ = false;
  stream::ByteView pending_;
};

}  // namespace helper::test
