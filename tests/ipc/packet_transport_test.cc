// The control transport against real sockets and processes: the greeting
// comes first, replies come in order, and what a hostile peer can send (too
// much, descriptors, packets from another process, too many connections)
// closes its connection and nothing else.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "platform/ipc/packet_client.h"
#include "platform/ipc/packet_server.h"
#include "platform/log/logger.h"
#include "tests/support/test_env.h"

namespace helper::ipc {
namespace {

using ::testing::HasSubstr;
using Status = ReceivedPacket::Status;

// Answers "echo:<packet>"; "close" closes; "slow" takes 300 ms.
class EchoHandler : public PacketHandler {
 public:
  std::optional<std::string> handlePacket(ServerConnection&, std::string_view packet) override {
    if (packet == "close") return std::nullopt;
    if (packet == "slow") std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return "echo:" + std::string(packet);
  }
};

class TestDelegate : public PacketServer::Delegate {
 public:
  bool shouldAcceptNewConnection(PacketServer&, ServerConnection& connection) override {
    ++admissions;
    lastPeerPid = connection.peer().pid();
    if (!accept) return false;
    connection.setHandler(std::make_shared<EchoHandler>());
    if (resume) connection.resume();
    return true;
  }
  std::atomic<bool> accept{true};
  std::atomic<bool> resume{true};
  std::atomic<int> admissions{0};
  std::atomic<pid_t> lastPeerPid{0};
};

class PacketTransportTest : public ::testing::Test {
 protected:
  void SetUp() override { setLogSink(logs_); }
  void TearDown() override {
    server_.reset();
    setLogSink(nullptr);
  }

  PacketServer& start(std::size_t maxPacket = 1024, std::size_t maxConnections = 8) {
    PacketServer::Options options;
    options.socketPath = path_;
    options.serviceName = "test.service";
    options.maxPacketSize = maxPacket;
    options.maxConnections = maxConnections;
    options.useSocketActivation = false;
    server_ = std::make_unique<PacketServer>(options, delegate_);
    const std::string error = server_->resume();
    EXPECT_EQ(error, "");
    return *server_;
  }

  // A connection whose greeting was read; its nonce in `nonce`.
  UniqueFd connectAndGreet(std::string* greeting = nullptr) {
    std::string error;
    UniqueFd fd = connectSocket(path_, &error);
    EXPECT_TRUE(fd.valid()) << error;
    const ReceivedPacket hello = receivePacket(fd.get(), 4096, 5);
    EXPECT_EQ(hello.status, Status::packet);
    if (greeting) *greeting = hello.data;
    return fd;
  }

  std::string roundTrip(int fd, const std::string& packet) {
    EXPECT_EQ(sendPacket(fd, packet, 5), 0);
    const ReceivedPacket reply = receivePacket(fd, 4096, 5);
    return reply.status == Status::packet ? reply.data : "<status " + std::to_string(int(reply.status)) + ">";
  }

  std::vector<std::string> listenerLines() const { return logs_->messages("Listener"); }

  test::TempDir tmp_;
  std::string path_ = tmp_.file("control.sock");
  TestDelegate delegate_;
  std::unique_ptr<PacketServer> server_;
  std::shared_ptr<MemoryLogSink> logs_ = std::make_shared<MemoryLogSink>();
};

TEST_F(PacketTransportTest, TheGreetingComesFirstAndRepliesComeInOrder) {
  start();
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0666u);

  std::string first, second;
  UniqueFd a = connectAndGreet(&first);
  UniqueFd b = connectAndGreet(&second);
  const auto hello = nlohmann::json::parse(first);
  EXPECT_EQ(hello["hello"], "test.service");
  EXPECT_EQ(hello["maxPacketSize"], 1024);
  EXPECT_THAT(hello["nonce"].get<std::string>(), ::testing::MatchesRegex("[0-9a-f]{32}"));
  EXPECT_NE(nlohmann::json::parse(second)["nonce"], hello["nonce"]);
  EXPECT_EQ(delegate_.lastPeerPid, getpid());

