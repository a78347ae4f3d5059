#include "helper/front/helper_status.h"

#include "helper/front/json_text.h"

#include <cmath>
#include <limits>

namespace helper {
namespace {

const nlohmann::json* member(const nlohmann::json& archive, const char* key) {
  if (!archive.is_object()) return nullptr;
  const auto it = archive.find(key);
  return it == archive.end() ? nullptr : &*it;
}

// A JSON document as a keyed archive.
class JsonArchive : public StatusArchive {
 public:
  explicit JsonArchive(const nlohmann::json& archive) : archive_(archive) {}
  std::optional<bool> boolean(const char* key) const override {
    const nlohmann::json* v = member(archive_, key);
    if (v == nullptr || !v->is_boolean()) return std::nullopt;
    return v->get<bool>();
  }
  std::optional<double> number(const char* key) const override {
    const nlohmann::json* v = member(archive_, key);
    if (v == nullptr || !v->is_number()) return std::nullopt;
    return v->get<double>();
  }
  std::optional<std::int64_t> integer(const char* key) const override {
    const nlohmann::json* v = member(archive_, key);
    if (v == nullptr) return std::nullopt;
    if (v->is_number_unsigned()) {
      const auto u = v->get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
      return static_cast<std::int64_t>(u);
    }
    if (v->is_number_integer()) return v->get<std::int64_t>();
    return std::nullopt;
  }
  std::optional<std::string> string(const char* key) const override {
    const nlohmann::json* v = member(archive_, key);
    if (v == nullptr || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
  }

 private:
  const nlohmann::json& archive_;
};

}  // namespace

HelperStatus::HelperStatus(bool isActive, std::optional<std::string> activeProxyHost,
                           double activeSinceUnixTime, std::int64_t relaySessionsCount,
                           std::string helperVersion, std::int64_t bridgePort)
    : isActive_(isActive),
      activeProxyHost_(std::move(activeProxyHost)),
      activeSinceUnixTime_(activeSinceUnixTime),
      relaySessionsCount_(relaySessionsCount),
      helperVersion_(std::move(helperVersion)),
      bridgePort_(bridgePort) {}

nlohmann::ordered_json HelperStatus::encode() const {
  nlohmann::ordered_json out;
  out[kClassKey] = kClassName;
  out[kIsActiveKey] = isActive_;
  out[kHostKey] = activeProxyHost_ ? nlohmann::ordered_json(*activeProxyHost_) : nlohmann::ordered_json(nullptr);
  // JSON has no NaN or infinities; such a time is written as 0.
  out[kSinceKey] = std::isfinite(activeSinceUnixTime_) ? activeSinceUnixTime_ : 0.0;
  out[kSessionsKey] = relaySessionsCount_;
  out[kVersionKey] = helperVersion_;
  out[kBridgePortKey] = bridgePort_;
  return out;
}

HelperStatus HelperStatus::decode(const nlohmann::json& archive) { return decode(JsonArchive(archive)); }

HelperStatus HelperStatus::decode(const StatusArchive& archive) {
  const bool isActive = archive.boolean(kIsActiveKey).value_or(false);
  std::optional<std::string> host = archive.string(kHostKey);
  // A number too large for a double reads as infinity, which no JSON text
  // can carry back; it counts as unusable.
  double since = archive.number(kSinceKey).value_or(0);
  if (!std::isfinite(since)) since = 0;
  const std::int64_t sessions = archive.integer(kSessionsKey).value_or(0);
  std::string version = archive.string(kVersionKey).value_or("");
  const std::int64_t bridgePort = archive.integer(kBridgePortKey).value_or(0);
  return HelperStatus(isActive, std::move(host), since, sessions, std::move(version), bridgePort);
}

std::string HelperStatus::encodeText() const {
  std::string out;
  out.reserve(160);
  out += R"({"$class":"CorvalethHelperStatus","isActive":)";
  out += isActive_ ? "true" : "false";
  out += R"(,"host":)";
  json::appendOptionalString(out, activeProxyHost_);
  out += R"(,"since":)";
  json::appendDouble(out, activeSinceUnixTime_);
  out += R"(,"sessions":)";
  out += std::to_string(relaySessionsCount_);
  out += R"(,"version":)";
  json::appendString(out, helperVersion_);
  out += R"(,"bridgePort":)";
  out += std::to_string(bridgePort_);
  out += '}';
  return out;
}

bool HelperStatus::hasStatusClass(const nlohmann::json& archive) {
  const nlohmann::json* v = member(archive, kClassKey);
  return v != nullptr && v->is_string() && v->get_ref<const std::string&>() == kClassName;
}

}  // namespace helper
