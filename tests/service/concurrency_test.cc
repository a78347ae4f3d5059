// Sixteen clients issue random operations for 20 s against the service in
// this process, with the watchdog ticking and expiring sessions and a stale
// image marked half-way. Every request must get exactly one reply of its
// own kind, nothing may deadlock, and the state must be consistent at the
// end. The ThreadSanitizer build runs this test.
#include <gmock/gmock.h>

#include <atomic>
#include <iostream>
#include <random>
#include <thread>

#include "helper/front/control_message.h"
#include "platform/ipc/packet_client.h"
#include "tests/service/in_process.h"

namespace helper::test {
namespace {

using Status = ipc::ReceivedPacket::Status;

constexpr int kClients = 16;
constexpr double kSeconds = 20;

class ConcurrencyTest : public InProcessFixture {};

// One client's connection, strict about replies: the reply's id and
// operation must be the request's, and nothing may follow it.
class StrictClient {
 public:
  explicit StrictClient(const std::string& path) { connect(path); }

  void connect(const std::string& path) {
    std::string error;
    socket_ = ipc::PacketClient::connect(path, false, &error);
    ASSERT_NE(socket_, nullptr) << error;
    const auto hello = socket_->receive(65536, 30);
    ASSERT_EQ(hello.status, Status::packet);
    const auto greeting = decodeGreeting(hello.data);
    ASSERT_TRUE(greeting.value && std::holds_alternative<Hello>(*greeting.value)) << hello.data;
    nonce_ = std::get<Hello>(*greeting.value).nonce;
  }

  // Empty on success; otherwise what went wrong.
  std::string call(ControlRequest request, ControlResult* result) {
    request.id = nextId_++;
    if (socket_->send(encodeRequest(request, nonce_)) != 0) return "send failed";
    const auto reply = socket_->receive(65536, 60);
    if (reply.status != Status::packet) return "no reply to " + std::string(operationName(request.op));
    const auto decoded = decodeReply(reply.data, request.op);
    if (!decoded.value) return "bad reply " + reply.data + ": " + decoded.error;
    if (decoded.value->id != request.id) return "reply for id " + std::to_string(decoded.value->id);
    const auto extra = socket_->receive(65536, 0);
    if (extra.status != Status::timeout) return "a second packet after the reply: " + extra.data;
    *result = decoded.value->result;
    return "";
  }

 private:
  std::unique_ptr<ipc::PacketClient> socket_;
  std::string nonce_;
  std::uint64_t nextId_ = 1;
};

TEST_F(ConcurrencyTest, SixteenClientsGetExactlyOneReplyPerRequestWithoutDeadlock) {
  HelperServiceImpl::Options options;
  options.heartbeatTimeout = 0.5;
  options.watchdogInterval = 0.05;
  options.exitDelay = 0.01;
  std::atomic<int> exits{0};
  options.exitProcess = [&](int status) {
    EXPECT_EQ(status, 0);
    ++exits;
  };
  startService(options);
  setKnobs({{"tun_delay_ms", "20"}});

  std::atomic<bool> stop{false};
  std::atomic<long> requests{0}, activations{0}, failedStarts{0};
  std::mutex tokensMutex;
  std::vector<std::string> tokens;  // every token handed out
  std::vector<std::string> errors;
  std::mutex errorsMutex;
  auto fail = [&](const std::string& what) {
    std::lock_guard<std::mutex> guard(errorsMutex);
    if (errors.size() < 20) errors.push_back(what);
  };

  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      std::mt19937 random(static_cast<unsigned>(c * 7919 + 1));
      StrictClient client(socketPath_);
      std::string myToken;
      while (!stop) {
        ControlRequest r;
        const int pick = static_cast<int>(random() % 100);
        if (pick < 20) {
          r.op = ControlOperation::ping;
        } else if (pick < 40) {
          r.op = ControlOperation::status;
        } else if (pick < 48) {
          r.op = ControlOperation::activate;
          // Some unusable URLs: answered without the lock.
          r.proxyURL = random() % 4 == 0 ? "socks5://" : "socks5://192.0.2." + std::to_string(c + 1) + ":1080";
          r.clientPID = 1000 + c;
        } else if (pick < 78) {
          r.op = ControlOperation::heartbeat;
          r.sessionToken = random() % 5 == 0 ? "00000000-0000-0000-0000-000000000000" : myToken;
        } else if (pick < 88) {
          r.op = ControlOperation::deactivate;
          r.sessionToken = random() % 3 == 0 ? "wrong" : myToken;
        } else if (pick < 92) {
          // A new connection now and then; the old one closes.
          client.connect(socketPath_);
          continue;
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
          continue;
        }
        ControlResult result;
        const std::string error = client.call(r, &result);
        ++requests;
        if (!error.empty()) {
          fail("client " + std::to_string(c) + ": " + error);
          return;
        }
        if (const auto* a = std::get_if<ActivateResult>(&result)) {
          if (a->success != a->token.has_value() || a->success == a->message.has_value()) {
            fail("inconsistent activate reply");
          }
          if (a->success) {
            myToken = *a->token;
            ++activations;
            std::lock_guard<std::mutex> guard(tokensMutex);
            tokens.push_back(myToken);
          } else if (r.proxyURL != "socks5://") {
            ++failedStarts;
          } else if (a->message != "Невалидный proxy URL") {
            fail("wrong refusal: " + a->message.value_or("(none)"));
          }
        }
        if (const auto* s = std::get_if<HelperStatus>(&result)) {
          if (s->helperVersion() != "1.0.0" || (s->isActive() && !s->activeProxyHost())) {
            fail("inconsistent status record");
          }
        }
        if (const auto* d = std::get_if<DeactivateResult>(&result)) {
          if (!d->success && d->message != "session token mismatch") fail("wrong deactivate refusal");
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
  std::cout << requests << " requests, " << activations << " sessions started, " << exits
            << " exit(s) recorded after the stale mark\n";
  EXPECT_GT(requests, 300);
  EXPECT_GT(activations, 5);
  EXPECT_EQ(failedStarts, 0);
  background_.waitUntilIdle();
  EXPECT_LE(exits, 1) << "the exit was scheduled more than once";
  // Every token was unique.
  std::sort(tokens.begin(), tokens.end());
  EXPECT_EQ(std::adjacent_find(tokens.begin(), tokens.end()), tokens.end());
  // The service still answers, and at most one engine runs.
  auto last = client();
  EXPECT_EQ(last->ping(), "1.0.0");
  const HelperStatus s = last->status();
  EXPECT_EQ(s.helperVersion(), "1.0.0");
}

}  // namespace
}  // namespace helper::test
