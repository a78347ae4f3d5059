// The client library against the service in this process: late replies
// after a time-out are skipped, and the heartbeat keeper keeps a session
// alive until the helper ends it.
#include <gmock/gmock.h>

#include <atomic>
#include <future>

#include "tests/service/in_process.h"

namespace helper::test {
namespace {

using ::testing::HasSubstr;

class HelperClientTest : public InProcessFixture {};

TEST_F(HelperClientTest, AReplyThatArrivesAfterItsTimeOutIsSkippedByTheNextCall) {
  startService(HelperServiceImpl::Options{});
  setKnobs({{"tun_delay_ms", "800"}});
  auto activator = client();
  auto activation = std::async(std::launch::async, [&] { return activator->activate("socks5://192.0.2.1:1080", 1); });
  ASSERT_TRUE(EngineFixture::logs_ != nullptr);
  for (int i = 0; i < 500; ++i) {
    const auto lines = mihomoLines();
    if (!lines.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  auto impatient = client(/*requestTimeout=*/0.1);
  try {
    impatient->status();  // waits behind the engine start
    ADD_FAILURE() << "status did not time out";
  } catch (const HelperClientError& e) {
    EXPECT_EQ(e.kind(), HelperClientError::Kind::timeout);
    EXPECT_STREQ(e.what(), "no reply to status within 0.1 s");
  }
  EXPECT_TRUE(activation.get().success);
  // The status reply arrives meanwhile; ping must not take it for its own.
  EXPECT_EQ(impatient->ping(), "1.0.0");
  EXPECT_TRUE(impatient->status().isActive());
}

TEST_F(HelperClientTest, TheHeartbeatKeeperKeepsASessionUntilTheHelperEndsIt) {
  HelperServiceImpl::Options options;
  options.heartbeatTimeout = 0.3;
  options.watchdogInterval = 0.05;
  startService(options);
  auto owner = client();
  const ActivateResult activated = owner->activate("socks5://192.0.2.1:1080", 1);
  ASSERT_TRUE(activated.success);
  std::promise<std::string> ended;
  HeartbeatKeeper keeper(*owner, *activated.token, 0.05, [&](const std::string& reason) { ended.set_value(reason); });
  // Ten times the grace: only the keeper keeps it alive.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_TRUE(owner->status().isActive());
  EXPECT_GE(keeper.beats(), 20u);
  // Someone else ends it; the keeper notices and stops.
  auto other = client();
  EXPECT_TRUE(other->deactivate(*activated.token).success);
  auto reason = ended.get_future();
  ASSERT_EQ(reason.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(reason.get(), "the helper refused the heartbeat: the session has ended");
  EXPECT_FALSE(keeper.running());
}

TEST_F(HelperClientTest, AServerThatClosesMidRequestIsReportedAsDisconnected) {
  startService(HelperServiceImpl::Options{});
  auto c = client();
  server_->stop();
  try {
    c->ping();
    ADD_FAILURE() << "ping after the server stopped";
  } catch (const HelperClientError& e) {
    EXPECT_EQ(e.kind(), HelperClientError::Kind::disconnected);
  }
  try {
    c->ping();
    ADD_FAILURE() << "ping on a closed connection";
  } catch (const HelperClientError& e) {
    EXPECT_THAT(e.what(), HasSubstr("closed"));
  }
}

}  // namespace
}  // namespace helper::test
