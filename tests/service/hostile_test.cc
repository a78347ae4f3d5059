// What a client may throw at the helper: garbage, oversize and half-valid
// packets, packets from a forked child, a disconnect in the middle of an
// activate, a thousand connections at once. Each costs the sender its
// connection at most; a legitimate client is served throughout and a live
// session does not change.
#include <gmock/gmock.h>

#include <future>

#include "platform/ipc/packet_socket.h"
#include "tests/service/service_fixture.h"

namespace helper::test {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

class HostileTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    if (IsSkipped() || HasFailure()) return;
    owner_ = connectedProbe();
    token_ = activate(*owner_, "socks5://192.0.2.10:1080", 4242);
    engines_ = runningEngines();
    status_ = field(owner_->call("status"), "status");
    pinger_ = connectedProbe();
  }

  // The session, its engine and its record are as they were, and a
  // legitimate client is answered quickly.
  void expectUnharmed() {
    long micros = 0;
    EXPECT_EQ(field(pinger_->call("ping", &micros), "version"), "\"1.0.0\"");
    EXPECT_LT(micros, 50'000);
    EXPECT_EQ(field(owner_->call("heartbeat " + token_), "success"), "true");
    EXPECT_EQ(field(owner_->call("status"), "status"), status_);
    EXPECT_EQ(runningEngines(), engines_);
    EXPECT_TRUE(helper().running());
  }

  std::unique_ptr<Probe> owner_;
  std::unique_ptr<Probe> pinger_;
  std::string token_;
  std::vector<pid_t> engines_;
  std::string status_;
};

TEST_F(HostileTest, MalformedPacketsCloseTheirConnectionWithOneLineAndChangeNothing) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"send garbage", "malformed request (not JSON)"},
      {"send ", "malformed request (empty packet)"},
      {"sendsize 70000", "a request of 70000 bytes exceeds the limit of 65536"},
      {"send [\"$NONCE\"]", "malformed request (not a JSON object)"},
      {R"(send {"nonce":"$NONCE","id":1,"op":"shutdown"})", "malformed request (unknown operation)"},
      {R"(send {"nonce":"0123","id":1,"op":"ping"})", "malformed request (wrong nonce)"},
      // Half-valid deactivates must not reach the service.
      {R"(send {"nonce":"$NONCE","id":1,"op":"deactivate"})", "malformed request (\"sessionToken\" must be a string)"},
      {R"(send {"nonce":"$NONCE","id":1,"op":"deactivate","sessionToken":null})", "\"sessionToken\" must be a string"},
      {R"(send {"nonce":"$NONCE","id":1,"op":"activate","proxyURL":5,"clientPID":1})", "\"proxyURL\" must be a string"},
      {R"(send {"nonce":"$NONCE","id":1,"op":"activate","proxyURL":"socks5://192.0.2.99:1080","clientPID":"1"})",
       "\"clientPID\" must be a signed 32-bit integer"},
      {R"(send {"nonce":"$NONCE","op":"status"})", "\"id\" must be an integer"},
  };
  auto hostile = probe();
  const std::string closing = "closing connection from PID " + std::to_string(hostile->pid());
  size_t closed = 0;
  for (const auto& [command, reason] : cases) {
    ASSERT_THAT(hostile->command("connect"), HasSubstr("ok {\"hello\"")) << command;
    ASSERT_EQ(hostile->command(command), "ok") << command;
    EXPECT_EQ(hostile->command("recv 5"), "closed") << command;
    ++closed;
    ASSERT_TRUE(helper().waitForLines(closing, closed)) << command;
    std::vector<std::string> lines;
    for (const auto& line : helper().messages("Listener")) {
      if (line.rfind(closing, 0) == 0) lines.push_back(line);
    }
    // One line per closed connection, naming why.
    ASSERT_EQ(lines.size(), closed) << command;
    EXPECT_THAT(lines.back(), HasSubstr(reason)) << command;
  }
  expectUnharmed();
}

TEST_F(HostileTest, NothingWrittenBeforeTheGreetingCountsAsARequest) {
  auto early = probe();
  ASSERT_EQ(early->command("connectraw"), "ok");
  // Written at once, before the helper has looked at the client; any nonce
  // it might carry cannot be the one the greeting brings.
  ASSERT_EQ(early->command(R"(send {"nonce":"","id":1,"op":"deactivate","sessionToken":")" + token_ + "\"}"), "ok");
  EXPECT_THAT(early->command("recv 5"), HasSubstr("ok {\"hello\""));
  EXPECT_EQ(early->command("recv 5"), "closed");
  expectUnharmed();
}

