// The control transport on real sockets: what the integration tests cannot
// reach through the real helper (the hello's fields, refusals without a
// resume and their codes, descriptors, where the socket comes from, and the
// client's check that root serves it; the per-user limit is the attack
// test's).
#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/ipc/packet_client.h"
#include "platform/ipc/packet_server.h"
#include "tests/support/test_env.h"
#include "tests/support/test_os.h"

namespace helper::ipc {
namespace {

using ::testing::HasSubstr;
using Status = ReceivedPacket::Status;

// Admits unless told otherwise, and answers "echo:<packet>".
class EchoServer : public PacketServer::Delegate, public PacketHandler {
 public:
  bool shouldAcceptNewConnection(PacketServer&, ServerConnection& connection) override {
    if (!accept) return false;
    connection.setHandler(std::shared_ptr<PacketHandler>(this, [](PacketHandler*) {}));
    if (resume) connection.resume();
    return true;
  }
  std::optional<std::string> handlePacket(ServerConnection&, std::string_view packet) override {
    return "echo:" + std::string(packet);
  }
  std::atomic<bool> accept{true};
  std::atomic<bool> resume{true};  // accepted but never resumed counts as refused
};

class PacketTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PacketServer::Options options;
    options.socketPath = path_;
    options.serviceName = "test.service";
    options.maxPacketSize = 1024;
    options.protocolVersion = 7;
    options.useSocketActivation = false;
    server_ = std::make_unique<PacketServer>(options, delegate_);
    ASSERT_TRUE(server_->resume());
  }
  void TearDown() override { server_.reset(); }

  // A connection and its first packet.
  UniqueFd connect(std::string* first = nullptr) {
    Result<UniqueFd> connected = connectSocket(path_);
    EXPECT_TRUE(connected) << connected.error().message;
    UniqueFd fd = connected ? std::move(*connected) : UniqueFd();
    const ReceivedPacket hello = receivePacket(fd.get(), 4096, 5);
    EXPECT_EQ(hello.status, Status::packet);
    if (first != nullptr) *first = hello.data;
    return fd;
  }

  test::TempDir tmp_;
  std::string path_ = tmp_.file("control.sock");
  EchoServer delegate_;
  std::unique_ptr<PacketServer> server_;
  test::LoggingOs os_;
  OsScope scope_{os_};
};

TEST_F(PacketTransportTest, TheHelloComesFirstWithANonceOfItsOwn) {
  std::string first, second;
  UniqueFd a = connect(&first);
  UniqueFd b = connect(&second);
  const std::string hello =
      R"(\{"hello":"test.service","nonce":"[0-9a-f]{32}","maxPacketSize":1024,"protocolVersion":7\})";
  EXPECT_THAT(first, ::testing::MatchesRegex(hello));
  EXPECT_NE(first, second);  // each connection has a nonce of its own
}

TEST_F(PacketTransportTest, ARefusedConnectionHearsWhyAndIsNotCounted) {
  for (const bool accept : {false, true}) {
    delegate_.accept = accept;
    delegate_.resume = !accept;
    std::string refusal;
    UniqueFd fd = connect(&refusal);
    EXPECT_THAT(refusal, HasSubstr("\"refused\":\"this program is not allowed to use the helper"));
    EXPECT_THAT(refusal, ::testing::EndsWith(R"(,"error":{"domain":"helper.AdmissionError","code":1}})"));
    EXPECT_EQ(receivePacket(fd.get(), 4096, 5).status, Status::closed);
  }
  EXPECT_EQ(server_->connectionCount(), 0u);
}

TEST_F(PacketTransportTest, APacketWithDescriptorsClosesItsConnectionAndTheDescriptors) {
  UniqueFd other = connect();
  UniqueFd passing = connect();
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec iov{pair, 1};
  const msghdr msg{nullptr, 0, &iov, 1, control, sizeof(control), 0};
  *CMSG_FIRSTHDR(&msg) = cmsghdr{CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
  std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&msg)), &pair[0], sizeof(int));
  ASSERT_EQ(sendmsg(passing.get(), &msg, 0), 1);
  EXPECT_EQ(receivePacket(passing.get(), 4096, 5).status, Status::closed);
  // The descriptor the server received was closed, not kept: with ours
  // closed too, the other end has no peer left.
  close(pair[0]);
  EXPECT_EQ(send(pair[1], "x", 1, MSG_NOSIGNAL), -1);
  EXPECT_EQ(errno, EPIPE);
  close(pair[1]);

  EXPECT_THAT(os_.messages("Listener"), ::testing::ElementsAre(HasSubstr("a request carried file descriptors")));
  ASSERT_TRUE(sendPacket(other.get(), "still", 5));
  EXPECT_EQ(receivePacket(other.get(), 4096, 5).data, "echo:still");
}

