// Proxy framer costs, each against a baseline measured in the same run:
//  - pass-through throughput of the socket driver after a SOCKS5 handshake,
//    downloading and uploading, against bare recv()/send() on a loopback
//    socket. Goal: at least 0.9x the bare throughput, i.e. a time ratio
//    Framed / Bare of at most 1.11;
//  - the time to open a tunnel (connect to the proxy and handshake) through
//    microsocks with a user name and password and through squid, against
//    curl's own figure for the same steps (`%{time_pretransfer}` with
//    --socks5-hostname / --proxytunnel) to the same proxy and target.
// The repetitions of each group are interleaved at random, so that load from
// elsewhere on the machine falls on subject and baseline alike; ratios are of
// medians.
// Without the proxies (Debian packages microsocks, squid) or curl the
// latency benchmarks say so and are skipped.
#include <benchmark/benchmark.h>
#include <signal.h>

#include "bench/support/bench_env.h"
#include "helper/framers/proxy_connect.h"
#include "helper/framers/socks5_framer.h"
#include "tests/framers/peers.h"
#include "tests/framers/split_harness.h"
#include "tests/support/run_command.h"

namespace {

using namespace helper;
using namespace helper::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kTransfer = 64u << 20;  // per iteration

// Moves kTransfer bytes per iteration from the far end of a loopback
// connection (download) or to it (upload), through the socket driver after
// a SOCKS5 handshake (`framed`) or with bare socket calls.
void throughput(benchmark::State& state, bool download, bool framed) {
  uint16_t port = 0;
  const int listener = listenLoopback(&port);
  auto connection = stream::connectTcp("127.0.0.1", port, Clock::now() + 5s);
  if (!connection) {
    ::close(listener);
    return state.SkipWithError(connection.error().message.c_str());
  }
  std::jthread peer([far = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC), download, framed] {
    std::vector<char> buf(kChunk, 'x');
    const bool ok = !framed || (readExactly(far, 3) && writeAll(far, bytes({5, 0})) && readExactly(far, 8) &&
                                writeAll(far, bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80})));
    while (ok && (download ? ::send(far, buf.data(), buf.size(), MSG_NOSIGNAL)
                            : ::read(far, buf.data(), buf.size())) > 0) {
    }
    ::close(far);
  });
  ::close(listener);
  // Declared after the peer, so that the socket is closed before it is joined.
  UniqueFd fd = std::move(*connection);
  std::unique_ptr<stream::SocketStream> s;
  if (framed) {
    ProxyConnectCoordinator::publish({ProxyConfig{"127.0.0.1", port, {}, {}, ProxyKind::socks5}, {"t", 1}});
    s = std::make_unique<stream::SocketStream>(std::move(fd), SOCKS5Framer::definition());
    ProxyConnectCoordinator::withdraw();
    if (auto ready = s->handshake(Clock::now() + 5s); !ready) return state.SkipWithError(ready.error().message.c_str());
  }
  Bytes buf(kChunk, 'y');
  for (auto _ : state) {
    for (size_t done = 0; done < kTransfer;) {
      ssize_t n = -1;
      if (framed && download) {
        const auto got = s->read(buf);
        n = got ? static_cast<ssize_t>(*got) : -1;
      } else if (framed) {
        n = s->write(buf) ? static_cast<ssize_t>(buf.size()) : -1;
      } else {
        n = download ? ::recv(fd.get(), buf.data(), buf.size(), 0)
                     : ::send(fd.get(), buf.data(), buf.size(), MSG_NOSIGNAL);
      }
      if (n <= 0) return state.SkipWithError("transfer failed");
      done += static_cast<size_t>(n);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
}

// The proxies, and an HTTP server as the tunnels' target so that curl gets
// an answer.
struct Proxies {
  TempDir dir;
  LoopbackServer target{"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", false};
  Server microsocks, squid;
  std::string missing = missingProgram("/usr/bin/microsocks", "microsocks") +
                        missingProgram("/usr/sbin/squid", "squid") + missingProgram("/usr/bin/curl", "curl");
  Proxies() {
    if (!missing.empty()) return;
    microsocks = startMicrosocks(dir, "alice");
    squid = startSquid(dir);
    if (!microsocks->waitUntilListening() || !squid->waitUntilListening()) missing = "a proxy did not start";
  }
  ProxyConfig config(ProxyKind kind) const {
    return kind == ProxyKind::socks5 ? ProxyConfig{"127.0.0.1", microsocks->port(), "alice", kPassword, kind}
                                     : ProxyConfig{"127.0.0.1", squid->port(), {}, {}, kind};
  }
};

void openTunnels(benchmark::State& state, const Proxies& proxies, ProxyKind kind) {
  if (!proxies.missing.empty()) return state.SkipWithError(proxies.missing.c_str());
  const ProxyConfig proxy = proxies.config(kind);
  for (auto _ : state) {
    const auto began = Clock::now();
    const auto deadline = began + 5s;
    auto connection = stream::connectTcp(proxy.host, proxy.port, deadline);
    const auto tunnel = connection ? openTunnel(std::move(*connection), proxy,
                                                ProxyTarget{"127.0.0.1", proxies.target.port()}, deadline)
                                   : connection.error();
    if (!tunnel) return state.SkipWithError(tunnel.error().message.c_str());
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - began).count());
  }
}

