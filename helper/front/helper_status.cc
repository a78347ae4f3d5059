#include "helper/front/helper_status.h"

#include <cmath>
#include <limits>

namespace helper {
namespace {

const nlohmann::json* member(const nlohmann::json& archive, const char* key) {
  if (!archive.is_object()) return nullptr;
  const auto it = archive.find(key);
  return it == archive.end() ? nullptr : &*it;
}

bool decodeBool(const nlohmann::json& archive, const char* key) {
  const nlohmann::json* v = member(archive, key);
  return v != nullptr && v->is_boolean() ? v->get<bool>() : false;
}

double decodeDouble(const nlohmann::json& archive, const char* key) {
  const nlohmann::json* v = member(archive, key);
  if (v == nullptr || !v->is_number()) return 0;
  // A number too large for a double reads as infinity, which no JSON text
  // can carry back; it counts as unusable.
  const double d = v->get<double>();
  return std::isfinite(d) ? d : 0;
}

// Integers only; a fractional or out-of-range number counts as missing.
std::int64_t decodeInt64(const nlohmann::json& archive, const char* key) {
  const nlohmann::json* v = member(archive, key);
  if (v == nullptr) return 0;
  if (v->is_number_integer() && !v->is_number_unsigned()) return v->get<std::int64_t>();
  if (v->is_number_unsigned()) {
    const auto u = v->get<std::uint64_t>();
    return u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? static_cast<std::int64_t>(u)
               : 0;
  }
  return 0;
}

std::optional<std::string> decodeString(const nlohmann::json& archive, const char* key) {
  const nlohmann::json* v = member(archive, key);
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

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

HelperStatus HelperStatus::decode(const nlohmann::json& archive) {
  const bool isActive = decodeBool(archive, kIsActiveKey);
  std::optional<std::string> host = decodeString(archive, kHostKey);
  const double since = decodeDouble(archive, kSinceKey);
  const std::int64_t sessions = decodeInt64(archive, kSessionsKey);
  std::string version = decodeString(archive, kVersionKey).value_or("");
  const std::int64_t bridgePort = decodeInt64(archive, kBridgePortKey);
  return HelperStatus(isActive, std::move(host), since, sessions, std::move(version), bridgePort);
}

bool HelperStatus::hasStatusClass(const nlohmann::json& archive) {
  const nlohmann::json* v = member(archive, kClassKey);
  return v != nullptr && v->is_string() && v->get_ref<const std::string&>() == kClassName;
}

}  // namespace helper
