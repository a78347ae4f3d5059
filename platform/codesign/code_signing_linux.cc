// Code objects on Linux are open file descriptors of an image: the helper's
// own (/proc/self/exe), a peer's (/proc/<pid>/exe, opened while its pidfd
// proves the pid still names it) or a file's. The descriptor is opened once,
// so every question asked of one code object is answered from the same file,
// and the file is read and checked once, on the first question.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/codesign/code_file.h"
#include "platform/codesign/code_signing.h"
#include "platform/process/peer_process.h"
#include "platform/process/self_exe.h"

namespace helper::codesign {
namespace {

class ImageCode final : public CodeObject {
 public:
  ImageCode(int fd, std::string description) : fd_(fd), description_(std::move(description)) {}
  ~ImageCode() override { ::close(fd_); }
  ImageCode(const ImageCode&) = delete;
  ImageCode& operator=(const ImageCode&) = delete;

  std::string description() const override { return description_; }

  const CodeEvaluation& evaluation() const {
    std::call_once(once_, [this] { evaluation_ = evaluateCode(fd_); });
    return evaluation_;
  }

 private:
  int fd_;
  std::string description_;
  mutable std::once_flag once_;
  mutable CodeEvaluation evaluation_;
};

const ImageCode* image(const CodeRef& code) { return dynamic_cast<const ImageCode*>(code.get()); }

// An image opened through /proc: a regular file, read without blocking.
OSStatus openImage(const std::string& procPath, const std::string& description, CodeRef* code) {
  OSStatus status = kStatusOK;
  std::string detail;
  const int fd = openCodeFile(procPath, &status, &detail);
  if (fd < 0) return kStatusNoSuchCode;
  *code = std::make_shared<ImageCode>(fd, description);
  return kStatusOK;
}

}  // namespace

OSStatus LinuxCodeSigningServices::copySelf(CodeRef* code) {
  // Read under the lock, so that concurrent first callers wait for one
  // reading instead of each making their own.
  std::lock_guard<std::mutex> guard(selfLock_);
  if (!self_ || image(self_)->evaluation().status == kStatusInternalError) {
    CodeRef opened;
    if (const OSStatus status = openImage("/proc/self/exe", "self (" + ownExecutablePath() + ")", &opened);
        status != kStatusOK) {
      return status;
    }
    image(opened)->evaluation();
    self_ = std::move(opened);
  }
  *code = self_;
  return kStatusOK;
}

OSStatus LinuxCodeSigningServices::copyGuest(const PeerProcess& peer, CodeRef* code) {
  if (!peer.valid()) return kStatusNoSuchCode;
  // The pidfd must be the process the pid named when it was made...
  const std::optional<pid_t> pinned = pidOfPidfd(peer.pidfd());
  if (!pinned || *pinned != peer.pid()) return kStatusNoSuchCode;
  const std::string pid = std::to_string(peer.pid());
  CodeRef opened;
  if (const OSStatus status = openImage("/proc/" + pid + "/exe", "pid " + pid, &opened);
      status != kStatusOK) {
    return status;
  }
  // ...and still running after the image was opened: then nothing else can
  // have had that pid in between, so the image is the peer's.
  if (!peer.running()) return kStatusNoSuchCode;
  *code = std::move(opened);
  return kStatusOK;
}

OSStatus LinuxCodeSigningServices::createStaticCodeWithPath(const std::string& path,
                                                            CodeRef* code) {
  OSStatus status = kStatusOK;
  std::string detail;
  const int fd = openCodeFile(path, &status, &detail);
  if (fd < 0) return status;
  *code = std::make_shared<ImageCode>(fd, path);
  return kStatusOK;
}

OSStatus LinuxCodeSigningServices::checkValidity(const CodeRef& code) {
  const ImageCode* img = image(code);
  if (!img) return kStatusNoSuchCode;
  return img->evaluation().status;
}

OSStatus LinuxCodeSigningServices::copySigningInformation(
    const CodeRef& code, std::optional<SigningDictionary>* info) {
  info->reset();
  const ImageCode* img = image(code);
  if (!img) return kStatusNoSuchCode;
  const CodeEvaluation& e = img->evaluation();
  if (e.status == kStatusUnsigned) {
    *info = SigningDictionary{};
    return kStatusOK;
  }
  if (e.status != kStatusOK) return e.status;
  SigningDictionary dict;
  dict[kInfoFormat] = std::string("helper-trailer-1");
  dict[kInfoIdentifier] = e.trailer->identifier;
  dict[kInfoUnique] = std::vector<std::uint8_t>(e.trailer->codeHash.begin(), e.trailer->codeHash.end());
  dict[kInfoCodeSize] = static_cast<std::int64_t>(e.trailer->codeLength);
  if (const auto team = e.teamIdentifier()) dict[kInfoTeamIdentifier] = *team;
  *info = std::move(dict);
  return kStatusOK;
}

std::string LinuxCodeSigningServices::ownExecutablePath() { return helper::ownExecutablePath(); }

int LinuxCodeSigningServices::stat(const std::string& path, struct ::stat* out) {
  return ::stat(path.c_str(), out);
}

}  // namespace helper::codesign
