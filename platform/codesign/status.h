// The result codes of the code-signing layer. They are the platform's own
// code-signing statuses (signed 32-bit, 0 for success), so that texts and
// logs that print them read the same on every platform.
#pragma once

#include <cstdint>

namespace helper::codesign {

using OSStatus = std::int32_t;

inline constexpr OSStatus kStatusOK = 0;
// No signature trailer at the end of the file.
inline constexpr OSStatus kStatusUnsigned = -67062;
// The contents' hash or the Ed25519 signature does not match: the file was
// changed after signing, or the signature was forged.
inline constexpr OSStatus kStatusSignatureFailed = -67061;
// The trailer's format version is not one this build knows.
inline constexpr OSStatus kStatusSignatureUnsupported = -67059;
// A trailer is there (its end marker is) but its fields are inconsistent:
// wrong lengths, reserved bytes set, an identifier that is not printable.
inline constexpr OSStatus kStatusMalformed = -67049;
// Reading the file failed part way (an I/O error).
inline constexpr OSStatus kStatusInternalError = -67048;
// The path cannot be opened, or is not a regular file.
inline constexpr OSStatus kStatusStaticCodeNotFound = -67068;
// The process is gone (or its id now names another process), or its image
// cannot be opened.
inline constexpr OSStatus kStatusNoSuchCode = -67065;

// A short English reason for a status, for messages and the tool.
const char* statusReason(OSStatus status);

}  // namespace helper::codesign
