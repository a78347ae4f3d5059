#include "platform/text/uri.h"

#include <uriparser/Uri.h>

#include <vector>

#include "platform/text/utf8.h"

namespace helper::uri {
namespace {

std::optional<std::string> rangeText(const UriTextRangeA& range) {
  if (range.first == nullptr || range.afterLast == nullptr) return std::nullopt;
  return std::string(range.first, range.afterLast);
}

}  // namespace

std::optional<Authority> parseAuthority(std::string_view text) {
  // uriparser reads up to the end pointer, so embedded NULs are simply
  // characters the grammar refuses.
  UriUriA parsed;
  UriParserStateA state;
  state.uri = &parsed;
  if (uriParseUriExA(&state, text.data(), text.data() + text.size()) != URI_SUCCESS) {
    uriFreeUriMembersA(&parsed);
    return std::nullopt;
  }
  Authority out;
  out.userInfo = rangeText(parsed.userInfo);
  out.host = rangeText(parsed.hostText);
  out.port = rangeText(parsed.portText);
  uriFreeUriMembersA(&parsed);
  return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  const char* end = uriUnescapeInPlaceExA(buf.data(), URI_FALSE, URI_BR_DONT_TOUCH);
  std::string out(buf.data(), static_cast<size_t>(end - buf.data()));
  if (!utf8::isValid(out)) return std::nullopt;
  return out;
}

}  // namespace helper::uri
