#include "helper/front/json_text.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace helper::json {
namespace {

using Sax = nlohmann::json_sax<nlohmann::json>;

class Reader final : public Sax {
 public:
  Reader(Document& document, int maxNesting) : document_(document), maxNesting_(maxNesting) {}

  std::string error;

  bool null() override { return scalar(Value{}); }
  bool boolean(bool b) override {
    Value v;
    v.kind = Value::Kind::boolean;
    v.boolean = b;
    return scalar(std::move(v));
  }
  bool number_integer(number_integer_t n) override {
    Value v;
    v.kind = Value::Kind::integer;
    v.integer = n;
    return scalar(std::move(v));
  }
  bool number_unsigned(number_unsigned_t n) override {
    Value v;
    v.kind = Value::Kind::unsignedInteger;
    v.unsignedInteger = n;
    return scalar(std::move(v));
  }
  bool number_float(number_float_t d, const string_t&) override {
    Value v;
    v.kind = Value::Kind::floating;
    v.floating = d;
    return scalar(std::move(v));
  }
  bool string(string_t& s) override {
    Value v;
    v.kind = Value::Kind::string;
    v.text = std::move(s);
    return scalar(std::move(v));
  }
  bool binary(binary_t&) override { return scalar(Value{}); }

  bool key(string_t& k) override {
    key_ = std::move(k);
    return true;
  }

  bool start_object(std::size_t) override {
    if (!open()) return false;
    if (stack_.empty()) {
      document_.objects.emplace_back();
      stack_.push_back(0);
      return true;
    }
    const int parent = stack_.back();
    int index = -1;
    // Kept when it is a member of the top-level object; anything deeper
    // is only counted.
    if (parent == 0) {
      index = static_cast<int>(document_.objects.size());
      document_.objects.emplace_back();
      Value v;
      v.kind = Value::Kind::object;
      v.object = index;
      set(parent, std::move(v));
    } else if (parent > 0) {
      Value v;
      v.kind = Value::Kind::object;
      set(parent, std::move(v));
    }
    stack_.push_back(index);
    return true;
  }
  bool end_object() override {
    stack_.pop_back();
    return true;
  }
  bool start_array(std::size_t) override {
    if (!open()) return false;
    if (stack_.empty()) {
      error = "not a JSON object";
      return false;
    }
    if (stack_.back() >= 0) {
      Value v;
      v.kind = Value::Kind::array;
      set(stack_.back(), std::move(v));
    }
    stack_.push_back(-1);
    return true;
  }
  bool end_array() override {
    stack_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    if (error.empty()) error = "not JSON";
    return false;
  }

 private:
  bool open() {
    if (static_cast<int>(stack_.size()) >= maxNesting_) {
      error = "nested too deeply";
      return false;
    }
    return true;
  }
  bool scalar(Value v) {
    if (stack_.empty()) {
      error = "not a JSON object";
      return false;
    }
    if (stack_.back() >= 0) set(stack_.back(), std::move(v));
    return true;
  }
  void set(int index, Value v) {
    auto& members = document_.objects[static_cast<std::size_t>(index)].members;
    for (auto& [k, existing] : members) {
      if (k == key_) {
        existing = std::move(v);
        return;
      }
    }
    members.emplace_back(std::move(key_), std::move(v));
  }

  Document& document_;
  const int maxNesting_;
  std::vector<int> stack_;  // object indices; -1 for arrays and untracked objects
  std::string key_;
};

bool plainAscii(std::string_view text) {
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7f || c == '"' || c == '\\') return false;
  }
  return true;
}

}  // namespace

double Value::asDouble() const {
  switch (kind) {
    case Kind::integer:
      return static_cast<double>(integer);
    case Kind::unsignedInteger:
      return static_cast<double>(unsignedInteger);
    case Kind::floating:
      return floating;
    default:
      return 0;
  }
}

const Value* Object::find(std::string_view key) const {
  for (const auto& [k, v] : members) {
    if (k == key) return &v;
  }
  return nullptr;
}

std::optional<Document> parseObject(std::string_view text, int maxNesting, std::string& error) {
  if (text.empty()) {
    error = "empty packet";
    return std::nullopt;
  }
  // The JSON reader stops at a NUL byte as if the text ended there, which
  // would let anything follow it; JSON text never holds a raw NUL.
  if (text.find('\0') != std::string_view::npos) {
    error = "not JSON";
    return std::nullopt;
  }
  Document document;
  Reader reader(document, maxNesting);
  const bool ok = nlohmann::json::sax_parse(text.begin(), text.end(), &reader);
  if (!ok || document.objects.empty()) {
    error = reader.error.empty() ? "not a JSON object" : reader.error;
    return std::nullopt;
  }
  return document;
}

void appendString(std::string& out, std::string_view text) {
  if (plainAscii(text)) {
    out += '"';
    out += text;
    out += '"';
    return;
  }
  out += nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void appendOptionalString(std::string& out, const std::optional<std::string>& text) {
  if (text) {
    appendString(out, *text);
  } else {
    out += "null";
  }
}

void appendDouble(std::string& out, double value) {
  if (!std::isfinite(value)) value = 0;
  // The JSON library's own number writer, so that the text is the same as
  // wherever the library writes a record.
  out += nlohmann::json(value).dump();
}

}  // namespace helper::json
