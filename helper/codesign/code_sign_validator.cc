#include "helper/codesign/code_sign_validator.h"

#include <sys/sysmacros.h>

namespace helper {
namespace {

using codesign::CodeRef;
using codesign::OSStatus;

const char* orNil(const std::optional<std::string>& value) {
  return value ? value->c_str() : "nil";
}

}  // namespace

const Logger& CodeSignValidator::log() {
  static const Logger logger(kLogSubsystem, "CodeSign");
  return logger;
}

std::mutex& CodeSignValidator::stampLock() {
  static std::mutex lock;
  return lock;
}

std::optional<ImageStamp>& CodeSignValidator::startupStamp() {
  static std::optional<ImageStamp> stamp;
  return stamp;
}

std::string CodeSignValidator::ownExecutablePath() {
  return codesign::codeSigningServices()->ownExecutablePath();
}

std::optional<ImageStamp> CodeSignValidator::stampOf(const std::string& path) {
  struct ::stat st {};
  if (codesign::codeSigningServices()->stat(path, &st) != 0) return std::nullopt;
  // The stamp keeps the device in 32 bits. Linux's st_dev is 64 bits in
  // glibc's encoding; it is put back into the kernel's own 32-bit encoding
  // (minor low 8 bits, then 12 bits of major, then the rest of the minor),
  // which holds every device number the kernel hands out (12-bit majors,
  // 20-bit minors) without loss, and read as signed.
  const auto major = static_cast<std::uint32_t>(::major(st.st_dev));
  const auto minor = static_cast<std::uint32_t>(::minor(st.st_dev));
  const std::uint32_t encoded = (minor & 0xffu) | (major << 8) | ((minor & ~0xffu) << 12);
  ImageStamp stamp;
  stamp.device = static_cast<std::int32_t>(encoded);
  stamp.inode = static_cast<std::uint64_t>(st.st_ino);
  stamp.mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  stamp.size = static_cast<std::int64_t>(st.st_size);
  return stamp;
}

std::optional<ImageStamp> CodeSignValidator::currentStamp() { return stampOf(ownExecutablePath()); }

void CodeSignValidator::recordStartupStamp() {
  const std::optional<ImageStamp> now = currentStamp();
  std::lock_guard<std::mutex> guard(stampLock());
  startupStamp() = now;
}

bool CodeSignValidator::imageReplacedSinceLaunch() {
  std::optional<ImageStamp> atStart;
  {
    std::lock_guard<std::mutex> guard(stampLock());
    atStart = startupStamp();
  }
  if (!atStart) return false;
  const std::optional<ImageStamp> now = currentStamp();
  return !now || *now != *atStart;
}

std::optional<SigningInfo> CodeSignValidator::signingInfo(const CodeRef& code) {
  std::optional<codesign::SigningDictionary> dict;
  const OSStatus status = codesign::codeSigningServices()->copySigningInformation(code, &dict);
  if (status != codesign::kStatusOK || !dict) {
    log().error("SecCodeCopySigningInformation failed: %d", status);
    return std::nullopt;
  }
  return SigningInfo{codesign::textValue(*dict, codesign::kInfoIdentifier),
                     codesign::textValue(*dict, codesign::kInfoTeamIdentifier)};
}

std::optional<SigningInfo> CodeSignValidator::signingInfo(const PeerProcess& peer) {
  // The pidfd is this platform's audit token: without it the peer cannot be
  // told apart from whatever process gets its pid next.
  if (!peer.valid()) {
    log().error("cannot read auditToken from NSXPCConnection (PID %d)", peer.pid());
    return std::nullopt;
  }
  CodeRef code;
  const OSStatus status = codesign::codeSigningServices()->copyGuest(peer, &code);
  if (status != codesign::kStatusOK || !code) {
    log().error("SecCodeCopyGuestWithAttributes(audit_token) failed: %d", status);
    return std::nullopt;
  }
  return signingInfo(code);
}

bool CodeSignValidator::validate(const PeerProcess& peer) {
  const std::optional<SigningInfo> client = signingInfo(peer);
  if (!client) {
    log().error("rejecting client (PID %d): cannot read client signing info", peer.pid());
    return false;
  }

  std::optional<SigningInfo> own;
  CodeRef self;
  const OSStatus selfStatus = codesign::codeSigningServices()->copySelf(&self);
  if (selfStatus != codesign::kStatusOK || !self) {
    log().error("SecCodeCopySelf failed: %d", selfStatus);
  } else {
    own = signingInfo(self);
  }
  if (!own) {
    if (imageReplacedSinceLaunch()) {
      log().fault(
          "rejecting client: our binary on disk was replaced after launch (app updated) — this "
          "process can no longer validate anyone");
    } else {
      log().error("rejecting client: cannot read our own signing info (helper not signed?)");
    }
    return false;
  }

  const std::string clientID = client->identifier.value_or("");
  if (clientID != kClientBundleID) {
    log().error("rejecting: bundle ID mismatch (got '%s', expected '%s')", clientID.c_str(),
                kClientBundleID);
    return false;
  }
  if (!own->teamID || !client->teamID) {
    log().error("rejecting: signing-style mismatch (our team=%s, client team=%s)",
                orNil(own->teamID), orNil(client->teamID));
    return false;
  }
  if (*own->teamID != *client->teamID) {
    log().error("rejecting: Team ID mismatch (ours='%s', client='%s')", own->teamID->c_str(),
                client->teamID->c_str());
    return false;
  }
  log().info("accepted client: Team ID match (%s), bundle '%s'", own->teamID->c_str(),
             clientID.c_str());
  return true;
}

}  // namespace helper
