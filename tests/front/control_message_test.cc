// The control messages: the helper's rules for requests with the reasons it
// logs, the client's for replies and greetings of either protocol version,
// replies exactly as documented and the status record's defaults. (That a
// request gets one reply and no more is the service concurrency test's.)
#include <gtest/gtest.h>

#include "helper/protocol/control_message.h"

namespace helper {
namespace {

using Op = ControlOperation;

constexpr const char* kNonce = "00112233445566778899aabbccddeeff";

std::string request(const std::string& fields) { return R"({"nonce":")" + std::string(kNonce) + "\"," + fields + "}"; }

// Each reader gives what it accepts back as its writer writes it, and for
// what it refuses the reason it gives.
std::string asRequest(std::string_view packet) {
  const auto decoded = decodeRequest(packet, kNonce);
  return decoded.ok() ? encodeRequest(*decoded, kNonce) : decoded.error().message;
}
template <Op op>
std::string asReply(std::string_view packet) {
  const auto decoded = decodeReply(packet, op);
  return decoded.ok() ? encodeReply(*decoded) : decoded.error().message;
}
// "hello <nonce> <size> v<version>" or "refused <reason>[ <domain> <code>]".
std::string asGreeting(std::string_view packet) {
  const auto decoded = decodeGreeting(packet);
  if (!decoded.ok()) return decoded.error().message;
  if (const auto* h = std::get_if<Hello>(&*decoded)) {
    return "hello " + h->nonce + " " + std::to_string(h->maxPacketSize) + " v" + std::to_string(h->protocolVersion);
  }
  const auto& r = std::get<Refusal>(*decoded);
  return "refused " + r.reason + (r.error ? " " + r.error->domain + " " + std::to_string(r.error->code) : "");
}

TEST(ControlMessageTest, PacketsDecodeOnlyWithinTheirRules) {
  const std::string pid = "\"clientPID\" must be a signed 32-bit integer", id = "\"id\" must be an integer from 0 to 2^53-1",
                    code = "\"error\" must be null or an object with a string \"domain\" and an integer \"code\"",
                    record = "\"status\" must be a record of class CorvalethHelperStatus",
                    version = "\"protocolVersion\" must be a positive integer";
  const std::tuple<std::string (*)(std::string_view), std::string, std::string> cases[] = {
      // Requests as the helper reads them.
      {asRequest,
       request(R"("x":[[1]],"id":9007199254740991,"op":"activate","proxyURL":"прокси:1","clientPID":-2147483648)"),
       request(R"("id":9007199254740991,"op":"activate","proxyURL":"прокси:1","clientPID":-2147483648)")},
      {asRequest, request(R"("op":"heartbeat","clientPID":"x","sessionToken":"a\"b","id":0)"),
       request(R"("id":0,"op":"heartbeat","sessionToken":"a\"b")")},
      {asRequest, request(R"("id":1,"op":"activate","proxyURL":"","clientPID":2147483647)"),
       request(R"("id":1,"op":"activate","proxyURL":"","clientPID":2147483647)")},
      {asRequest, request(R"("id":3,"op":"status","sessionToken":5)"), request(R"("id":3,"op":"status")")},
      {asRequest, "", "empty packet"},
      {asRequest, "garbage", "not JSON"},
      {asRequest, request(R"("id":1,"op":"ping")") + std::string(1, '\0') + "x", "not JSON"},
      {asRequest, "7", "not a JSON object"},
      {asRequest, "[1,", "not a JSON object"},
      {asRequest, request(R"("id":1,"op":"ping","x":[[[1]]])"), "nested too deeply"},
      {asRequest, request(R"("id":1,"op":"ping","x":{"y":{"z":{}}})"), "nested too deeply"},
      {asRequest, R"({"x":)" + std::string(60000, '['), "nested too deeply"},
      {asRequest, R"({"id":1,"op":"ping"})", "\"nonce\" must be a string"},
      {asRequest, R"({"nonce":"00112233445566778899aabbccddeefF","id":1,"op":"ping"})", "wrong nonce"},
      {asRequest, R"({"nonce":"00112233445566778899aabbccddeeff0","id":1,"op":"ping"})", "wrong nonce"},
      {asRequest, request(R"("id":9007199254740992,"op":"ping")"), id},
      {asRequest, request(R"("id":-0,"op":"ping")"), id},
      {asRequest, request(R"("id":1.0,"op":"ping")"), id},
      {asRequest, request(R"("id":1)"), "\"op\" must be a string"},
      {asRequest, request(R"("id":1,"op":"Ping")"), "unknown operation"},
      {asRequest, request(R"("id":1,"op":"activate","clientPID":1)"), "\"proxyURL\" must be a string"},
      {asRequest, request(R"("id":1,"op":"activate","proxyURL":"h:1","clientPID":2147483648)"), pid},
      {asRequest, request(R"("id":1,"op":"activate","proxyURL":"h:1","clientPID":-2147483649)"), pid},
      {asRequest, request(R"("id":1,"op":"activate","proxyURL":"h:1","clientPID":1.0)"), pid},
      {asRequest, request(R"("id":1,"op":"heartbeat")"), "\"sessionToken\" must be a string"},
      {asRequest, request(R"("id":1,"op":"deactivate","sessionToken":null)"), "\"sessionToken\" must be a string"},
      // Replies and greetings as the client reads them: keys it does not know
      // are ignored, and what a version 1 helper leaves out is absent.
      {asReply<Op::activate>, R"({"id":3,"op":"activate","success":false,"token":null,"message":"m"})",
       R"({"id":3,"op":"activate","success":false,"token":null,"message":"m","error":null})"},
      {asReply<Op::deactivate>,
       R"({"id":3,"op":"deactivate","success":false,"message":"m","error":{"domain":"d","code":-7,"x":[1]},"y":{"z":[]}})",
       R"({"id":3,"op":"deactivate","success":false,"message":"m","error":{"domain":"d","code":-7}})"},
      {asReply<Op::status>, R"({"id":1,"op":"ping","version":"1.0.0"})", R"(a reply to "ping" where "status" was asked)"},
      {asReply<Op::ping>, R"({"id":1,"op":"status","version":"1.0.0"})", R"(a reply to "status" where "ping" was asked)"},
      {asReply<Op::ping>, R"({"op":"ping","version":"1.0.0"})", id},
      {asReply<Op::ping>, R"({"id":1,"op":"ping","version":null})", "\"version\" must be a string"},
      {asReply<Op::status>, R"({"id":1,"op":"status","status":{"isActive":true}})", record},
      {asReply<Op::status>, R"({"id":1,"op":"status","status":{"$class":"NSString"}})", record},
      {asReply<Op::heartbeat>, R"({"id":1,"op":"heartbeat","success":"true"})", "\"success\" must be true or false"},
      {asReply<Op::activate>, R"({"id":1,"op":"activate","success":true,"token":5})", "\"token\" must be a string or null"},
      {asReply<Op::deactivate>, R"({"id":1,"op":"deactivate","success":false,"message":1})",
       "\"message\" must be a string or null"},
      {asReply<Op::deactivate>, R"({"id":1,"op":"deactivate","success":false,"error":{"domain":"d"}})", code},
      {asReply<Op::deactivate>, R"({"id":1,"op":"deactivate","success":false,"error":{"code":1}})", code},
      {asReply<Op::deactivate>, R"({"id":1,"op":"deactivate","success":false,"error":{"domain":"d","code":1.5}})", code},
      {asReply<Op::deactivate>,
       R"({"id":1,"op":"deactivate","success":false,"error":{"domain":"d","code":9223372036854775808}})", code},
      {asGreeting, R"({"hello":"svc","nonce":"ab","maxPacketSize":9})", "hello ab 9 v1"},
      {asGreeting, R"({"hello":"svc","nonce":"ab","maxPacketSize":9,"protocolVersion":2,"x":{}})", "hello ab 9 v2"},
      {asGreeting, R"({"hello":"svc","nonce":"ab","maxPacketSize":9,"protocolVersion":1})", "hello ab 9 v1"},
      {asGreeting, R"({"refused":"r","error":{"domain":"d","code":4},"x":null})", "refused r d 4"},
      {asGreeting, R"({"refused":"r"})", "refused r"},
      {asGreeting, R"({"nonce":"ab","maxPacketSize":9})", "\"hello\" must be a string"},
      {asGreeting, R"({"hello":"svc","nonce":"ab"})", "\"maxPacketSize\" must be a positive integer"},
      {asGreeting, R"({"hello":"svc","nonce":"ab","maxPacketSize":9,"protocolVersion":0})", version},
      {asGreeting, R"({"hello":"svc","nonce":"ab","maxPacketSize":9,"protocolVersion":"2"})", version},
      {asGreeting, R"({"refused":1})", "\"refused\" must be a string"},
  };
  for (const auto& [read, packet, outcome] : cases) EXPECT_EQ(read(packet), outcome) << packet.substr(0, 120);
}

// The texts other clients are written from, and what the client reads
// back from them.
TEST(ControlMessageTest, RepliesAreExactlyTheDocumentedText) {
  const std::pair<ControlResult, const char*> cases[] = {
      {PingResult{"1.0.0"}, R"({"id":5,"op":"ping","version":"1.0.0"})"},
      {ActivateResult{true, "T", std::nullopt, std::nullopt},
       R"({"id":5,"op":"activate","success":true,"token":"T","message":null,"error":null})"},
      {ActivateResult{false, std::nullopt, "Невалидный proxy URL", ErrorCode{"helper.SessionError", 1}},
       R"({"id":5,"op":"activate","success":false,"token":null,"message":"Невалидный proxy URL",)"
       R"("error":{"domain":"helper.SessionError","code":1}})"},
      {DeactivateResult{false, "session token mismatch", ErrorCode{"helper.SessionError", 2}},
       R"({"id":5,"op":"deactivate","success":false,"message":"session token mismatch",)"
       R"("error":{"domain":"helper.SessionError","code":2}})"},
      {HeartbeatResult{false}, R"({"id":5,"op":"heartbeat","success":false})"},
      {HelperStatus(true, "proxy.example", 1765038600.125, 0, "1.0.0", 0),
       R"({"id":5,"op":"status","status":{"$class":"CorvalethHelperStatus","isActive":true,"host":"proxy.example",)"
       R"("since":1765038600.125,"sessions":0,"version":"1.0.0","bridgePort":0}})"},
      // JSON has no infinity; bytes that are not UTF-8 become U+FFFD.
      {HelperStatus(false, std::nullopt, -std::numeric_limits<double>::infinity(), -3, "в\xff", INT64_MAX),
       R"({"id":5,"op":"status","status":{"$class":"CorvalethHelperStatus","isActive":false,"host":null,)"
       R"("since":0.0,"sessions":-3,"version":"в�","bridgePort":9223372036854775807}})"},
  };
  for (const auto& [result, text] : cases) {
    EXPECT_EQ(encodeReply(ControlReply{5, result}), text);
    const auto back = decodeReply(text, static_cast<ControlOperation>(result.index()));
    EXPECT_EQ(back.ok() ? encodeReply(*back) : back.error().message, text);
  }
}

// A reader must take the defaults rather than fail.
TEST(ControlMessageTest, StatusRecordsTakeDefaultsForMissingOrMistypedKeys) {
  const std::pair<const char*, HelperStatus> cases[] = {
      {R"("isActive":true,"host":"h","since":1733500000,"sessions":1,"version":"1.0.0","bridgePort":9223372036854775807)",
       HelperStatus(true, "h", 1733500000, 1, "1.0.0", INT64_MAX)},
      {R"("isActive":"yes","host":42,"since":"now","sessions":1.5,"version":7,"bridgePort":true,"x":{"y":1})",
       HelperStatus(false, std::nullopt, 0, 0, "", 0)},
      {R"("isActive":1,"host":null,"since":5.5,"sessions":-9223372036854775808,"bridgePort":9223372036854775808)",
       HelperStatus(false, std::nullopt, 5.5, INT64_MIN, "", 0)},
  };
  for (const auto& [fields, expected] : cases) {
    const auto decoded =
        decodeReply(R"({"id":1,"op":"status","status":{)" + std::string(fields) + R"(,"$class":"CorvalethHelperStatus"}})",
                    ControlOperation::status);
    ASSERT_TRUE(decoded.ok()) << fields << ": " << decoded.error().message;
    EXPECT_EQ(std::get<HelperStatus>(decoded->result), expected) << fields;
  }
}

}  // namespace
}  // namespace helper
