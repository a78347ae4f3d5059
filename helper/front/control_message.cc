#include "helper/front/control_message.h"

#include <limits>

#include "helper/front/json_text.h"

namespace helper {
namespace {

using json::Document;
using json::Object;
using json::Value;
using Kind = json::Value::Kind;

constexpr const char* kOperations[] = {"ping", "activate", "deactivate", "heartbeat", "status"};

// Requests and replies are flat objects (a status record is one level
// deeper); anything nested more deeply is refused.
constexpr int kMaxNesting = 3;

bool readString(const Object& object, const char* key, std::string& out, std::string& error) {
  const Value* v = object.find(key);
  if (v == nullptr || v->kind != Kind::string) {
    error = std::string("\"") + key + "\" must be a string";
    return false;
  }
  out = v->text;
  return true;
}

bool readOptionalString(const Object& object, const char* key, std::optional<std::string>& out,
                        std::string& error) {
  const Value* v = object.find(key);
  if (v == nullptr || v->kind == Kind::null) {
    out.reset();
    return true;
  }
  if (v->kind != Kind::string) {
    error = std::string("\"") + key + "\" must be a string or null";
    return false;
  }
  out = v->text;
  return true;
}

bool readBool(const Object& object, const char* key, bool& out, std::string& error) {
  const Value* v = object.find(key);
  if (v == nullptr || v->kind != Kind::boolean) {
    error = std::string("\"") + key + "\" must be true or false";
    return false;
  }
  out = v->boolean;
  return true;
}

// "error": null, absent, or {"domain":"…","code":N}; unknown members of
// the object are ignored like unknown keys anywhere.
bool readOptionalError(const Document& document, const Object& object, std::optional<ErrorCode>& out,
                       std::string& error) {
  const Value* v = object.find("error");
  if (v == nullptr || v->kind == Kind::null) {
    out.reset();
    return true;
  }
  const Object* fields =
      v->kind == Kind::object && v->object > 0 ? &document.objects[static_cast<std::size_t>(v->object)] : nullptr;
  const Value* domain = fields ? fields->find("domain") : nullptr;
  const Value* code = fields ? fields->find("code") : nullptr;
  if (domain == nullptr || domain->kind != Kind::string || code == nullptr ||
      !(code->kind == Kind::integer ||
        (code->kind == Kind::unsignedInteger &&
         code->unsignedInteger <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())))) {
    error = "\"error\" must be null or an object with a string \"domain\" and an integer \"code\"";
    return false;
  }
  out = ErrorCode{domain->text, code->kind == Kind::integer ? code->integer
                                                             : static_cast<std::int64_t>(code->unsignedInteger)};
  return true;
}

// `,"message":…,"error":…` of a reply: both null, or the text and its code.
void appendMessage(std::string& out, const std::optional<std::string>& message,
                   const std::optional<ErrorCode>& code) {
  out += R"(,"message":)";
  json::appendOptionalString(out, message);
  out += R"(,"error":)";
  if (!code) {
    out += "null";
    return;
  }
  out += R"({"domain":)";
  json::appendString(out, code->domain);
  out += R"(,"code":)";
  out += std::to_string(code->code);
  out += '}';
}

bool readId(const Object& object, std::uint64_t& out, std::string& error) {
  const Value* v = object.find("id");
  // Non-negative integers arrive unsigned.
  if (v != nullptr && v->kind == Kind::unsignedInteger && v->unsignedInteger <= kMaxRequestId) {
    out = v->unsignedInteger;
    return true;
  }
  error = "\"id\" must be an integer from 0 to 2^53-1";
  return false;
}

bool readClientPID(const Object& object, std::int32_t& out, std::string& error) {
  const Value* v = object.find("clientPID");
  if (v != nullptr && v->kind == Kind::unsignedInteger &&
      v->unsignedInteger <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
    out = static_cast<std::int32_t>(v->unsignedInteger);
    return true;
  }
  if (v != nullptr && v->kind == Kind::integer && v->integer >= std::numeric_limits<std::int32_t>::min()) {
    out = static_cast<std::int32_t>(v->integer);
    return true;
  }
  error = "\"clientPID\" must be a signed 32-bit integer";
  return false;
}

// A nested object of a document as the status record's archive.
class ObjectArchive : public StatusArchive {
 public:
  explicit ObjectArchive(const Object& object) : object_(object) {}
  std::optional<bool> boolean(const char* key) const override {
    const Value* v = object_.find(key);
    if (v == nullptr || v->kind != Kind::boolean) return std::nullopt;
    return v->boolean;
  }
  std::optional<double> number(const char* key) const override {
    const Value* v = object_.find(key);
    if (v == nullptr || !v->isNumber()) return std::nullopt;
    return v->asDouble();
  }
  std::optional<std::int64_t> integer(const char* key) const override {
    const Value* v = object_.find(key);
    if (v == nullptr) return std::nullopt;
    if (v->kind == Kind::integer) return v->integer;
    if (v->kind == Kind::unsignedInteger &&
        v->unsignedInteger <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(v->unsignedInteger);
    }
    return std::nullopt;
  }
  std::optional<std::string> string(const char* key) const override {
    const Value* v = object_.find(key);
    if (v == nullptr || v->kind != Kind::string) return std::nullopt;
    return v->text;
  }

