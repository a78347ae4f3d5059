// The real helper executable in the test's private network namespace under
// its HELPER_ROOT, with the signed stand-in engine beside it: what neither the
// session rules on the fake system (session_test) nor the attacks
// (attack_test) show: the exit after an update; the helper as installed, a
// user of its own; and every way a packet costs its sender the connection
// without touching the session, a packet of an admitted client's forked
// child included. This program is itself signed as the application, so the
// helper admits it.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "helper/config/engine_config.h"
#include "tests/service/helper_fixture.h"
#include "tests/support/local_user.h"

namespace helper::test {
namespace {

using ::testing::HasSubstr;
using Status = ipc::ReceivedPacket::Status;

// A connection whose hello was read; "$NONCE" in what it sends is its nonce.
struct RawConnection {
  explicit RawConnection(const std::string& path) {
    auto connected = ipc::PacketClient::connect(path, false);
    if (connected) socket = std::move(*connected);
    const auto greeting = decodeGreeting(socket ? socket->receive(65536, 10).data : connected.error().message);
    const Hello* hello = greeting.ok() ? std::get_if<Hello>(&*greeting) : nullptr;
    EXPECT_TRUE(hello) << (connected ? "" : connected.error().message);
    nonce = hello ? hello->nonce : "";
  }
  // 0 or the errno of the failed send.
  int send(std::string text) {
    for (size_t at; (at = text.find("$NONCE")) != std::string::npos;) text.replace(at, 6, nonce);
    if (!socket) return EBADF;
    const auto sent = socket->send(text);
    return sent ? 0 : sent.error().code;
  }

  std::unique_ptr<ipc::PacketClient> socket;
  std::string nonce;
};

class ServiceTest : public HelperFixture {};

// After an update even the signed application is refused: this process can
// vouch for nobody any more. A heartbeating session goes on over its own
// connection; when it ends, the process exits after its exit delay.
TEST_F(ServiceTest, AfterAnUpdateNewConnectionsAreRefusedAndTheHelperExitsOnceItsSessionEnds) {
  auto c = client();
  const std::string token = activate(*c);
  makeCopy(helperPath(), helperPath() + ".new", "tarn.CorvalethApp.helper");
  std::filesystem::rename(helperPath() + ".new", helperPath());  // a new inode, as an update makes
  try {
    client();
    ADD_FAILURE() << "admitted after the update";
  } catch (const HelperClientError& e) {
    EXPECT_STREQ(e.what(), "the helper refused the connection: the helper was updated and is restarting; "
                           "connect again in a moment");
    EXPECT_EQ(e.code(), (ErrorCode{"helper.AdmissionError", 4}));
  }
  ASSERT_TRUE(waitForLine("postponing exit until it ends"));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));  // past the exit delay
  EXPECT_TRUE(c->heartbeat(token));
  EXPECT_EQ(runningEngines().size(), 1u);
  // Deactivate gets its reply; then the process exits.
  const DeactivateResult d = c->deactivate(token);
  const auto ended = Clock::now();
  EXPECT_TRUE(d.success && !d.message);
  ASSERT_TRUE(helper_->waitForExit(10));
  EXPECT_EQ(helper_->terminationStatus(), 0);
  EXPECT_GE(Clock::now() - ended, std::chrono::milliseconds(450));
  EXPECT_TRUE(waitForLine("fault Service: helper binary was replaced on disk"));
  EXPECT_TRUE(runningEngines().empty());
}

