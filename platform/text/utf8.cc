#include "platform/text/utf8.h"

namespace helper::utf8 {

std::optional<char32_t> decodeNext(std::string_view text, size_t& pos) {
  if (pos >= text.size()) return std::nullopt;
  const auto b0 = static_cast<unsigned char>(text[pos]);
  size_t length;
  char32_t value;
  char32_t minimum;
  if (b0 < 0x80) {
    ++pos;
    return b0;
  } else if ((b0 & 0xE0) == 0xC0) {
    length = 2, value = b0 & 0x1F, minimum = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3, value = b0 & 0x0F, minimum = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4, value = b0 & 0x07, minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() - pos < length) return std::nullopt;
  for (size_t i = 1; i < length; ++i) {
    const auto b = static_cast<unsigned char>(text[pos + i]);
    if ((b & 0xC0) != 0x80) return std::nullopt;
    value = (value << 6) | (b & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return std::nullopt;
  }
  pos += length;
  return value;
}

bool isValid(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    if (!decodeNext(text, pos)) return false;
  }
  return true;
}

void append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool isWhitespaceOrNewline(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t next = begin;
    const auto c = decodeNext(text, next);
    if (!c || !isWhitespaceOrNewline(*c)) break;
    begin = next;
  }
  size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last scalar.
    size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    size_t next = start;
    const auto c = decodeNext(text, next);
    if (!c || next != end || !isWhitespaceOrNewline(*c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

bool extendsCharacter(char32_t c) {
  return (c >= 0x0300 && c <= 0x036F) || (c >= 0x0483 && c <= 0x0489) ||
         (c >= 0x0591 && c <= 0x05BD) || (c >= 0x0610 && c <= 0x061A) ||
         (c >= 0x064B && c <= 0x065F) || (c >= 0x0900 && c <= 0x0903) ||
         (c >= 0x093A && c <= 0x094F) || (c >= 0x1AB0 && c <= 0x1AFF) ||
         (c >= 0x1DC0 && c <= 0x1DFF) || c == 0x200C || c == 0x200D ||
         (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE00 && c <= 0xFE0F) ||
         (c >= 0xFE20 && c <= 0xFE2F) || (c >= 0x1F3FB && c <= 0x1F3FF) ||
         (c >= 0xE0020 && c <= 0xE007F) || (c >= 0xE0100 && c <= 0xE01EF);
}

std::string prefixCharacters(std::string_view text, size_t count) {
  size_t pos = 0;
  size_t characters = 0;
  char32_t previous = 0;
  while (pos < text.size()) {
    size_t next = pos;
    const auto c = decodeNext(text, next);
    if (!c) break;
    const bool joins = pos > 0 && (extendsCharacter(*c) || (previous == '\r' && *c == '\n') ||
                                   previous == 0x200D);
    if (!joins) {
      if (characters == count) break;
      ++characters;
    }
    previous = *c;
    pos = next;
  }
  return std::string(text.substr(0, pos));
}

}  // namespace helper::utf8
