#include "tests/support/test_env.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

TempDir::TempDir() {
  std::string tmpl = envOr("TMPDIR", "/tmp") + "/helper-test-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
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
