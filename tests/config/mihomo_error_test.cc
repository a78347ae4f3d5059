#include "helper/protocol/mihomo_error.h"

#include <gtest/gtest.h>

namespace helper {
namespace {

// The texts the application shows, and the codes it acts on.
TEST(MihomoErrorTest, TextsAndCodes) {
  const std::string log = "mihomo не создал TUN device за 30s — см. /var/log/CorvalethApp/mihomo.log";
  const struct {
    Error error;
    int code;
    std::string text;
  } cases[] = {
      {MihomoError::binaryMissing("/opt/helper/tarn.CorvalethApp.mihomo"), 0,
       "mihomo бинарник не найден: /opt/helper/tarn.CorvalethApp.mihomo. Переустанови .pkg."},
      {MihomoError::startFailed("why"), 1, "mihomo не стартанул: why"},
      {MihomoError::tunNotCreated("/var/log/CorvalethApp/mihomo.log", {}), 2, log},
      {MihomoError::tunNotCreated("/var/log/CorvalethApp/mihomo.log", {"utun0", "utun1"}), 2,
       log + "\nПохоже, мешает другой VPN/TUN-клиент (активные интерфейсы: utun0, utun1). "
             "Отключите VPN, Private Relay или сетевой фильтр и попробуйте снова."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.domain, "helper.MihomoError");
    EXPECT_EQ(c.error.code, c.code);
    EXPECT_EQ(c.error.message, c.text);
  }
}

}  // namespace
}  // namespace helper
