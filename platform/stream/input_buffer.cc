#include "platform/stream/input_buffer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace helper::stream {

void InputBuffer::append(ByteView bytes) {
  if (bytes.empty()) return;
  auto tail = reserveTail(bytes.size());
  std::memcpy(tail.data(), bytes.data(), bytes.size());
  commitTail(bytes.size());
}

std::span<uint8_t> InputBuffer::reserveTail(size_t length) {
  if (begin_ == end_) begin_ = end_ = 0;
  if (data_.size() - end_ < length) {
    // Move what is left to the front before growing: a handshake leaves a
    // few unconsumed bytes, the pass-through none.
    if (begin_ > 0) {
      std::memmove(data_.data(), data_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (data_.size() - end_ < length) data_.resize(end_ + length);
  }
  return std::span<uint8_t>(data_.data() + end_, data_.size() - end_);
}

void InputBuffer::commitTail(size_t length) {
  if (length > data_.size() - end_) throw std::out_of_range("commitTail beyond the reserved room");
  end_ += length;
}

void InputBuffer::consume(size_t length) {
  if (length > size()) throw std::out_of_range("consume beyond the buffered input");
  begin_ += length;
  if (begin_ == end_) begin_ = end_ = 0;
}

bool InputBuffer::parse(size_t minimumIncompleteLength, size_t maximumLength, bool endOfStream,
                        ParseFunction parse, size_t* consumed) {
  if (consumed) *consumed = 0;
  if (size() < minimumIncompleteLength) return false;
  const size_t presented = std::min(size(), maximumLength);
  const bool isComplete = endOfStream && presented == size();
  const size_t taken = parse(ByteView(data_.data() + begin_, presented), isComplete);
  if (taken > presented) {
    throw std::out_of_range("parse function consumed more bytes than it was given");
  }
  consume(taken);
  if (consumed) *consumed = taken;
  return true;
}

}  // namespace helper::stream