// A live socket or another file at the path the helper should listen on is
// left alone; a stale socket, as a crashed helper leaves, is replaced. (What
// a client is told when nobody listens is the service test's.)
TEST_F(PacketTransportTest, OnlyAStaleSocketIsReplaced) {
  const std::string stale = tmp_.file("stale.sock"), file = tmp_.file("plain");
  (void)bindListeningSocket(stale);  // closed at once: a socket file nobody listens on
  test::writeFile(file, "x");
  const std::pair<std::string, std::string> binds[] = {
      {path_, "another instance is already listening on " + path_},
      {file, file + " exists and is not a socket; remove it by hand"},
  };
  for (const auto& [path, expected] : binds) {
    const Result<UniqueFd> bound = bindListeningSocket(path);
    ASSERT_FALSE(bound) << path;
    EXPECT_EQ(bound.error().message, expected);
  }
  EXPECT_EQ(test::readFile(file), "x");
  EXPECT_TRUE(bindListeningSocket(stale));
}

// systemd's socket is taken only when it is meant for this process and is
// a listening SOCK_SEQPACKET socket; either way the variables are cleared,
// so that children do not see them. In a child, where descriptor 3 and the
// environment are ours to set.
TEST_F(PacketTransportTest, TheSocketCanComeFromSystemd) {
  Result<UniqueFd> bound = bindListeningSocket(tmp_.file("activated.sock"));
  ASSERT_TRUE(bound) << bound.error().message;
  const UniqueFd listening = std::move(*bound);
  const struct {
    const char* what;
    bool ourPid;
    int type;  // 0: the listening socket
    int exitStatus;  // 0: taken; 1: not taken, closed; 2: not taken, still open
  } cases[] = {
      {"ours", true, 0, 0},
      {"another process's", false, 0, 2},
      {"a datagram socket", true, SOCK_DGRAM, 1},
      {"a stream socket", true, SOCK_STREAM, 1},
  };
  for (const auto& c : cases) {
    const pid_t child = fork();
    if (child == 0) {
      const int fd = c.type == 0 ? listening.get() : ::socket(AF_UNIX, c.type, 0);
      if (fd < 0 || dup2(fd, 3) != 3) _exit(10);
      setenv("LISTEN_PID", std::to_string(c.ourPid ? getpid() : getpid() + 1).c_str(), 1);
      setenv("LISTEN_FDS", "1", 1);
      const Result<UniqueFd> taken = socketFromActivation();
      if (getenv("LISTEN_PID") != nullptr || getenv("LISTEN_FDS") != nullptr) _exit(11);
      if (taken && taken->valid()) _exit(taken->get() == 3 ? 0 : 12);
      if (c.ourPid != !taken) _exit(13);
      if (!taken && taken.error().message != "systemd passed 1 descriptor(s), none a listening SOCK_SEQPACKET Unix socket") _exit(14);
      _exit(fcntl(3, F_GETFD) == -1 ? 1 : 2);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitStatus) << c.what << ": " << status;
  }
  const Result<UniqueFd> none = socketFromActivation();
  EXPECT_TRUE(none && !none->valid());
}

TEST_F(PacketTransportTest, TheClientTalksOnlyToARootServerUnlessToldOtherwise) {
  HELPER_SKIP_UNLESS(getuid() == 0 ? "" : "needs root to listen as another user");
  chmod(tmp_.path().c_str(), 0777);
  const std::string path = tmp_.file("nobody.sock");
  ASSERT_EQ(seteuid(65534), 0);  // the listener's credentials are taken now
  const Result<UniqueFd> listening = bindListeningSocket(path);
  ASSERT_EQ(seteuid(0), 0);
  ASSERT_TRUE(listening);
  const auto refused = PacketClient::connect(path, true);
  ASSERT_FALSE(refused);
  EXPECT_THAT(refused.error().message,
              HasSubstr("it is served by user id 65534 (PID " + std::to_string(getpid()) + "), not by root"));
  EXPECT_TRUE(PacketClient::connect(path, false));
}

}  // namespace
}  // namespace helper::ipc
