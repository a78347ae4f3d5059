// The service in this process behind a real socket, which ThreadSanitizer
// sees both ends of. Sixteen clients issue random operations for 20 s, with
// the watchdog expiring sessions and a stale image marked half-way: every
// request must get exactly one reply of its own, nothing may deadlock, and
// the state must be consistent at the end.
#include <gmock/gmock.h>

#include <random>

#include "helper/front/control_connection.h"
#include "helper/protocol/control_message.h"
#include "helper/protocol/helper_constants.h"
#include "helper/session/helper_service_impl.h"
#include "platform/ipc/packet_client.h"
#include "platform/ipc/packet_server.h"
#include "tests/engine/engine_fixture.h"

namespace helper::test {
namespace {

using Status = ipc::ReceivedPacket::Status;

constexpr int kClients = 16;
constexpr double kSeconds = 20;

// A service of its own per test, with short engine timings, a watchdog
// that expires sessions silent for half a second and an exit that is only
// recorded, served behind a socket of the test's own whose listener admits
// every client (admission is the real helper's: attack_test).
class ConcurrencyTest : public EngineFixture, public ipc::PacketServer::Delegate {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    HelperServiceImpl::Options o;
    o.engine = fastTimings();
    o.heartbeatTimeout = 0.5;
    o.watchdogInterval = 0.05;
    o.exitDelay = 0.01;
    service_ = std::make_unique<HelperServiceImpl>(o);
    ipc::PacketServer::Options s;
    s.socketPath = tmp_.file("control.sock");
    s.serviceName = HelperConstants::machServiceName;
    s.useSocketActivation = false;
    server_ = std::make_unique<ipc::PacketServer>(s, *this);
    EXPECT_TRUE(server_->resume());
  }
  void TearDown() override {
    server_.reset();
    service_.reset();
    EngineFixture::TearDown();
  }
  bool shouldAcceptNewConnection(ipc::PacketServer&, ipc::ServerConnection& connection) override {
    connection.setHandler(std::make_shared<ControlConnectionHandler>(*service_));
    connection.resume();
    return true;
  }

  std::unique_ptr<HelperServiceImpl> service_;
  std::unique_ptr<ipc::PacketServer> server_;
};

// One client's connection, strict about replies: the reply's id and
// operation must be the request's, and nothing may follow it.
class StrictClient {
 public:
  explicit StrictClient(const std::string& path) { connect(path); }

  void connect(const std::string& path) {
    auto connected = ipc::PacketClient::connect(path, false);
    ASSERT_TRUE(connected) << connected.error().message;
    socket_ = std::move(*connected);
    const auto greeting = decodeGreeting(socket_->receive(65536, 30).data);
    ASSERT_TRUE(greeting.ok() && std::holds_alternative<Hello>(*greeting));
    nonce_ = std::get<Hello>(*greeting).nonce;
  }

  // Empty on success; otherwise what went wrong.
  std::string call(ControlRequest request, ControlResult* result) {
    request.id = nextId_++;
    if (!socket_->send(encodeRequest(request, nonce_))) return "send failed";
    const auto reply = socket_->receive(65536, 60);
    if (reply.status != Status::packet) return "no reply to " + std::string(operationName(request.op));
    const auto decoded = decodeReply(reply.data, request.op);
    if (!decoded.ok()) return "bad reply " + reply.data + ": " + decoded.error().message;
    if (decoded->id != request.id) return "reply for id " + std::to_string(decoded->id);
    const auto extra = socket_->receive(65536, 0);
    if (extra.status != Status::timeout) return "a second packet after the reply: " + extra.data;
    *result = decoded->result;
    return "";
  }

 private:
  std::unique_ptr<ipc::PacketClient> socket_;
  std::string nonce_;
  std::uint64_t nextId_ = 1;
};

TEST_F(ConcurrencyTest, SixteenClientsGetExactlyOneReplyPerRequestWithoutDeadlock) {
  setKnobs({{"tun_delay_ms", "20"}});

  std::atomic<bool> stop{false};
  std::atomic<long> requests{0};
  std::mutex mutex;
  std::vector<std::string> tokens;  // every token handed out
  std::vector<std::string> errors;
  auto fail = [&](const std::string& what) {
    std::lock_guard<std::mutex> guard(mutex);
    if (errors.size() < 20) errors.push_back(what);
  };

  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      std::mt19937 random(static_cast<unsigned>(c * 7919 + 1));
      StrictClient client(tmp_.file("control.sock"));
      std::string myToken;
      while (!stop) {
        const unsigned pick = random() % 100, coin = random();
        if (pick >= 88) {  // now and then a new connection (the old one closes), or a pause
          if (pick < 92) client.connect(tmp_.file("control.sock"));
          std::this_thread::sleep_for(std::chrono::milliseconds(pick < 92 ? 0 : coin % 20));
          continue;
        }
        using Op = ControlOperation;
        ControlRequest r;
        r.op = pick < 20 ? Op::ping : pick < 40 ? Op::status : pick < 48 ? Op::activate : pick < 78 ? Op::heartbeat : Op::deactivate;
        // Some unusable URLs (answered without the lock) and wrong tokens.
        r.proxyURL = coin % 4 == 0 ? "socks5://" : "socks5://192.0.2." + std::to_string(c + 1) + ":1080";
        r.clientPID = 1000 + c;
        r.sessionToken = coin % 5 == 0 ? "00000000-0000-0000-0000-000000000000" : coin % 3 == 0 ? "wrong" : myToken;
        ControlResult result;
        const std::string error = client.call(r, &result);
        ++requests;
        if (!error.empty()) return fail("client " + std::to_string(c) + ": " + error);
        if (const auto* a = std::get_if<ActivateResult>(&result)) {
          if (a->success != a->token.has_value() || a->success == a->message.has_value()) fail("inconsistent activate reply");
          if (a->success) {
            myToken = *a->token;
            std::lock_guard<std::mutex> guard(mutex);
            tokens.push_back(myToken);
          } else if (r.proxyURL != "socks5://") {
            fail("a start failed: " + a->message.value_or("(none)"));
          }
        }
        if (const auto* s = std::get_if<HelperStatus>(&result)) {
          if (s->helperVersion() != "1.0.0" || (s->isActive() && !s->activeProxyHost())) fail("inconsistent status record");
        }
      }
    });
  }

  // Half-way, the executable is "replaced": the exit is scheduled (and
  // recorded) as soon as no heartbeating session is live.
  std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds / 2));
  service_->markStaleImage();
  std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds / 2));
  stop = true;
  for (auto& t : clients) t.join();

  for (const auto& e : errors) ADD_FAILURE() << e;
  EXPECT_GT(requests, 300);
  EXPECT_GT(tokens.size(), 5u);
  EXPECT_THAT(os_.exitsSoFar(), ::testing::AnyOf(::testing::ElementsAre(), ::testing::ElementsAre(0))) << "at most one exit";
  std::sort(tokens.begin(), tokens.end());
  EXPECT_EQ(std::adjacent_find(tokens.begin(), tokens.end()), tokens.end()) << "a token was handed out twice";
  // The service still answers.
  ControlRequest ping;
  ControlResult pong;
  EXPECT_EQ(StrictClient(tmp_.file("control.sock")).call(ping, &pong), "");
}

}  // namespace
}  // namespace helper::test
