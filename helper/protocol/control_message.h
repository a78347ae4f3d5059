// The control messages on the wire: JSON requests and replies, one per
// packet (docs/protocol.md describes them for other clients).
//
// Request:  {"nonce":"<hello nonce>","id":7,"op":"activate",
//            "proxyURL":"socks5://h:1080","clientPID":1234}
// Reply:    {"id":7,"op":"activate","success":true,"token":"…","message":null,
//            "error":null}
// A reply's message comes with its code:
//            "message":"…","error":{"domain":"helper.SessionError","code":1}
//
// The decoders are strict: a packet that is not exactly a request (not
// JSON, not an object, nested more than three levels, an unknown operation,
// a missing or mistyped argument, the wrong nonce) is refused with a reason,
// and the service then closes the connection. Unknown extra keys are
// ignored. Text that is not UTF-8 is written with U+FFFD in its place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "helper/protocol/control_error.h"
#include "platform/base/result.h"
#include "helper/protocol/helper_status.h"

namespace helper {

enum class ControlOperation { ping, activate, deactivate, heartbeat, status };

// "ping", "activate", ...
const char* operationName(ControlOperation op);
std::optional<ControlOperation> operationNamed(std::string_view name);

struct ControlRequest {
  std::uint64_t id = 0;
  ControlOperation op = ControlOperation::ping;
  std::string proxyURL;       // activate
  std::int32_t clientPID = 0;  // activate
  std::string sessionToken;   // deactivate, heartbeat
};

// Request ids are JSON integers in [0, 2^53), exact in every JSON reader.
inline constexpr std::uint64_t kMaxRequestId = (std::uint64_t{1} << 53) - 1;

struct PingResult {
  std::string version;
};
// `error` is the code of `message`, present with it; helpers of protocol
// version 1 send the message alone.
struct ActivateResult {
  bool success = false;
  std::optional<std::string> token;
  std::optional<std::string> message;
  std::optional<ErrorCode> error;
};
struct DeactivateResult {
  bool success = false;
  std::optional<std::string> message;
  std::optional<ErrorCode> error;
};
struct HeartbeatResult {
  bool success = false;
};
// One alternative per operation, in the order of ControlOperation.
using ControlResult = std::variant<PingResult, ActivateResult, DeactivateResult, HeartbeatResult, HelperStatus>;

struct ControlReply {
  std::uint64_t id = 0;
  ControlResult result;
};

// Service side.
Result<ControlRequest> decodeRequest(std::string_view packet, std::string_view expectedNonce);
std::string encodeReply(const ControlReply& reply);

// Client side.
std::string encodeRequest(const ControlRequest& request, std::string_view nonce);
// `expected` is the operation that was asked; a reply for another one is
// refused. A status reply's record is read leniently: a missing or mistyped
// key takes its default (false, no host, 0, 0, the empty version, 0).
Result<ControlReply> decodeReply(std::string_view packet, ControlOperation expected);
// The id of a reply of any operation; absent when the packet is not one.
std::optional<std::uint64_t> replyId(std::string_view packet);
// The status record as a status reply carries it (`helperctl status --json`).
std::string encodeStatus(const HelperStatus& status);

// The first packet of a connection: the hello with its nonce, or a refusal.
struct Hello {
  std::string service;
  std::string nonce;
  std::uint64_t maxPacketSize = 0;
  // 1 when the hello does not say (helpers before versions were sent).
  std::uint64_t protocolVersion = 1;
};
struct Refusal {
  std::string reason;
  std::optional<ErrorCode> error;  // absent from helpers of protocol version 1
};
Result<std::variant<Hello, Refusal>> decodeGreeting(std::string_view packet);

}  // namespace helper
