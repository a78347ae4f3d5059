#include "helper/protocol/mihomo_error.h"


namespace helper {
namespace {

Error make(MihomoError::Case c, std::string text) {
  return Error{std::move(text), static_cast<int>(c), MihomoError::kDomain};
}

}  // namespace

Error MihomoError::binaryMissing(const std::string& path) {
  return make(Case::binaryMissing, "mihomo бинарник не найден: " + path + ". Переустанови .pkg.");
}

Error MihomoError::startFailed(const std::string& reason) {
  return make(Case::startFailed, "mihomo не стартанул: " + reason);
}

Error MihomoError::tunNotCreated(const std::string& logPath, const std::vector<std::string>& existingUtuns) {
  std::string text = "mihomo не создал TUN device за " + std::to_string(kTunWaitLimitSeconds) + "s — см. " + logPath;
  if (!existingUtuns.empty()) {
    std::string joined;
    for (const auto& name : existingUtuns) joined += (joined.empty() ? "" : ", ") + name;
    text += "\nПохоже, мешает другой VPN/TUN-клиент (активные интерфейсы: " + joined +
            "). Отключите VPN, Private Relay или сетевой фильтр и попробуйте снова.";
  }
  return make(Case::tunNotCreated, std::move(text));
}

}  // namespace helper
