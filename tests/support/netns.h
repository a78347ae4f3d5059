// Tests that create interfaces, change routes or run a TUN engine do so in a
// network namespace of their own, never in the machine's.
#pragma once

#include <string>

namespace helper::test {

// Moves this process (call it before any thread starts) into a new, empty
// network namespace with loopback up. Everything it starts afterwards
// inherits the namespace; the namespace and its devices vanish with the
// process. Returns the reason on failure, empty on success.
std::string enterPrivateNetworkNamespace();

// Whether enterPrivateNetworkNamespace() succeeded in this process.
bool inPrivateNetworkNamespace();

}  // namespace helper::test
