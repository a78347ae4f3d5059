// Any packet as a control request, a reply, the record of a status reply or
// a greeting: decoding never crashes and says why it refuses; whatever
// decodes re-encodes to the same value (a status record alone as a reply
// writes it). (A request's way through the connection to the service and
// back is the service and end-to-end tests'.)
#include <cstdlib>
#include <string_view>

#include "helper/protocol/control_message.h"

namespace {

using namespace helper;

constexpr std::string_view kNonce = "00112233445566778899aabbccddeeff";

void check(bool ok) { if (!ok) std::abort(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view packet(reinterpret_cast<const char*>(data), size);

  // Whatever decodes as a request re-encodes to the same request.
  const auto request = decodeRequest(packet, kNonce);
  if (request.ok()) {
    const auto again = decodeRequest(encodeRequest(*request, kNonce), kNonce);
    check(again.ok() && encodeRequest(*again, kNonce) == encodeRequest(*request, kNonce));
  }

  for (int op = 0; op < 5; ++op) {
    const auto reply = decodeReply(packet, static_cast<ControlOperation>(op));
    if (!reply.ok()) continue;
    check(replyId(packet) == reply->id);
    const std::string text = encodeReply(*reply);
    const auto again = decodeReply(text, static_cast<ControlOperation>(op));
    check(again.ok() && encodeReply(*again) == text);
  }

  const std::string head = R"({"id":1,"op":"status","status":)";
  const auto record = decodeReply(head + std::string(packet) + "}", ControlOperation::status);
  if (record.ok()) {
    const HelperStatus& status = std::get<HelperStatus>(record->result);
    check(encodeReply(*record) == head + encodeStatus(status) + "}");
    const auto again = decodeReply(encodeReply(*record), ControlOperation::status);
    check(again.ok() && std::get<HelperStatus>(again->result) == status);  // its time included
  }

  (void)decodeGreeting(packet);  // any packet is a greeting or a reason
  return 0;
}
