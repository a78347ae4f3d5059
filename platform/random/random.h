// Random values from the kernel's generator (getrandom), for session tokens
// and connection nonces: nothing here may be guessable by another process.
#pragma once

#include <cstddef>
#include <string>

namespace helper {

// `count` random bytes. Blocks only until the kernel's pool is initialised
// (once per boot); aborts the process if the kernel refuses, since every
// caller would otherwise hand out a predictable value.
std::string randomBytes(std::size_t count);

// `count` random bytes as 2 * count lower-case hexadecimal digits.
std::string randomHex(std::size_t count);

// A random (version 4) UUID in the upper-case 8-4-4-4-12 form, 36 characters.
std::string randomUUIDString();

}  // namespace helper
