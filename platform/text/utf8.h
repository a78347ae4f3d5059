// Small UTF-8 tools. Strings inside the service are UTF-8; these decide what
// is valid and walk the Unicode scalars of a text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace helper::utf8 {

// The scalar that starts at `pos`, and advances `pos` past it; absent (with
// `pos` unchanged) for a malformed, overlong, surrogate or truncated sequence.
std::optional<char32_t> decodeNext(std::string_view text, size_t& pos);

bool isValid(std::string_view text);

void append(std::string& out, char32_t scalar);

// The Unicode white-space-and-newline set: U+0009..U+000D, U+0085 and the
// separators of category Z (Zs, Zl, Zp).
bool isWhitespaceOrNewline(char32_t c);

// `text` without leading and trailing white space and line breaks. Invalid
// UTF-8 at either end stops the trim there.
std::string_view trimWhitespaceAndNewlines(std::string_view text);

// Scalars that attach to the character before them instead of starting one
// (combining marks, joiners, variation selectors, emoji modifiers, tags):
// the common blocks of the Unicode extend classes.
bool extendsCharacter(char32_t c);

// The first `count` user-perceived characters of valid UTF-8 text. A
// character is a scalar together with the combining marks, joiners and
// variation selectors that follow it, and CR LF counts as one.
std::string prefixCharacters(std::string_view text, size_t count);

}  // namespace helper::utf8
