// A small reader for the parser's JSON parse trees. A general JSON library builds a map and a
// string per member; a parse tree read here costs one allocation per array or object, and its
// strings point into the text unless they hold escapes. Reading is iterative, so any nesting
// depth is read without recursion; the tree is freed without recursion too.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace nv_sql {

/// One value of a JsonDocument. Members of an object keep their order.
class JsonValue {
 public:
  enum class Kind : uint8_t { Null, Bool, Number, String, Array, Object };

  /// Iterates the elements of an array or the members of an object (key() for the latter).
  class Iterator {
   public:
    explicit Iterator(const JsonValue* at) : at_(at) {}
    const JsonValue& operator*() const { return *at_; }
    const JsonValue* operator->() const { return at_; }
    const JsonValue& value() const { return *at_; }
    std::string_view key() const { return at_->key_; }
    Iterator& operator++() {
      ++at_;
      return *this;
    }
    bool operator==(const Iterator& o) const { return at_ == o.at_; }
    bool operator!=(const Iterator& o) const { return at_ != o.at_; }

   private:
    const JsonValue* at_;
  };

  bool is_null() const { return kind_ == Kind::Null; }
  bool is_boolean() const { return kind_ == Kind::Bool; }
  bool is_string() const { return kind_ == Kind::String; }
  bool is_array() const { return kind_ == Kind::Array; }
  bool is_object() const { return kind_ == Kind::Object; }

  /// Elements of an array or members of an object; 0 for anything else.
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  Iterator begin() const { return Iterator(items_); }
  Iterator end() const { return Iterator(items_ + count_); }
  const JsonValue& front() const { return at(0); }
  const JsonValue& back() const { return at(count_ - 1); }
  /// Element `i` of an array; out of range throws std::out_of_range.
  const JsonValue& operator[](size_t i) const { return at(i); }

  /// The member named `key` of an object, or end().
  Iterator find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != end(); }
  /// The member named `key`; a missing one throws std::out_of_range.
  const JsonValue& operator[](std::string_view key) const;

  /// The value of a string or a boolean; another kind throws std::runtime_error.
  template <typename T>
  T get() const;

  /// The member `key` of an object as an integer, a string or a boolean; `fallback` when the
  /// member is missing or null. A member of another kind throws std::runtime_error.
  int64_t value(std::string_view key, int64_t fallback) const;
  std::string value(std::string_view key, const std::string& fallback) const;
  bool value(std::string_view key, bool fallback) const;

  /// An empty array, for absent lists.
  static const JsonValue& EmptyArray();

 private:
  friend class JsonDocument;
  const JsonValue& at(size_t i) const;

  Kind kind_ = Kind::Null;
  bool flag_ = false;          // a boolean's value
  std::string_view text_;      // a string's value, a number's text
  std::string_view key_;       // the member's name, inside an object
  const JsonValue* items_ = nullptr;
  size_t count_ = 0;
};

template <>
std::string JsonValue::get<std::string>() const;
template <>
bool JsonValue::get<bool>() const;

/// A parsed JSON text and the values read from it.
class JsonDocument {
 public:
  JsonDocument() = default;
  JsonDocument(const JsonDocument&) = delete;
  JsonDocument& operator=(const JsonDocument&) = delete;

  /// Reads `text`; on malformed text returns false with `error` set.
  bool Parse(std::string text, std::string* error);
  const JsonValue& root() const { return root_; }

 private:
  std::string text_;
  JsonValue root_;
  std::vector<std::unique_ptr<JsonValue[]>> arrays_;  // the elements of every container
  std::deque<std::string> decoded_;                    // strings that held escapes
};

}  // namespace nv_sql
