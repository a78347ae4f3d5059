// What a client is told of a failure: the text for the user, exactly as the
// helper words it, and a stable code to act on. The text may change between
// versions; a code never does.
//
// The domains, each defined once (docs/protocol.md lists every code):
// - "helper.MihomoError": MihomoError::Case, the engine start
//   (helper/protocol/mihomo_error.h);
// - "helper.SessionError": HelperServiceImpl::ErrorCase, the session
//   service (helper/session/helper_service_impl.h);
// - "helper.POSIXError": the errno of a file-system error of an engine
//   start (HelperServiceImpl::kPOSIXErrorDomain);
// - "helper.AdmissionError": ipc::RefusalCode, why a connection was
//   refused (platform/ipc/packet_server.h).
#pragma once

#include <cstdint>
#include <string>

namespace helper {

struct ErrorCode {
  std::string domain;
  std::int64_t code = 0;

  friend bool operator==(const ErrorCode&, const ErrorCode&) = default;
};

struct Failure {
  std::string message;
  ErrorCode code;

  friend bool operator==(const Failure&, const Failure&) = default;
};

}  // namespace helper
