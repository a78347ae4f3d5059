#include "tests/framers/split_harness.h"

#include <cstdio>
#include <random>

namespace helper::test {

Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string hex(ByteView data) {
  std::string out;
  char buf[4];
  for (uint8_t b : data) {
    std::snprintf(buf, sizeof buf, "%02x ", b);
    out += buf;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

ProxyConnectSetup makeSetup(std::optional<std::string> username, std::optional<std::string> password,
                            std::string targetHost, uint16_t targetPort, ProxyKind kind) {
  ProxyConfig proxy;
  proxy.host = "proxy.test";
  proxy.port = 1080;
  proxy.username = std::move(username);
  proxy.password = std::move(password);
  proxy.kind = kind;
  return ProxyConnectSetup{proxy, ProxyTarget{std::move(targetHost), targetPort}};
}

std::unique_ptr<stream::MemoryFramerDriver> makeDriver(const stream::FramerDefinition& definition,
                                                       const std::optional<ProxyConnectSetup>& setup) {
  ProxyConnectCoordinator::withdraw();
  if (setup) ProxyConnectCoordinator::publish(*setup);
  auto driver = std::make_unique<stream::MemoryFramerDriver>(definition);
  ProxyConnectCoordinator::withdraw();  // clears the early mark
  return driver;
}

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  out << "{ready=" << o.ready << " failure=" << (o.failure ? std::to_string(*o.failure) : "-")
      << " writes=[";
  for (const auto& w : o.writes) out << "(" << hex(w) << ")";
  out << "] delivered=(" << hex(o.delivered) << ") consumedAtEnd=" << o.consumedAtEnd
      << " consumed=" << o.consumed << " buffered=" << o.buffered
      << " zeros=" << o.handleInputAlwaysZero << "}";
  return out;
}

Outcome runSplit(const stream::FramerDefinition& definition,
                 const std::optional<ProxyConnectSetup>& setup, ByteView proxyBytes,
                 const std::vector<size_t>& cuts) {
  auto driver = makeDriver(definition, setup);
  driver->start();
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    const size_t to = i < cuts.size() ? cuts[i] : proxyBytes.size();
    driver->receive(proxyBytes.subspan(from, to - from));
    from = to;
  }
  Outcome o;
  o.ready = driver->isReady();
  o.failure = driver->failure();
  o.writes = driver->writes();
  o.delivered = driver->delivered();
  o.consumedAtEnd = o.failure ? driver->consumedAtFailure() : driver->consumedAtReady();
  o.consumed = driver->consumed();
  o.buffered = driver->buffered();
  for (size_t r : driver->handleInputResults()) o.handleInputAlwaysZero &= r == 0;
  return o;
}

std::vector<std::vector<size_t>> splitsOf(size_t length, size_t randomSplits) {
  std::vector<std::vector<size_t>> splits;
  if (length <= 1) return {{}};
  if (length <= kExhaustiveLimit) {
    const uint32_t count = 1u << (length - 1);
    for (uint32_t mask = 0; mask < count; ++mask) {
      std::vector<size_t> cuts;
      for (size_t bit = 0; bit < length - 1; ++bit) {
        if (mask & (1u << bit)) cuts.push_back(bit + 1);
      }
      splits.push_back(std::move(cuts));
    }
    return splits;
  }
  splits.push_back({});
  std::vector<size_t> everyByte;
  for (size_t a = 1; a < length; ++a) {
    everyByte.push_back(a);
    splits.push_back({a});
    for (size_t b = a + 1; b < length; ++b) splits.push_back({a, b});
  }
  splits.push_back(everyByte);
  std::mt19937 random(12345);
  for (size_t i = 0; i < randomSplits; ++i) {
    std::vector<size_t> cuts;
    for (size_t a = 1; a < length; ++a) {
      if (random() % 3 == 0) cuts.push_back(a);
    }
    splits.push_back(std::move(cuts));
  }
  return splits;
}

}  // namespace helper::test
