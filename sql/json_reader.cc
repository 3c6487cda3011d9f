#include "sql/json_reader_internal.h"

#include <charconv>
#include <stdexcept>

namespace nv_sql {

JsonValue::Iterator JsonValue::find(std::string_view key) const {
  if (kind_ == Kind::Object) {
    for (size_t i = 0; i < count_; ++i) {
      if (items_[i].key_ == key) return Iterator(items_ + i);
    }
  }
  return end();
}

const JsonValue& JsonValue::operator[](std::string_view key) const {
  const Iterator it = find(key);
  if (it == end()) throw std::out_of_range("no member " + std::string(key));
  return *it;
}

const JsonValue& JsonValue::at(size_t i) const {
  if ((kind_ != Kind::Array && kind_ != Kind::Object) || i >= count_) {
    throw std::out_of_range("no element " + std::to_string(i));
  }
  return items_[i];
}

template <>
std::string JsonValue::get<std::string>() const {
  if (kind_ != Kind::String) throw std::runtime_error("not a string");
  return std::string(text_);
}

template <>
bool JsonValue::get<bool>() const {
  if (kind_ != Kind::Bool) throw std::runtime_error("not a boolean");
  return flag_;
}

int64_t JsonValue::value(std::string_view key, int64_t fallback) const {
  const Iterator it = find(key);
  if (it == end() || it->is_null()) return fallback;
  int64_t v = 0;
  const char* first = it->text_.data();
  const char* last = first + it->text_.size();
  if (it->kind_ != Kind::Number || std::from_chars(first, last, v).ptr != last) {
    throw std::runtime_error("not an integer: " + std::string(key));
  }
  return v;
}

std::string JsonValue::value(std::string_view key, const std::string& fallback) const {
  const Iterator it = find(key);
  if (it == end() || it->is_null()) return fallback;
  return it->get<std::string>();
}

bool JsonValue::value(std::string_view key, bool fallback) const {
  const Iterator it = find(key);
  if (it == end() || it->is_null()) return fallback;
  return it->get<bool>();
}

const JsonValue& JsonValue::EmptyArray() {
  static const JsonValue kEmpty = [] {
    JsonValue v;
    v.kind_ = Kind::Array;
    return v;
  }();
  return kEmpty;
}

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void append_utf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

bool JsonDocument::Parse(std::string text, std::string* error) {
  text_ = std::move(text);
  arrays_.clear();
  decoded_.clear();
  root_ = JsonValue();
  const std::string_view t = text_;
  size_t pos = 0;
  auto fail = [&](const char* what) {
    *error = std::string(what) + " at byte " + std::to_string(pos);
    return false;
  };
  auto skip = [&] {
    while (pos < t.size() && blank(t[pos])) ++pos;
  };
  // A string starting at the opening quote; views the text unless it holds escapes.
  auto read_string = [&](std::string_view* out) {
    const size_t start = ++pos;
    size_t end = start;
    while (end < t.size() && t[end] != '"' && t[end] != '\\') ++end;
    if (end < t.size() && t[end] == '"') {
      *out = t.substr(start, end - start);
      pos = end + 1;
      return true;
    }
    std::string s(t.substr(start, end - start));
    pos = end;
    while (pos < t.size() && t[pos] != '"') {
      if (t[pos] != '\\') {
        s.push_back(t[pos++]);
        continue;
      }
      if (++pos >= t.size()) return false;
      const char e = t[pos++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          s.push_back(e);
          break;
        case 'b':
          s.push_back('\b');
          break;
        case 'f':
          s.push_back('\f');
          break;
        case 'n':
          s.push_back('\n');
          break;
        case 'r':
          s.push_back('\r');
          break;
        case 't':
          s.push_back('\t');
          break;
        case 'u': {
          auto hex4 = [&](uint32_t* v) {
            if (pos + 4 > t.size()) return false;
            const char* first = t.data() + pos;
            if (std::from_chars(first, first + 4, *v, 16).ptr != first + 4) return false;
            pos += 4;
            return true;
          };
          uint32_t cp = 0;
          if (!hex4(&cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00 && t.substr(pos, 2) == "\\u") {
            pos += 2;
            uint32_t low = 0;
            if (!hex4(&low) || low < 0xDC00 || low >= 0xE000) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          append_utf8(cp, &s);
          break;
        }
        default:
          return false;
      }
    }
    if (pos >= t.size()) return false;
    ++pos;
    decoded_.push_back(std::move(s));
    *out = decoded_.back();
    return true;
  };

  // Containers being read, innermost last, each with the elements read so far.
  struct Open {
    JsonValue::Kind kind;
    std::string_view key;  // its own name in the enclosing object
    std::vector<JsonValue> items;
  };
  std::vector<Open> open;
  std::string_view key;
  // Places a finished value into the innermost open container, or makes it the root.
  auto place = [&](JsonValue v) {
    if (open.empty()) {
      root_ = std::move(v);
      return;
    }
    v.key_ = open.back().kind == JsonValue::Kind::Object ? key : std::string_view();
    open.back().items.push_back(std::move(v));
  };
  bool done = false;
  while (!done) {
    skip();
    if (pos >= t.size()) return fail("unexpected end");
    // Inside an object a value is preceded by its key.
    const bool in_object = !open.empty() && open.back().kind == JsonValue::Kind::Object;
    if (in_object && t[pos] != '}') {
      if (t[pos] != '"' || !read_string(&key)) return fail("bad member name");
      skip();
      if (pos >= t.size() || t[pos++] != ':') return fail("missing ':'");
      skip();
      if (pos >= t.size()) return fail("unexpected end");
    }
    const char c = t[pos];
    JsonValue v;
    if (c == '{' || c == '[') {
      ++pos;
      open.push_back({c == '{' ? JsonValue::Kind::Object : JsonValue::Kind::Array, key, {}});
      continue;  // its elements follow, or its closing bracket
    }
    if (c == '}' || c == ']') {
      const auto want = c == '}' ? JsonValue::Kind::Object : JsonValue::Kind::Array;
      if (open.empty() || open.back().kind != want) return fail("unbalanced bracket");
      ++pos;
      Open finished = std::move(open.back());
      open.pop_back();
      v.kind_ = finished.kind;
      v.count_ = finished.items.size();
      if (v.count_ > 0) {
        auto items = std::make_unique<JsonValue[]>(v.count_);
        for (size_t i = 0; i < v.count_; ++i) items[i] = std::move(finished.items[i]);
        v.items_ = items.get();
        arrays_.push_back(std::move(items));
      }
      key = finished.key;
    } else if (c == '"') {
      v.kind_ = JsonValue::Kind::String;
      if (!read_string(&v.text_)) return fail("bad string");
    } else if (t.substr(pos, 4) == "true" || t.substr(pos, 5) == "false") {
      v.kind_ = JsonValue::Kind::Bool;
      v.flag_ = t[pos] == 't';
      pos += v.flag_ ? 4 : 5;
    } else if (t.substr(pos, 4) == "null") {
      pos += 4;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      const size_t start = pos;
      auto number_char = [](char d) {
        return (d >= '0' && d <= '9') || d == '-' || d == '+' || d == '.' || d == 'e' || d == 'E';
      };
      while (pos < t.size() && number_char(t[pos])) ++pos;
      v.kind_ = JsonValue::Kind::Number;
      v.text_ = t.substr(start, pos - start);
    } else {
      return fail("unexpected character");
    }
    place(std::move(v));
    done = open.empty();
    if (done) break;
    skip();
    if (pos < t.size() && t[pos] == ',') {
      ++pos;
    } else if (pos >= t.size() || (t[pos] != '}' && t[pos] != ']')) {
      return fail("missing ','");
    }
  }
  skip();
  if (pos != t.size()) return fail("text after the value");
  return true;
}

}  // namespace nv_sql
