// The log's way out: journald's native protocol, and standard error where
// there is no journal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/os/os.h"

namespace helper {
namespace {

using namespace std::string_literals;

TEST(JournalTest, OneFieldPerLineWithTheLengthFormForMultiLineValues) {
  EXPECT_EQ(journalEntry({LogLevel::notice, "tarn.CorvalethApp.helper", "Mihomo", "mihomo started, PID 42"}),
            "MESSAGE=mihomo started, PID 42\nPRIORITY=5\nSYSLOG_IDENTIFIER=helper\n"
            "SUBSYSTEM=tarn.CorvalethApp.helper\nCATEGORY=Mihomo\n");
  EXPECT_EQ(journalEntry({LogLevel::fault, "s", "c", "two\nlines"}),
            "MESSAGE\n\x09\0\0\0\0\0\0\0two\nlines\nPRIORITY=2\nSYSLOG_IDENTIFIER=helper\n"
            "SUBSYSTEM=s\nCATEGORY=c\n"s);
}

TEST(JournalTest, WithoutAJournalALineGoesToStderr) {
  if (std::filesystem::exists("/run/systemd/journal/socket")) GTEST_SKIP() << "this machine has a journal";
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const int savedStderr = ::dup(STDERR_FILENO);
  ::dup2(pipeFds[1], STDERR_FILENO);
  os().log({LogLevel::error, "s", "Service", "not lost"});
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
