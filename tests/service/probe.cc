// A client of the helper for the integration tests, driven line by line on
// stdin; each command answers one line on stdout. The tests run signed and
// unsigned copies of it. Commands:
//   connect                  -> ok <greeting> | refused <reason> | error <text>
//   connectraw               -> ok        (connects; the greeting is left unread)
//   call ping|status         -> ok <micros> <reply> | closed | timeout
//   call activate URL PID | call heartbeat TOKEN | call deactivate TOKEN
//   send TEXT                -> ok        (one raw packet; $NONCE is replaced)
//   sendsize N               -> ok        (a packet of N bytes)
//   recv SECONDS             -> ok <packet> | closed | timeout
//   forksend TEXT            -> ok <pid>  (a forked child sends the packet)
//   flood N                  -> ok hello=A refused=B failed=C (kept open)
//   unflood                  -> ok
//   close                    -> ok
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "helper/front/control_message.h"
#include "helper/front/helper_constants.h"
#include "platform/ipc/packet_client.h"
#include "platform/paths/paths.h"

using namespace helper;
using Status = ipc::ReceivedPacket::Status;

namespace {

std::unique_ptr<ipc::PacketClient> connection;
std::string nonce;
std::uint64_t nextId = 1;
std::vector<std::unique_ptr<ipc::PacketClient>> flooded;

double now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string socketPath() { return paths::rooted(kControlSocketPath); }

std::string describe(const ipc::ReceivedPacket& p) {
  switch (p.status) {
    case Status::packet:
      return "ok " + p.data;
    case Status::closed:
      return "closed";
    case Status::timeout:
      return "timeout";
    default:
      return "error " + std::to_string(p.error);
  }
}

std::string doConnect() {
  std::string error;
  connection = ipc::PacketClient::connect(socketPath(), false, &error);
  if (!connection) return "error " + error;
  const ipc::ReceivedPacket first = connection->receive(65536, 10);
  if (first.status != Status::packet) return describe(first);
  const auto greeting = decodeGreeting(first.data);
  if (!greeting.value) return "error bad greeting " + first.data;
  if (const auto* r = std::get_if<Refusal>(&*greeting.value)) return "refused " + r->reason;
  nonce = std::get<Hello>(*greeting.value).nonce;
  return "ok " + first.data;
}

std::string substitute(std::string text) {
  for (std::size_t at; (at = text.find("$NONCE")) != std::string::npos;) text.replace(at, 6, nonce);
  return text;
}

std::string doCall(std::istringstream& in) {
  if (!connection) return "error not connected";
  std::string op;
  in >> op;
  ControlRequest r;
  const auto parsed = operationNamed(op);
  if (!parsed) return "error unknown op " + op;
  r.op = *parsed;
  r.id = nextId++;
  if (r.op == ControlOperation::activate) in >> r.proxyURL >> r.clientPID;
  if (r.op == ControlOperation::heartbeat || r.op == ControlOperation::deactivate) in >> r.sessionToken;
  const double start = now();
  if (connection->send(encodeRequest(r, nonce)) != 0) return "closed";
  const ipc::ReceivedPacket reply = connection->receive(65536, 120);
  if (reply.status != Status::packet) return describe(reply);
  return "ok " + std::to_string(static_cast<long long>((now() - start) * 1e6)) + " " + reply.data;
}

std::string doFlood(int n) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  // Connect all first, so they arrive at once; then read each greeting.
  int failed = 0;
  for (int i = 0; i < n; ++i) {
    std::string error;
    auto c = ipc::PacketClient::connect(socketPath(), false, &error);
    if (c) {
      flooded.push_back(std::move(c));
    } else {
      ++failed;
    }
  }
  int hello = 0, refused = 0;
  for (auto& c : flooded) {
    const ipc::ReceivedPacket p = c->receive(65536, 30);
    if (p.status == Status::packet && p.data.find("\"hello\"") != std::string::npos) {
      ++hello;
    } else if (p.status == Status::packet && p.data.find("\"refused\"") != std::string::npos) {
      ++refused;
    } else {
      ++failed;
    }
  }
  return "ok hello=" + std::to_string(hello) + " refused=" + std::to_string(refused) +
         " failed=" + std::to_string(failed);
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    std::string rest;
    std::getline(in >> std::ws, rest);
    std::istringstream args(rest);
    std::string out;
    if (command == "connect") {
      out = doConnect();
    } else if (command == "connectraw") {
      std::string error;
      connection = ipc::PacketClient::connect(socketPath(), false, &error);
      out = connection ? "ok" : "error " + error;
    } else if (command == "call") {
      out = doCall(args);
    } else if (command == "send" || command == "sendsize") {
      const std::string packet = command == "send" ? substitute(rest) : std::string(std::stoul(rest), 'x');
      out = connection && connection->send(packet) == 0 ? "ok" : "closed";
    } else if (command == "recv") {
      out = connection ? describe(connection->receive(65536, std::stod(rest))) : "closed";
    } else if (command == "forksend") {
      const pid_t child = fork();
      if (child == 0) _exit(connection && connection->send(substitute(rest)) == 0 ? 0 : 1);
      waitpid(child, nullptr, 0);
      out = "ok " + std::to_string(child);
    } else if (command == "flood") {
      out = doFlood(std::stoi(rest));
    } else if (command == "unflood") {
      flooded.clear();
      out = "ok";
    } else if (command == "close") {
      connection.reset();
      out = "ok";
    } else if (command == "quit") {
      return 0;
    } else {
      out = "error unknown command " + command;
    }
    std::cout << out << std::endl;
  }
  return 0;
}
