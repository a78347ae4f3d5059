// Signature trailers on files: reading and checking the one at the end of a
// file, and signing a file in place.
#pragma once

#include <optional>
#include <string>

#include "platform/base/result.h"
#include "platform/base/unique_fd.h"
#include "platform/codesign/signature_trailer.h"
#include "platform/codesign/signing_key.h"

namespace helper::codesign {

// What a file's signature says, after checking it.
struct CodeEvaluation {
  // kStatusOK: the trailer is well formed and the contents' hash and (for an
  // Ed25519 signature) the signature match. Otherwise the reason it is not.
  OSStatus status = kStatusUnsigned;
  std::string detail;              // what exactly, for people
  std::optional<Trailer> trailer;  // set when the trailer parsed, even if the check failed

  // Set only for an intact signature.
  std::optional<std::string> identifier() const;
  // Set only for an intact Ed25519 signature; never for an ad-hoc one.
  std::optional<std::string> teamIdentifier() const;
};

// Opens a file for reading its signature: follows symbolic links, never
// blocks (FIFOs and devices are refused), and accepts regular files only.
Result<UniqueFd> openCodeFile(const std::string& path);

// Reads the trailer of an open file without checking hash or signature.
ParseResult readTrailer(int fd);

// The cheap half of a check, reading only the end of the file: the trailer
// parsed and, for an Ed25519 signature, the signature over the trailer's
// fields (identifier, key, code length and code hash) verified. kStatusOK
// then means the signer vouches for a file of that length and hash; the
// contents are not read.
CodeEvaluation evaluateTrailer(int fd);
// The expensive half: hashes the code the trailer covers and compares it
// with the signed hash. `signature` is the result of evaluateTrailer, which
// is returned unchanged when it failed. Gives up with kStatusInternalError
// once the monotonic clock passes `deadline` (negative: no deadline).
CodeEvaluation evaluateContents(int fd, CodeEvaluation signature, double deadline = -1);

// Both halves: reads the whole file once.
CodeEvaluation evaluateCode(int fd);
CodeEvaluation evaluateFile(const std::string& path);

struct Signed {
  bool replacedExisting = false;
  std::optional<std::string> teamIdentifier;
};

// Signs `path` (the file a symbolic link points to) in place: the signed copy
// is written beside it and renamed over it, so a reader sees the old file or
// the new one, never half of either. An existing trailer is replaced; the
// file's mode (and owner, when permitted) is kept. `key` null: ad-hoc.
Result<Signed> signFile(const std::string& path, const std::string& identifier, const SigningKey* key);

}  // namespace helper::codesign
