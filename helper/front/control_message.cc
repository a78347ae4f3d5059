#include "helper/front/control_message.h"

#include <limits>

namespace helper {
namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

constexpr const char* kOperations[] = {"ping", "activate", "deactivate", "heartbeat", "status"};

// Requests and replies are flat objects (a status record is one level
// deeper); anything nested more deeply is refused before it is parsed.
constexpr int kMaxNesting = 3;

bool nestingWithin(std::string_view text, int limit) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
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
    if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > limit) return false;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return true;
}

// Parses one JSON object; sets `error` otherwise.
std::optional<Json> parseObject(std::string_view packet, std::string& error) {
  if (packet.empty()) {
    error = "empty packet";
    return std::nullopt;
  }
  // The JSON reader stops at a NUL byte as if the text ended there, which
  // would let anything follow it; JSON text never holds a raw NUL.
  if (packet.find('\0') != std::string_view::npos) {
    error = "not JSON";
    return std::nullopt;
  }
  if (!nestingWithin(packet, kMaxNesting)) {
    error = "nested too deeply";
    return std::nullopt;
  }
  Json parsed = Json::parse(packet.begin(), packet.end(), nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) {
    error = "not JSON";
    return std::nullopt;
  }
  if (!parsed.is_object()) {
    error = "not a JSON object";
    return std::nullopt;
  }
  return parsed;
}

const Json* find(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

bool readString(const Json& object, const char* key, std::string& out, std::string& error) {
  const Json* v = find(object, key);
  if (v == nullptr || !v->is_string()) {
    error = std::string("\"") + key + "\" must be a string";
    return false;
  }
  out = v->get<std::string>();
  return true;
}

bool readOptionalString(const Json& object, const char* key, std::optional<std::string>& out,
                        std::string& error) {
  const Json* v = find(object, key);
  if (v == nullptr || v->is_null()) {
    out.reset();
    return true;
  }
  if (!v->is_string()) {
    error = std::string("\"") + key + "\" must be a string or null";
    return false;
  }
  out = v->get<std::string>();
  return true;
}

bool readBool(const Json& object, const char* key, bool& out, std::string& error) {
  const Json* v = find(object, key);
  if (v == nullptr || !v->is_boolean()) {
    error = std::string("\"") + key + "\" must be true or false";
    return false;
  }
  out = v->get<bool>();
  return true;
}

bool readId(const Json& object, std::uint64_t& out, std::string& error) {
  const Json* v = find(object, "id");
  if (v != nullptr && v->is_number_unsigned() && v->get<std::uint64_t>() <= kMaxRequestId) {
    out = v->get<std::uint64_t>();
    return true;
  }
  // Non-negative integers arrive as unsigned; 0 may arrive as signed.
  if (v != nullptr && v->is_number_integer() && v->get<std::int64_t>() == 0) {
    out = 0;
    return true;
  }
  error = "\"id\" must be an integer from 0 to 2^53-1";
  return false;
}

std::string dump(const OrderedJson& value) {
  // Texts that are not UTF-8 (an engine's message, say) are mended rather
  // than failing the reply.
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

OrderedJson optionalText(const std::optional<std::string>& value) {
  return value ? OrderedJson(*value) : OrderedJson(nullptr);
}

}  // namespace

const char* operationName(ControlOperation op) { return kOperations[static_cast<int>(op)]; }

std::optional<ControlOperation> operationNamed(std::string_view name) {
  for (int i = 0; i < 5; ++i) {
    if (name == kOperations[i]) return static_cast<ControlOperation>(i);
  }
  return std::nullopt;
}

Decoded<ControlRequest> decodeRequest(std::string_view packet, std::string_view expectedNonce) {
  Decoded<ControlRequest> out;
  const std::optional<Json> object = parseObject(packet, out.error);
  if (!object) return out;
  std::string nonce;
  if (!readString(*object, "nonce", nonce, out.error)) return out;
  if (nonce != expectedNonce) {
    out.error = "wrong nonce";
    return out;
  }
  ControlRequest request;
  if (!readId(*object, request.id, out.error)) return out;
  std::string name;
  if (!readString(*object, "op", name, out.error)) return out;
  const std::optional<ControlOperation> op = operationNamed(name);
  if (!op) {
    out.error = "unknown operation";
    return out;
  }
  request.op = *op;
  switch (*op) {
    case ControlOperation::ping:
    case ControlOperation::status:
      break;
    case ControlOperation::activate: {
      if (!readString(*object, "proxyURL", request.proxyURL, out.error)) return out;
      const Json* pid = find(*object, "clientPID");
      if (pid == nullptr || !pid->is_number_integer() ||
          (pid->is_number_unsigned() &&
           pid->get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) ||
          (!pid->is_number_unsigned() &&
           (pid->get<std::int64_t>() < std::numeric_limits<std::int32_t>::min() ||
            pid->get<std::int64_t>() > std::numeric_limits<std::int32_t>::max()))) {
        out.error = "\"clientPID\" must be a signed 32-bit integer";
        return out;
      }
      request.clientPID = pid->is_number_unsigned() ? static_cast<std::int32_t>(pid->get<std::uint64_t>())
                                                    : static_cast<std::int32_t>(pid->get<std::int64_t>());
      break;
    }
    case ControlOperation::deactivate:
    case ControlOperation::heartbeat:
      if (!readString(*object, "sessionToken", request.sessionToken, out.error)) return out;
      break;
  }
  out.value = std::move(request);
  return out;
}

std::string encodeRequest(const ControlRequest& request, std::string_view nonce) {
  OrderedJson out;
  out["nonce"] = std::string(nonce);
  out["id"] = request.id;
  out["op"] = operationName(request.op);
  switch (request.op) {
    case ControlOperation::ping:
    case ControlOperation::status:
      break;
    case ControlOperation::activate:
      out["proxyURL"] = request.proxyURL;
      out["clientPID"] = request.clientPID;
      break;
    case ControlOperation::deactivate:
    case ControlOperation::heartbeat:
      out["sessionToken"] = request.sessionToken;
      break;
  }
  return dump(out);
}

std::string encodeReply(const ControlReply& reply) {
  OrderedJson out;
  out["id"] = reply.id;
  std::visit(
      [&out](const auto& r) {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, PingResult>) {
          out["op"] = "ping";
          out["version"] = r.version;
        } else if constexpr (std::is_same_v<T, ActivateResult>) {
          out["op"] = "activate";
          out["success"] = r.success;
          out["token"] = optionalText(r.token);
          out["message"] = optionalText(r.message);
        } else if constexpr (std::is_same_v<T, DeactivateResult>) {
          out["op"] = "deactivate";
          out["success"] = r.success;
          out["message"] = optionalText(r.message);
        } else if constexpr (std::is_same_v<T, HeartbeatResult>) {
          out["op"] = "heartbeat";
          out["success"] = r.success;
        } else {
          out["op"] = "status";
          out["status"] = r.encode();
        }
      },
      reply.result);
  return dump(out);
}

