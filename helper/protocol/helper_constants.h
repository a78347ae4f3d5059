// The fixed identifiers of the helper.
#pragma once

#include "helper/protocol/helper_version.h"

namespace helper {

struct HelperConstants {
  HelperConstants() = delete;

  // Reply of ping, version of every status record, logged at start.
  static constexpr const char* helperVersion = kHelperVersion;
  // The control protocol's version, in every hello: raised with each change
  // to its messages (docs/protocol.md). 2: error codes beside messages and
  // refusals.
  static constexpr unsigned protocolVersion = 2;
  // The name the control listener is published under. On Linux it is also
  // the last component of the control socket's path.
  static constexpr const char* machServiceName = "tarn.CorvalethApp.helper.xpc";
  // The helper's own identifier; also the subsystem of every logger.
  static constexpr const char* helperBundleID = "tarn.CorvalethApp.helper";
};

// The control socket: machServiceName under /run (under HELPER_ROOT when
// set, through paths::rooted()).
inline constexpr const char* kControlSocketPath = "/run/tarn.CorvalethApp.helper.xpc";

}  // namespace helper
