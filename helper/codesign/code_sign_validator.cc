#include "helper/codesign/code_sign_validator.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <map>

#include "platform/base/fair_gate.h"
#include "platform/os/os.h"

namespace helper {
namespace {

using codesign::CodeEvaluation;
using codesign::FileIdentity;
using codesign::RootImage;

const char* orNil(const std::optional<std::string>& value) { return value ? value->c_str() : "nil"; }

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char buf[1024];
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

// The facts of a signature whose trailer checked out; unsigned code has
// none. What else a failed check gives is no identity at all.
std::optional<SigningInfo> signingInfoOf(const CodeEvaluation& e) {
  if (e.status == codesign::kStatusUnsigned) return SigningInfo{};
  if (e.status != codesign::kStatusOK) return std::nullopt;
  return SigningInfo{e.identifier(), e.teamIdentifier()};
}

// Results of content checks by the image's whole identity: any change to
// the file (contents, times, mode, owner, replacement) makes a new key, so
// a remembered result is only ever used for the very same file. Only files
// that only root can change get here. Bounded: when full, it starts over.
class ContentCache {
 public:
  std::optional<CodeEvaluation> find(const FileIdentity& id) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& [key, value] : entries_) {
      if (key == id) return value;
    }
    return std::nullopt;
  }
  void put(const FileIdentity& id, const CodeEvaluation& e) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (entries_.size() >= kCapacity) entries_.clear();
    entries_.emplace_back(id, e);
  }

 private:
  static constexpr size_t kCapacity = 32;
  std::mutex mutex_;
  std::vector<std::pair<FileIdentity, CodeEvaluation>> entries_;
};

ContentCache& contentCache() {
  static ContentCache* cache = new ContentCache;
  return *cache;
}

std::atomic<std::uint64_t> hashes{0};

// Hashing runs on the connection's own thread, two at a time at most.
FairGate& hashGate() {
  static FairGate* gate = new FairGate(2);
  return *gate;
}

struct OwnImage {
  std::optional<SigningInfo> info;
  int status = 0;
};

const OwnImage& ownImage() {
  static const OwnImage own = [] {
    OwnImage o;
    const Result<UniqueFd> fd = os().openOwnImage();
    if (!fd) {
      o.status = codesign::kStatusNoSuchCode;
      return o;
    }
    const CodeEvaluation e = codesign::evaluateCode(fd->get());
    o.status = e.status == codesign::kStatusUnsigned ? 0 : e.status;
    o.info = signingInfoOf(e);
    return o;
  }();
  return own;
}

}  // namespace

const Logger& CodeSignValidator::log() {
  static const Logger logger(kLogSubsystem, "CodeSign");
  return logger;
}

namespace {

// The identity of the executable file at start; written once by the
// process entry, before any other thread runs.
std::optional<FileIdentity>& startupStamp() {
  static std::optional<FileIdentity> stamp;
  return stamp;
}

std::optional<FileIdentity> currentStamp() {
  Result<FileIdentity> id = os().fileIdentity(os().ownExecutablePath());
  if (!id) return std::nullopt;
  return *id;
}

}  // namespace

void CodeSignValidator::recordStartupStamp() { startupStamp() = currentStamp(); }

bool CodeSignValidator::imageReplacedSinceLaunch() {
  const std::optional<FileIdentity>& atStart = startupStamp();
  if (!atStart) return false;
  const std::optional<FileIdentity> now = currentStamp();
  return !now || !(*now == *atStart);
}

std::optional<SigningInfo> CodeSignValidator::ownSigningInfo() {
  // Once the file on disk is another one, this process is stale: it can no
  // longer vouch for anyone, as if its signature could not be read.
  if (imageReplacedSinceLaunch()) return std::nullopt;
  return ownImage().info;
}

