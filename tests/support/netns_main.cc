// The main of test programs that touch networking or run engines: with the
// privileges for it, the whole program runs in a private network namespace
// and under a private HELPER_ROOT, so nothing it does reaches the machine.
// Without them the tests skip (or fail under CI=true) with the reason.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <iostream>

#include "tests/support/netns.h"
#include "tests/support/test_env.h"

int main(int argc, char** argv) {
  helper::test::runFromTrustedCopy(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  std::string root;
  if (helper::test::missingPrivileges().empty()) {
    const std::string error = helper::test::enterPrivateNetworkNamespace();
    if (!error.empty()) std::cerr << "no private network namespace: " << error << "\n";
  }
  if (getenv("HELPER_ROOT") == nullptr) {
    std::string tmpl = helper::test::tempBase() + "/helper-root-XXXXXX";
    if (mkdtemp(tmpl.data()) != nullptr) {
      chmod(tmpl.c_str(), 0755);
      root = tmpl;
      setenv("HELPER_ROOT", root.c_str(), 1);
    }
  }
  const int rc = RUN_ALL_TESTS();
  if (!root.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  return rc;
}
