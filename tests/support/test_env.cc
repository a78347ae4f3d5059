#include "tests/support/test_env.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/codesign/image.h"

namespace helper::test {

static std::string envOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

std::string sourceDir() { return envOr("HELPER_SOURCE_DIR", "."); }
std::string binaryDir() { return envOr("HELPER_BINARY_DIR", "."); }
bool inCI() { return envOr("CI", "") == "true"; }

std::string missingPrivileges() {
  if (geteuid() != 0) return "needs root (run the suite as root)";
  if (access("/dev/net/tun", R_OK | W_OK) != 0) return "needs /dev/net/tun";
  if (access("/usr/sbin/ip", X_OK) != 0) return "needs /usr/sbin/ip (Debian package iproute2)";
  return "";
}

std::optional<std::string> realEngineBinary() {
  std::string path = envOr("HELPER_MIHOMO_BIN", "");
  if (path.empty()) path = sourceDir() + "/.cache/mihomo/mihomo";
  if (access(path.c_str(), X_OK) != 0) return std::nullopt;
  return path;
}

std::string tempBase() {
  if (geteuid() != 0) return envOr("TMPDIR", "/tmp");
  ::mkdir("/var/lib/helper-tests", 0755);  // already there after the first call
  return "/var/lib/helper-tests";
}

void runFromTrustedCopy(char** argv) {
  if (geteuid() != 0) return;
  if (const char* copy = std::getenv("HELPER_TEST_COPY"); copy != nullptr && *copy != '\0') {
    // The copy runs: its folder goes when it ends.
    static const std::string dir = copy;
    ::unsetenv("HELPER_TEST_COPY");
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    });
    return;
  }
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return;
  const std::string path(self, static_cast<size_t>(n));
  if (codesign::openRootImage(path)) return;  // already where only root can change it
  std::string tmpl = tempBase() + "/exe-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) return;
  ::chmod(tmpl.c_str(), 0755);
  const std::string copy = tmpl + path.substr(path.rfind('/'));
  std::error_code ec;
  std::filesystem::copy_file(path, copy, ec);
  if (ec) return;
  ::chmod(copy.c_str(), 0755);
  ::setenv("HELPER_TEST_COPY", tmpl.c_str(), 1);
  argv[0] = const_cast<char*>(copy.c_str());
  ::execv(copy.c_str(), argv);
}

TempDir::TempDir() {
  std::string tmpl = tempBase() + "/helper-test-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  ::chmod(tmpl.c_str(), 0755);
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace helper::test
