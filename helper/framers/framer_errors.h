// The POSIX codes with which the proxy framers fail a stream.
#pragma once

#include <cerrno>

namespace helper {

// Authentication failed: the proxy refused the credentials, asked for
// credentials the setup does not carry, or answered 407. Where the system
// has EAUTH (the BSDs) it is that; Linux has none, and EACCES stands in for
// it: it is the "permission denied" code, and no other failure of the
// framers uses it (they use EINVAL, EBADMSG, EPROTONOSUPPORT and
// ECONNREFUSED).
#ifdef EAUTH
inline constexpr int kEAUTH = EAUTH;
#else
inline constexpr int kEAUTH = EACCES;
#endif

}  // namespace helper
