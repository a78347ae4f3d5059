// The status record the status operation returns. On the wire it is a JSON
// object tagged with its class name and keyed by the record's coder keys:
//   {"$class":"CorvalethHelperStatus","isActive":true,"host":"proxy.example",
//    "since":1733500000.25,"sessions":0,"version":"1.0.0","bridgePort":0}
// Decoding never fails: a missing or mistyped value takes its default.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace helper {

// A keyed archive to decode a record from. Each look-up is absent when the
// key is missing or holds a value of another kind.
class StatusArchive {
 public:
  virtual ~StatusArchive() = default;
  virtual std::optional<bool> boolean(const char* key) const = 0;
  // Any number.
  virtual std::optional<double> number(const char* key) const = 0;
  // Integers that fit in 64 signed bits only.
  virtual std::optional<std::int64_t> integer(const char* key) const = 0;
  virtual std::optional<std::string> string(const char* key) const = 0;
};

class HelperStatus {
 public:
  static constexpr const char* kClassName = "CorvalethHelperStatus";
  static constexpr const char* kClassKey = "$class";
  // Coder keys.
  static constexpr const char* kIsActiveKey = "isActive";
  static constexpr const char* kHostKey = "host";
  static constexpr const char* kSinceKey = "since";
  static constexpr const char* kSessionsKey = "sessions";
  static constexpr const char* kVersionKey = "version";
  static constexpr const char* kBridgePortKey = "bridgePort";

  static constexpr bool supportsSecureCoding() { return true; }

  HelperStatus(bool isActive, std::optional<std::string> activeProxyHost, double activeSinceUnixTime,
               std::int64_t relaySessionsCount, std::string helperVersion, std::int64_t bridgePort);

  bool isActive() const { return isActive_; }
  const std::optional<std::string>& activeProxyHost() const { return activeProxyHost_; }
  double activeSinceUnixTime() const { return activeSinceUnixTime_; }
  std::int64_t relaySessionsCount() const { return relaySessionsCount_; }
  const std::string& helperVersion() const { return helperVersion_; }
  std::int64_t bridgePort() const { return bridgePort_; }

  // The keyed encoding, in key order, with the class tag first.
  nlohmann::ordered_json encode() const;
  // The same as encode().dump(), written directly.
  std::string encodeText() const;
  // Reads a record from any JSON value; absent or mistyped keys take their
  // defaults (false, absent host, 0, 0, the empty version, 0). The class tag
  // is not checked here; see hasStatusClass().
  static HelperStatus decode(const nlohmann::json& archive);
  static HelperStatus decode(const StatusArchive& archive);
  // Whether `archive` is an object tagged as this class.
  static bool hasStatusClass(const nlohmann::json& archive);

  friend bool operator==(const HelperStatus&, const HelperStatus&) = default;

 private:
  bool isActive_;
  std::optional<std::string> activeProxyHost_;
  double activeSinceUnixTime_;
  std::int64_t relaySessionsCount_;
  std::string helperVersion_;
  std::int64_t bridgePort_;
};

}  // namespace helper
