#include "helper/engine/mihomo_error.h"

#include "helper/engine/engine_paths.h"
#include "platform/paths/paths.h"

namespace helper {
namespace {

std::string describe(MihomoError::Case c, const std::string& detail,
                     const std::vector<std::string>& utuns) {
  switch (c) {
    case MihomoError::Case::binaryMissing:
      return "mihomo бинарник не найден: " + detail + ". Переустанови .pkg.";
    case MihomoError::Case::startFailed:
      return "mihomo не стартанул: " + detail;
    case MihomoError::Case::tunNotCreated: {
      std::string text = "mihomo не создал TUN device за " +
                         std::to_string(MihomoError::kTunWaitLimitSeconds) + "s — см. " +
                         paths::rooted(kEngineLogPath);
      if (!utuns.empty()) {
        std::string joined;
        for (const auto& name : utuns) joined += (joined.empty() ? "" : ", ") + name;
        text += "\nПохоже, мешает другой VPN/TUN-клиент (активные интерфейсы: " + joined +
                "). Отключите VPN, Private Relay или сетевой фильтр и попробуйте снова.";
      }
      return text;
    }
  }
  return {};
}

}  // namespace

MihomoError::MihomoError(Case c, std::string detail, std::vector<std::string> utuns)
    : case_(c), detail_(std::move(detail)), existingUtuns_(std::move(utuns)) {
  description_ = describe(case_, detail_, existingUtuns_);
}

MihomoError MihomoError::binaryMissing(std::string path) {
  return MihomoError(Case::binaryMissing, std::move(path), {});
}

MihomoError MihomoError::startFailed(std::string reason) {
  return MihomoError(Case::startFailed, std::move(reason), {});
}

MihomoError MihomoError::tunNotCreated(std::vector<std::string> existingUtuns) {
  return MihomoError(Case::tunNotCreated, {}, std::move(existingUtuns));
}

std::string describeError(const std::exception& error) {
  if (const auto* m = dynamic_cast<const MihomoError*>(&error)) return m->errorDescription();
  return error.what();
}

}  // namespace helper
