// The one real-time watchdog test: a session without heartbeats ends by
// itself between 30 and 35 seconds after its activation.
#include <gmock/gmock.h>

#include "tests/service/service_fixture.h"

namespace helper::test {
namespace {

using ::testing::MatchesRegex;

class WatchdogTest : public ServiceFixture {};

TEST_F(WatchdogTest, ASilentSessionEndsBetweenThirtyAndThirtyFiveSeconds) {
  auto p = connectedProbe();
  activate(*p, "socks5://192.0.2.10:1080", 4242);
  const auto activated = helper().waitForLine("activated: TUN routes ALL traffic");
  ASSERT_TRUE(activated);
  ASSERT_EQ(runningEngines().size(), 1u);
  const auto expired = helper().waitForLine("watchdog: no heartbeat for", 40);
  ASSERT_TRUE(expired) << "the session was not ended within 40 s";
  const double after = std::chrono::duration<double>(*expired - *activated).count();
  EXPECT_GE(after, 30.0);
  EXPECT_LE(after, 35.5);
  std::vector<std::string> lines;
  for (const auto& line : helper().messages("Service")) {
    if (line.rfind("watchdog:", 0) == 0) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], MatchesRegex("watchdog: no heartbeat for 3[0-5]s — forcing deactivate \\(PID 4242\\)"));
  const std::string status = field(p->call("status"), "status");
  EXPECT_EQ(field(status, "isActive"), "false");
  EXPECT_EQ(field(status, "host"), "null");
  EXPECT_TRUE(runningEngines().empty());
  EXPECT_TRUE(helper().running());
}

}  // namespace
}  // namespace helper::test
