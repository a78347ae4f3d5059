// An Ed25519 signing key: made, kept in a PEM file (PKCS #8, the format
// `openssl genpkey -algorithm ed25519` writes, so either tool can make one),
// and used to sign trailers.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/base/result.h"
#include "platform/codesign/signature_trailer.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace helper::codesign {

class SigningKey {
 public:
  // A fresh random key; fails only if the crypto library does.
  static Result<SigningKey> generate();
  // Reads a PEM private key; refuses anything but Ed25519.
  static Result<SigningKey> fromPem(const std::string& pem);
  static Result<SigningKey> load(const std::string& path);

  std::string toPem() const;
  const PublicKey& publicKey() const { return publicKey_; }
  std::string teamIdentifier() const { return codesign::teamIdentifier(publicKey_); }
  Signature sign(std::span<const std::uint8_t> message) const;

 private:
  explicit SigningKey(std::shared_ptr<EVP_PKEY> key);
  std::shared_ptr<EVP_PKEY> key_;
  PublicKey publicKey_{};
};

// Writes a private key file with mode 0600, atomically (a reader sees no file
// or the whole key). Without `overwrite` an existing file is left alone and
// the call fails.
Status saveKeyFile(const std::string& path, const std::string& pem, bool overwrite);

}  // namespace helper::codesign
