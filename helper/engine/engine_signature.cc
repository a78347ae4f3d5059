#include "helper/engine/engine_signature.h"

#include "helper/codesign/code_sign_validator.h"
#include "helper/protocol/mihomo_error.h"
#include "platform/os/os.h"

namespace helper {
namespace {

Error invalid(codesign::OSStatus status) {
  return MihomoError::startFailed("mihomo signature invalid (" + std::to_string(status) +
                                  ") — возможна подмена бинарника");
}

}  // namespace

Result<codesign::RootImage> validateMihomoSignature(const std::string& enginePath) {
  Result<codesign::RootImage> image = os().openRootImage(enginePath);
  if (!image) {
    return MihomoError::startFailed("mihomo binary refused: " + image.error().message +
                                    " — only root may be able to change it");
  }
  // The cheap part first: the trailer and its signature, then the Team IDs;
  // the contents are hashed only for an engine that could pass.
  const codesign::CodeEvaluation signature = codesign::evaluateTrailer(image->fd.get());
  if (signature.status != codesign::kStatusOK) return invalid(signature.status);
  const std::optional<std::string> engineTeam = signature.teamIdentifier();

  if (CodeSignValidator::imageReplacedSinceLaunch()) return MihomoError::startFailed("cannot read own signing info");
  const std::optional<SigningInfo> own = CodeSignValidator::ownSigningInfo();
  if (!own) return MihomoError::startFailed("cannot read own signing dictionary");
  const std::optional<std::string>& ownTeam = own->teamID;
  if (!ownTeam || !engineTeam) {
    return MihomoError::startFailed("mihomo signing-style mismatch (ours=" + ownTeam.value_or("nil") +
                                    ", mihomo=" + engineTeam.value_or("nil") + ")");
  }
  if (*engineTeam != *ownTeam) {
    return MihomoError::startFailed("mihomo Team ID mismatch (" + *engineTeam + " != " + *ownTeam + ")");
  }
  const codesign::CodeEvaluation contents = CodeSignValidator::checkContents(*image, signature, 0);
  if (contents.status != codesign::kStatusOK) return invalid(contents.status);
  return image;
}

}  // namespace helper
