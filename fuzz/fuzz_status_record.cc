// Any JSON value as a status record: decoding never fails, and a decoded
// record survives encoding and decoding unchanged.
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "helper/front/helper_status.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const nlohmann::json archive = nlohmann::json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
  if (archive.is_discarded()) return 0;
  const helper::HelperStatus record = helper::HelperStatus::decode(archive);
  const nlohmann::ordered_json encoded = record.encode();
  // The direct writer and the library write the same text.
  if (record.encodeText() != encoded.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) std::abort();
  if (!helper::HelperStatus::hasStatusClass(nlohmann::json::parse(encoded.dump()))) std::abort();
  const helper::HelperStatus back = helper::HelperStatus::decode(nlohmann::json::parse(
      encoded.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)));
  // Text that is not UTF-8 is mended on the way out; everything else is kept.
  if (back.isActive() != record.isActive() || back.relaySessionsCount() != record.relaySessionsCount() ||
      back.bridgePort() != record.bridgePort() || back.activeProxyHost().has_value() != record.activeProxyHost().has_value()) {
    std::abort();
  }
  if (back.activeSinceUnixTime() != record.activeSinceUnixTime()) std::abort();
  return 0;
}
