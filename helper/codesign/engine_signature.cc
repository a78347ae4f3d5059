#include "helper/codesign/engine_signature.h"

#include "helper/codesign/code_sign_validator.h"
#include "helper/engine/mihomo_error.h"

namespace helper {
namespace {

[[noreturn]] void fail(const std::string& reason) { throw MihomoError::startFailed(reason); }

std::string invalid(codesign::OSStatus status) {
  return "mihomo signature invalid (" + std::to_string(status) + ") — возможна подмена бинарника";
}

}  // namespace

codesign::RootImage validateMihomoSignature(const std::string& enginePath) {
  Result<codesign::RootImage> image = codesign::openRootImage(enginePath);
  if (!image) fail("mihomo binary refused: " + image.error().message + " — only root may be able to change it");
  // The cheap part first: the trailer and its signature, then the Team IDs;
  // the contents are hashed only for an engine that could pass.
  const codesign::CodeEvaluation signature = codesign::evaluateTrailer(image->fd.get());
  if (signature.status != codesign::kStatusOK) fail(invalid(signature.status));
  const std::optional<std::string> engineTeam = signature.teamIdentifier();

  if (CodeSignValidator::imageReplacedSinceLaunch()) fail("cannot read own signing info");
  const std::optional<SigningInfo> own = CodeSignValidator::ownSigningInfo();
  if (!own) fail("cannot read own signing dictionary");
  const std::optional<std::string>& ownTeam = own->teamID;
  if (!ownTeam || !engineTeam) {
    fail("mihomo signing-style mismatch (ours=" + ownTeam.value_or("nil") + ", mihomo=" + engineTeam.value_or("nil") +
         ")");
  }
  if (*engineTeam != *ownTeam) fail("mihomo Team ID mismatch (" + *engineTeam + " != " + *ownTeam + ")");

  const codesign::CodeEvaluation contents = CodeSignValidator::checkContents(*image, signature, 0);
  if (contents.status != codesign::kStatusOK) fail(invalid(contents.status));
  return std::move(*image);
}

}  // namespace helper
