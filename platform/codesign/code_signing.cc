#include "platform/codesign/code_signing.h"

#include <mutex>

namespace helper::codesign {
namespace {

std::mutex& slotMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<CodeSigningServices>& slot() {
  static std::shared_ptr<CodeSigningServices> services =
      std::make_shared<LinuxCodeSigningServices>();
  return services;
}

}  // namespace

std::optional<std::string> textValue(const SigningDictionary& dict, const char* key) {
  const auto it = dict.find(key);
  if (it == dict.end()) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&it->second)) return *text;
  return std::nullopt;
}

std::shared_ptr<CodeSigningServices> codeSigningServices() {
  std::lock_guard<std::mutex> guard(slotMutex());
  return slot();
}

void setCodeSigningServices(std::shared_ptr<CodeSigningServices> services) {
  if (!services) services = std::make_shared<LinuxCodeSigningServices>();
  std::lock_guard<std::mutex> guard(slotMutex());
  slot() = std::move(services);
}

}  // namespace helper::codesign
