// The signature trailer: a small record appended to an executable (ELF and
// scripts ignore bytes after their end) that says who signed it and seals
// everything before it. docs/code-signing.md gives the layout byte by byte.
//
// This file is the format only: building a trailer, parsing one strictly,
// and checking its Ed25519 signature. Reading files and hashing their
// contents are in code_file.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codesign/status.h"

namespace helper::codesign {

using Sha256 = std::array<std::uint8_t, 32>;
using PublicKey = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;

enum class SignatureKind : std::uint8_t { adhoc = 1, ed25519 = 2 };

// Layout constants (all integers little-endian).
inline constexpr std::uint8_t kTrailerVersion = 1;
inline constexpr std::size_t kHeaderSize = 44;       // version .. code hash
inline constexpr std::size_t kFooterSize = 16;       // trailer length + end magic
inline constexpr std::string_view kEndMagic = "HELPER-CSIG\n";  // 12 bytes, last in the file
inline constexpr std::size_t kMaxIdentifierLength = 255;
inline constexpr std::size_t kMinTrailerLength = kHeaderSize + 1 + kFooterSize;
inline constexpr std::size_t kMaxTrailerLength =
    kHeaderSize + kMaxIdentifierLength + 32 + 64 + kFooterSize;
// Put in front of the signed bytes so a signature made by this tool can never
// be taken for one over some other kind of message made with the same key.
inline constexpr std::string_view kSignatureContext = "helper code signature v1";

struct Trailer {
  SignatureKind kind = SignatureKind::adhoc;
  std::uint64_t codeLength = 0;  // bytes before the trailer
  Sha256 codeHash{};             // SHA-256 of those bytes
  std::string identifier;
  PublicKey publicKey{};  // ed25519 only
  Signature signature{};  // ed25519 only
};

// The trailer's total size for an identifier of `identifierLength` bytes.
std::size_t trailerLength(SignatureKind kind, std::size_t identifierLength);

// An identifier is 1 to 255 bytes of printable ASCII without spaces
// (0x21..0x7e). Returns the reason it is not, or the empty text.
std::string identifierProblem(std::string_view identifier);

struct ParseResult {
  // kStatusOK when `trailer` is set; kStatusUnsigned when there is no end
  // magic; kStatusMalformed or kStatusSignatureUnsupported otherwise.
  OSStatus status = kStatusUnsigned;
  std::string detail;  // what exactly is wrong, for people
  std::optional<Trailer> trailer;
};

// Parses the trailer at the end of a file of `fileSize` bytes, of which
// `tail` holds the last tail.size() bytes (the whole file, or at least its
// last kMaxTrailerLength bytes). Checks every length against the bytes
// there and never reads outside `tail`. Does not check the hash or the
// signature.
ParseResult parseTrailer(std::span<const std::uint8_t> tail, std::uint64_t fileSize);

// The bytes the Ed25519 signature covers: kSignatureContext, a zero byte,
// then the trailer from its first byte through the public key (version,
// kind, identifier length, code length, code hash, identifier, key).
std::vector<std::uint8_t> signedMessage(const Trailer& trailer);

// The trailer's bytes, exactly as they are appended to the file.
std::vector<std::uint8_t> encodeTrailer(const Trailer& trailer);

// True when an ed25519 trailer's signature verifies with its own key.
bool verifySignature(const Trailer& trailer);

// The Team ID of a public key: the first 10 characters of the upper-case
// Base32 (RFC 4648) of SHA-256 of the raw 32-byte key.
std::string teamIdentifier(const PublicKey& key);

// RFC 4648 Base32, upper case, with '=' padding.
std::string base32(std::span<const std::uint8_t> bytes);

// Lower-case hexadecimal.
std::string hex(std::span<const std::uint8_t> bytes);

}  // namespace helper::codesign