Decoded<ControlReply> decodeReply(std::string_view packet, ControlOperation expected) {
  Decoded<ControlReply> out;
  const std::optional<Json> object = parseObject(packet, out.error);
  if (!object) return out;
  ControlReply reply;
  if (!readId(*object, reply.id, out.error)) return out;
  std::string name;
  if (!readString(*object, "op", name, out.error)) return out;
  if (name != operationName(expected)) {
    out.error = "a reply to \"" + name + "\" where \"" + operationName(expected) + "\" was asked";
    return out;
  }
  switch (expected) {
    case ControlOperation::ping: {
      PingResult r;
      if (!readString(*object, "version", r.version, out.error)) return out;
      reply.result = r;
      break;
    }
    case ControlOperation::activate: {
      ActivateResult r;
      if (!readBool(*object, "success", r.success, out.error) ||
          !readOptionalString(*object, "token", r.token, out.error) ||
          !readOptionalString(*object, "message", r.message, out.error)) {
        return out;
      }
      reply.result = r;
      break;
    }
    case ControlOperation::deactivate: {
      DeactivateResult r;
      if (!readBool(*object, "success", r.success, out.error) ||
          !readOptionalString(*object, "message", r.message, out.error)) {
        return out;
      }
      reply.result = r;
      break;
    }
    case ControlOperation::heartbeat: {
      HeartbeatResult r;
      if (!readBool(*object, "success", r.success, out.error)) return out;
      reply.result = r;
      break;
    }
    case ControlOperation::status: {
      const Json* record = find(*object, "status");
      if (record == nullptr || !HelperStatus::hasStatusClass(*record)) {
        out.error = std::string("\"status\" must be a record of class ") + HelperStatus::kClassName;
        return out;
      }
      reply.result = HelperStatus::decode(*record);
      break;
    }
  }
  out.value = std::move(reply);
  return out;
}

std::optional<std::uint64_t> replyId(std::string_view packet) {
  std::string error;
  const std::optional<Json> object = parseObject(packet, error);
  std::uint64_t id = 0;
  if (!object || !readId(*object, id, error)) return std::nullopt;
  return id;
}

Decoded<std::variant<Hello, Refusal>> decodeGreeting(std::string_view packet) {
  Decoded<std::variant<Hello, Refusal>> out;
  const std::optional<Json> object = parseObject(packet, out.error);
  if (!object) return out;
  if (find(*object, "refused") != nullptr) {
    Refusal refusal;
    if (!readString(*object, "refused", refusal.reason, out.error)) return out;
    out.value = refusal;
    return out;
  }
  Hello hello;
  if (!readString(*object, "hello", hello.service, out.error) ||
      !readString(*object, "nonce", hello.nonce, out.error)) {
    return out;
  }
  const Json* size = find(*object, "maxPacketSize");
  if (size == nullptr || !size->is_number_unsigned()) {
    out.error = "\"maxPacketSize\" must be a positive integer";
    return out;
  }
  hello.maxPacketSize = size->get<std::uint64_t>();
  out.value = hello;
  return out;
}

}  // namespace helper
