// The status record's keyed JSON encoding and its lenient decoding.
#include <gtest/gtest.h>

#include "helper/front/helper_status.h"

namespace helper {
namespace {

using Json = nlohmann::json;

HelperStatus idle() { return HelperStatus(false, std::nullopt, 0, 0, "1.0.0", 0); }

TEST(HelperStatusTest, EveryFieldSurvivesARoundTrip) {
  const HelperStatus full(true, "proxy.example", 1733500000.125, 3, "1.0.0", 8080);
  const HelperStatus back = HelperStatus::decode(Json::parse(full.encode().dump()));
  EXPECT_EQ(back, full);
  EXPECT_EQ(back.activeSinceUnixTime(), 1733500000.125);  // the fraction is kept exactly
}

TEST(HelperStatusTest, TheIdleRecordKeepsItsHostAbsent) {
  const std::string text = idle().encode().dump();
  EXPECT_EQ(text,
            R"({"$class":"CorvalethHelperStatus","isActive":false,"host":null,"since":0.0,)"
            R"("sessions":0,"version":"1.0.0","bridgePort":0})");
  const HelperStatus back = HelperStatus::decode(Json::parse(text));
  EXPECT_EQ(back, idle());
  EXPECT_FALSE(back.activeProxyHost().has_value());
}

TEST(HelperStatusTest, MissingOrMistypedKeysTakeTheirDefaults) {
  struct Case {
    const char* archive;
    HelperStatus expected;
  };
  const Case cases[] = {
      // Version missing: the empty text, not absent; host missing: absent.
      {R"({"isActive":true,"since":5,"sessions":1,"bridgePort":2})",
       HelperStatus(true, std::nullopt, 5, 1, "", 2)},
      // A host that is a number is absent.
      {R"({"host":42,"version":"1.0.0"})", HelperStatus(false, std::nullopt, 0, 0, "1.0.0", 0)},
      {R"({"host":"h","version":7})", HelperStatus(false, "h", 0, 0, "", 0)},
      // Wrong kinds for the scalars.
      {R"({"isActive":"yes","since":"now","sessions":1.5,"bridgePort":true})",
       HelperStatus(false, std::nullopt, 0, 0, "", 0)},
      {R"({"isActive":1,"sessions":-4,"bridgePort":18446744073709551615})",
       HelperStatus(false, std::nullopt, 0, -4, "", 0)},
      // An integer where a double is expected is a number all the same.
      {R"({"since":1733500000})", HelperStatus(false, std::nullopt, 1733500000, 0, "", 0)},
      // Not an object at all.
      {R"([1,2,3])", HelperStatus(false, std::nullopt, 0, 0, "", 0)},
      {R"(null)", HelperStatus(false, std::nullopt, 0, 0, "", 0)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HelperStatus::decode(Json::parse(c.archive)), c.expected) << c.archive;
  }
}

TEST(HelperStatusTest, TheClassTagIsCheckedSeparately) {
  EXPECT_TRUE(HelperStatus::hasStatusClass(Json::parse(idle().encode().dump())));
  EXPECT_FALSE(HelperStatus::hasStatusClass(Json::parse(R"({"$class":"NSString"})")));
  EXPECT_FALSE(HelperStatus::hasStatusClass(Json::parse(R"({"isActive":true})")));
  EXPECT_FALSE(HelperStatus::hasStatusClass(Json::parse(R"("CorvalethHelperStatus")")));
}

TEST(HelperStatusTest, ATimeThatJsonCannotHoldIsWrittenAsZero) {
  const HelperStatus odd(true, "h", std::numeric_limits<double>::infinity(), 0, "1.0.0", 0);
  EXPECT_EQ(HelperStatus::decode(Json::parse(odd.encode().dump())).activeSinceUnixTime(), 0);
}

}  // namespace
}  // namespace helper

namespace helper {
namespace {

TEST(HelperStatusTest, TheDirectEncodingIsTheLibrarysEncoding) {
  for (const double since : {0.0, -0.0, 1733500000.125, 0.1, -2.5, 1e-4, 9.999e-5, 1e-7, 1e14, 999999999999999.9, 1e15, 1e21,
                             123456789012345680.0, 5e-324, 1.7976931348623157e308, 100.0, 1e5, 0.30000000000000004}) {
    for (const char* host : {"proxy.example", "прокси.пример", "quote\"back\\slash\ttab", "\xff\xfe"}) {
      const HelperStatus s(true, host, since, -3, "1.0.0", INT64_MAX);
      EXPECT_EQ(s.encodeText(), s.encode().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
          << since << " " << host;
    }
  }
}

}  // namespace
}  // namespace helper
