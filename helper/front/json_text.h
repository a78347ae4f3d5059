// The JSON of control messages, read and written without building a
// document: messages are small flat objects (a status reply nests one more
// object), and a request's round trip should cost little more than the
// socket's. Reading goes through the JSON library's event (SAX) parser;
// writing appends to a string.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace helper::json {

struct Value {
  enum class Kind { null, boolean, integer, unsignedInteger, floating, string, array, object };
  Kind kind = Kind::null;
  bool boolean = false;
  std::int64_t integer = 0;           // negative integers
  std::uint64_t unsignedInteger = 0;  // non-negative integers
  double floating = 0;
  std::string text;
  int object = -1;  // for an object one level down: its index in Document::objects

  bool isNumber() const { return kind == Kind::integer || kind == Kind::unsignedInteger || kind == Kind::floating; }
  double asDouble() const;
};

struct Object {
  // In order of appearance; a repeated key keeps its last value.
  std::vector<std::pair<std::string, Value>> members;
  const Value* find(std::string_view key) const;
};

struct Document {
  // [0] is the top-level object; objects nested one level are kept too, the
  // contents of anything deeper or inside arrays are skipped.
  std::vector<Object> objects;
  const Object& root() const { return objects.front(); }
};

// Reads one JSON object whose nesting is at most `maxNesting` levels
// (objects and arrays counted alike). On failure sets `error` to "empty
// packet", "not JSON", "not a JSON object" or "nested too deeply".
std::optional<Document> parseObject(std::string_view text, int maxNesting, std::string& error);

// Appends `text` as a JSON string; bytes that are not UTF-8 become U+FFFD.
void appendString(std::string& out, std::string_view text);
void appendOptionalString(std::string& out, const std::optional<std::string>& text);
// `value` as the JSON library writes it; not finite: 0.0.
void appendDouble(std::string& out, double value);

}  // namespace helper::json