 private:
  const Object& object_;
};

// `{"id":N,"op":"name"` — the common start of every reply.
std::string replyHead(std::uint64_t id, const char* op) {
  std::string out;
  out.reserve(128);
  out += R"({"id":)";
  out += std::to_string(id);
  out += R"(,"op":")";
  out += op;
  out += '"';
  return out;
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
  const std::optional<Document> document = json::parseObject(packet, kMaxNesting, out.error);
  if (!document) return out;
  const Object& object = document->root();
  std::string nonce;
  if (!readString(object, "nonce", nonce, out.error)) return out;
  if (nonce != expectedNonce) {
    out.error = "wrong nonce";
    return out;
  }
  ControlRequest request;
  if (!readId(object, request.id, out.error)) return out;
  std::string name;
  if (!readString(object, "op", name, out.error)) return out;
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
    case ControlOperation::activate:
      if (!readString(object, "proxyURL", request.proxyURL, out.error) ||
          !readClientPID(object, request.clientPID, out.error)) {
        return out;
      }
      break;
    case ControlOperation::deactivate:
    case ControlOperation::heartbeat:
      if (!readString(object, "sessionToken", request.sessionToken, out.error)) return out;
      break;
  }
  out.value = std::move(request);
  return out;
}

std::string encodeRequest(const ControlRequest& request, std::string_view nonce) {
  std::string out;
  out.reserve(128 + request.proxyURL.size() + request.sessionToken.size());
  out += R"({"nonce":)";
  json::appendString(out, nonce);
  out += R"(,"id":)";
  out += std::to_string(request.id);
  out += R"(,"op":")";
  out += operationName(request.op);
  out += '"';
  switch (request.op) {
    case ControlOperation::ping:
    case ControlOperation::status:
      break;
    case ControlOperation::activate:
      out += R"(,"proxyURL":)";
      json::appendString(out, request.proxyURL);
      out += R"(,"clientPID":)";
      out += std::to_string(request.clientPID);
      break;
    case ControlOperation::deactivate:
    case ControlOperation::heartbeat:
      out += R"(,"sessionToken":)";
      json::appendString(out, request.sessionToken);
      break;
  }
  out += '}';
  return out;
}

std::string encodeReply(const ControlReply& reply) {
  return std::visit(
      [&reply](const auto& r) {
        using T = std::decay_t<decltype(r)>;
        std::string out;
        if constexpr (std::is_same_v<T, PingResult>) {
          out = replyHead(reply.id, "ping");
          out += R"(,"version":)";
          json::appendString(out, r.version);
        } else if constexpr (std::is_same_v<T, ActivateResult>) {
          out = replyHead(reply.id, "activate");
          out += r.success ? R"(,"success":true,"token":)" : R"(,"success":false,"token":)";
          json::appendOptionalString(out, r.token);
          appendMessage(out, r.message, r.error);
        } else if constexpr (std::is_same_v<T, DeactivateResult>) {
          out = replyHead(reply.id, "deactivate");
          out += r.success ? R"(,"success":true)" : R"(,"success":false)";
          appendMessage(out, r.message, r.error);
        } else if constexpr (std::is_same_v<T, HeartbeatResult>) {
          out = replyHead(reply.id, "heartbeat");
          out += r.success ? R"(,"success":true)" : R"(,"success":false)";
        } else {
          out = replyHead(reply.id, "status");
          out += R"(,"status":)";
          out += r.encodeText();
        }
        out += '}';
        return out;
      },
      reply.result);
}

