// The status record: the decoding defaults for missing or mistyped keys,
// and the direct writer against the JSON library on awkward values (the
// fuzz target compares them on whatever it decodes).
#include <gtest/gtest.h>

#include "helper/front/helper_status.h"

namespace helper {
namespace {

using Json = nlohmann::json;

TEST(HelperStatusTest, MissingOrMistypedKeysTakeTheirDefaults) {
  const std::pair<const char*, HelperStatus> cases[] = {
      // Version missing: the empty text, not absent; host missing: absent.
      {R"({"isActive":true,"since":5,"sessions":1,"bridgePort":2})", HelperStatus(true, std::nullopt, 5, 1, "", 2)},
      {R"({"host":42,"version":"1.0.0"})", HelperStatus(false, std::nullopt, 0, 0, "1.0.0", 0)},
      {R"({"host":"h","version":7})", HelperStatus(false, "h", 0, 0, "", 0)},
      {R"({"isActive":"yes","since":"now","sessions":1.5,"bridgePort":true})",
       HelperStatus(false, std::nullopt, 0, 0, "", 0)},
      {R"({"isActive":1,"sessions":-4,"bridgePort":18446744073709551615})", HelperStatus(false, std::nullopt, 0, -4, "", 0)},
      {R"({"since":1733500000})", HelperStatus(false, std::nullopt, 1733500000, 0, "", 0)},
      {R"([1,2,3])", HelperStatus(false, std::nullopt, 0, 0, "", 0)},
  };
  for (const auto& [archive, expected] : cases) EXPECT_EQ(HelperStatus::decode(Json::parse(archive)), expected) << archive;
}

TEST(HelperStatusTest, TheDirectEncodingIsTheLibrarysEncoding) {
  for (const double since : {0.0, -0.0, 1733500000.125, 0.1, -2.5, 1e-4, 9.999e-5, 1e-7, 1e14, 999999999999999.9, 1e15,
                             1e21, 123456789012345680.0, 5e-324, 1.7976931348623157e308, 100.0, 1e5,
                             0.30000000000000004, std::numeric_limits<double>::infinity()}) {
    for (const char* host : {"proxy.example", "прокси.пример", "quote\"back\\slash\ttab", "\xff\xfe"}) {
      const HelperStatus s(true, host, since, -3, "1.0.0", INT64_MAX);
      EXPECT_EQ(s.encodeText(), s.encode().dump(-1, ' ', false, Json::error_handler_t::replace)) << since << " " << host;
    }
  }
  // A time that JSON cannot hold is written as 0.
  const HelperStatus odd(true, "h", std::numeric_limits<double>::infinity(), 0, "1.0.0", 0);
  EXPECT_EQ(HelperStatus::decode(Json::parse(odd.encodeText())).activeSinceUnixTime(), 0);
}

}  // namespace
}  // namespace helper
