// One connection's requests reach the exported object and come back as
// exactly one reply each; malformed ones reach nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helper/front/control_connection.h"
#include "helper/front/control_message.h"
#include "platform/log/logger.h"

namespace helper {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Records what reached it; can be told to answer twice.
class RecordingService : public HelperProtocol {
 public:
  void ping(PingReply reply) override {
    calls.push_back("ping");
    reply("1.0.0");
    if (replyTwice) reply("again");
  }
  void activate(const std::string& url, std::int32_t pid, ActivateReply reply) override {
    calls.push_back("activate " + url + " " + std::to_string(pid));
    reply(false, std::nullopt, "Невалидный proxy URL");
  }
  void deactivate(const std::string& token, DeactivateReply reply) override {
    calls.push_back("deactivate " + token);
    reply(true, std::nullopt);
  }
  void heartbeat(const std::string& token, HeartbeatReply reply) override {
    calls.push_back("heartbeat " + token);
    reply(token == "T");
  }
  void status(StatusReply reply) override {
    calls.push_back("status");
    reply(HelperStatus(false, std::nullopt, 0, 0, "1.0.0", 0));
  }

  std::vector<std::string> calls;
  bool replyTwice = false;
};

class ControlConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { setLogSink(logs_); }
  void TearDown() override { setLogSink(nullptr); }

  std::optional<std::string> send(const ControlRequest& request) {
    return handler_.handlePacket(connection_, encodeRequest(request, connection_.nonce()));
  }

  std::shared_ptr<MemoryLogSink> logs_ = std::make_shared<MemoryLogSink>();
  RecordingService service_;
  ControlConnectionHandler handler_{service_};
  ipc::ServerConnection connection_{ipc::UniqueFd(), ipc::Credentials{4321, 1000, 1000}, PeerProcess()};
};

TEST_F(ControlConnectionTest, EachRequestReachesTheServiceAndGetsItsReply) {
  ControlRequest r;
  r.id = 11;
  r.op = ControlOperation::activate;
  r.proxyURL = "bad";
  r.clientPID = 99;
  const auto reply = send(r);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, R"({"id":11,"op":"activate","success":false,"token":null,"message":"Невалидный proxy URL"})");

  r = ControlRequest{};
  r.id = 12;
  r.op = ControlOperation::heartbeat;
  r.sessionToken = "T";
  EXPECT_EQ(send(r), R"({"id":12,"op":"heartbeat","success":true})");
  EXPECT_THAT(service_.calls, ElementsAre("activate bad 99", "heartbeat T"));
  EXPECT_TRUE(logs_->messages("Listener").empty());
}

TEST_F(ControlConnectionTest, ASecondReplyIsDroppedNotSent) {
  service_.replyTwice = true;
  ControlRequest r;
  r.id = 1;
  r.op = ControlOperation::ping;
  EXPECT_EQ(send(r), R"({"id":1,"op":"ping","version":"1.0.0"})");
  EXPECT_THAT(logs_->messages("Listener"), ElementsAre("second reply to ping dropped"));
}

TEST_F(ControlConnectionTest, AMalformedRequestClosesTheConnectionWithOneLineAndReachesNothing) {
  const std::string packets[] = {
      "garbage",
      R"({"nonce":"not-this-connection's","id":1,"op":"ping"})",
      R"({"nonce":")" + connection_.nonce() + R"(","id":1,"op":"deactivate","sessionToken":7})",
  };
  for (const std::string& packet : packets) {
    logs_->clear();
    EXPECT_FALSE(handler_.handlePacket(connection_, packet)) << packet;
    const auto lines = logs_->messages("Listener");
    ASSERT_EQ(lines.size(), 1u) << packet;
    EXPECT_THAT(lines[0], HasSubstr("closing connection from PID 4321: malformed request ("));
  }
  EXPECT_TRUE(service_.calls.empty());
}

}  // namespace
}  // namespace helper