Decoded<ControlReply> decodeReply(std::string_view packet, ControlOperation expected) {
  Decoded<ControlReply> out;
  const std::optional<Document> document = json::parseObject(packet, kMaxNesting, out.error);
  if (!document) return out;
  const Object& object = document->root();
  ControlReply reply;
  if (!readId(object, reply.id, out.error)) return out;
  std::string name;
  if (!readString(object, "op", name, out.error)) return out;
  if (name != operationName(expected)) {
    out.error = "a reply to \"" + name + "\" where \"" + operationName(expected) + "\" was asked";
    return out;
  }
  switch (expected) {
    case ControlOperation::ping: {
      PingResult r;
      if (!readString(object, "version", r.version, out.error)) return out;
      reply.result = r;
      break;
    }
    case ControlOperation::activate: {
      ActivateResult r;
      if (!readBool(object, "success", r.success, out.error) ||
          !readOptionalString(object, "token", r.token, out.error) ||
          !readOptionalString(object, "message", r.message, out.error) ||
          !readOptionalError(*document, object, r.error, out.error)) {
        return out;
      }
      reply.result = r;
      break;
    }
    case ControlOperation::deactivate: {
      DeactivateResult r;
      if (!readBool(object, "success", r.success, out.error) ||
          !readOptionalString(object, "message", r.message, out.error) ||
          !readOptionalError(*document, object, r.error, out.error)) {
        return out;
      }
      reply.result = r;
      break;
    }
    case ControlOperation::heartbeat: {
      HeartbeatResult r;
      if (!readBool(object, "success", r.success, out.error)) return out;
      reply.result = r;
      break;
    }
    case ControlOperation::status: {
      const Value* record = object.find("status");
      const Object* fields =
          record != nullptr && record->kind == Kind::object && record->object > 0
              ? &document->objects[static_cast<std::size_t>(record->object)]
              : nullptr;
      const Value* tag = fields ? fields->find(HelperStatus::kClassKey) : nullptr;
      if (tag == nullptr || tag->kind != Kind::string || tag->text != HelperStatus::kClassName) {
        out.error = std::string("\"status\" must be a record of class ") + HelperStatus::kClassName;
        return out;
      }
      reply.result = HelperStatus::decode(ObjectArchive(*fields));
      break;
    }
  }
  out.value = std::move(reply);
  return out;
}

std::optional<std::uint64_t> replyId(std::string_view packet) {
  std::string error;
  const std::optional<Document> document = json::parseObject(packet, kMaxNesting, error);
  std::uint64_t id = 0;
  if (!document || !readId(document->root(), id, error)) return std::nullopt;
  return id;
}

Decoded<std::variant<Hello, Refusal>> decodeGreeting(std::string_view packet) {
  Decoded<std::variant<Hello, Refusal>> out;
  const std::optional<Document> document = json::parseObject(packet, kMaxNesting, out.error);
  if (!document) return out;
  const Object& object = document->root();
  if (object.find("refused") != nullptr) {
    Refusal refusal;
    if (!readString(object, "refused", refusal.reason, out.error) ||
        !readOptionalError(*document, object, refusal.error, out.error)) {
      return out;
    }
    out.value = refusal;
    return out;
  }
  Hello hello;
  if (!readString(object, "hello", hello.service, out.error) ||
      !readString(object, "nonce", hello.nonce, out.error)) {
    return out;
  }
  const Value* size = object.find("maxPacketSize");
  if (size == nullptr || size->kind != Kind::unsignedInteger) {
    out.error = "\"maxPacketSize\" must be a positive integer";
    return out;
  }
  hello.maxPacketSize = size->unsignedInteger;
  if (const Value* version = object.find("protocolVersion"); version != nullptr) {
    if (version->kind != Kind::unsignedInteger || version->unsignedInteger == 0) {
      out.error = "\"protocolVersion\" must be a positive integer";
      return out;
    }
    hello.protocolVersion = version->unsignedInteger;
  }
  out.value = hello;
  return out;
}

}  // namespace helper
