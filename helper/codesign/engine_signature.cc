#include "helper/codesign/engine_signature.h"

#include "helper/engine/mihomo_error.h"
#include "platform/codesign/code_signing.h"

namespace helper {
namespace {

[[noreturn]] void fail(const std::string& reason) { throw MihomoError::startFailed(reason); }

}  // namespace

void validateMihomoSignature(const std::string& enginePath) {
  using namespace codesign;
  const std::shared_ptr<CodeSigningServices> services = codeSigningServices();

  CodeRef engine;
  OSStatus status = services->createStaticCodeWithPath(enginePath, &engine);
  if (status != kStatusOK || !engine) {
    fail("SecStaticCodeCreateWithPath failed: " + std::to_string(status));
  }
  // Only intactness here; the Team ID comparison below is the tie to us.
  status = services->checkValidity(engine);
  if (status != kStatusOK) {
    fail("mihomo signature invalid (" + std::to_string(status) + ") — возможна подмена бинарника");
  }
  std::optional<SigningDictionary> engineInfo;
  if (services->copySigningInformation(engine, &engineInfo) != kStatusOK || !engineInfo) {
    fail("cannot read mihomo signing info");
  }
  const std::optional<std::string> engineTeam = textValue(*engineInfo, kInfoTeamIdentifier);

  CodeRef self;
  if (services->copySelf(&self) != kStatusOK || !self) fail("cannot read own signing info");
  std::optional<SigningDictionary> ownInfo;
  if (services->copySigningInformation(self, &ownInfo) != kStatusOK || !ownInfo) {
    fail("cannot read own signing dictionary");
  }
  const std::optional<std::string> ownTeam = textValue(*ownInfo, kInfoTeamIdentifier);

  if (!ownTeam || !engineTeam) {
    fail("mihomo signing-style mismatch (ours=" + ownTeam.value_or("nil") +
         ", mihomo=" + engineTeam.value_or("nil") + ")");
  }
  if (*engineTeam != *ownTeam) {
    fail("mihomo Team ID mismatch (" + *engineTeam + " != " + *ownTeam + ")");
  }
}

}  // namespace helper
