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

#include "platform/base/unique_fd.h"
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

Result<SigningKey> SigningKey::generate() {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
      EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), EVP_PKEY_CTX_free);
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &key) != 1) {
    return Error{opensslError("cannot generate an Ed25519 key")};
  }
  return SigningKey(own(key));
}

Result<SigningKey> SigningKey::fromPem(const std::string& pem) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
  if (key == nullptr) return Error{opensslError("not a PEM private key")};
  auto owned = own(key);
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_ED25519) return Error{"the key is not an Ed25519 key"};
  return SigningKey(std::move(owned));
}

Result<SigningKey> SigningKey::load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Error::fromErrno("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  Result<SigningKey> key = fromPem(text.str());
  if (!key) return Error{path + ": " + key.error().message};
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

Status saveKeyFile(const std::string& path, const std::string& pem, bool overwrite) {
  std::string dir = paths::dirName(path);
  if (dir.empty()) dir = ".";
  std::string temp = dir + "/.key-XXXXXX";
  // The key is never readable by others, not even for a moment.
  const mode_t oldMask = ::umask(077);
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  ::umask(oldMask);
  if (!fd.valid()) return Error::fromErrno("cannot create a file in " + dir);
  Status done = success();
  if (::fchmod(fd.get(), 0600) != 0 || !writeAll(fd.get(), pem) || ::fsync(fd.get()) != 0) {
    done = Error::fromErrno("cannot write " + temp);
  }
  if (done) {
    // link() fails when the name exists, so a key is never silently replaced.
    const int rc = overwrite ? ::rename(temp.c_str(), path.c_str()) : ::link(temp.c_str(), path.c_str());
    if (rc != 0) {
      done = errno == EEXIST ? Error{path + " already exists (use --force to replace it)", EEXIST}
                             : Error::fromErrno("cannot create " + path);
    }
  }
  ::unlink(temp.c_str());  // after rename the name is already gone
  return done;
}

}  // namespace helper::codesign
