// Proxy framer costs, each against a baseline measured in the same run:
//  - pass-through throughput of the socket driver after a SOCKS5 handshake,
//    in each direction, against a bare recv()/send() loop on a plain
//    loopback socket (goal: at least 0.9x the bare throughput);
//  - the time to open a tunnel (connect to the proxy and handshake) through
//    microsocks with a user name and password and through tinyproxy,
//    against curl's own figure for the same steps (`%{time_pretransfer}`
//    with --socks5-hostname / --proxytunnel) to the same proxy and target.
// The proxies are started on free loopback ports and ended by their pids;
// without them (Debian packages microsocks, tinyproxy) or curl, the
// latency benchmarks say so and are skipped.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "helper/framers/proxy_http_client.h"
#include "helper/framers/socks5_framer.h"
#include "platform/stream/socket_stream.h"
#include "platform/stream/tcp_connect.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace {

using namespace helper;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kTransfer = 64u << 20;  // per iteration

// ---- loopback plumbing ----------------------------------------------------------

int listenLoopback(uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
    std::perror("listen");
    std::exit(1);
  }
  *port = ntohs(a.sin_port);
  return fd;
}

uint16_t freePort() {
  uint16_t port = 0;
  ::close(listenLoopback(&port));
  return port;
}

int connectLoopback(uint16_t port) {
  auto r = stream::connectTcp("127.0.0.1", port, Clock::now() + 5s);
  if (r.fd < 0) {
    std::fprintf(stderr, "connect: %s\n", stream::describe(r.error).c_str());
    std::exit(1);
  }
  return r.fd;
}

