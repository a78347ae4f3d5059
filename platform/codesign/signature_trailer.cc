#include "platform/codesign/signature_trailer.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstring>
#include <memory>

namespace helper::codesign {
namespace {

std::uint64_t readLE(const std::uint8_t* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = n; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

void appendLE(std::vector<std::uint8_t>& out, std::uint64_t v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

ParseResult failure(OSStatus status, std::string detail) {
  return ParseResult{status, std::move(detail), std::nullopt};
}

}  // namespace

const char* statusReason(OSStatus status) {
  switch (status) {
    case kStatusOK: return "valid";
    case kStatusUnsigned: return "code object is not signed at all";
    case kStatusSignatureFailed: return "the contents do not match the signature (modified after signing, or forged)";
    case kStatusSignatureUnsupported: return "signature format version not supported";
    case kStatusMalformed: return "malformed signature trailer";
    case kStatusInternalError: return "the file could not be read";
    case kStatusStaticCodeNotFound: return "no such file, or not a regular file";
    case kStatusNoSuchCode: return "the process is gone, or its image cannot be opened";
  }
  return "unknown status";
}

std::size_t trailerLength(SignatureKind kind, std::size_t identifierLength) {
  return kHeaderSize + identifierLength +
         (kind == SignatureKind::ed25519 ? PublicKey{}.size() + Signature{}.size() : 0) +
         kFooterSize;
}

std::string identifierProblem(std::string_view identifier) {
  if (identifier.empty()) return "the identifier is empty";
  if (identifier.size() > kMaxIdentifierLength) {
    return "the identifier is longer than " + std::to_string(kMaxIdentifierLength) + " bytes";
  }
  for (const char c : identifier) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x21 || u > 0x7e) {
      return "the identifier may hold only printable ASCII without spaces";
    }
  }
  return "";
}

ParseResult parseTrailer(std::span<const std::uint8_t> tail, std::uint64_t fileSize) {
  if (tail.size() > fileSize) return failure(kStatusMalformed, "more tail bytes than the file has");
  if (tail.size() < kFooterSize) return failure(kStatusUnsigned, "no signature trailer");
  const std::uint8_t* end = tail.data() + tail.size();
  if (std::memcmp(end - kEndMagic.size(), kEndMagic.data(), kEndMagic.size()) != 0) {
    return failure(kStatusUnsigned, "no signature trailer");
  }
  const std::uint64_t length = readLE(end - kFooterSize, 4);
  if (length < kMinTrailerLength || length > kMaxTrailerLength) {
    return failure(kStatusMalformed, "trailer length " + std::to_string(length) +
                                         " is outside " + std::to_string(kMinTrailerLength) +
                                         ".." + std::to_string(kMaxTrailerLength));
  }
  if (length > tail.size()) {
    return failure(kStatusMalformed, "trailer length " + std::to_string(length) +
                                         " is longer than the file");
  }
  const std::uint8_t* p = end - length;
  if (p[0] != kTrailerVersion) {
    return failure(kStatusSignatureUnsupported,
                   "trailer format version " + std::to_string(p[0]) + " (this build reads " +
                       std::to_string(kTrailerVersion) + ")");
  }
  if (p[1] != static_cast<std::uint8_t>(SignatureKind::adhoc) &&
      p[1] != static_cast<std::uint8_t>(SignatureKind::ed25519)) {
    return failure(kStatusMalformed, "unknown signature kind " + std::to_string(p[1]));
  }
  const auto kind = static_cast<SignatureKind>(p[1]);
  const std::size_t idLength = p[2];
  if (p[3] != 0) return failure(kStatusMalformed, "reserved byte is not zero");
  if (idLength == 0) return failure(kStatusMalformed, "the identifier is empty");
  const std::size_t expected = trailerLength(kind, idLength);
  if (length != expected) {
    return failure(kStatusMalformed, "trailer length " + std::to_string(length) +
                                         " does not match its fields (" +
                                         std::to_string(expected) + ")");
  }
  const std::uint64_t codeLength = readLE(p + 4, 8);
  if (codeLength != fileSize - length) {
    return failure(kStatusMalformed, "code length " + std::to_string(codeLength) +
                                         " does not match the file (" +
                                         std::to_string(fileSize - length) + ")");
  }
  Trailer t;
  t.kind = kind;
  t.codeLength = codeLength;
  std::memcpy(t.codeHash.data(), p + 12, t.codeHash.size());
  t.identifier.assign(reinterpret_cast<const char*>(p + kHeaderSize), idLength);
  if (std::string problem = identifierProblem(t.identifier); !problem.empty()) {
    return failure(kStatusMalformed, problem);
  }
  if (kind == SignatureKind::ed25519) {
    const std::uint8_t* key = p + kHeaderSize + idLength;
    std::memcpy(t.publicKey.data(), key, t.publicKey.size());
    std::memcpy(t.signature.data(), key + t.publicKey.size(), t.signature.size());
  }
  return ParseResult{kStatusOK, "", std::move(t)};
}

std::vector<std::uint8_t> signedMessage(const Trailer& t) {
  std::vector<std::uint8_t> out(kSignatureContext.begin(), kSignatureContext.end());
  out.push_back(0);
  std::vector<std::uint8_t> body = encodeTrailer(t);
  const std::size_t signedPart = kHeaderSize + t.identifier.size() + t.publicKey.size();
  out.insert(out.end(), body.begin(), body.begin() + static_cast<std::ptrdiff_t>(signedPart));
  return out;
}

std::vector<std::uint8_t> encodeTrailer(const Trailer& t) {
  std::vector<std::uint8_t> out;
  const std::size_t length = trailerLength(t.kind, t.identifier.size());
  out.reserve(length);
  out.push_back(kTrailerVersion);
  out.push_back(static_cast<std::uint8_t>(t.kind));
  out.push_back(static_cast<std::uint8_t>(t.identifier.size()));
  out.push_back(0);
  appendLE(out, t.codeLength, 8);
  out.insert(out.end(), t.codeHash.begin(), t.codeHash.end());
  out.insert(out.end(), t.identifier.begin(), t.identifier.end());
  if (t.kind == SignatureKind::ed25519) {
    out.insert(out.end(), t.publicKey.begin(), t.publicKey.end());
    out.insert(out.end(), t.signature.begin(), t.signature.end());
  }
  appendLE(out, length, 4);
  out.insert(out.end(), kEndMagic.begin(), kEndMagic.end());
  return out;
}

bool verifySignature(const Trailer& t) {
  if (t.kind != SignatureKind::ed25519) return false;
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, t.publicKey.data(),
                                  t.publicKey.size()),
      EVP_PKEY_free);
  if (!key) return false;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
    return false;
  }
  const std::vector<std::uint8_t> message = signedMessage(t);
  return EVP_DigestVerify(ctx.get(), t.signature.data(), t.signature.size(), message.data(),
                          message.size()) == 1;
}

std::string teamIdentifier(const PublicKey& key) {
  Sha256 digest{};
  SHA256(key.data(), key.size(), digest.data());
  return base32(digest).substr(0, 10);
}

std::string base32(std::span<const std::uint8_t> bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
  std::string out;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (const std::uint8_t b : bytes) {
    buffer = (buffer << 8) | b;
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      out.push_back(kAlphabet[(buffer >> bits) & 31]);
    }
  }
  if (bits > 0) out.push_back(kAlphabet[(buffer << (5 - bits)) & 31]);
  while (out.size() % 8 != 0) out.push_back('=');
  return out;
}

std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

}  // namespace helper::codesign
