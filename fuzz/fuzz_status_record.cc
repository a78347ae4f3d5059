// Any text as the record of a status reply: decoding never crashes and says
// why it refuses; a record that decodes re-encodes to the same value, its
// time included, and is written alone as a reply writes it.
#include <cstdlib>
#include <string>

#include "helper/protocol/control_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace helper;
  const std::string head = R"({"id":1,"op":"status","status":)", record(reinterpret_cast<const char*>(data), size);
  const auto reply = decodeReply(head + record + "}", ControlOperation::status);
  if (reply.value.has_value() == !reply.error.empty()) std::abort();
  if (!reply.value) return 0;
  const HelperStatus& status = std::get<HelperStatus>(reply.value->result);
  const std::string text = encodeReply(*reply.value);
  const auto again = decodeReply(text, ControlOperation::status);
  if (!again.value || !(std::get<HelperStatus>(again.value->result) == status)) std::abort();
  if (text != head + encodeStatus(status) + "}") std::abort();
  return 0;
}
