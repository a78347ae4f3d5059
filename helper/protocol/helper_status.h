// The status record the status operation returns: whether a session is live,
// its upstream host and start, and the helper's version. control_message.h
// puts it on the wire (docs/protocol.md, "The status record").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace helper {

class HelperStatus {
 public:
  HelperStatus(bool isActive, std::optional<std::string> activeProxyHost, double activeSinceUnixTime,
               std::int64_t relaySessionsCount, std::string helperVersion, std::int64_t bridgePort)
      : isActive_(isActive),
        activeProxyHost_(std::move(activeProxyHost)),
        activeSinceUnixTime_(activeSinceUnixTime),
        relaySessionsCount_(relaySessionsCount),
        helperVersion_(std::move(helperVersion)),
        bridgePort_(bridgePort) {}

  bool isActive() const { return isActive_; }
  const std::optional<std::string>& activeProxyHost() const { return activeProxyHost_; }
  double activeSinceUnixTime() const { return activeSinceUnixTime_; }
  std::int64_t relaySessionsCount() const { return relaySessionsCount_; }
  const std::string& helperVersion() const { return helperVersion_; }
  std::int64_t bridgePort() const { return bridgePort_; }

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
