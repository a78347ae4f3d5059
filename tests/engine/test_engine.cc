// A stand-in for the proxy engine that keeps the engine contract: started as
// `ENGINE -d DIR -f FILE`, it reads FILE, creates one new TUN device with
// the name its "  device: " line gives (utunN, the kernel's choice, without
// one), says so on stderr ("test engine: created NAME"), keeps running until
// signalled and ends on SIGTERM. Knobs, read from the file ENGINE.knobs
// beside the executable (one key=value per line), make it misbehave in the
// ways a real engine can:
//   tun_delay_ms=N    create the device after N ms (default 0)
//   exit_status=N     exit at once with status N
//   add_routes=1      add 0.0.0.0/1 and 128.0.0.0/1 through the device
//   stamp=1           write "NAME SECONDS" (CLOCK_MONOTONIC just before creation) to
//                     DIR/tun-created, for measuring detection latency
//   persist=1         make the device persistent, so it outlives the engine
//                     as a crashed engine's device can
// An extra argument "--orphan" makes an instance that only waits for a
// signal: a stray engine for the orphan sweep to find.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>

namespace {

std::map<std::string, std::string> readKnobs(const std::string& path) {
  std::map<std::string, std::string> knobs;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) knobs[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return knobs;
}

// The device the configuration names.
std::string configuredDevice(const std::string& configFile) {
  std::ifstream in(configFile);
  const std::string key = "  device: ";
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) return line.substr(key.size());
  }
  return "utun%d";
}

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// Creates the device and brings it up, in this process: a child would be
// taken for another engine until it has run its program. -1 when it cannot.
int createTun(std::string& name, bool persist) {
  const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
  if (fd < 0 || ioctl(fd, TUNSETIFF, &ifr) < 0) return -1;
  name = ifr.ifr_name;
  if (persist) ioctl(fd, TUNSETPERSIST, 1);
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ioctl(sock, SIOCGIFFLAGS, &ifr);
  ifr.ifr_flags |= IFF_UP;
  ioctl(sock, SIOCSIFFLAGS, &ifr);
  close(sock);
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dataDir, configFile;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--orphan") == 0) {
      for (;;) pause();
    }
    if (i + 1 < argc && std::strcmp(argv[i], "-d") == 0) dataDir = argv[i + 1];
    if (i + 1 < argc && std::strcmp(argv[i], "-f") == 0) configFile = argv[i + 1];
  }
  auto knobs = readKnobs(std::string(argv[0]) + ".knobs");
  if (dataDir.empty() || configFile.empty() || access(configFile.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "test engine: usage: %s -d DIR -f FILE (FILE readable)\n", argv[0]);
    return 2;
  }
  if (knobs.count("exit_status")) return std::atoi(knobs["exit_status"].c_str());
  if (knobs.count("tun_delay_ms")) usleep(static_cast<useconds_t>(std::atoi(knobs["tun_delay_ms"].c_str())) * 1000);
  std::string name = configuredDevice(configFile);
  timespec before{};  // just before the device exists: an upper bound for detection latency
  clock_gettime(CLOCK_MONOTONIC, &before);
  if (createTun(name, knobs["persist"] == "1") < 0) {
    std::perror("test engine: cannot create a TUN device");
    return 3;
  }
  if (knobs["stamp"] == "1") {
    std::ofstream(dataDir + "/tun-created")
        << name << " " << before.tv_sec << "." << std::to_string(1000000000 + before.tv_nsec).substr(1) << "\n";
  }
  std::fprintf(stderr, "test engine: created %s\n", name.c_str());
  if (knobs["add_routes"] == "1") {
    for (const char* half : {"0.0.0.0/1", "128.0.0.0/1"})
      shell("/usr/sbin/ip route add " + std::string(half) + " dev " + name);
  }
  for (;;) pause();
}
