#include "helper/framers/http_connect_framer.h"

#include <openssl/evp.h>

#include <cerrno>
#include <charconv>
#include <vector>

#include "helper/framers/proxy_framer.h"
#include "platform/text/utf8.h"

namespace helper {
namespace {

using stream::ByteView;
using stream::FramerInstance;

constexpr std::string_view kHeadEnd = "\r\n\r\n";

std::string base64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3), '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

// The text split at spaces, runs of spaces counting as one, empty pieces
// left out; at most `limit` pieces are returned (only the leading ones are
// wanted). A space followed by a scalar that extends it (a combining mark,
// say) is part of a larger character, not a separator. Invalid UTF-8 stays
// in its piece as it is (it can neither be a space nor join one).
std::vector<std::string_view> splitAtSpaces(std::string_view text, size_t limit) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  size_t pos = 0;
  while (pos < text.size() && pieces.size() < limit) {
    size_t next = pos;
    const auto scalar = utf8::decodeNext(text, next);
    if (!scalar) next = pos + 1;
    if (scalar == U' ') {
      size_t after = next;
      const auto following = utf8::decodeNext(text, after);
      if (!following || !utf8::extendsCharacter(*following)) {
        if (pos > start) pieces.push_back(text.substr(start, pos - start));
        start = next;
      }
    }
    pos = next;
  }
  if (pieces.size() < limit && start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

// An optional "+" or "-" and one or more ASCII digits, nothing else, within
// the signed 64-bit range.
std::optional<int64_t> decimalInteger(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // from_chars reads a leading "-" itself, but not a "+".
  const std::string_view number = text[0] == '+' ? digits : text;
  int64_t value = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
  return value;
}

}  // namespace

std::string HTTPConnectFramer::connectRequest(const ProxyConnectSetup& setup) {
  const auto& host = setup.target.host;
  const std::string port = std::to_string(setup.target.port);
  const std::string authority = host.find(':') != std::string::npos
                                    ? "[" + host + "]:" + port
                                    : host + ":" + port;
  std::string request = "CONNECT " + authority + " HTTP/1.1\r\n";
  request += "Host: " + authority + "\r\n";
  const auto& proxy = setup.proxy;
  if (proxy.username && proxy.password) {
    request += "Proxy-Authorization: Basic " + base64(*proxy.username + ":" + *proxy.password) + "\r\n";
  }
  request += "Proxy-Connection: keep-alive\r\n";
  request += "\r\n";
  return request;
}

std::optional<int64_t> HTTPConnectFramer::statusCode(std::string_view head) {
  const std::string_view statusLine = head.substr(0, head.find("\r\n"));
  const auto pieces = splitAtSpaces(statusLine, 2);
  if (pieces.size() < 2) return std::nullopt;
  return decimalInteger(pieces[1]);
}

stream::StartResult HTTPConnectFramer::start(FramerInstance& framer) {
  if (!setup_) {
    fail(framer, EINVAL);
    return stream::StartResult::ready;
  }
  const std::string request = connectRequest(*setup_);
  framer.writeOutput(ByteView(reinterpret_cast<const uint8_t*>(request.data()), request.size()));
  state_ = State::awaitingResponse;
  return stream::StartResult::willMarkReady;
}

size_t HTTPConnectFramer::handleInput(FramerInstance& framer) {
  for (;;) {
    switch (state_) {
      case State::initial:
      case State::failed:
        return 0;
      case State::awaitingResponse:
        if (!readConnectResponse(framer)) return 0;
        break;
      case State::ready:
        passThrough(framer);
        return 0;
    }
  }
}

bool HTTPConnectFramer::readConnectResponse(FramerInstance& framer) {
  size_t consumed = 0;
  bool tooLong = false;
  std::string head;
  const bool parsed = framer.parseInput(1, kMaxHead, [&](ByteView bytes, bool) -> size_t {
    if (bytes.size() < 4) return 0;
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const size_t end = text.find(kHeadEnd);
    if (end == std::string_view::npos) {
      // The end of a head must lie within the first kMaxHead bytes; once
      // that many are here without it, no more input can help.
      tooLong = bytes.size() >= kMaxHead;
      return 0;
    }
    head.assign(text.substr(0, end));
    consumed = end + kHeadEnd.size();
    return consumed;
  });
  if (tooLong) {
    fail(framer, EBADMSG);
    return true;
  }
  if (!parsed || consumed == 0) return false;
  const auto code = statusCode(head);
  if (!code) {
    fail(framer, EBADMSG);
  } else if (*code == 407) {
    fail(framer, kEAUTH);
  } else if (*code >= 200 && *code <= 299) {
    state_ = State::ready;
    framer.markReady();
  } else {
    fail(framer, ECONNREFUSED);
  }
  return true;
}

void HTTPConnectFramer::fail(FramerInstance& framer, int code) {
  framer.markFailed(code);
  state_ = State::failed;
}

}  // namespace helper