TEST_F(HostileTest, APacketFromAForkedChildIsRefusedEvenWithTheRightToken) {
  const std::string answer = owner_->command(
      R"(forksend {"nonce":"$NONCE","id":90,"op":"deactivate","sessionToken":")" + token_ + "\"}");
  ASSERT_EQ(answer.rfind("ok ", 0), 0u) << answer;
  const std::string child = answer.substr(3);
  EXPECT_EQ(owner_->command("recv 5"), "closed");
  ASSERT_TRUE(helper().waitForLine("a request was sent by PID " + child));
  EXPECT_THAT(helper().messages("Listener"),
              Contains("closing connection from PID " + std::to_string(owner_->pid()) + ": a request was sent by PID " +
                       child + ", not by the admitted client"));
  // The owner's connection is gone, the session is not.
  ASSERT_THAT(owner_->command("connect"), HasSubstr("ok {\"hello\""));
  expectUnharmed();
}

TEST_F(HostileTest, AClientThatLeavesDuringAnActivateDoesNotWedgeTheHelper) {
  setKnobs({{"tun_delay_ms", "1500"}});
  {
    auto leaver = connectedProbe();
    ASSERT_EQ(leaver->command(R"(send {"nonce":"$NONCE","id":1,"op":"activate","proxyURL":"socks5://192.0.2.50:1080","clientPID":77})"),
              "ok");
    ASSERT_TRUE(helper().waitForLine("re-activating: tearing down previous session"));
  }  // the probe exits with its request in flight
  long micros = 0;
  EXPECT_EQ(field(pinger_->call("ping", &micros), "version"), "\"1.0.0\"");
  EXPECT_LT(micros, 50'000);
  // The activate runs to its end; its reply has nowhere to go.
  ASSERT_TRUE(helper().waitForLine("activated: TUN routes ALL traffic via upstream 192.0.2.50"));
  const std::string s = field(pinger_->call("status"), "status");
  EXPECT_EQ(field(s, "host"), "\"192.0.2.50\"");
  EXPECT_EQ(field(owner_->call("heartbeat " + token_), "success"), "false");
  // A new activate takes over from the orphaned session, engine included.
  setKnobs({});
  const std::string token = activate(*pinger_, "http://192.0.2.60:3128", 5);
  EXPECT_EQ(runningEngines().size(), 1u);
  EXPECT_EQ(field(pinger_->call("deactivate " + token), "success"), "true");
  EXPECT_TRUE(runningEngines().empty());
}

TEST_F(HostileTest, AThousandConnectionsAtOnceLeaveTheHelperServing) {
  // A signed client opens 1000 connections; the helper serves 64 at once
  // (two are ours) and refuses the rest with a message.
  auto flooder = probe();
  auto flood = std::async(std::launch::async, [&] { return flooder->command("flood 1000", 120); });
  long worst = 0;
  int pings = 0;
  while (flood.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
    long micros = 0;
    EXPECT_EQ(field(pinger_->call("ping", &micros), "version"), "\"1.0.0\"");
    worst = std::max(worst, micros);
    ++pings;
  }
  EXPECT_EQ(flood.get(), "ok hello=62 refused=938 failed=0");
  EXPECT_GT(pings, 0);
  EXPECT_LT(worst, 50'000) << "the slowest of " << pings << " pings";
  expectUnharmed();
  EXPECT_EQ(flooder->command("unflood"), "ok");

  // And a few hundred at once from an unsigned program (this test), each
  // refused. (Fewer: every refusal verifies the helper's own signature, a
  // hash of its whole executable, which is large in a debug build.)
  std::vector<ipc::UniqueFd> strangers;
  for (int i = 0; i < 200; ++i) {
    std::string error;
    strangers.push_back(ipc::connectSocket(root() + "/run/tarn.CorvalethApp.helper.xpc", &error));
    ASSERT_TRUE(strangers.back().valid()) << error;
  }
  int refused = 0;
  for (auto& fd : strangers) {
    const auto p = ipc::receivePacket(fd.get(), 4096, 30);
    if (p.status == ipc::ReceivedPacket::Status::packet && p.data.find("\"refused\"") != std::string::npos) ++refused;
  }
  EXPECT_EQ(refused, 200);
  expectUnharmed();
}

}  // namespace
}  // namespace helper::test
