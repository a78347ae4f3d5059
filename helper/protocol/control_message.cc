#include "helper/protocol/control_message.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace helper {
namespace {

// Members keep the order they were put in, which is their order on the wire.
using Json = nlohmann::ordered_json;

constexpr const char* kOperations[] = {"ping", "activate", "deactivate", "heartbeat", "status"};
constexpr const char* kStatusClass = "CorvalethHelperStatus";

// Requests and replies are flat objects (a status record or an error code
// is one level deeper, and one more level is allowed inside those);
// anything nested more deeply is refused.
constexpr int kMaxNesting = 3;

// Why a packet is refused: thrown while it is read, caught by decode().
struct Refused {
  std::string reason;
};

// The one JSON object of a packet, or Refused for the first fault in it.
Json parseObject(std::string_view text) {
  if (text.empty()) throw Refused{"empty packet"};
  // The parser takes a NUL byte for the end of the text, which would let
  // anything follow it; JSON text never holds one.
  if (text.find('\0') != std::string_view::npos) throw Refused{"not JSON"};
  std::string fault;
  // `depth` is the number of objects and arrays open around the event.
  const auto check = [&fault](int depth, Json::parse_event_t event, Json&) {
    using Event = Json::parse_event_t;
    const bool opens = event == Event::object_start || event == Event::array_start;
    if (fault.empty() && depth == 0 && (event == Event::array_start || event == Event::value)) {
      fault = "not a JSON object";
    } else if (fault.empty() && opens && depth >= kMaxNesting) {
      fault = "nested too deeply";
    }
    return fault.empty();  // after a fault nothing more is kept
  };
  Json object = Json::parse(text.begin(), text.end(), check, /*allow_exceptions=*/false);
  if (!fault.empty()) throw Refused{fault};
  if (object.is_discarded()) throw Refused{"not JSON"};
  return object;
}

// Reads a packet with `read`, which throws Refused for what it cannot take.
template <typename T, typename Read>
Result<T> decode(std::string_view packet, Read read) {
  try {
    return read(parseObject(packet));
  } catch (const Refused& refused) {
    return Error{refused.reason};
  }
}

template <typename T>
T need(std::optional<T> value, const char* reason) {
  if (!value) throw Refused{reason};
  return std::move(*value);
}

// Absent when `object` is no object or has no `key`.
const Json* find(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> text(const Json* v) {
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

// Non-negative integers arrive unsigned; negative ones, and -0, signed.
std::optional<std::uint64_t> natural(const Json* v, std::uint64_t min = 0,
                                     std::uint64_t max = std::numeric_limits<std::uint64_t>::max()) {
  if (v == nullptr || !v->is_number_unsigned() || v->get<std::uint64_t>() < min || v->get<std::uint64_t>() > max) {
    return std::nullopt;
  }
  return v->get<std::uint64_t>();
}

std::optional<std::int64_t> integer(const Json* v, std::int64_t min = std::numeric_limits<std::int64_t>::min(),
                                    std::int64_t max = std::numeric_limits<std::int64_t>::max()) {
  if (const auto n = natural(v, 0, static_cast<std::uint64_t>(max))) return static_cast<std::int64_t>(*n);
  if (v == nullptr || !v->is_number_integer() || v->is_number_unsigned() || v->get<std::int64_t>() < min) {
    return std::nullopt;
  }
  return v->get<std::int64_t>();
}

std::string mustBe(const char* key, const char* what) { return std::string("\"") + key + "\" must be " + what; }

std::string stringAt(const Json& object, const char* key) {
  if (auto value = text(find(object, key))) return std::move(*value);
  throw Refused{mustBe(key, "a string")};
}

std::optional<std::string> stringOrNullAt(const Json& object, const char* key) {
  const Json* v = find(object, key);
  if (v == nullptr || v->is_null()) return std::nullopt;
  if (!v->is_string()) throw Refused{mustBe(key, "a string or null")};
  return v->get<std::string>();
}

bool boolAt(const Json& object, const char* key) {
  const Json* v = find(object, key);
  if (v == nullptr || !v->is_boolean()) throw Refused{mustBe(key, "true or false")};
  return v->get<bool>();
}

std::uint64_t idAt(const Json& object) {
  return need(natural(find(object, "id"), 0, kMaxRequestId), "\"id\" must be an integer from 0 to 2^53-1");
}

// "error": null, absent, or {"domain":"…","code":N}; unknown members of
// the object are ignored like unknown keys anywhere.
std::optional<ErrorCode> errorAt(const Json& object) {
  const Json* error = find(object, "error");
  if (error == nullptr || error->is_null()) return std::nullopt;
  std::optional<std::string> domain = text(find(*error, "domain"));
  const std::optional<std::int64_t> code = integer(find(*error, "code"));
  if (!domain || !code) {
    throw Refused{"\"error\" must be null or an object with a string \"domain\" and an integer \"code\""};
  }
  return ErrorCode{std::move(*domain), *code};
}

Json orNull(const std::optional<std::string>& text) { return text ? Json(*text) : Json(); }

// Compact, with U+FFFD in place of bytes that are not UTF-8.
std::string dump(const Json& message) { return message.dump(-1, ' ', false, Json::error_handler_t::replace); }

bool takesToken(ControlOperation op) { return op == ControlOperation::heartbeat || op == ControlOperation::deactivate; }

// "message" and its code "error": both null, or the text and its code.
void putMessage(Json& reply, const std::optional<std::string>& message, const std::optional<ErrorCode>& code) {
  reply["message"] = orNull(message);
  reply["error"] = code ? Json{{"domain", code->domain}, {"code", code->code}} : Json();
}

// Objects are built member by member: an initializer list costs a
// temporary array for every member, twice the time.
Json statusRecord(const HelperStatus& s) {
  Json record;
  record["$class"] = kStatusClass;
  record["isActive"] = s.isActive();
  record["host"] = orNull(s.activeProxyHost());
  // JSON has no NaN or infinities; such a time is written as 0.
  record["since"] = std::isfinite(s.activeSinceUnixTime()) ? s.activeSinceUnixTime() : 0.0;
  record["sessions"] = s.relaySessionsCount();
  record["version"] = s.helperVersion();
  record["bridgePort"] = s.bridgePort();
  return record;
}

HelperStatus readStatus(const Json& reply) {
  const Json* record = find(reply, "status");
  if (text(record != nullptr ? find(*record, "$class") : nullptr) != kStatusClass) {
    throw Refused{std::string("\"status\" must be a record of class ") + kStatusClass};
  }
  const auto at = [record](const char* key) { return find(*record, key); };
  const Json* active = at("isActive");
  const Json* since = at("since");  // never infinite: the parser refuses numbers beyond a double's range
  return HelperStatus(active != nullptr && active->is_boolean() && active->get<bool>(), text(at("host")),
                      since != nullptr && since->is_number() ? since->get<double>() : 0,
                      integer(at("sessions")).value_or(0), text(at("version")).value_or(""),
                      integer(at("bridgePort")).value_or(0));
}

}  // namespace

const char* operationName(ControlOperation op) { return kOperations[static_cast<int>(op)]; }

std::optional<ControlOperation> operationNamed(std::string_view name) {
  for (int i = 0; i < 5; ++i) {
    if (name == kOperations[i]) return static_cast<ControlOperation>(i);
  }
  return std::nullopt;
}

std::string encodeRequest(const ControlRequest& request, std::string_view nonce) {
  Json out;
  out["nonce"] = nonce;
  out["id"] = request.id;
  out["op"] = operationName(request.op);
  if (request.op == ControlOperation::activate) {
    out["proxyURL"] = request.proxyURL;
    out["clientPID"] = request.clientPID;
  } else if (takesToken(request.op)) {
    out["sessionToken"] = request.sessionToken;
  }
  return dump(out);
}

Result<ControlRequest> decodeRequest(std::string_view packet, std::string_view expectedNonce) {
  return decode<ControlRequest>(packet, [expectedNonce](const Json& object) {
    if (stringAt(object, "nonce") != expectedNonce) throw Refused{"wrong nonce"};
    ControlRequest request;
    request.id = idAt(object);
    request.op = need(operationNamed(stringAt(object, "op")), "unknown operation");
    if (request.op == ControlOperation::activate) {
      request.proxyURL = stringAt(object, "proxyURL");
      request.clientPID = static_cast<std::int32_t>(
          need(integer(find(object, "clientPID"), std::numeric_limits<std::int32_t>::min(),
                       std::numeric_limits<std::int32_t>::max()),
               "\"clientPID\" must be a signed 32-bit integer"));
    } else if (takesToken(request.op)) {
      request.sessionToken = stringAt(object, "sessionToken");
    }
    return request;
  });
}

std::string encodeReply(const ControlReply& reply) {
  Json out;
  out["id"] = reply.id;
  out["op"] = operationName(static_cast<ControlOperation>(reply.result.index()));
  if (const auto* r = std::get_if<PingResult>(&reply.result)) out["version"] = r->version;
  if (const auto* r = std::get_if<ActivateResult>(&reply.result)) {
    out["success"] = r->success;
    out["token"] = orNull(r->token);
    putMessage(out, r->message, r->error);
  }
  if (const auto* r = std::get_if<DeactivateResult>(&reply.result)) {
    out["success"] = r->success;
    putMessage(out, r->message, r->error);
  }
  if (const auto* r = std::get_if<HeartbeatResult>(&reply.result)) out["success"] = r->success;
  if (const auto* r = std::get_if<HelperStatus>(&reply.result)) out["status"] = statusRecord(*r);
  return dump(out);
}

Result<ControlReply> decodeReply(std::string_view packet, ControlOperation expected) {
  return decode<ControlReply>(packet, [expected](const Json& object) {
    ControlReply reply{idAt(object), {}};
    const std::string op = stringAt(object, "op");
    if (op != operationName(expected)) {
      throw Refused{"a reply to \"" + op + "\" where \"" + operationName(expected) + "\" was asked"};
    }
    switch (expected) {
      case ControlOperation::ping:
        reply.result = PingResult{stringAt(object, "version")};
        break;
      case ControlOperation::activate:
        reply.result = ActivateResult{boolAt(object, "success"), stringOrNullAt(object, "token"),
                                      stringOrNullAt(object, "message"), errorAt(object)};
        break;
      case ControlOperation::deactivate:
        reply.result = DeactivateResult{boolAt(object, "success"), stringOrNullAt(object, "message"), errorAt(object)};
        break;
      case ControlOperation::heartbeat:
        reply.result = HeartbeatResult{boolAt(object, "success")};
        break;
      case ControlOperation::status:
        reply.result = readStatus(object);
        break;
    }
    return reply;
  });
}

std::optional<std::uint64_t> replyId(std::string_view packet) {
  const Result<std::uint64_t> id = decode<std::uint64_t>(packet, idAt);
  return id ? std::optional(*id) : std::nullopt;
}

std::string encodeStatus(const HelperStatus& status) { return dump(statusRecord(status)); }

Result<std::variant<Hello, Refusal>> decodeGreeting(std::string_view packet) {
  return decode<std::variant<Hello, Refusal>>(packet, [](const Json& object) -> std::variant<Hello, Refusal> {
    if (find(object, "refused") != nullptr) return Refusal{stringAt(object, "refused"), errorAt(object)};
    Hello hello{stringAt(object, "hello"), stringAt(object, "nonce"),
                need(natural(find(object, "maxPacketSize")), "\"maxPacketSize\" must be a positive integer")};
    if (const Json* version = find(object, "protocolVersion")) {
      hello.protocolVersion = need(natural(version, 1), "\"protocolVersion\" must be a positive integer");
    }
    return hello;
  });
}

}  // namespace helper
