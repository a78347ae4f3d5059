// The text helpers under the URL parser and the configuration writer: UTF-8
// validity, trimming and character prefixes, URI authorities and percent
// decoding, and the directory part of a path.
#include <gtest/gtest.h>

#include "platform/paths/paths.h"
#include "platform/text/uri.h"
#include "platform/text/utf8.h"

namespace helper {
namespace {

using namespace std::string_literals;
using testing::PrintToString;

// Each length at both ends of its range, and each way a sequence is not the
// shortest form of one scalar.
TEST(Utf8Test, OnlyTheShortestFormOfAScalarDecodes) {
  const std::pair<std::string, std::optional<char32_t>> cases[] = {
      {"\x7F", 0x7F}, {"\xC2\x80", 0x80}, {"\xDF\xBF", 0x7FF}, {"\xE0\xA0\x80", 0x800}, {"\xEF\xBF\xBF", 0xFFFF},
      {"\xF0\x90\x80\x80", 0x10000}, {"\xF4\x8F\xBF\xBF", 0x10FFFF},
      {"\xC1\xBF", {}}, {"\xE0\x9F\xBF", {}}, {"\xF0\x8F\xBF\xBF", {}},  // overlong
      {"\xED\xA0\x80", {}}, {"\xED\xBF\xBF", {}},                          // surrogates
      {"\xF4\x90\x80\x80", {}}, {"\xF8\x88\x80\x80\x80", {}},              // beyond U+10FFFF
      {"\x80", {}}, {"\xE2\x82", {}}, {"\xE2\x28\xA1", {}},                // stray, truncated, broken
  };
  for (const auto& [text, scalar] : cases) {
    size_t pos = 0;
    EXPECT_EQ(utf8::decodeNext(text, pos), scalar) << PrintToString(text);
    EXPECT_EQ(pos, scalar ? text.size() : 0u) << PrintToString(text);
    EXPECT_EQ(utf8::isValid("ok" + text + "ok"), scalar.has_value()) << PrintToString(text);
    std::string encoded;
    if (scalar) utf8::append(encoded, *scalar);
    EXPECT_EQ(encoded, scalar ? text : "") << PrintToString(text);
  }
}

TEST(Utf8Test, TrimAndPrefixTakeWholeCharacters) {
  const std::pair<std::string, std::string> trims[] = {
      {" \t\r\n a b \v\f", "a b"},
      {"\u00A0\u1680\u2000\u200A\u202F\u205F\u3000x\u2028\u2029\u0085", "x"},
      {"\u200Bx\u180E", "\u200Bx\u180E"},  // not white space
      {"  \xC3 x\xA0  ", "\xC3 x\xA0"},    // invalid bytes stop the trim
  };
  for (const auto& [text, trimmed] : trims) EXPECT_EQ(utf8::trimWhitespaceAndNewlines(text), trimmed) << text;
  const std::tuple<std::string, size_t, std::string> prefixes[] = {
      {"h\u00E9llo", 2, "h\u00E9"},
      {"e\u0301\u20DDx", 1, "e\u0301\u20DD"},  // combining marks
      {"\r\nx", 1, "\r\n"},
      {"\n\rx", 1, "\n"},
      {"\U0001F44D\U0001F3FD\uFE0F\U000E0061x", 1, "\U0001F44D\U0001F3FD\uFE0F\U000E0061"},
      {"a\u200Dbc", 1, "a\u200Db"},  // a joiner binds both sides
      {"\u0301ab", 1, "\u0301"},     // a mark at the start starts a character
      {"abc", 0, ""},
      {"ab\xFF" "cd", 5, "ab"},
  };
  for (const auto& [text, count, prefix] : prefixes) EXPECT_EQ(utf8::prefixCharacters(text, count), prefix) << text;
}

TEST(UriTest, AuthorityPartsStayEncodedAndDecodeOnce) {
  using Part = std::optional<std::string>;
  const std::tuple<std::string, Part, Part, Part> valid[] = {
      {"socks5://u%40x:p@h.example:1080/", "u%40x:p", "h.example", "1080"},
      {"http://[2001:db8::1]:8080", {}, "2001:db8::1", "8080"},
      {"http://h", {}, "h", {}},
      {"mailto:x", {}, {}, {}},
  };
  for (const auto& [text, userInfo, host, port] : valid) {
    const auto parsed = uri::parseAuthority(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(std::make_tuple(parsed->userInfo, parsed->host, parsed->port), std::make_tuple(userInfo, host, port));
  }
  for (const std::string& text : {"http://h h"s, "http://h:1\0"s "080", "http://h:x"s}) {
    EXPECT_FALSE(uri::parseAuthority(text)) << PrintToString(text);
  }
  const std::pair<std::string, std::optional<std::string>> decodes[] = {
      {"a%20b+c", "a b+c"}, {"%2540", "%40"}, {"%c3%A9", "\u00E9"}, {"%4", "%4"}, {"%00x", "\0x"s}, {"%C3", {}},
  };
  for (const auto& [text, decoded] : decodes) EXPECT_EQ(uri::percentDecode(text), decoded) << text;
}

TEST(PathsTest, DirNameDropsTheLastComponent) {
  const std::pair<const char*, const char*> cases[] = {
      {"/a/b", "/a"}, {"/a/b/", "/a/b"}, {"/b", "/"}, {"//b", "/"}, {"b", ""}, {"a/b", "a"},
  };
  for (const auto& [path, dir] : cases) EXPECT_EQ(paths::dirName(path), dir) << path;
}

}  // namespace
}  // namespace helper
