// Any text as a proxy URL: parsing never crashes, and whatever it accepts
// keeps the invariants the rest of the service relies on.
#include <cstdlib>
#include <string_view>

#include "helper/config/proxy_config.h"
#include "platform/text/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto config = helper::ProxyConfig::parse(text);
  if (config) {
    if (config->host.empty() || config->port == 0) std::abort();
    if (config->username && (config->username->empty() || !helper::utf8::isValid(*config->username))) std::abort();
    if (config->password && (config->password->empty() || !helper::utf8::isValid(*config->password))) std::abort();
    if (!helper::utf8::isValid(config->host)) std::abort();
    // Parsing is a pure function.
    if (!(helper::ProxyConfig::parse(text) == config)) std::abort();
  }
  return 0;
}
