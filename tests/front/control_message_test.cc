// The control messages: request limits that the integration tests and the
// fuzz target do not reach, replies exactly as documented, a client that
// refuses what it did not ask for, clients and helpers of either protocol
// version reading each other, and one reply per request.
#include <gmock/gmock.h>

#include "helper/front/control_connection.h"
#include "helper/front/control_message.h"
#include "tests/support/test_os.h"

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
  const ErrorCode invalidURL{"helper.SessionError", 1}, mismatch{"helper.SessionError", 2};
  const std::pair<ControlResult, const char*> cases[] = {
      {PingResult{"1.0.0"}, R"({"id":5,"op":"ping","version":"1.0.0"})"},
      {ActivateResult{true, "T", std::nullopt, std::nullopt},
       R"({"id":5,"op":"activate","success":true,"token":"T","message":null,"error":null})"},
      {ActivateResult{false, std::nullopt, "Невалидный proxy URL", invalidURL},
       R"({"id":5,"op":"activate","success":false,"token":null,"message":"Невалидный proxy URL",)"
       R"("error":{"domain":"helper.SessionError","code":1}})"},
      {DeactivateResult{true, std::nullopt, std::nullopt},
       R"({"id":5,"op":"deactivate","success":true,"message":null,"error":null})"},
      {DeactivateResult{false, "session token mismatch", mismatch},
       R"({"id":5,"op":"deactivate","success":false,"message":"session token mismatch",)"
       R"("error":{"domain":"helper.SessionError","code":2}})"},
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
      {ControlOperation::activate, R"({"id":1,"op":"activate","success":false,"message":"m","error":"x"})"},
      {ControlOperation::deactivate, R"({"id":1,"op":"deactivate","success":false,"error":{"domain":"d"}})"},
      {ControlOperation::deactivate, R"({"id":1,"op":"deactivate","success":false,"error":{"code":1}})"},
      {ControlOperation::deactivate,
       R"({"id":1,"op":"deactivate","success":false,"error":{"domain":"d","code":1.5}})"},
      {ControlOperation::deactivate,
       R"({"id":1,"op":"deactivate","success":false,"error":{"domain":"d","code":9223372036854775808}})"},
  };
  for (const auto& [op, packet] : wrong) EXPECT_FALSE(decodeReply(packet, op).value) << packet;
  // The record inside a status reply is read leniently.
  const auto lenient = decodeReply(R"({"id":1,"op":"status","status":{"$class":"CorvalethHelperStatus"}})",
                                   ControlOperation::status);
  ASSERT_TRUE(lenient.value) << lenient.error;
  EXPECT_EQ(std::get<HelperStatus>(lenient.value->result), HelperStatus(false, std::nullopt, 0, 0, "", 0));

  for (const char* greeting : {R"({"hello":"svc","nonce":"ab"})", R"({"refused":1})",
                               R"({"refused":"r","error":{"domain":"d","code":"1"}})",
                               R"({"hello":"svc","nonce":"ab","maxPacketSize":9,"protocolVersion":0})",
                               R"({"hello":"svc","nonce":"ab","maxPacketSize":9,"protocolVersion":"2"})"}) {
    EXPECT_FALSE(decodeGreeting(greeting).value) << greeting;
  }
}

// A client of either version reads the other's messages: keys it does not
// know are ignored, and what a version 1 helper leaves out is absent.
TEST(ControlMessageTest, ClientsAndHelpersOfEitherProtocolVersionReadEachOther) {
  const auto v1 = decodeReply(R"({"id":3,"op":"activate","success":false,"token":null,"message":"m"})",
                              ControlOperation::activate);
  ASSERT_TRUE(v1.value) << v1.error;
  const auto& old = std::get<ActivateResult>(v1.value->result);
  EXPECT_EQ(old.message, "m");
  EXPECT_FALSE(old.error);
  const auto later = decodeReply(
      R"({"id":3,"op":"deactivate","success":false,"message":"m","error":{"domain":"d","code":-7,"more":[1]},)"
      R"("added":{"x":[2]}})",
      ControlOperation::deactivate);
  ASSERT_TRUE(later.value) << later.error;
  EXPECT_EQ(std::get<DeactivateResult>(later.value->result).error, (ErrorCode{"d", -7}));

  const auto hello = decodeGreeting(R"({"hello":"svc","nonce":"ab","maxPacketSize":9})");
  ASSERT_TRUE(hello.value) << hello.error;
  EXPECT_EQ(std::get<Hello>(*hello.value).protocolVersion, 1u);
  const auto hello2 = decodeGreeting(R"({"hello":"svc","nonce":"ab","maxPacketSize":9,"protocolVersion":2,"x":{}})");
  ASSERT_TRUE(hello2.value) << hello2.error;
  EXPECT_EQ(std::get<Hello>(*hello2.value).protocolVersion, 2u);
  const auto refusal =
      decodeGreeting(R"({"refused":"r","error":{"domain":"helper.AdmissionError","code":4},"x":null})");
  ASSERT_TRUE(refusal.value) << refusal.error;
  EXPECT_EQ(std::get<Refusal>(*refusal.value).error, (ErrorCode{"helper.AdmissionError", 4}));
  const auto oldRefusal = decodeGreeting(R"({"refused":"r"})");
  ASSERT_TRUE(oldRefusal.value) << oldRefusal.error;
  EXPECT_FALSE(std::get<Refusal>(*oldRefusal.value).error);
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
  test::LoggingOs logs;
  OsScope scope(logs);
  TwiceService service;
  ControlConnectionHandler handler(service);
  ipc::ServerConnection connection(ipc::UniqueFd(), ipc::Credentials{4321, 1000, 1000}, PeerProcess());
  ControlRequest ping;
  ping.id = 1;
  EXPECT_EQ(handler.handlePacket(connection, encodeRequest(ping, connection.nonce())),
            R"({"id":1,"op":"ping","version":"1.0.0"})");
  EXPECT_THAT(logs.messages("Listener"), ElementsAre("second reply to ping dropped"));
}

}  // namespace
}  // namespace helper
