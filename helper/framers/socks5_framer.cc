#include "helper/framers/socks5_framer.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include "helper/framers/proxy_framer.h"

namespace helper {
namespace {

using stream::ByteView;
using stream::FramerInstance;

constexpr uint8_t kVersion = 0x05;
constexpr uint8_t kMethodNone = 0x00;
constexpr uint8_t kMethodUserPass = 0x02;
constexpr uint8_t kUserPassVersion = 0x01;
constexpr uint8_t kCommandConnect = 0x01;
constexpr uint8_t kAddressIPv4 = 0x01;
constexpr uint8_t kAddressDomain = 0x03;
constexpr uint8_t kAddressIPv6 = 0x04;

// The first at most 255 bytes of the UTF-8 text, cut at a byte boundary
// even inside a character: SOCKS length fields are one byte.
std::string_view prefix255(const std::string& text) {
  return std::string_view(text).substr(0, 255);
}

void appendField(std::vector<uint8_t>& out, std::string_view field) {
  out.push_back(static_cast<uint8_t>(field.size()));
  out.insert(out.end(), field.begin(), field.end());
}

}  // namespace

stream::StartResult SOCKS5Framer::start(FramerInstance& framer) {
  // Without a setup the stream fails here, so every later step has one.
  if (!setup_) {
    fail(framer, EINVAL);
    return stream::StartResult::ready;
  }
  const bool offerCredentials = setup_->proxy.username || setup_->proxy.password;
  std::vector<uint8_t> greeting{kVersion};
  if (offerCredentials) {
    greeting.insert(greeting.end(), {0x02, kMethodNone, kMethodUserPass});
  } else {
    greeting.insert(greeting.end(), {0x01, kMethodNone});
  }
  framer.writeOutput(greeting);
  state_ = State::awaitingMethod;
  return stream::StartResult::willMarkReady;
}

size_t SOCKS5Framer::handleInput(FramerInstance& framer) {
  for (;;) {
    bool progressed = false;
    switch (state_) {
      case State::initial:
      case State::failed:
        return 0;
      case State::awaitingMethod:
        progressed = readMethodReply(framer);
        break;
      case State::awaitingAuth:
        progressed = readAuthReply(framer);
        break;
      case State::awaitingConnectHeader:
        progressed = readConnectHeader(framer);
        break;
      case State::awaitingConnectAddr:
        progressed = readConnectAddr(framer);
        break;
      case State::ready:
        passThrough(framer);
        return 0;
    }
    if (!progressed) return 0;
  }
}

bool SOCKS5Framer::readMethodReply(FramerInstance& framer) {
  uint8_t version = 0;
  uint8_t method = 0;
  const bool parsed = framer.parseInput(2, 2, [&](ByteView bytes, bool) -> size_t {
    if (bytes.size() < 2) return 0;
    version = bytes[0];
    method = bytes[1];
    return 2;
  });
  if (!parsed) return false;
  if (version != kVersion) {
    fail(framer, EBADMSG);
  } else if (method == kMethodUserPass) {
    // Honoured as the proxy chose it, whatever the greeting offered.
    const auto& proxy = setup_->proxy;
    if (!proxy.username || !proxy.password) {
      fail(framer, kEAUTH);
      return true;
    }
    const std::string_view user = prefix255(*proxy.username);
    const std::string_view password = prefix255(*proxy.password);
    std::vector<uint8_t> request{kUserPassVersion};
    request.reserve(3 + user.size() + password.size());
    appendField(request, user);
    appendField(request, password);
    framer.writeOutput(request);
    state_ = State::awaitingAuth;
  } else if (method == kMethodNone) {
    sendConnect(framer, setup_->target);
    state_ = State::awaitingConnectHeader;
  } else {
    fail(framer, EPROTONOSUPPORT);
  }
  return true;
}

bool SOCKS5Framer::readAuthReply(FramerInstance& framer) {
  uint8_t status = 1;
  const bool parsed = framer.parseInput(2, 2, [&](ByteView bytes, bool) -> size_t {
    if (bytes.size() < 2) return 0;
    status = bytes[1];  // byte 0, the sub-negotiation version, is not examined
    return 2;
  });
  if (!parsed) return false;
  if (status != 0x00) {
    fail(framer, kEAUTH);
    return true;
  }
  sendConnect(framer, setup_->target);
  state_ = State::awaitingConnectHeader;
  return true;
}

void SOCKS5Framer::sendConnect(FramerInstance& framer, const ProxyTarget& target) {
  // Always a domain name: the host text goes to the proxy unchanged, also
  // for address literals, and the proxy interprets it.
  const std::string_view host = prefix255(target.host);
  std::vector<uint8_t> request{kVersion, kCommandConnect, 0x00, kAddressDomain};
  request.reserve(7 + host.size());
  appendField(request, host);
  request.push_back(static_cast<uint8_t>(target.port >> 8));
  request.push_back(static_cast<uint8_t>(target.port & 0xFF));
  framer.writeOutput(request);
}

bool SOCKS5Framer::readConnectHeader(FramerInstance& framer) {
  std::vector<uint8_t> header;
  const bool parsed = framer.parseInput(4, 4, [&](ByteView bytes, bool) -> size_t {
    if (bytes.size() < 4) return 0;
    header.assign(bytes.begin(), bytes.begin() + 4);
    return 4;
  });
  if (!parsed || header.size() != 4) return false;
  if (header[0] != kVersion) {
    fail(framer, EBADMSG);
  } else if (header[1] != 0x00) {
    fail(framer, ECONNREFUSED);  // whatever the reply code
  } else {
    connectHeader_ = std::move(header);
    state_ = State::awaitingConnectAddr;
  }
  return true;
}

bool SOCKS5Framer::readConnectAddr(FramerInstance& framer) {
  // The bound address and port follow the header; they are read and thrown
  // away. Their length depends on the address type.
  size_t length = 0;
  switch (connectHeader_[3]) {
    case kAddressIPv4:
      length = 4 + 2;
      break;
    case kAddressIPv6:
      length = 16 + 2;
      break;
    case kAddressDomain: {
      size_t nameLength = 0;
      const bool peeked = framer.parseInput(1, 1, [&](ByteView bytes, bool) -> size_t {
        if (!bytes.empty()) nameLength = bytes[0];
        return 0;  // a peek: the length byte is consumed with the rest
      });
      if (!peeked) return false;
      length = 1 + nameLength + 2;
      break;
    }
    default:
      fail(framer, EBADMSG);
      return true;
  }
  const bool parsed = framer.parseInput(length, length, [&](ByteView bytes, bool) -> size_t {
    return bytes.size() >= length ? length : 0;
  });
  if (!parsed) return false;
  state_ = State::ready;
  framer.markReady();
  return true;
}

void SOCKS5Framer::fail(FramerInstance& framer, int code) {
  framer.markFailed(code);
  state_ = State::failed;
}

}  // namespace helper
