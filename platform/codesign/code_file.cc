#include "platform/codesign/code_file.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/base/clock.h"
#include "platform/paths/paths.h"

namespace helper::codesign {
namespace {

constexpr size_t kChunk = 256 << 10;

// Reads up to `length` bytes at `offset`; fewer only at the end of the file.
// Returns -1 on an I/O error.
ssize_t preadFull(int fd, std::uint8_t* buf, size_t length, off_t offset) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, buf + done, length - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool writeFull(int fd, const std::uint8_t* buf, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, buf + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

struct DigestCtx {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), EVP_MD_CTX_free};
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
  void update(const std::uint8_t* data, size_t n) {
    ok = ok && EVP_DigestUpdate(ctx.get(), data, n) == 1;
  }
  Sha256 final() {
    Sha256 out{};
    unsigned int length = 0;
    ok = ok && EVP_DigestFinal_ex(ctx.get(), out.data(), &length) == 1;
    return out;
  }
};

// Streams bytes [0, length) of `in` through SHA-256, and into `out` when it
// is not negative, until `deadline` (monotonic seconds; negative: none).
// Returns the error text, empty on success.
std::string hashPrefix(int in, std::uint64_t length, int out, Sha256* hash, bool* shortRead,
                       double deadline = -1) {
  std::vector<std::uint8_t> buf(static_cast<size_t>(std::min<std::uint64_t>(length, kChunk)));
  DigestCtx digest;
  std::uint64_t offset = 0;
  *shortRead = false;
  ::posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
  while (offset < length) {
    const size_t want = static_cast<size_t>(std::min<std::uint64_t>(length - offset, kChunk));
    const ssize_t n = preadFull(in, buf.data(), want, static_cast<off_t>(offset));
    if (n < 0) return std::string("read error: ") + std::strerror(errno);
    if (static_cast<size_t>(n) < want) {
      *shortRead = true;
      return "the file ended early (changed while being read?)";
    }
    digest.update(buf.data(), want);
    if (deadline >= 0 && monotonicSeconds() > deadline) return "reading it took too long";
    if (out >= 0 && !writeFull(out, buf.data(), want)) {
      return std::string("write error: ") + std::strerror(errno);
    }
    offset += want;
  }
  *hash = digest.final();
  if (!digest.ok) return "SHA-256 failed in the crypto library";
  return "";
}

CodeEvaluation evaluationFailure(OSStatus status, std::string detail,
                                 std::optional<Trailer> trailer = std::nullopt) {
  return CodeEvaluation{status, std::move(detail), std::move(trailer)};
}

}  // namespace

std::optional<std::string> CodeEvaluation::identifier() const {
  if (status != kStatusOK || !trailer) return std::nullopt;
  return trailer->identifier;
}

std::optional<std::string> CodeEvaluation::teamIdentifier() const {
  if (status != kStatusOK || !trailer || trailer->kind != SignatureKind::ed25519) {
    return std::nullopt;
  }
  return codesign::teamIdentifier(trailer->publicKey);
}

Result<UniqueFd> openCodeFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) return Error::fromErrno("cannot open " + path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Error{path + " is not a regular file"};
  return fd;
}

ParseResult readTrailer(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    return ParseResult{kStatusInternalError, std::string("fstat: ") + std::strerror(errno), {}};
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const size_t tailLength = static_cast<size_t>(std::min<std::uint64_t>(size, kMaxTrailerLength));
  std::vector<std::uint8_t> tail(tailLength);
  const ssize_t n =
      preadFull(fd, tail.data(), tailLength, static_cast<off_t>(size - tailLength));
  if (n < 0) {
    return ParseResult{kStatusInternalError, std::string("read error: ") + std::strerror(errno), {}};
  }
  if (static_cast<size_t>(n) != tailLength) {
    return ParseResult{kStatusSignatureFailed, "the file ended early (changed while being read?)", {}};
  }
  return parseTrailer(tail, size);
}