void curlTunnels(benchmark::State& state, const Proxies& proxies, ProxyKind kind) {
  if (!proxies.missing.empty()) return state.SkipWithError(proxies.missing.c_str());
  const auto proxy = proxies.config(kind);
  const std::string at = "127.0.0.1:" + std::to_string(proxy.port);
  std::vector<std::string> argv{"/usr/bin/curl", "-s", "-o", "/dev/null", "-w", "%{time_pretransfer}"};
  if (kind == ProxyKind::socks5) {
    argv.insert(argv.end(), {"--socks5-hostname", at, "--proxy-user", "alice:" + kPassword});
  } else {
    argv.insert(argv.end(), {"--proxy", "http://" + at, "--proxytunnel"});
  }
  argv.push_back("http://127.0.0.1:" + std::to_string(proxies.target.port()) + "/");
  for (auto _ : state) {
    const auto r = runCommand(argv, "", 10);
    if (r.exitStatus != 0) return state.SkipWithError(("curl failed: " + r.err).c_str());
    state.SetIterationTime(std::stod(r.out));
  }
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);  // flags given on the command line come later and win
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  const Proxies proxies;
  // Throughput first, then tunnel opening, each pass interleaved on its own:
  // opening a tunnel right after 64 MiB transfers takes several times longer.
  helper::bench::RatioReporter throughputs, openings;
  for (const char* direction : {"Download", "Upload"}) {
    for (const char* kind : {"Bare", "Framed"}) {
      const std::string name = std::string("BM_") + direction + kind;
      benchmark::RegisterBenchmark(name.c_str(), throughput, direction[0] == 'D', kind[0] == 'F')
          ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Repetitions(9)->ReportAggregatesOnly();
    }
    throughputs.compare(std::string("BM_") + direction + "Framed", std::string("BM_") + direction + "Bare");
  }
  benchmark::RunSpecifiedBenchmarks(&throughputs);
  benchmark::ClearRegisteredBenchmarks();
  for (const auto& [kind, name] : {std::pair(ProxyKind::socks5, "Socks5"), std::pair(ProxyKind::http, "HttpConnect")}) {
    benchmark::RegisterBenchmark(("BM_Open" + std::string(name)).c_str(), openTunnels, std::cref(proxies), kind)
        ->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(50)->Repetitions(9)->ReportAggregatesOnly();
    benchmark::RegisterBenchmark(("BM_Curl" + std::string(name)).c_str(), curlTunnels, std::cref(proxies), kind)
        ->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(8)->Repetitions(9)->ReportAggregatesOnly();
    openings.compare("BM_Open" + std::string(name), "BM_Curl" + std::string(name));
  }
  benchmark::RunSpecifiedBenchmarks(&openings);
  benchmark::Shutdown();
  return 0;
}
