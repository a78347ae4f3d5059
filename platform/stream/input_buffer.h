// The input side that every framer driver shares: bytes received from the
// stream and not yet consumed by the framer, and parseInput() on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/stream/framer.h"

namespace helper::stream {

class InputBuffer {
 public:
  size_t size() const { return end_ - begin_; }
  ByteView view() const { return ByteView(data_.data() + begin_, end_ - begin_); }

  void append(ByteView bytes);
  // Room for at least `length` more bytes at the end, for receiving into
  // directly; commitTail() then adds what was received.
  std::span<uint8_t> reserveTail(size_t length);
  void commitTail(size_t length);
  void consume(size_t length);

  // parseInput() on this buffer (see FramerInstance). `endOfStream` says
  // that no more bytes will come, so bytes presented up to the end of the
  // buffer are complete. `consumed` (optional) receives what parse took.
  bool parse(size_t minimumIncompleteLength, size_t maximumLength, bool endOfStream,
             ParseFunction parse, size_t* consumed = nullptr);

 private:
  std::vector<uint8_t> data_;
  size_t begin_ = 0;
  size_t end_ = 0;
};

}  // namespace helper::stream
