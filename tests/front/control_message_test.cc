// The control messages: request limits that the integration tests and the
// fuzz target do not reach, replies exactly as documented, a client that
// refuses what it did not ask for, and one reply per request.
#include <gmock/gmock.h>

#include "helper/front/control_connection.h"
#include "helper/front/control_message.h"
#include "platform/log/logger.h"

namespace helper {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* kNonce = "00112233445566778899aabbccddeeff";

TEST(ControlMessageTest, RequestsDecodeOnlyWithinTheirLimits) {
  struct Case {
    std::string fields;
    const char* reason;  // nullptr: accepted
  };
  const Case cases[] = {
      {R"("id":9007199254740991,"op":"activate","proxyURL":"h:1","clientPID":-2147483648,"x":[1])", nullptr},
      {R"("id":9007199254740992,"op":"ping")", "\"id\""},
      {R"("id":-1,"op":"ping")", "\"id\""},
      {R"("id":1.5,"op":"ping")", "\"id\""},
      {R"("id":1,"op":"Ping")", "unknown operation"},
      {R"("id":1,"op":"activate","proxyURL":"h:1","clientPID":2147483648)", "\"clientPID\""},
      {R"("id":1,"op":"activate","proxyURL":"h:1","clientPID":-2147483649)", "\"clientPID\""},
      {R"("id":1,"op":"activate","proxyURL":"h:1","clientPID":1.0)", "\"clientPID\""},
      {R"("id":1,"op":"ping","x":[[[[1]]]])", "nested too deeply"},
      {"\"x\":" + std::string(60000, '[') + std::string(60000, ']'), "nested too deeply"},
  };
  for (const Case& c : cases) {
    const auto decoded = decodeRequest(R"({"nonce":")" + std::string(kNonce) + "\"," + c.fields + "}", kNonce);
    EXPECT_EQ(decoded.value.has_value(), c.reason == nullptr) << c.fields.substr(0, 80) << ": " << decoded.error;
    if (c.reason != nullptr) {
      EXPECT_THAT(decoded.error, HasSubstr(c.reason)) << c.fields.substr(0, 80);
    }
  }
  const auto limits = decodeRequest(R"({"nonce":")" + std::string(kNonce) + "\"," + cases[0].fields + "}", kNonce);
  ASSERT_TRUE(limits.value);
  EXPECT_EQ(limits.value->id, kMaxRequestId);
  EXPECT_EQ(limits.value->clientPID, INT32_MIN);
}

// The texts other clients are written from; the fuzz target checks that
// what decodes re-encodes the same.
TEST(ControlMessageTest, RepliesAreExactlyTheDocumentedText) {
  const std::pair<ControlResult, const char*> cases[] = {
      {PingResult{"1.0.0"}, R"({"id":5,"op":"ping","version":"1.0.0"})"},
      {ActivateResult{true, "T", std::nullopt}, R"({"id":5,"op":"activate","success":true,"token":"T","message":null})"},
      {ActivateResult{false, std::nullopt, "Невалидный proxy URL"},
       R"({"id":5,"op":"activate","success":false,"token":null,"message":"Невалидный proxy URL"})"},
      {DeactivateResult{true, std::nullopt}, R"({"id":5,"op":"deactivate","success":true,"message":null})"},
      {DeactivateResult{false, "session token mismatch"},
       R"({"id":5,"op":"deactivate","success":false,"message":"session token mismatch"})"},
      {HeartbeatResult{true}, R"({"id":5,"op":"heartbeat","success":true})"},
      {HelperStatus(true, "h", 12.5, 0, "1.0.0", 0),
       R"({"id":5,"op":"status","status":{"$class":"CorvalethHelperStatus","isActive":true,"host":"h",)"
       R"("since":12.5,"sessions":0,"version":"1.0.0","bridgePort":0}})"},
  };
  for (const auto& [result, text] : cases) EXPECT_EQ(encodeReply(ControlReply{5, result}), text);
}

TEST(ControlMessageTest, TheClientRefusesRepliesAndGreetingsItCannotUse) {
  const std::pair<ControlOperation, const char*> wrong[] = {
      {ControlOperation::status, R"({"id":1,"op":"ping","version":"1.0.0"})"},
      {ControlOperation::status, R"({"id":1,"op":"status","status":{"isActive":true}})"},
      {ControlOperation::status, R"({"id":1,"op":"status","status":{"$class":"NSString"}})"},
      {ControlOperation::status, R"({"id":1,"op":"status","status":"CorvalethHelperStatus"})"},
      {ControlOperation::heartbeat, R"({"id":1,"op":"heartbeat","success":"true"})"},
      {ControlOperation::activate, R"({"id":1,"op":"activate","success":true,"token":5})"},
  };
  for (const auto& [op, packet] : wrong) EXPECT_FALSE(decodeReply(packet, op).value) << packet;
  // The record inside a status reply is read leniently.
  const auto lenient = decodeReply(R"({"id":1,"op":"status","status":{"$class":"CorvalethHelperStatus"}})",
                                   ControlOperation::status);
  ASSERT_TRUE(lenient.value) << lenient.error;
  EXPECT_EQ(std::get<HelperStatus>(lenient.value->result), HelperStatus(false, std::nullopt, 0, 0, "", 0));

  EXPECT_FALSE(decodeGreeting(R"({"hello":"svc","nonce":"ab"})").value);
  EXPECT_FALSE(decodeGreeting(R"({"refused":1})").value);
}

// Replies to ping twice.
class TwiceService : public HelperProtocol {
 public:
  void ping(PingReply reply) override {
    reply("1.0.0");
    reply("again");
  }
  void activate(const Caller&, const std::string&, std::int32_t, ActivateReply) override {}
  void deactivate(const Caller&, const std::string&, DeactivateReply) override {}
  void heartbeat(const std::string&, HeartbeatReply) override {}
  void status(StatusReply) override {}
};

TEST(ControlConnectionTest, ASecondReplyIsDroppedNotSent) {
  const auto logs = std::make_shared<MemoryLogSink>();
  setLogSink(logs);
  TwiceService service;
  ControlConnectionHandler handler(service);
  ipc::ServerConnection connection(ipc::UniqueFd(), ipc::Credentials{4321, 1000, 1000}, PeerProcess());
  ControlRequest ping;
  ping.id = 1;
  EXPECT_EQ(handler.handlePacket(connection, encodeRequest(ping, connection.nonce())),
            R"({"id":1,"op":"ping","version":"1.0.0"})");
  EXPECT_THAT(logs->messages("Listener"), ElementsAre("second reply to ping dropped"));
  setLogSink(nullptr);
}

}  // namespace
}  // namespace helper