// As installed: a user of its own with the five capabilities as ambient
// ones, its state, log and socket folders its own. It reads a root
// client's /proc files and executable (CAP_SYS_PTRACE), kills an orphan
// engine, runs the engine as its user with exactly the engine's three, and
// the cleanup's ip gets CAP_NET_ADMIN: the routes through a device that
// outlives its engine, and an engine rule, go only if ip may remove them.
TEST_F(ServiceTest, AsAUserOfItsOwnItAdmitsRunsTheEngineAndCleansUp) {
  // udev gives everyone /dev/net/tun (0666); where it is root's alone, this
  // program gets a node of everyone's in a mount namespace of its own.
  struct stat tun {};
  ASSERT_EQ(stat("/dev/net/tun", &tun), 0);
  if ((tun.st_mode & 0666) != 0666) {
    const std::string node = tmp_.file("tun");
    ASSERT_EQ(unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(mknod(node.c_str(), S_IFCHR, tun.st_rdev), 0);
    ASSERT_EQ(chmod(node.c_str(), 0666), 0);
    ASSERT_EQ(mount(node.c_str(), "/dev/net/tun", nullptr, MS_BIND, nullptr), 0);
  }
  ThrowawayUser user;
  for (const std::string dir : {"/var/lib/tarn.CorvalethApp", kLogDir, "/run"}) {
    std::filesystem::remove_all(paths::rooted(dir));
    std::filesystem::create_directories(paths::rooted(dir));
    ASSERT_EQ(chown(paths::rooted(dir).c_str(), user.uid(), user.gid()), 0);
  }
  auto orphan = user.start({enginePath_, "--orphan"});
  const std::string caps = "+net_admin,+net_raw,+net_bind_service,+sys_ptrace,+setpcap";
  std::vector<std::string> prefix = user.as({});  // setpriv ... --
  prefix.insert(std::find(prefix.begin(), prefix.end(), "--"), {"--inh-caps=" + caps, "--ambient-caps=" + caps, "--bounding-set=-all," + caps,
                                   "--no-new-privs"});
  startHelper(prefix);
  setKnobs({{"persist", "1"}, {"add_routes", "1"}});
  auto c = client();
  const std::string token = activate(*c);
  EXPECT_TRUE(orphan->waitForExit(5));
  const auto created = waitForLine("mihomo created TUN device ");
  ASSERT_TRUE(created);
  const std::string dev = created->substr(created->rfind(' ') + 1);
  ASSERT_TRUE(hasRoutes(dev));
  const auto engines = runningEngines();  // once its ip children are done
  ASSERT_EQ(engines.size(), 1u);
  const std::string status = readFile("/proc/" + std::to_string(engines[0]) + "/status");
  const std::string uid = std::to_string(user.uid());
  EXPECT_THAT(status, HasSubstr("\nUid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\n"));
  for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"}) {
    EXPECT_THAT(status, HasSubstr(std::string(set) + ":\t0000000000003400\n"));
  }
  const std::string priority = std::to_string(kEngineRuleIndex);
  ip({"rule", "add", "priority", priority, "table", std::to_string(kEngineRouteTable)});
  EXPECT_TRUE(c->deactivate(token).success);
  EXPECT_EQ(ip({"route", "show", "dev", dev}), "");
  EXPECT_THAT(ip({"link", "show", "dev", dev}), ::testing::Not(HasSubstr(",UP")));
  EXPECT_THAT(ip({"rule", "show"}), ::testing::Not(HasSubstr(priority + ":")));
  ip({"tuntap", "del", "dev", dev, "mode", "tun"});
}

// One case per way a packet is refused: by the transport's size limit, as
// an empty packet, by the request decoder (whose every reason
// control_message_test covers), which a half-valid deactivate must not get
// past to the service, and as a packet of a forked child, though it carries
// the right token. Each costs its sender the connection, and nothing else:
// a live session and its engine stay as they are, and others are answered
// quickly.
TEST_F(ServiceTest, MalformedOrForeignPacketsCloseTheirConnectionWithOneLineAndChangeNothing) {
  auto owner = client();
  const std::string token = activate(*owner);
  const auto engines = runningEngines();
  const HelperStatus status = owner->status();
  const std::string deactivate = R"({"nonce":"$NONCE","id":1,"op":"deactivate","sessionToken":")" + token + "\"}";
  const std::pair<std::string, std::string> cases[] = {
      {"", "malformed request (empty packet)"},
      {std::string(65536, 'x'), "malformed request (not JSON)"},  // at the limit: read
      {std::string(65537, 'x'), "a request of 65537 bytes exceeds the limit of 65536"},
      {R"({"nonce":"$NONCE","id":1,"op":"deactivate","sessionToken":null})", "\"sessionToken\" must be a string"},
      {deactivate, "not by the admitted client"},
  };
  const std::string closing = "closing connection from PID " + std::to_string(getpid());
  size_t closed = 0;
  for (const auto& [packet, reason] : cases) {
    SCOPED_TRACE(packet.substr(0, 80));
    RawConnection c(paths::rooted(kControlSocketPath));
    if (packet == deactivate) {
      const pid_t child = fork();
      if (child == 0) _exit(c.send(packet));
      ASSERT_EQ(waitpid(child, nullptr, 0), child);
    } else {
      ASSERT_EQ(c.send(packet), 0);
    }
    EXPECT_EQ(c.socket->receive(65536, 5).status, Status::closed);
    // One line per closed connection, naming why.
    const auto line = waitForLine(closing, 10, ++closed);
    ASSERT_TRUE(line);
    EXPECT_THAT(*line, HasSubstr(reason));
    EXPECT_FALSE(waitForLine(closing, 0, closed + 1));
  }
  EXPECT_EQ(client()->ping(), HelperConstants::helperVersion);
  EXPECT_TRUE(owner->heartbeat(token));
  EXPECT_EQ(owner->status(), status);
  EXPECT_EQ(runningEngines(), engines);
}

}  // namespace
}  // namespace helper::test
