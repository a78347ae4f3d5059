// Any upstream into the configuration writer: it either refuses the host or
// writes a file whose line structure no credential can change, in characters
// every YAML reader takes as they are.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "helper/config/engine_config.h"
#include "platform/text/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // Layout: kind byte, two length bytes, then host, user name, password.
  const auto kind = data[0] & 1 ? helper::ProxyKind::http : helper::ProxyKind::socks5;
  const size_t hostLength = std::min<size_t>(data[1], size - 3);
  const size_t userLength = std::min<size_t>(data[2], size - 3 - hostLength);
  const char* p = reinterpret_cast<const char*>(data + 3);
  helper::ProxyConfig config;
  config.kind = kind;
  config.port = static_cast<uint16_t>(size);
  config.host.assign(p, hostLength);
  std::string user(p + hostLength, userLength);
  std::string pass(p + hostLength + userLength, size - 3 - hostLength - userLength);
  if (!user.empty()) config.username = user;
  if (!pass.empty()) config.password = pass;
  const helper::Result<std::string> written = helper::makeConfig(config, "utun0");
  if (written.ok() != helper::isValidHost(config.host)) std::abort();
  if (!written) return 0;
  const std::string& text = *written;
  // Escaping keeps every credential on its own line: the line count depends
  // only on whether credentials are written.
  static const size_t plainLines = [] {
    helper::ProxyConfig c{"h", 1, {}, {}, helper::ProxyKind::socks5};
    const std::string t = *helper::makeConfig(c, "utun0");
    return static_cast<size_t>(std::count(t.begin(), t.end(), '\n'));
  }();
  const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  const bool credentials = config.username || config.password;
  if (lines != plainLines + (credentials ? 1 : 0)) std::abort();
  // No control but LF, and nothing a YAML reader refuses (DEL, C1,
  // non-characters, a byte-order mark where the engine's reader refills its
  // buffer) or takes as a line break (NEL, LS, PS).
  for (size_t pos = 0; pos < text.size();) {
    const auto c = helper::utf8::decodeNext(text, pos);
    if (!c) std::abort();
    if ((*c < 0x20 && *c != '\n') || (*c >= 0x7f && *c <= 0x9f) || *c == 0x2028 || *c == 0x2029 ||
        (*c >= 0xfdd0 && *c <= 0xfdef) || (*c & 0xfffe) == 0xfffe || *c == 0xfeff) {
      std::abort();
    }
  }
  return 0;
}