CodeEvaluation evaluateTrailer(int fd) {
  ParseResult parsed = readTrailer(fd);
  if (parsed.status != kStatusOK) return evaluationFailure(parsed.status, parsed.detail);
  if (parsed.trailer->kind == SignatureKind::ed25519 && !verifySignature(*parsed.trailer)) {
    return evaluationFailure(kStatusSignatureFailed, "the Ed25519 signature does not verify", parsed.trailer);
  }
  return CodeEvaluation{kStatusOK, "", std::move(parsed.trailer)};
}

CodeEvaluation evaluateContents(int fd, CodeEvaluation signature, double deadline) {
  if (signature.status != kStatusOK) return signature;
  const Trailer& t = *signature.trailer;
  Sha256 hash{};
  bool shortRead = false;
  if (std::string error = hashPrefix(fd, t.codeLength, -1, &hash, &shortRead, deadline); !error.empty()) {
    return evaluationFailure(shortRead ? kStatusSignatureFailed : kStatusInternalError, error, signature.trailer);
  }
  if (hash != t.codeHash) {
    return evaluationFailure(kStatusSignatureFailed, "the SHA-256 of the contents differs from the signed hash",
                             signature.trailer);
  }
  return signature;
}

CodeEvaluation evaluateCode(int fd) { return evaluateContents(fd, evaluateTrailer(fd)); }

CodeEvaluation evaluateFile(const std::string& path) {
  const Result<UniqueFd> fd = openCodeFile(path);
  if (!fd) return evaluationFailure(kStatusStaticCodeNotFound, fd.error().message);
  return evaluateCode(fd->get());
}

Result<Signed> signFile(const std::string& path, const std::string& identifier, const SigningKey* key) {
  if (std::string problem = identifierProblem(identifier); !problem.empty()) return Error{problem};
  char real[PATH_MAX];
  if (::realpath(path.c_str(), real) == nullptr) return Error::fromErrno("cannot find " + path);
  const std::string target = real;
  Result<UniqueFd> in = openCodeFile(target);
  if (!in) return in.error();
  struct stat st {};
  ::fstat(in->get(), &st);

  Signed result;
  const ParseResult existing = readTrailer(in->get());
  std::uint64_t codeLength = static_cast<std::uint64_t>(st.st_size);
  if (existing.status == kStatusOK) {
    codeLength = existing.trailer->codeLength;
    result.replacedExisting = true;
  } else if (existing.status != kStatusUnsigned) {
    return Error{path + " ends in a damaged signature trailer (" + existing.detail + "); not signing over it"};
  }

  std::string temp = paths::dirName(target) + "/." + target.substr(target.rfind('/') + 1) + ".sign-XXXXXX";
  UniqueFd out(::mkostemp(temp.data(), O_CLOEXEC));
  if (!out.valid()) return Error::fromErrno("cannot create a file beside " + target);
  auto fail = [&temp](Error why) {
    ::unlink(temp.c_str());
    return why;
  };

  Trailer t;
  t.kind = key ? SignatureKind::ed25519 : SignatureKind::adhoc;
  t.codeLength = codeLength;
  t.identifier = identifier;
  bool shortRead = false;
  if (std::string error = hashPrefix(in->get(), codeLength, out.get(), &t.codeHash, &shortRead); !error.empty()) {
    return fail(Error{target + ": " + error});
  }
  if (key) {
    t.publicKey = key->publicKey();
    t.signature = key->sign(signedMessage(t));
    result.teamIdentifier = key->teamIdentifier();
  }
  const std::vector<std::uint8_t> trailer = encodeTrailer(t);
  if (!writeFull(out.get(), trailer.data(), trailer.size())) return fail(Error::fromErrno("cannot write " + temp));
  // Owner first: changing it clears set-id bits, which the mode then restores.
  if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
    // Only root may; otherwise ours it is. (A (void) cast does not silence
    // glibc's warn_unused_result under _FORTIFY_SOURCE.)
    [[maybe_unused]] const int changed = ::fchown(out.get(), st.st_uid, st.st_gid);
  }
  if (::fchmod(out.get(), st.st_mode & 07777) != 0 || ::fsync(out.get()) != 0) {
    return fail(Error::fromErrno("cannot finish " + temp));
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) return fail(Error::fromErrno("cannot replace " + target));
  const UniqueFd dir(::open(paths::dirName(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
  return result;
}

}  // namespace helper::codesign