  // Three requests in a row, read afterwards: one reply each, in order.
  for (const char* p : {"one", "slow", "three"}) ASSERT_EQ(sendPacket(a.get(), p, 5), 0);
  // Meanwhile the other connection is served at once.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(roundTrip(b.get(), "fast"), "echo:fast");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
  for (const char* expected : {"echo:one", "echo:slow", "echo:three"}) {
    const ReceivedPacket r = receivePacket(a.get(), 4096, 5);
    ASSERT_EQ(r.status, Status::packet);
    EXPECT_EQ(r.data, expected);
  }
  // An empty packet is a packet, not the end of the connection.
  EXPECT_EQ(roundTrip(a.get(), ""), "echo:");
}

TEST_F(PacketTransportTest, ARefusedConnectionHearsWhyAndIsClosed) {
  start();
  for (int variant = 0; variant < 2; ++variant) {
    delegate_.accept = variant == 0 ? false : true;
    delegate_.resume = variant == 0 ? true : false;  // accepted but never resumed counts as refused
    std::string error;
    UniqueFd fd = connectSocket(path_, &error);
    ASSERT_TRUE(fd.valid()) << error;
    const ReceivedPacket refusal = receivePacket(fd.get(), 4096, 5);
    ASSERT_EQ(refusal.status, Status::packet);
    EXPECT_THAT(refusal.data, HasSubstr("\"refused\":\"this program is not allowed to use the helper"));
    EXPECT_EQ(receivePacket(fd.get(), 4096, 5).status, Status::closed);
  }
  EXPECT_EQ(server_->connectionCount(), 0u);
}

TEST_F(PacketTransportTest, OversizePacketsAndPacketsWithDescriptorsCloseTheConnection) {
  start(/*maxPacket=*/1024);
  UniqueFd fits = connectAndGreet();
  EXPECT_EQ(roundTrip(fits.get(), std::string(1024 - 5, 'x')).size(), 1024u);

  UniqueFd big = connectAndGreet();
  ASSERT_EQ(sendPacket(big.get(), std::string(1025, 'x'), 5), 0);
  EXPECT_EQ(receivePacket(big.get(), 4096, 5).status, Status::closed);

  UniqueFd passing = connectAndGreet();
  // Which of our descriptors refer to `target` (a "pipe:[inode]" name).
  const auto holders = [](const std::string& target) {
    int count = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (std::filesystem::read_symlink(e.path(), ec).string() == target) ++count;
    }
    return count;
  };
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  char byte = 'x';
  iovec iov{&byte, 1};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &pipeFds[0], sizeof(int));
  ASSERT_EQ(sendmsg(passing.get(), &msg, 0), 1);
  EXPECT_EQ(receivePacket(passing.get(), 4096, 5).status, Status::closed);
  const std::string pipeName = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(pipeFds[0])).string();
  close(pipeFds[0]);
  close(pipeFds[1]);
  // The descriptor the server received was closed, not kept.
  EXPECT_EQ(holders(pipeName), 0);

  const auto lines = listenerLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr("a request of 1025 bytes exceeds the limit of 1024"));
  EXPECT_THAT(lines[1], HasSubstr("a request carried file descriptors"));
  // The first connection is still served.
  EXPECT_EQ(roundTrip(fits.get(), "still"), "echo:still");
}

TEST_F(PacketTransportTest, APacketFromAForkedChildClosesTheConnection) {
  start();
  UniqueFd fd = connectAndGreet();
  const pid_t child = fork();
  if (child == 0) {
    sendPacket(fd.get(), "from the child", 5);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(receivePacket(fd.get(), 4096, 5).status, Status::closed);
  const auto lines = listenerLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "closing connection from PID " + std::to_string(getpid()) +
                          ": a request was sent by PID " + std::to_string(child) +
                          ", not by the admitted client");
}

