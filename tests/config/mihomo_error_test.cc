#include "helper/engine/mihomo_error.h"

#include <gtest/gtest.h>

#include <system_error>

namespace helper {
namespace {

TEST(MihomoErrorTest, TextsAndCodes) {
  const auto missing = MihomoError::binaryMissing("/opt/helper/tarn.CorvalethApp.mihomo");
  EXPECT_EQ(missing.code(), 0);
  EXPECT_EQ(missing.errorDescription(),
            "mihomo бинарник не найден: /opt/helper/tarn.CorvalethApp.mihomo. Переустанови .pkg.");

  const auto failed = MihomoError::startFailed("why");
  EXPECT_EQ(failed.code(), 1);
  EXPECT_EQ(failed.errorDescription(), "mihomo не стартанул: why");
  EXPECT_STREQ(failed.what(), "mihomo не стартанул: why");

  const auto none = MihomoError::tunNotCreated({});
  EXPECT_EQ(none.code(), 2);
  EXPECT_EQ(none.errorDescription(),
            "mihomo не создал TUN device за 30s — см. /var/log/CorvalethApp/mihomo.log");

  const auto two = MihomoError::tunNotCreated({"utun0", "utun1"});
  EXPECT_EQ(two.errorDescription(),
            "mihomo не создал TUN device за 30s — см. /var/log/CorvalethApp/mihomo.log\n"
            "Похоже, мешает другой VPN/TUN-клиент (активные интерфейсы: utun0, utun1). "
            "Отключите VPN, Private Relay или сетевой фильтр и попробуйте снова.");
  EXPECT_EQ(two.existingUtuns(), (std::vector<std::string>{"utun0", "utun1"}));
}

TEST(MihomoErrorTest, OtherErrorsAreDescribedByWhat) {
  const std::system_error e(std::make_error_code(std::errc::permission_denied), "mkdir");
  EXPECT_EQ(describeError(e), e.what());
  EXPECT_EQ(describeError(MihomoError::startFailed("x")), "mihomo не стартанул: x");
}

}  // namespace
}  // namespace helper
