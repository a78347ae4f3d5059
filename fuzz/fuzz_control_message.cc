// Any packet as a control request, a reply, the record of a status reply or
// a greeting: decoding never crashes and says why it refuses; whatever
// decodes re-encodes to the same value (a status record alone as a reply
// writes it); a request that decodes reaches the exported object and comes
// back as exactly one reply of its operation and id that the client reads
// with what the service answered intact.
#include <cstdlib>
#include <string_view>

#include "helper/front/control_connection.h"
#include "helper/protocol/control_message.h"
#include "platform/ipc/packet_server.h"
#include "platform/log/logger.h"

namespace {

using namespace helper;

constexpr std::string_view kNonce = "00112233445566778899aabbccddeeff";

// Answers every operation at once with what it was asked.
class EchoService : public HelperProtocol {
 public:
  void ping(PingReply reply) override { reply("1.0.0"); }
  void activate(const Caller&, const std::string& url, std::int32_t pid, ActivateReply reply) override {
    reply(pid % 2 == 0, url, Failure{url, {url, pid}});
  }
  void deactivate(const Caller&, const std::string& token, DeactivateReply reply) override {
    reply(false, Failure{token, {"d", 7}});
  }
  void heartbeat(const std::string& token, HeartbeatReply reply) override { reply(token.empty()); }
  void status(StatusReply reply) override { reply(HelperStatus(false, std::nullopt, 0, 0, "1.0.0", 0)); }
};

// Keeps the log quiet.
class QuietOs : public helper::Os {
 public:
  void log(const helper::LogRecord&) override {}
};

void check(bool ok) { if (!ok) std::abort(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace helper;
  static QuietOs quiet;
  static const OsScope scope(quiet);
  const std::string_view packet(reinterpret_cast<const char*>(data), size);

  const auto request = decodeRequest(packet, kNonce);
  static EchoService service;
  static ControlConnectionHandler handler(service);
  ipc::ServerConnection connection(ipc::UniqueFd(), ipc::Credentials{1, 0, 0}, PeerProcess());
  check(!handler.handlePacket(connection, packet));  // the connection's nonce is its own, never kNonce
  // Re-encoded for the connection, the request reaches the service intact.
  if (request.ok()) {
    const ControlRequest& r = *request;
    const auto answered = handler.handlePacket(connection, encodeRequest(r, connection.nonce()));
    const auto reply = answered ? decodeReply(*answered, r.op) : Result<ControlReply>(Error{"no reply"});
    check(reply.ok() && reply->id == r.id);
    if (const auto* a = std::get_if<ActivateResult>(&reply->result)) {
      check(a->success == (r.clientPID % 2 == 0) && a->token == r.proxyURL && a->message == r.proxyURL &&
            a->error == ErrorCode{r.proxyURL, r.clientPID});
    }
    if (const auto* d = std::get_if<DeactivateResult>(&reply->result)) {
      check(d->message == r.sessionToken && d->error == ErrorCode{"d", 7});
    }
    if (const auto* h = std::get_if<HeartbeatResult>(&reply->result)) check(h->success == r.sessionToken.empty());
  }

  for (int op = 0; op < 5; ++op) {
    const auto reply = decodeReply(packet, static_cast<ControlOperation>(op));
    if (!reply.ok()) continue;
    check(replyId(packet) == reply->id);
    const std::string text = encodeReply(*reply);
    const auto again = decodeReply(text, static_cast<ControlOperation>(op));
    check(again.ok() && encodeReply(*again) == text);
  }

  const std::string head = R"({"id":1,"op":"status","status":)";
  const auto record = decodeReply(head + std::string(packet) + "}", ControlOperation::status);
  if (record.ok()) {
    const HelperStatus& status = std::get<HelperStatus>(record->result);
    check(encodeReply(*record) == head + encodeStatus(status) + "}");
    const auto again = decodeReply(encodeReply(*record), ControlOperation::status);
    check(again.ok() && std::get<HelperStatus>(again->result) == status);  // its time included
  }

  (void)decodeGreeting(packet);  // any packet is a greeting or a reason
  return 0;
}