TEST_F(PacketTransportTest, ConnectionsBeyondTheCapAreRefusedUntilSomeClose) {
  start(1024, /*maxConnections=*/3);
  std::vector<UniqueFd> open;
  for (int i = 0; i < 3; ++i) open.push_back(connectAndGreet());
  for (int i = 0; i < 5; ++i) {
    std::string error;
    UniqueFd extra = connectSocket(path_, &error);
    const ReceivedPacket r = receivePacket(extra.get(), 4096, 5);
    ASSERT_EQ(r.status, Status::packet);
    EXPECT_EQ(r.data, R"({"refused":"too many connections to the helper (limit 3); close some and try again"})");
  }
  // Refused before admission: the delegate saw only the three.
  EXPECT_EQ(delegate_.admissions, 3);
  // One line for the burst, not one per refusal.
  EXPECT_EQ(listenerLines().size(), 1u);
  open.pop_back();
  for (int i = 0; i < 100 && server_->connectionCount() > 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  UniqueFd again = connectAndGreet();
  EXPECT_EQ(roundTrip(again.get(), "in"), "echo:in");
}

TEST_F(PacketTransportTest, StopFinishesTheRequestInFlightAndClosesEveryConnection) {
  start();
  UniqueFd busy = connectAndGreet();
  UniqueFd idle = connectAndGreet();
  ASSERT_EQ(sendPacket(busy.get(), "slow", 5), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  server_->stop();
  EXPECT_EQ(server_->connectionCount(), 0u);
  const ReceivedPacket r = receivePacket(busy.get(), 4096, 5);
  EXPECT_TRUE(r.status == Status::packet || r.status == Status::closed);
  EXPECT_EQ(receivePacket(idle.get(), 4096, 5).status, Status::closed);
}

TEST_F(PacketTransportTest, AStaleSocketFileIsReplacedButALiveOneAndOtherFilesAreNot) {
  {
    // A socket file nobody listens on any more.
    std::string error;
    UniqueFd old = bindListeningSocket(path_, &error);
    ASSERT_TRUE(old.valid()) << error;
  }
  start();
  UniqueFd fd = connectAndGreet();

  std::string error;
  EXPECT_FALSE(bindListeningSocket(path_, &error).valid());
  EXPECT_EQ(error, "another instance is already listening on " + path_);
  const std::string file = tmp_.file("plain");
  test::writeFile(file, "x");
  EXPECT_FALSE(bindListeningSocket(file, &error).valid());
  EXPECT_EQ(error, file + " exists and is not a socket; remove it by hand");
  EXPECT_EQ(test::readFile(file), "x");
}

TEST_F(PacketTransportTest, TheSocketCanComeFromSystemd) {
  std::string error;
  UniqueFd listening = bindListeningSocket(path_, &error);
  ASSERT_TRUE(listening.valid()) << error;
  // In a child, where descriptor 3 and the environment are ours to set.
  const pid_t child = fork();
  if (child == 0) {
    if (dup2(listening.get(), 3) != 3) _exit(10);
    setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
    setenv("LISTEN_FDS", "1", 1);
    std::string e;
    UniqueFd fd = socketFromActivation(&e);
    if (!fd.valid() || fd.get() != 3) _exit(11);
    if (getenv("LISTEN_FDS") != nullptr) _exit(12);  // not passed on to children
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  // Without the variables there is nothing to take.
  unsetenv("LISTEN_FDS");
  EXPECT_FALSE(socketFromActivation(&error).valid());
}

TEST_F(PacketTransportTest, TheClientTalksOnlyToARootServerUnlessToldOtherwise) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run a server as another user";
  chmod(tmp_.path().c_str(), 0755);
  const std::string dir = tmp_.file("nobody");
  std::filesystem::create_directory(dir);
  chmod(dir.c_str(), 0777);
  const std::string path = dir + "/sock";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(10);
    std::string e;
    UniqueFd fd = bindListeningSocket(path, &e);
    if (!fd.valid()) _exit(11);
    if (write(ready[1], "r", 1) != 1) _exit(12);
    for (;;) {
      const int c = accept(fd.get(), nullptr, nullptr);
      if (c >= 0) close(c);
    }
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  std::string error;
  EXPECT_EQ(PacketClient::connect(path, true, &error), nullptr);
  EXPECT_THAT(error, HasSubstr("it is served by user id 65534 (PID " + std::to_string(child) + "), not by root"));
  auto client = PacketClient::connect(path, false, &error);
  EXPECT_NE(client, nullptr) << error;
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);

  EXPECT_EQ(PacketClient::connect(tmp_.file("absent"), true, &error), nullptr);
  EXPECT_EQ(error, "the helper is not running (no socket at " + tmp_.file("absent") + ")");
}

}  // namespace
}  // namespace helper::ipc
