#include "platform/stream/memory_driver.h"

#include <stdexcept>

namespace helper::stream {

MemoryFramerDriver::MemoryFramerDriver(const FramerDefinition& definition)
    : definition_(definition), implementation_(definition.create(*this)) {}

MemoryFramerDriver::~MemoryFramerDriver() { close(); }

StartResult MemoryFramerDriver::start() {
  const StartResult result = implementation_->start(*this);
  if (result == StartResult::ready && !failure_) startedReady_ = true;
  return result;
}

void MemoryFramerDriver::receive(ByteView bytes) {
  input_.append(bytes);
  runInput();
}

void MemoryFramerDriver::receiveEnd() {
  endOfStream_ = true;
  runInput();
}

void MemoryFramerDriver::runInput() {
  if (closed_) return;
  handleInputResults_.push_back(implementation_->handleInput(*this));
}

void MemoryFramerDriver::send(ByteView bytes, bool isComplete) {
  if (closed_) return;
  pendingOutput_ = bytes;
  const FramerMessage message{&definition_};
  implementation_->handleOutput(*this, message, bytes.size(), isComplete);
  pendingOutput_ = {};
}

void MemoryFramerDriver::close() {
  if (closed_) return;
  closed_ = true;
  implementation_->stop(*this);
  implementation_->cleanup(*this);
}

bool MemoryFramerDriver::parseInput(size_t minimumIncompleteLength, size_t maximumLength,
                                    ParseFunction parse) {
  ParseCall call{minimumIncompleteLength, maximumLength, false, 0, 0};
  const bool called = input_.parse(
      minimumIncompleteLength, maximumLength, endOfStream_,
      [&](ByteView bytes, bool isComplete) {
        call.called = true;
        call.presented = bytes.size();
        return parse(bytes, isComplete);
      },
      &call.consumed);
  consumed_ += call.consumed;
  parseCalls_.push_back(call);
  return called;
}

void MemoryFramerDriver::writeOutput(ByteView data) {
  written_.insert(written_.end(), data.begin(), data.end());
  writes_.emplace_back(data.begin(), data.end());
}

void MemoryFramerDriver::writeOutputNoCopy(size_t length) {
  if (failNoCopy_ || length > pendingOutput_.size()) {
    ++noCopyErrors_;
    throw std::length_error("writeOutputNoCopy: not that much application output pending");
  }
  writeOutput(pendingOutput_.first(length));
  pendingOutput_ = pendingOutput_.subspan(length);
}

void MemoryFramerDriver::deliverInput(ByteView data, const FramerMessage& message, bool isComplete) {
  delivered_.insert(delivered_.end(), data.begin(), data.end());
  deliveries_.push_back(Delivery{Bytes(data.begin(), data.end()), message.definition, isComplete});
}

void MemoryFramerDriver::markReady() {
  if (readyCalls_++ == 0) consumedAtReady_ = consumed_;
}

void MemoryFramerDriver::markFailed(int error) {
  if (!failure_) {
    failure_ = error;
    consumedAtFailure_ = consumed_;
  }
  ++failCalls_;
}

}  // namespace helper::stream
