// Any packet as a control request, a reply or a greeting: decoding never
// crashes; a request that decodes reaches the exported object and comes
// back as exactly one reply that the client reads, its failure's message
// and code intact; whatever decodes re-encodes to something that decodes
// the same; a reply's error code and a greeting's fields are what the JSON
// library's document says.
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "helper/front/control_connection.h"
#include "helper/front/control_message.h"
#include "platform/ipc/packet_server.h"
#include "platform/log/logger.h"

namespace {

constexpr std::string_view kNonce = "00112233445566778899aabbccddeeff";

// Answers every operation at once, echoing what it got (in activate's
// failure, the client's pid as the code).
class EchoService : public helper::HelperProtocol {
 public:
  void ping(PingReply reply) override { reply("1.0.0"); }
  void activate(const helper::Caller&, const std::string& url, std::int32_t pid, ActivateReply reply) override {
    reply(false, std::nullopt, helper::Failure{url, {url, pid}});
  }
  void deactivate(const helper::Caller&, const std::string& token, DeactivateReply reply) override {
    reply(false, helper::Failure{token, {"d", 7}});
  }
  void heartbeat(const std::string& token, HeartbeatReply reply) override { reply(token.empty()); }
  void status(StatusReply reply) override { reply(helper::HelperStatus(false, std::nullopt, 0, 0, "1.0.0", 0)); }
};

// Keeps the log quiet.
class QuietOs : public helper::Os {
 public:
  void log(const helper::LogRecord&) override {}
};

// The error code of a reply, if it has one.
std::optional<helper::ErrorCode> errorOf(const helper::ControlResult& result) {
  if (const auto* a = std::get_if<helper::ActivateResult>(&result)) return a->error;
  if (const auto* d = std::get_if<helper::DeactivateResult>(&result)) return d->error;
  return std::nullopt;
}

// The "error" member of a packet that decoded, read by the JSON library.
std::optional<helper::ErrorCode> documentError(std::string_view packet) {
  const auto document = nlohmann::json::parse(packet, nullptr, false);
  if (document.is_discarded() || !document.contains("error") || document["error"].is_null()) return std::nullopt;
  const auto& error = document["error"];
  return helper::ErrorCode{error.at("domain").get<std::string>(), error.at("code").get<std::int64_t>()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace helper;
  static QuietOs quiet;
  static const OsScope scope(quiet);
  const std::string_view packet(reinterpret_cast<const char*>(data), size);

  const auto request = decodeRequest(packet, kNonce);
  // The same rules checked on the JSON library's document: the event reader
  // must accept exactly what they accept, with the same values.
  {
    const auto doc = nlohmann::json::parse(packet, nullptr, false);
    bool ok = !doc.is_discarded() && doc.is_object() && packet.find('\0') == std::string_view::npos;
    // Depth: objects and arrays, at most 3 levels.
    if (ok) {
      int depth = 0, worst = 0;
      bool inString = false, escaped = false;
      for (const char c : packet) {
        if (inString) {
          if (escaped) {
            escaped = false;
          } else if (c == '\\') {
            escaped = true;
          } else if (c == '"') {
            inString = false;
          }
          continue;
        }
        if (c == '"') inString = true;
        if (c == '{' || c == '[') worst = std::max(worst, ++depth);
        if (c == '}' || c == ']') --depth;
      }
      ok = worst <= 3;
    }
    auto isString = [&](const char* k) { return doc.contains(k) && doc[k].is_string(); };
    if (ok) ok = isString("nonce") && doc["nonce"] == kNonce && doc.contains("id") && doc["id"].is_number_unsigned() &&
                 doc["id"].get<std::uint64_t>() <= kMaxRequestId && isString("op");
    if (ok) {
      const auto op = operationNamed(doc["op"].get<std::string>());
      ok = op.has_value();
      if (ok && op == ControlOperation::activate) {
        ok = isString("proxyURL") && doc.contains("clientPID") && doc["clientPID"].is_number_integer() &&
             (doc["clientPID"].is_number_unsigned() ? doc["clientPID"].get<std::uint64_t>() <= INT32_MAX
                                                    : doc["clientPID"].get<std::int64_t>() >= INT32_MIN);
        if (ok && request.value && (request.value->proxyURL != doc["proxyURL"].get<std::string>() ||
                                    request.value->clientPID != doc["clientPID"].get<std::int64_t>())) {
          std::abort();
        }
      }
      if (ok && (op == ControlOperation::heartbeat || op == ControlOperation::deactivate)) {
        ok = isString("sessionToken");
        if (ok && request.value && request.value->sessionToken != doc["sessionToken"].get<std::string>()) std::abort();
      }
    }
    if (ok != request.value.has_value()) std::abort();
  }
  if (request.value) {
    const auto again = decodeRequest(encodeRequest(*request.value, kNonce), kNonce);
    if (!again.value || again.value->id != request.value->id || again.value->op != request.value->op ||
        again.value->proxyURL != request.value->proxyURL || again.value->clientPID != request.value->clientPID ||
        again.value->sessionToken != request.value->sessionToken) {
      std::abort();
    }
  } else if (request.error.empty()) {
    std::abort();  // a refusal always says why
  }

  // Through the connection handler: one reply of the request's kind, or a
  // closed connection exactly when the request did not decode.
  static EchoService service;
  static ControlConnectionHandler handler(service);
  ipc::ServerConnection connection(ipc::UniqueFd(), ipc::Credentials{1, 0, 0}, PeerProcess());
  const auto reply = handler.handlePacket(connection, packet);
  if (reply.has_value()) std::abort();  // the nonce is the connection's own, never kNonce
  if (request.value) {
    const std::string ok = encodeRequest(*request.value, connection.nonce());
    const auto answered = handler.handlePacket(connection, ok);
    if (!answered) std::abort();
    const auto decoded = decodeReply(*answered, request.value->op);
    if (!decoded.value || decoded.value->id != request.value->id) std::abort();
    if (const auto* a = std::get_if<ActivateResult>(&decoded.value->result)) {
      if (a->message != request.value->proxyURL ||
          a->error != ErrorCode{request.value->proxyURL, request.value->clientPID}) {
        std::abort();
      }
    }
    if (const auto* d = std::get_if<DeactivateResult>(&decoded.value->result)) {
      if (d->message != request.value->sessionToken || d->error != ErrorCode{"d", 7}) std::abort();
    }
  }

  for (const auto op : {ControlOperation::ping, ControlOperation::activate, ControlOperation::deactivate,
                        ControlOperation::heartbeat, ControlOperation::status}) {
    const auto decoded = decodeReply(packet, op);
    if (decoded.value && op == ControlOperation::status) {
      // The event reader and the document reader agree on the record.
      const auto document = nlohmann::json::parse(packet, nullptr, false);
      if (document.is_discarded() || !document.contains("status")) std::abort();
      if (!(HelperStatus::decode(document["status"]) == std::get<HelperStatus>(decoded.value->result))) std::abort();
    }
    if (decoded.value) {
      const auto again = decodeReply(encodeReply(*decoded.value), op);
      if (!again.value || again.value->id != decoded.value->id) std::abort();
      if (replyId(packet) != decoded.value->id) std::abort();
      if (errorOf(again.value->result) != errorOf(decoded.value->result)) std::abort();
      const bool carriesError = op == ControlOperation::activate || op == ControlOperation::deactivate;
      if (carriesError && errorOf(decoded.value->result) != documentError(packet)) std::abort();
    }
  }

  const auto greeting = decodeGreeting(packet);
  if (greeting.value) {
    const auto document = nlohmann::json::parse(packet, nullptr, false);
    if (document.is_discarded()) std::abort();
    if (const auto* refusal = std::get_if<Refusal>(&*greeting.value)) {
      if (document["refused"] != refusal->reason || refusal->error != documentError(packet)) std::abort();
    } else {
      const auto& hello = std::get<Hello>(*greeting.value);
      if (document.value("protocolVersion", std::uint64_t{1}) != hello.protocolVersion) std::abort();
    }
  }
  return 0;
}
