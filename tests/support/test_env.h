// What tests know about where they run: the source and build trees, CI, root
// and TUN availability, the real engine binary, and temporary folders.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/support/netns.h"

namespace helper::test {

std::string sourceDir();  // HELPER_SOURCE_DIR, set by CTest
std::string binaryDir();  // HELPER_BINARY_DIR, set by CTest
bool inCI();              // CI=true

// Empty when the test can create TUN devices and network namespaces (root,
// /dev/net/tun, ip); otherwise the reason it cannot.
std::string missingPrivileges();

// The real engine fetched by the setup script: HELPER_MIHOMO_BIN, or
// .cache/mihomo/mihomo in the source tree. Absent when it is not there.
std::optional<std::string> realEngineBinary();

// Where temporary files of tests go. For root, a directory only root can
// change (/var/lib/helper-tests): executables a test runs as the
// application or the engine must lie on such a path, or the helper refuses
// them. Otherwise $TMPDIR.
std::string tempBase();

// For a test program that is itself a client or the engine's judge: when
// root runs it from a path that root alone does not control, it runs again
// from a copy under tempBase() (removed when it ends). Call first thing in
// main().
void runFromTrustedCopy(char** argv);

// A fresh directory under tempBase(), mode 0755, removed with everything in
// it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

}  // namespace helper::test

// Skips the test when `reason` is not empty, but fails it under CI=true,
// where every test must run.
#define HELPER_SKIP_UNLESS(reason)                                                          \
  do {                                                                                      \
    const std::string helper_skip_reason_ = (reason);                                       \
    if (!helper_skip_reason_.empty()) {                                                     \
      if (::helper::test::inCI()) FAIL() << "cannot run under CI: " << helper_skip_reason_; \
      GTEST_SKIP() << helper_skip_reason_;                                                  \
    }                                                                                       \
  } while (0)

// For programs built with NETNS: also requires that the program runs in its
// own network namespace.
#define HELPER_REQUIRE_PRIVATE_NETNS()                           \
  HELPER_SKIP_UNLESS(::helper::test::inPrivateNetworkNamespace() \
                         ? std::string()                         \
                         : "no private network namespace: " + ::helper::test::missingPrivileges())
