// The control interface the helper exports to its application: five
// operations, each answered exactly once through its reply callback.
// Nothing is thrown across it; failures are replies, each with the text the
// user is shown and its code.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "helper/protocol/control_error.h"
#include "helper/protocol/helper_status.h"

namespace helper {

// Who sent a request: the user of the admitted client, and whether its
// connection is gone by now.
struct Caller {
  uid_t uid = 0;
  // True once the client can no longer receive a reply; empty: never.
  std::function<bool()> gone;
};

class HelperProtocol {
 public:
  using PingReply = std::function<void(std::string version)>;
  using ActivateReply = std::function<void(bool success, std::optional<std::string> sessionToken,
                                           std::optional<Failure> failure)>;
  using DeactivateReply = std::function<void(bool success, std::optional<Failure> failure)>;
  using HeartbeatReply = std::function<void(bool success)>;
  using StatusReply = std::function<void(HelperStatus status)>;

  virtual ~HelperProtocol() = default;

  virtual void ping(PingReply reply) = 0;
  virtual void activate(const Caller& caller, const std::string& proxyURL, std::int32_t clientPID,
                        ActivateReply reply) = 0;
  virtual void deactivate(const Caller& caller, const std::string& sessionToken, DeactivateReply reply) = 0;
  virtual void heartbeat(const std::string& sessionToken, HeartbeatReply reply) = 0;
  virtual void status(StatusReply reply) = 0;
};

}  // namespace helper
