// The main of test programs that touch networking or run engines: with the
// privileges for it, the whole program runs in a private network namespace
// and under a private HELPER_ROOT, so nothing it does reaches the machine.
// Without them the tests skip (or fail under CI=true) with the reason.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <iostream>
#include <optional>

#include "tests/support/netns.h"
#include "tests/support/test_env.h"

int main(int argc, char** argv) {
  helper::test::runFromTrustedCopy(argv);
  ::testing::InitGoogleTest(&argc, argv);
  if (helper::test::missingPrivileges().empty()) {
    const std::string error = helper::test::enterPrivateNetworkNamespace();
    if (!error.empty()) std::cerr << "no private network namespace: " << error << "\n";
  }
  std::optional<helper::test::TempDir> root;  // removed when the tests are done
  if (getenv("HELPER_ROOT") == nullptr) {
    root.emplace();
    setenv("HELPER_ROOT", root->path().c_str(), 1);
  }
  return RUN_ALL_TESTS();
}
