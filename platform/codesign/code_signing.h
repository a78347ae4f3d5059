// The code-signing services the helper relies on, in the shape of the
// platform's own: code objects for the running helper, for a peer process and
// for a file on disk; their signing information; and a validity check.
//
// Everything goes through one process-wide CodeSigningServices object, so
// tests of other subsystems can put a fake in its place
// (setCodeSigningServices) and fail any operation at will. The Linux
// implementation reads the signature trailers of code_file.h.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/codesign/status.h"

namespace helper {

class PeerProcess;

namespace codesign {

// A code object: the running helper, a peer process or a file. Opaque; made
// only by CodeSigningServices.
class CodeObject {
 public:
  virtual ~CodeObject() = default;
  // "pid 123 (/usr/bin/x)", a path: for messages only.
  virtual std::string description() const = 0;
};
using CodeRef = std::shared_ptr<const CodeObject>;

// The signing dictionary: text keys, values of a few kinds. Only text values
// are read for the two facts below; a value of another kind counts as absent.
using SigningValue = std::variant<std::string, std::int64_t, std::vector<std::uint8_t>>;
using SigningDictionary = std::map<std::string, SigningValue>;

inline constexpr const char* kInfoIdentifier = "identifier";  // the signing identifier
inline constexpr const char* kInfoTeamIdentifier = "teamid";  // absent: ad-hoc or unsigned
inline constexpr const char* kInfoFormat = "format";          // "helper-trailer-1"
inline constexpr const char* kInfoUnique = "unique";          // SHA-256 of the contents (bytes)
inline constexpr const char* kInfoCodeSize = "codesize";      // bytes covered by the signature

// The value of `key` when it is text; absent otherwise.
std::optional<std::string> textValue(const SigningDictionary& dict, const char* key);

class CodeSigningServices {
 public:
  virtual ~CodeSigningServices() = default;

  // The running helper's own image.
  virtual OSStatus copySelf(CodeRef* code) = 0;
  // The image the peer process runs now. Fails when the process is gone,
  // even if its id now names another process.
  virtual OSStatus copyGuest(const PeerProcess& peer, CodeRef* code) = 0;
  // A file on disk.
  virtual OSStatus createStaticCodeWithPath(const std::string& path, CodeRef* code) = 0;
  // 0 when the signature is present and intact; otherwise why it is not
  // (kStatusUnsigned for no signature at all).
  virtual OSStatus checkValidity(const CodeRef& code) = 0;
  // The signing dictionary. Unsigned code gives status 0 and a dictionary
  // without identifier or Team ID. A signature that does not verify gives
  // its failure status and no dictionary: there is no kernel enforcing
  // signatures on Linux, so an identity is only reported once it checked out.
  virtual OSStatus copySigningInformation(const CodeRef& code,
                                          std::optional<SigningDictionary>* info) = 0;

  // The helper's own executable path as remembered at start.
  virtual std::string ownExecutablePath() = 0;
  // stat(2), following symbolic links: 0, or -1 with errno set.
  virtual int stat(const std::string& path, struct ::stat* out) = 0;
};

// The Linux implementation, reading signature trailers. Tests may derive
// from it to fail or redirect single operations.
class LinuxCodeSigningServices : public CodeSigningServices {
 public:
  // The running image of a process cannot change under it: the kernel
  // refuses writes to an executable that runs (ETXTBSY), and an update
  // renames a new file over the path while this process keeps its own inode.
  // So the own image is opened, read and checked once per services object
  // (once per process for the process-wide one), and every later call
  // returns that same code object. Only a read error is not kept.
  OSStatus copySelf(CodeRef* code) override;
  OSStatus copyGuest(const PeerProcess& peer, CodeRef* code) override;
  OSStatus createStaticCodeWithPath(const std::string& path, CodeRef* code) override;
  OSStatus checkValidity(const CodeRef& code) override;
  OSStatus copySigningInformation(const CodeRef& code,
                                  std::optional<SigningDictionary>* info) override;
  std::string ownExecutablePath() override;
  int stat(const std::string& path, struct ::stat* out) override;

 private:
  std::mutex selfLock_;  // guards self_; held while the own image is read
  CodeRef self_;
};

// The process-wide services: the Linux implementation unless a test set
// another. The returned pointer keeps the object alive across a concurrent
// set.
std::shared_ptr<CodeSigningServices> codeSigningServices();
// Replaces the process-wide services; nullptr restores the Linux one.
void setCodeSigningServices(std::shared_ptr<CodeSigningServices> services);

}  // namespace codesign
}  // namespace helper