bool readExactly(int fd, size_t n) {
  char buf[512];
  while (n > 0) {
    const ssize_t r = ::read(fd, buf, std::min(n, sizeof buf));
    if (r <= 0) return false;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// The far end of a throughput run: optionally answers a SOCKS5 handshake
// for a one-byte host name, then either sends without end or drains.
class Peer {
 public:
  enum class Role { source, sink };
  Peer(Role role, bool socks5) {
    listener_ = listenLoopback(&port_);
    thread_ = std::thread([this, role, socks5] {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (socks5) {
        const uint8_t method[] = {5, 0};
        const uint8_t reply[] = {5, 0, 0, 1, 127, 0, 0, 1, 0, 80};
        if (!readExactly(fd, 3) || ::write(fd, method, 2) != 2 || !readExactly(fd, 8) ||
            ::write(fd, reply, sizeof reply) != sizeof reply) {
          ::close(fd);
          return;
        }
      }
      std::vector<char> buf(kChunk, 'x');
      if (role == Role::source) {
        while (::send(fd, buf.data(), buf.size(), MSG_NOSIGNAL) > 0) {
        }
      } else {
        while (::read(fd, buf.data(), buf.size()) > 0) {
        }
      }
      ::close(fd);
    });
  }
  ~Peer() {
    thread_.join();
    ::close(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  int listener_;
  uint16_t port_;
  std::thread thread_;
};

std::unique_ptr<stream::SocketStream> framedStream(uint16_t port) {
  const int fd = connectLoopback(port);
  ProxyConnectCoordinator::publish(
      ProxyConnectSetup{ProxyConfig{"127.0.0.1", port, {}, {}, ProxyKind::socks5}, ProxyTarget{"t", 1}});
  auto s = std::make_unique<stream::SocketStream>(fd, &SOCKS5Framer::definition());
  ProxyConnectCoordinator::withdraw();
  if (!s->handshake(Clock::now() + 5s)) {
    std::fprintf(stderr, "handshake: %s\n", stream::describe(s->error()).c_str());
    std::exit(1);
  }
  return s;
}

// ---- throughput ---------------------------------------------------------------

void BM_DownloadBare(benchmark::State& state) {
  Peer peer(Peer::Role::source, false);
  const int fd = connectLoopback(peer.port());
  std::vector<uint8_t> buf(kChunk);
  for (auto _ : state) {
    size_t got = 0;
    while (got < kTransfer) {
      const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) return state.SkipWithError("recv failed");
      got += static_cast<size_t>(n);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
  ::close(fd);
}

void BM_DownloadFramed(benchmark::State& state) {
  Peer peer(Peer::Role::source, true);
  auto s = framedStream(peer.port());
  std::vector<uint8_t> buf(kChunk);
  for (auto _ : state) {
    size_t got = 0;
    while (got < kTransfer) {
      const ssize_t n = s->read(buf);
      if (n <= 0) return state.SkipWithError("read failed");
      got += static_cast<size_t>(n);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
  s->close();
}

void BM_UploadBare(benchmark::State& state) {
  Peer peer(Peer::Role::sink, false);
  const int fd = connectLoopback(peer.port());
  std::vector<uint8_t> buf(kChunk, 'y');
  for (auto _ : state) {
    for (size_t sent = 0; sent < kTransfer;) {
      const ssize_t n = ::send(fd, buf.data(), buf.size(), MSG_NOSIGNAL);
      if (n <= 0) return state.SkipWithError("send failed");
      sent += static_cast<size_t>(n);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
  ::close(fd);
}

void BM_UploadFramed(benchmark::State& state) {
  Peer peer(Peer::Role::sink, true);
  auto s = framedStream(peer.port());
  std::vector<uint8_t> buf(kChunk, 'y');
  for (auto _ : state) {
    for (size_t sent = 0; sent < kTransfer; sent += buf.size()) {
      if (!s->write(buf)) return state.SkipWithError("write failed");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
  s->close();
}

// ---- handshake latency ----------------------------------------------------------

// A tiny HTTP server: the tunnels' target, so that curl gets an answer.
class HttpTarget {
 public:
  HttpTarget() {
    listener_ = listenLoopback(&port_);
    thread_ = std::thread([this] {
      while (!stopping_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const char reply[] = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        (void)!::send(fd, reply, sizeof reply - 1, MSG_NOSIGNAL);
        ::shutdown(fd, SHUT_WR);
        char buf[1024];
        pollfd q{fd, POLLIN, 0};
        while (poll(&q, 1, 200) > 0 && ::read(fd, buf, sizeof buf) > 0) {
        }
        ::close(fd);
      }
    });
  }
  ~HttpTarget() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  int listener_;
  uint16_t port_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// A proxy server process, ended by its pid.
class Server {
 public:
  explicit Server(std::vector<std::string> argv, uint16_t port) : port_(port) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 500 && pid_ > 0; ++i) {
      auto r = stream::connectTcp("127.0.0.1", port_, Clock::now() + 1s);
      if (r.fd >= 0) {
        ::close(r.fd);
        ready_ = true;
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
  }
  ~Server() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  bool ready() const { return ready_; }
  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  uint16_t port_;
  bool ready_ = false;
};

struct Proxies {
  HttpTarget target;
  std::unique_ptr<test::TempDir> dir;
  std::unique_ptr<Server> microsocks;
  std::unique_ptr<Server> tinyproxy;
  std::string missing;

  Proxies() {
    for (const char* p : {"/usr/bin/microsocks", "/usr/bin/tinyproxy", "/usr/bin/curl"}) {
      if (access(p, X_OK) != 0) missing += std::string(missing.empty() ? "" : ", ") + p;
    }
    if (!missing.empty()) {
      missing = "not installed: " + missing;
      return;
    }
    const uint16_t socksPort = freePort();
    microsocks = std::make_unique<Server>(
        std::vector<std::string>{"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(socksPort),
                                 "-u", "alice", "-P", "s3cret"},
        socksPort);
    dir = std::make_unique<test::TempDir>();
    const uint16_t httpPort = freePort();
    test::writeFile(dir->file("tinyproxy.conf"),
                    "Port " + std::to_string(httpPort) +
                        "\nListen 127.0.0.1\nAllow 127.0.0.1\nMaxClients 64\nLogLevel Critical\n");
    tinyproxy = std::make_unique<Server>(
        std::vector<std::string>{"/usr/bin/tinyproxy", "-d", "-c", dir->file("tinyproxy.conf")}, httpPort);
    if (!microsocks->ready() || !tinyproxy->ready()) missing = "a proxy did not start";
  }
  ProxyConfig config(ProxyKind kind) const {
    return kind == ProxyKind::socks5
               ? ProxyConfig{"127.0.0.1", microsocks->port(), "alice", "s3cret", kind}
               : ProxyConfig{"127.0.0.1", tinyproxy->port(), {}, {}, kind};
  }
};

Proxies* proxies = nullptr;

void openTunnels(benchmark::State& state, ProxyKind kind) {
  if (!proxies->missing.empty()) return state.SkipWithError(proxies->missing.c_str());
  const ProxyHTTPClient client(proxies->config(kind));
  const ProxyTarget target{"127.0.0.1", proxies->target.port()};
  for (auto _ : state) {
    const auto began = Clock::now();
    auto outcome = client.openStream(target, 5s);
    const std::chrono::duration<double> took = Clock::now() - began;
    if (!outcome.stream) return state.SkipWithError(stream::describe(outcome.error).c_str());
    state.SetIterationTime(took.count());
  }
}

void curlTunnels(benchmark::State& state, ProxyKind kind) {
  if (!proxies->missing.empty()) return state.SkipWithError(proxies->missing.c_str());
  const auto proxy = proxies->config(kind);
  const std::string url = "http://127.0.0.1:" + std::to_string(proxies->target.port()) + "/";
  std::vector<std::string> argv{"/usr/bin/curl", "-s", "-o", "/dev/null", "-w", "%{time_pretransfer}"};
  if (kind == ProxyKind::socks5) {
    argv.insert(argv.end(), {"--socks5-hostname", "127.0.0.1:" + std::to_string(proxy.port), "--proxy-user",
                             "alice:s3cret"});
  } else {
    argv.insert(argv.end(), {"--proxy", "http://127.0.0.1:" + std::to_string(proxy.port), "--proxytunnel"});
  }
  argv.push_back(url);
  for (auto _ : state) {
    const auto r = test::runCommand(argv, "", 10);
    if (r.exitStatus != 0) return state.SkipWithError(("curl failed: " + r.err).c_str());
    state.SetIterationTime(std::stod(r.out));
  }
}

void BM_OpenSocks5(benchmark::State& state) { openTunnels(state, ProxyKind::socks5); }
void BM_CurlSocks5(benchmark::State& state) { curlTunnels(state, ProxyKind::socks5); }
void BM_OpenHttpConnect(benchmark::State& state) { openTunnels(state, ProxyKind::http); }
void BM_CurlHttpConnect(benchmark::State& state) { curlTunnels(state, ProxyKind::http); }

// Prints, after the table, each subject's figure against its baseline:
// throughput as subject/baseline (higher is better), latency as
// subject/baseline time (lower is better). Each benchmark runs in several
// rounds that alternate with its baseline, so that load from elsewhere on
// the machine falls on both alike; the figures are medians over the rounds.
class Comparison : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (!run.error_occurred && run.run_type == Run::RT_Iteration) {
        times_[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto median = [&](const std::string& name) {
      auto v = times_[name];
      std::sort(v.begin(), v.end());
      return v[v.size() / 2];
    };
    auto ratio = [&](const char* subject, const char* baseline, bool throughput, const char* unit) {
      if (times_[subject].empty() || times_[baseline].empty()) {
        std::printf("%-20s / %-16s not measured\n", subject, baseline);
        return;
      }
      const double a = median(subject), b = median(baseline);
      const double r = throughput ? b / a : a / b;
      std::printf("%-20s / %-16s %-10s ratio %.3f  (medians %.4g %s vs %.4g %s)\n", subject, baseline,
                  throughput ? "throughput" : "time", r, a, unit, b, unit);
    };
    ratio("BM_DownloadFramed", "BM_DownloadBare", true, "ms");
    ratio("BM_UploadFramed", "BM_UploadBare", true, "ms");
    ratio("BM_OpenSocks5", "BM_CurlSocks5", false, "us");
    ratio("BM_OpenHttpConnect", "BM_CurlHttpConnect", false, "us");
  }

 private:
  std::map<std::string, std::vector<double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  Proxies running;
  proxies = &running;
  constexpr int kRounds = 9;
  for (int round = 0; round < kRounds; ++round) {
    using Fn = void (*)(benchmark::State&);
    const std::pair<const char*, Fn> pairs[] = {{"BM_DownloadBare", BM_DownloadBare},
                                                {"BM_DownloadFramed", BM_DownloadFramed},
                                                {"BM_UploadBare", BM_UploadBare},
                                                {"BM_UploadFramed", BM_UploadFramed}};
    for (auto [name, fn] : pairs) {
      benchmark::RegisterBenchmark(name, fn)->Arg(round)->ArgName("round")->Unit(benchmark::kMillisecond)
          ->UseRealTime()->Iterations(3);
    }
  }
  for (int round = 0; round < kRounds; ++round) {
    using Fn = void (*)(benchmark::State&);
    const std::tuple<const char*, Fn, int> runs[] = {{"BM_OpenSocks5", BM_OpenSocks5, 50},
                                                     {"BM_CurlSocks5", BM_CurlSocks5, 8},
                                                     {"BM_OpenHttpConnect", BM_OpenHttpConnect, 50},
                                                     {"BM_CurlHttpConnect", BM_CurlHttpConnect, 8}};
    for (auto [name, fn, iterations] : runs) {
      benchmark::RegisterBenchmark(name, fn)->Arg(round)->ArgName("round")->Unit(benchmark::kMicrosecond)
          ->UseManualTime()->Iterations(iterations);
    }
  }
  Comparison reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
