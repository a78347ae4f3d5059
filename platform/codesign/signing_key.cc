#include "platform/codesign/signing_key.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/paths/paths.h"

namespace helper::codesign {
namespace {

std::string opensslError(const char* what) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return what;
  char buf[256];
  ERR_error_string_n(code, buf, sizeof buf);
  return std::string(what) + ": " + buf;
}

std::shared_ptr<EVP_PKEY> own(EVP_PKEY* key) { return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free); }

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

SigningKey::SigningKey(std::shared_ptr<EVP_PKEY> key) : key_(std::move(key)) {
  size_t length = publicKey_.size();
  EVP_PKEY_get_raw_public_key(key_.get(), publicKey_.data(), &length);
}

std::optional<SigningKey> SigningKey::generate(std::string* error) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
      EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), EVP_PKEY_CTX_free);
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &key) != 1) {
    if (error) *error = opensslError("cannot generate an Ed25519 key");
    return std::nullopt;
  }
  return SigningKey(own(key));
}

std::optional<SigningKey> SigningKey::fromPem(const std::string& pem, std::string* error) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
  if (key == nullptr) {
    if (error) *error = opensslError("not a PEM private key");
    return std::nullopt;
  }
  auto owned = own(key);
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_ED25519) {
    if (error) *error = "the key is not an Ed25519 key";
    return std::nullopt;
  }
  return SigningKey(std::move(owned));
}

std::optional<SigningKey> SigningKey::load(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string why;
  auto key = fromPem(text.str(), &why);
  if (!key && error) *error = path + ": " + why;
  return key;
}

std::string SigningKey::toPem() const {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr,
                                       nullptr) != 1) {
    return {};
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

Signature SigningKey::sign(std::span<const std::uint8_t> message) const {
  Signature out{};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  size_t length = out.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
      EVP_DigestSign(ctx.get(), out.data(), &length, message.data(), message.size()) != 1) {
    // Ed25519 signing cannot fail with a valid key; a zero signature never
    // verifies, so a failure here is caught by every check.
    out.fill(0);
  }
  return out;
}

std::string saveKeyFile(const std::string& path, const std::string& pem, bool overwrite) {
  std::string dir = paths::dirName(path);
  if (dir.empty()) dir = ".";
  std::string temp = dir + "/.key-XXXXXX";
  // The key is never readable by others, not even for a moment.
  const mode_t oldMask = ::umask(077);
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  ::umask(oldMask);
  if (fd < 0) return "cannot create a file in " + dir + ": " + std::strerror(errno);
  std::string error;
  if (::fchmod(fd, 0600) != 0 || !writeAll(fd, pem) || ::fsync(fd) != 0) {
    error = "cannot write " + temp + ": " + std::strerror(errno);
  }
  ::close(fd);
  if (error.empty()) {
    // link() fails when the name exists, so a key is never silently replaced.
    const int rc = overwrite ? ::rename(temp.c_str(), path.c_str())
                             : ::link(temp.c_str(), path.c_str());
    if (rc != 0) {
      error = errno == EEXIST ? path + " already exists (use --force to replace it)"
                              : "cannot create " + path + ": " + std::strerror(errno);
    }
  }
  ::unlink(temp.c_str());  // after rename the name is already gone
  return error;
}

}  // namespace helper::codesign