std::optional<gid_t> CodeSignValidator::clientGroup() {
  static const std::optional<gid_t> gid = []() -> std::optional<gid_t> {
    const std::string name = clientGroupName();
    group entry{};
    group* found = nullptr;
    std::vector<char> buf(16384);
    if (::getgrnam_r(name.c_str(), &entry, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
      return std::nullopt;
    }
    return found->gr_gid;
  }();
  return gid;
}

std::string CodeSignValidator::clientGroupName() {
  static const std::string name = [] {
    const char* value = std::getenv("HELPER_CLIENT_GROUP");
    return std::string(value != nullptr && *value != '\0' ? value : kClientGroup);
  }();
  return name;
}

std::uint64_t CodeSignValidator::contentChecks() { return hashes.load(); }

CodeEvaluation CodeSignValidator::checkContents(const RootImage& image, const CodeEvaluation& signature,
                                                uid_t user) {
  if (signature.status != codesign::kStatusOK) return signature;
  if (const auto known = contentCache().find(image.identity)) return *known;
  if (image.identity.size > kMaxImageSize) {
    return CodeEvaluation{codesign::kStatusInternalError,
                          format("the file is too large to check (%lld bytes)", static_cast<long long>(image.identity.size)),
                          signature.trailer};
  }
  const auto limit = std::chrono::duration<double>(kHashTimeLimit);
  const auto started = std::chrono::steady_clock::now();
  FairGate::Pass pass(hashGate(), user, std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit));
  if (!pass.entered()) {
    return CodeEvaluation{codesign::kStatusInternalError, "waited too long for a turn to check it", signature.trailer};
  }
  const double deadline =
      std::chrono::duration<double>((started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit))
                                        .time_since_epoch())
          .count();
  ++hashes;
  CodeEvaluation result = codesign::evaluateContents(image.fd.get(), signature, deadline);
  // A verdict on the contents is kept; a read error or a time-out is not.
  if (result.status == codesign::kStatusOK || result.status == codesign::kStatusSignatureFailed) {
    contentCache().put(image.identity, result);
  }
  return result;
}

