// The soak test's clients: THREADS threads that, for SECONDS, talk to the
// helper at random the way applications and hostile local programs do:
// every operation with right and wrong tokens, unusable URLs, connections
// dropped right after a request, garbage and oversize packets. It counts
// every well-formed request and its replies on the raw packets, so a
// missing, duplicated or foreign reply is seen, and prints one JSON line of
// counts. Signed as the application by the build.
//
// usage: soak_client SECONDS THREADS PROXY_URL
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "helper/front/control_message.h"
#include "platform/ipc/packet_client.h"
#include "platform/paths/paths.h"

namespace helper {
namespace {

std::atomic<long> requests{0}, replies{0}, missing{0}, foreign{0}, dropped{0}, garbage{0}, refusedConnects{0},
    activated{0};
std::mutex tokenMutex;
std::string liveToken;  // the last token handed out, shared by all threads

std::string socketPath() { return paths::rooted("/run/tarn.CorvalethApp.helper.xpc"); }

struct Connection {
  std::unique_ptr<ipc::PacketClient> socket;
  std::string nonce;
  std::uint64_t nextId = 1;
};

// A connection with its hello; false when refused (the cap) or gone.
bool open(Connection& c) {
  std::string error;
  c.socket = ipc::PacketClient::connect(socketPath(), false, &error);
  if (!c.socket) return false;
  const auto greeting = c.socket->receive(65536, 10);
  if (greeting.status != ipc::ReceivedPacket::Status::packet) return false;
  const auto decoded = decodeGreeting(greeting.data);
  if (!decoded.value || !std::holds_alternative<Hello>(*decoded.value)) {
    ++refusedConnects;
    return false;
  }
  c.nonce = std::get<Hello>(*decoded.value).nonce;
  c.nextId = 1;
  return true;
}

// One request and exactly one reply to it: no other packet before it, and
// (checked by the next call) none after it.
std::optional<ControlReply> call(Connection& c, ControlRequest request, double timeout) {
  request.id = c.nextId++;
  ++requests;
  if (c.socket->send(encodeRequest(request, c.nonce)) != 0) {
    ++missing;
    return std::nullopt;
  }
  for (;;) {
    const auto packet = c.socket->receive(65536, timeout);
    if (packet.status != ipc::ReceivedPacket::Status::packet) {
      ++missing;
      return std::nullopt;
    }
    const auto id = replyId(packet.data);
    if (!id || *id != request.id) {
      ++foreign;  // a second reply to an earlier request, or nonsense
      continue;
    }
    const auto reply = decodeReply(packet.data, request.op);
    if (!reply.value) {
      ++foreign;
      return std::nullopt;
    }
    ++replies;
    return reply.value;
  }
}

std::string currentToken() {
  std::lock_guard<std::mutex> guard(tokenMutex);
  return liveToken;
}

void worker(unsigned seed, double seconds, const std::string& proxyURL) {
  std::mt19937 rng(seed);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  Connection c;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!c.socket && !open(c)) {
      usleep(20000);
      c.socket.reset();
      continue;
    }
    const int dice = static_cast<int>(rng() % 100);
    ControlRequest r;
    if (dice < 20) {
      r.op = ControlOperation::ping;
    } else if (dice < 40) {
      r.op = ControlOperation::status;
    } else if (dice < 48) {
      r.op = ControlOperation::activate;
      r.proxyURL = dice < 45 ? proxyURL : "not a url";
      r.clientPID = static_cast<std::int32_t>(getpid());
    } else if (dice < 65) {
      r.op = ControlOperation::heartbeat;
      r.sessionToken = dice < 60 ? currentToken() : "00000000-0000-0000-0000-000000000000";
    } else if (dice < 72) {
      r.op = ControlOperation::deactivate;
      r.sessionToken = dice < 70 ? currentToken() : currentToken() + "x";
    } else if (dice < 78) {
      // A client that vanishes right after asking (an activate half the time).
      r.op = dice < 75 ? ControlOperation::activate : ControlOperation::status;
      r.proxyURL = proxyURL;
      r.id = c.nextId++;
      c.socket->send(encodeRequest(r, c.nonce));
      c.socket.reset();
      ++dropped;
      continue;
    } else if (dice < 83) {
      // Garbage, a wrong nonce, or an oversize packet: the helper closes
      // this connection and nothing else changes.
      std::string junk;
      if (dice == 78) junk = std::string(70000, 'x');
      else if (dice == 79) junk = "{\"nonce\":\"00\",\"id\":1,\"op\":\"ping\"}";
      else for (int i = static_cast<int>(rng() % 200); i > 0; --i) junk += static_cast<char>(rng());
      c.socket->send(junk);
      const auto answer = c.socket->receive(65536, 5);
      if (answer.status == ipc::ReceivedPacket::Status::packet) ++foreign;  // no reply to garbage
      c.socket.reset();
      ++garbage;
      continue;
    } else if (dice < 90) {
      c.socket.reset();  // a fresh connection next time
      continue;
    } else {
      r.op = ControlOperation::ping;
    }
    const auto reply = call(c, r, r.op == ControlOperation::activate ? 120 : 60);
    if (!reply) {
      c.socket.reset();
      continue;
    }
    if (r.op == ControlOperation::activate) {
      const auto& a = std::get<ActivateResult>(reply->result);
      if (a.success && a.token) {
        ++activated;
        std::lock_guard<std::mutex> guard(tokenMutex);
        liveToken = *a.token;
      }
    }
  }
}

}  // namespace
}  // namespace helper

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s SECONDS THREADS PROXY_URL\n", argv[0]);
    return 64;
  }
  const double seconds = std::atof(argv[1]);
  const int threads = std::atoi(argv[2]);
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) workers.emplace_back(helper::worker, 1000u + static_cast<unsigned>(i), seconds, argv[3]);
  for (auto& t : workers) t.join();
  // End the last session, so that no engine is left. An activate sent by a
  // client that then vanished may still be running in the helper and start a
  // session whose token nobody got: take the service over with an activate
  // of our own, then deactivate it, until no session is left.
  helper::Connection c;
  for (int round = 0; round < 5 && helper::open(c); ++round) {
    sleep(1);
    helper::ControlRequest r;
    r.op = helper::ControlOperation::activate;
    r.proxyURL = argv[3];
    r.clientPID = static_cast<std::int32_t>(getpid());
    const auto activated = helper::call(c, r, 120);
    if (!activated) continue;
    r.op = helper::ControlOperation::deactivate;
    r.sessionToken = std::get<helper::ActivateResult>(activated->result).token.value_or("");
    helper::call(c, r, 60);
    r.op = helper::ControlOperation::status;
    const auto status = helper::call(c, r, 60);
    if (status && !std::get<helper::HelperStatus>(status->result).activeProxyHost()) break;
  }
  std::printf("{\"requests\":%ld,\"replies\":%ld,\"missing\":%ld,\"foreign\":%ld,\"dropped\":%ld,\"garbage\":%ld,"
              "\"refusedConnects\":%ld,\"activated\":%ld}\n",
              helper::requests.load(), helper::replies.load(), helper::missing.load(), helper::foreign.load(),
              helper::dropped.load(), helper::garbage.load(), helper::refusedConnects.load(),
              helper::activated.load());
  return 0;
}
