// journald's native protocol, received on a real datagram socket in place
// of the journal's.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "platform/log/logger.h"
#include "tests/support/test_env.h"

namespace helper {
namespace {

using namespace std::string_literals;

// One datagram per entry, with the line-feed form for a multi-line value; a
// line that cannot reach the journal goes to stderr instead.
TEST(JournalTest, OneDatagramPerEntryOrALineOnStderr) {
  test::TempDir tmp;
  const std::string path = tmp.file("journal.sock");
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  const auto receive = [fd] {
    std::string buffer(65536, '\0');
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
  };
  auto sink = makeJournalSink(path);
  sink->write({LogLevel::notice, "tarn.CorvalethApp.helper", "Mihomo", "mihomo started, PID 42"});
  EXPECT_EQ(receive(),
            "MESSAGE=mihomo started, PID 42\nPRIORITY=5\nSYSLOG_IDENTIFIER=helper\n"
            "SUBSYSTEM=tarn.CorvalethApp.helper\nCATEGORY=Mihomo\n");
  sink->write({LogLevel::fault, "s", "c", "two\nlines"});
  EXPECT_EQ(receive(), "MESSAGE\n\x09\0\0\0\0\0\0\0two\nlines\nPRIORITY=2\nSYSLOG_IDENTIFIER=helper\n"
                       "SUBSYSTEM=s\nCATEGORY=c\n"s);
  ::close(fd);

  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const int savedStderr = ::dup(STDERR_FILENO);
  ::dup2(pipeFds[1], STDERR_FILENO);
  makeJournalSink(tmp.file("no-journal.sock"))->write({LogLevel::error, "s", "Service", "not lost"});
  ::dup2(savedStderr, STDERR_FILENO);
  ::close(savedStderr);
  ::close(pipeFds[1]);
  char buffer[256] = {};
  ASSERT_GT(::read(pipeFds[0], buffer, sizeof(buffer) - 1), 0);
  ::close(pipeFds[0]);
  EXPECT_TRUE(std::string(buffer).ends_with(" error Service: not lost\n")) << buffer;
}

}  // namespace
}  // namespace helper