Verdict CodeSignValidator::validate(const PeerProcess& peer) {
  Verdict verdict;
  auto refuse = [&](LogLevel level, std::string line) {
    verdict.lines.emplace_back(level, std::move(line));
    return verdict;
  };
  const pid_t pid = peer.pid();
  const std::string cannotRead = format("rejecting client (PID %d): cannot read client signing info", pid);
  // The pidfd is this platform's audit token: without it the peer cannot be
  // told apart from whatever process gets its pid next.
  if (!peer.valid()) {
    refuse(LogLevel::error, format("cannot read auditToken from NSXPCConnection (PID %d)", pid));
    return refuse(LogLevel::error, cannotRead);
  }

  // The process: cheap, and nothing is read from its executable yet.
  const Result<ProcessState> state = peer.readState();
  if (!state || !peer.running()) {
    refuse(LogLevel::error, format("SecCodeCopyGuestWithAttributes(audit_token) failed: %d", codesign::kStatusNoSuchCode));
    return refuse(LogLevel::error, cannotRead);
  }
  if (!state->inOurNamespaces) {
    return refuse(LogLevel::error,
                  format("rejecting client (PID %d): it runs in another pid or user namespace", pid));
  }
  if (state->tracer != 0) {
    return refuse(LogLevel::error, format("rejecting client (PID %d): it is traced by PID %d", pid, state->tracer));
  }
  const bool root = peer.connectedUid() == 0 && state->effectiveUid == 0;
  if (!root) {
    const std::optional<gid_t> group = clientGroup();
    const std::string name = clientGroupName();
    if (!group) {
      return refuse(LogLevel::error,
                    format("rejecting client (PID %d): there is no group '%s'; install the application "
                           "set-group-ID to it",
                           pid, name.c_str()));
    }
    // The group at connect time proves the connecting process already ran
    // the application: a process that connects and then execs it would
    // have connected with its own group.
    if (peer.connectedGid() != *group || state->effectiveGid != *group) {
      return refuse(LogLevel::error,
                    format("rejecting client (PID %d): it does not run as the application (effective group %u "
                           "when it connected, %u now; the application runs with the group '%s')",
                           pid, peer.connectedGid(), state->effectiveGid, name.c_str()));
    }
    if (state->realGid == *group ||
        std::find(state->groups.begin(), state->groups.end(), *group) != state->groups.end()) {
      return refuse(LogLevel::error,
                    format("rejecting client (PID %d): its user is a member of the group '%s', which must "
                           "have no members",
                           pid, name.c_str()));
    }
    if (state->dumpable) {
      return refuse(LogLevel::error,
                    format("rejecting client (PID %d): other processes of its user could trace it "
                           "(it is dumpable)",
                           pid));
    }
  }

  // Its executable: only a file that only root can change counts, and it
  // is refused before a byte of it is read.
  Result<RootImage> image = codesign::openProcessImage(pid);
  if (!image) return refuse(LogLevel::error, format("rejecting client (PID %d): %s", pid, image.error().message.c_str()));
  if (!peer.running()) {
    refuse(LogLevel::error, format("SecCodeCopyGuestWithAttributes(audit_token) failed: %d", codesign::kStatusNoSuchCode));
    return refuse(LogLevel::error, cannotRead);
  }
  const CodeEvaluation signature = codesign::evaluateTrailer(image->fd.get());
  const std::optional<SigningInfo> client = signingInfoOf(signature);
  if (!client) {
    refuse(LogLevel::error, format("SecCodeCopySigningInformation failed: %d", signature.status));
    return refuse(LogLevel::error, cannotRead);
  }

  const std::optional<SigningInfo> own = ownSigningInfo();
  if (!own) {
    if (!ownImage().info) {
      verdict.lines.emplace_back(LogLevel::error, format("SecCodeCopySigningInformation failed: %d", ownImage().status));
    }
    if (imageReplacedSinceLaunch()) {
      return refuse(LogLevel::fault,
                    "rejecting client: our binary on disk was replaced after launch (app updated) — this process "
                    "can no longer validate anyone");
    }
    return refuse(LogLevel::error, "rejecting client: cannot read our own signing info (helper not signed?)");
  }
  const std::string clientID = client->identifier.value_or("");
  if (clientID != kClientBundleID) {
    return refuse(LogLevel::error, format("rejecting: bundle ID mismatch (got '%s', expected '%s')", clientID.c_str(),
                                          kClientBundleID));
  }
  if (!own->teamID || !client->teamID) {
    return refuse(LogLevel::error, format("rejecting: signing-style mismatch (our team=%s, client team=%s)",
                                          orNil(own->teamID), orNil(client->teamID)));
  }
  if (*own->teamID != *client->teamID) {
    return refuse(LogLevel::error, format("rejecting: Team ID mismatch (ours='%s', client='%s')",
                                          own->teamID->c_str(), client->teamID->c_str()));
  }

  // Only now the contents: an image that could be admitted at all.
  const CodeEvaluation contents = checkContents(*image, signature, peer.connectedUid());
  if (contents.status != codesign::kStatusOK) {
    if (contents.status == codesign::kStatusInternalError) {
      refuse(LogLevel::error, format("checking the executable of PID %d failed: %s", pid, contents.detail.c_str()));
    }
    refuse(LogLevel::error, format("SecCodeCopySigningInformation failed: %d", contents.status));
    return refuse(LogLevel::error, cannotRead);
  }
  if (!peer.running()) {
    refuse(LogLevel::error, format("SecCodeCopyGuestWithAttributes(audit_token) failed: %d", codesign::kStatusNoSuchCode));
    return refuse(LogLevel::error, cannotRead);
  }
  verdict.admitted = AdmittedPeer{root, state->realUid, state->realGid, image->identity};
  verdict.lines.emplace_back(LogLevel::info, format("accepted client: Team ID match (%s), bundle '%s'",
                                                    own->teamID->c_str(), clientID.c_str()));
  return verdict;
}

std::string CodeSignValidator::recheck(const PeerProcess& peer, const AdmittedPeer& admitted) {
  // What a process admitted in secure mode could still change without root
  // is the program it runs (exec): compared for every request. Its group,
  // tracer, namespaces and dumpability change only by its own doing or by
  // root's, and are judged at admission.
  const Result<FileIdentity> running = os().fileIdentity("/proc/" + std::to_string(peer.pid()) + "/exe");
  if (!running || !peer.running()) return "it is gone";
  const FileIdentity& was = admitted.image;
  if (!running->sameFile(was) || running->ctime.tv_sec != was.ctime.tv_sec ||
      running->ctime.tv_nsec != was.ctime.tv_nsec) {
    return "it runs another executable than the one admitted";
  }
  return "";
}

}  // namespace helper
