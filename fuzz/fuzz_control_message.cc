// Any packet as a control request, a reply or a greeting: decoding never
// crashes; a request that decodes reaches the exported object and comes
// back as exactly one reply that the client reads, its failure's message
// and code intact; whatever decodes re-encodes to something that decodes
// the same; a reply's error code and a greeting's fields are what the JSON
// library's document says.
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>
#include <tuple>

#include "helper/front/control_connection.h"
#include "helper/front/control_message.h"
#include "platform/ipc/packet_server.h"
#include "platform/log/logger.h"

namespace {

using namespace helper;
using Json = nlohmann::json;

constexpr std::string_view kNonce = "00112233445566778899aabbccddeeff";

void check(bool condition) {
  if (!condition) std::abort();
}

// Answers every operation at once, echoing what it got (in activate's
// failure, the client's pid as the code).
class EchoService : public HelperProtocol {
 public:
  void ping(PingReply reply) override { reply("1.0.0"); }
  void activate(const Caller&, const std::string& url, std::int32_t pid, ActivateReply reply) override {
    reply(false, std::nullopt, Failure{url, {url, pid}});
  }
  void deactivate(const Caller&, const std::string& token, DeactivateReply reply) override {
    reply(false, Failure{token, {"d", 7}});
  }
  void heartbeat(const std::string& token, HeartbeatReply reply) override { reply(token.empty()); }
  void status(StatusReply reply) override { reply(HelperStatus(false, std::nullopt, 0, 0, "1.0.0", 0)); }
};

class NullSink : public LogSink {
 public:
  void write(const LogRecord&) override {}
};

// Nesting of objects and arrays.
int depth(const Json& j) {
  int deepest = 0;
  if (j.is_structured()) {
    for (const auto& v : j) deepest = std::max(deepest, depth(v));
  }
  return j.is_structured() ? deepest + 1 : 0;
}

bool isString(const Json& doc, const char* key) { return doc.contains(key) && doc[key].is_string(); }

// The request rules checked on the JSON library's document: an object at
// most 3 levels deep without NUL, our nonce, an id in range, a known
// operation and the arguments it takes, with their types.
bool isRequest(const Json& doc, std::string_view packet) {
  if (doc.is_discarded() || !doc.is_object() || packet.find('\0') != std::string_view::npos || depth(doc) > 3) {
    return false;
  }
  if (!isString(doc, "nonce") || doc["nonce"] != kNonce || !isString(doc, "op") || !doc.contains("id") ||
      !doc["id"].is_number_unsigned() || doc["id"].get<std::uint64_t>() > kMaxRequestId) {
    return false;
  }
  const auto op = operationNamed(doc["op"].get<std::string>());
  if (op == ControlOperation::activate) {
    const Json& pid = doc.contains("clientPID") ? doc["clientPID"] : Json();
    return isString(doc, "proxyURL") && pid.is_number_integer() &&
           (pid.is_number_unsigned() ? pid.get<std::uint64_t>() <= INT32_MAX : pid.get<std::int64_t>() >= INT32_MIN);
  }
  if (op == ControlOperation::heartbeat || op == ControlOperation::deactivate) return isString(doc, "sessionToken");
  return op.has_value();
}

auto fields(const ControlRequest& r) { return std::tie(r.id, r.op, r.proxyURL, r.clientPID, r.sessionToken); }

// The error code of a reply, if it has one.
std::optional<ErrorCode> errorOf(const ControlResult& result) {
  if (const auto* a = std::get_if<ActivateResult>(&result)) return a->error;
  if (const auto* d = std::get_if<DeactivateResult>(&result)) return d->error;
  return std::nullopt;
}

// The "error" member of a packet that decoded, read by the JSON library.
std::optional<ErrorCode> documentError(const Json& document) {
  if (!document.contains("error") || document["error"].is_null()) return std::nullopt;
  const auto& error = document["error"];
  return ErrorCode{error.at("domain").get<std::string>(), error.at("code").get<std::int64_t>()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    setLogSink(std::make_shared<NullSink>());
    return true;
  }();
  (void)quiet;
  const std::string_view packet(reinterpret_cast<const char*>(data), size);
  const Json doc = Json::parse(packet, nullptr, false);

  // The event reader accepts exactly what the rules accept, with the same
  // values, and a refusal always says why.
  const auto request = decodeRequest(packet, kNonce);
  check(isRequest(doc, packet) == request.value.has_value());
  if (request.value) {
    const ControlRequest& r = *request.value;
    check(r.id == doc["id"].get<std::uint64_t>() && operationName(r.op) == doc["op"].get<std::string>());
    if (r.op == ControlOperation::activate) check(r.proxyURL == doc["proxyURL"] && r.clientPID == doc["clientPID"]);
    if (r.op == ControlOperation::heartbeat || r.op == ControlOperation::deactivate) {
      check(r.sessionToken == doc["sessionToken"]);
    }
    const auto again = decodeRequest(encodeRequest(r, kNonce), kNonce);
    check(again.value && fields(*again.value) == fields(r));
  } else {
    check(!request.error.empty());
  }

  // Through the connection handler: one reply of the request's kind, or a
  // closed connection exactly when the request did not decode.
  static EchoService service;
  static ControlConnectionHandler handler(service);
  ipc::ServerConnection connection(ipc::UniqueFd(), ipc::Credentials{1, 0, 0}, PeerProcess());
  check(!handler.handlePacket(connection, packet));  // the nonce is the connection's own, never kNonce
  if (request.value) {
    const auto answered = handler.handlePacket(connection, encodeRequest(*request.value, connection.nonce()));
    check(answered.has_value());
    const auto decoded = decodeReply(*answered, request.value->op);
    check(decoded.value && decoded.value->id == request.value->id);
    if (const auto* a = std::get_if<ActivateResult>(&decoded.value->result)) {
      check(a->message == request.value->proxyURL && a->error == ErrorCode{request.value->proxyURL, request.value->clientPID});
    }
    if (const auto* d = std::get_if<DeactivateResult>(&decoded.value->result)) {
      check(d->message == request.value->sessionToken && d->error == ErrorCode{"d", 7});
    }
  }

  for (const auto op : {ControlOperation::ping, ControlOperation::activate, ControlOperation::deactivate,
                        ControlOperation::heartbeat, ControlOperation::status}) {
    const auto decoded = decodeReply(packet, op);
    if (!decoded.value) continue;
    check(replyId(packet) == decoded.value->id);
    // The event reader and the document reader agree on the record and the
    // error code.
    if (op == ControlOperation::status) {
      check(!doc.is_discarded() && doc.contains("status") &&
            HelperStatus::decode(doc["status"]) == std::get<HelperStatus>(decoded.value->result));
    }
    if (op == ControlOperation::activate || op == ControlOperation::deactivate) {
      check(errorOf(decoded.value->result) == documentError(doc));
    }
    const auto again = decodeReply(encodeReply(*decoded.value), op);
    check(again.value && again.value->id == decoded.value->id &&
          errorOf(again.value->result) == errorOf(decoded.value->result));
  }

  const auto greeting = decodeGreeting(packet);
  if (greeting.value) {
    check(!doc.is_discarded());
    if (const auto* refusal = std::get_if<Refusal>(&*greeting.value)) {
      check(doc["refused"] == refusal->reason && refusal->error == documentError(doc));
    } else {
      check(doc.value("protocolVersion", std::uint64_t{1}) == std::get<Hello>(*greeting.value).protocolVersion);
    }
  }
  return 0;
}
