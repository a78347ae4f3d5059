#include "helper/config/proxy_config.h"

#include <algorithm>
#include <vector>

#include "platform/text/uri.h"
#include "platform/text/utf8.h"

namespace helper {

std::string_view rawValue(ProxyKind kind) {
  return kind == ProxyKind::http ? "http" : "socks5";
}

namespace {

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool startsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// "host:port:user:pass" -> "user:pass@host:port", when the text has that form
// and host, port and user name are not empty.
std::string rewriteFourFieldForm(std::string text) {
  if (contains(text, "@") || contains(text, "[") || contains(text, "://")) return text;
  if (std::count(text.begin(), text.end(), ':') != 3) return text;
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1) {
    fields.push_back(text.substr(start, colon - start));
  }
  fields.push_back(text.substr(start));
  const auto& [host, port, user, pass] = std::tie(fields[0], fields[1], fields[2], fields[3]);
  if (host.empty() || port.empty() || user.empty()) return text;
  return user + ":" + pass + "@" + host + ":" + port;
}

std::optional<uint16_t> parsePort(const std::optional<std::string>& digits) {
  if (!digits || digits->empty() || digits->size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : *digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value < 1 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

// A decoded credential; empty or undecodable counts as absent.
std::optional<std::string> credential(std::string_view raw) {
  auto decoded = uri::percentDecode(raw);
  if (!decoded || decoded->empty()) return std::nullopt;
  return decoded;
}

}  // namespace

std::optional<ProxyConfig> ProxyConfig::parse(std::string_view input) {
  const std::string_view trimmed = utf8::trimWhitespaceAndNewlines(input);
  if (trimmed.empty()) return std::nullopt;

  // The kind is decided on the text as typed, before any rewriting, so the
  // four-field form is always SOCKS5.
  const ProxyKind kind =
      startsWithIgnoringAsciiCase(trimmed, "http://") ? ProxyKind::http : ProxyKind::socks5;

  std::string text = rewriteFourFieldForm(std::string(trimmed));
  if (!contains(text, "://")) text = "socks5://" + text;

  const auto authority = uri::parseAuthority(text);
  if (!authority || !authority->host) return std::nullopt;

  ProxyConfig config;
  config.kind = kind;
  // A host that does not decode to UTF-8 is no host at all.
  auto host = uri::percentDecode(*authority->host);
  if (!host || host->empty()) return std::nullopt;
  config.host = std::move(*host);

  const auto port = parsePort(authority->port);
  if (!port) return std::nullopt;
  config.port = *port;

  if (authority->userInfo) {
    const std::string& info = *authority->userInfo;
    const size_t colon = info.find(':');
    config.username = credential(std::string_view(info).substr(0, colon));
    if (colon != std::string::npos) {
      config.password = credential(std::string_view(info).substr(colon + 1));
    }
  }
  return config;
}

}  // namespace helper
