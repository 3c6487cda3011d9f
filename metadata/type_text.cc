// Turning the SQL type text of a snapshot column (as the service writes it in the data_type
// column) into the Arrow type a query on that column streams back.
#include "metadata/type_text_internal.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <arrow/type.h>

#include "util/strings_internal.h"

namespace norvale::adbc {
namespace {

using TypePtr = std::shared_ptr<arrow::DataType>;

// A recursive-descent reader over one type text. Every method returns null for text it does
// not know, which the caller reports as "unknown" instead of guessing.
class TypeReader {
 public:
  explicit TypeReader(std::string_view text) : text_(text) {}

  TypePtr read_all() {
    TypePtr type = read_type();
    skip_blanks();
    return pos_ == text_.size() ? type : nullptr;
  }

 private:
  void skip_blanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }

  bool eat(char c) {
    skip_blanks();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  // A run of letters, digits and underscores, lower-cased; empty when none.
  std::string word() {
    skip_blanks();
    const size_t start = pos_;
    while (pos_ < text_.size() &&
           (std::isalnum(static_cast<unsigned char>(text_[pos_])) != 0 || text_[pos_] == '_')) {
      ++pos_;
    }
    return ascii_lower(text_.substr(start, pos_ - start));
  }

  // The next word when it equals `expected` (consumed), otherwise nothing is consumed.
  bool keyword(std::string_view expected) {
    const size_t saved = pos_;
    if (word() == expected) return true;
    pos_ = saved;
    return false;
  }

  bool number(int64_t* out) {
    skip_blanks();
    const char* begin = text_.data() + pos_;
    const char* end = text_.data() + text_.size();
    auto [ptr, ec] = std::from_chars(begin, end, *out);
    if (ec != std::errc() || ptr == begin) return false;
    pos_ += static_cast<size_t>(ptr - begin);
    return true;
  }

  // "(n)" or "(n, m)" after a type name; false on malformed text. Absent: count 0.
  bool modifiers(std::vector<int64_t>* mods) {
    if (!eat('(')) return true;
    do {
      int64_t n = 0;
      if (!number(&n)) return false;
      mods->push_back(n);
    } while (eat(','));
    return eat(')');
  }

  // A struct field name: a plain word (case kept) or a double-quoted identifier.
  bool field_name(std::string* name) {
    skip_blanks();
    if (pos_ < text_.size() && text_[pos_] == '"') {
      ++pos_;
      while (pos_ < text_.size()) {
        if (text_[pos_] == '"') {
          if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
            name->push_back('"');
            pos_ += 2;
            continue;
          }
          ++pos_;
          return true;
        }
        name->push_back(text_[pos_++]);
      }
      return false;
    }
    const size_t start = pos_;
    while (pos_ < text_.size() &&
           (std::isalnum(static_cast<unsigned char>(text_[pos_])) != 0 || text_[pos_] == '_')) {
      ++pos_;
    }
    *name = std::string(text_.substr(start, pos_ - start));
    return !name->empty();
  }

  TypePtr read_struct() {
    if (!eat('(')) return nullptr;
    arrow::FieldVector fields;
    do {
      std::string name;
      if (!field_name(&name)) return nullptr;
      TypePtr type = read_type();
      if (!type) return nullptr;
      fields.push_back(arrow::field(std::move(name), std::move(type)));
    } while (eat(','));
    if (!eat(')')) return nullptr;
    return arrow::struct_(std::move(fields));
  }

  TypePtr read_map() {
    if (!eat('(')) return nullptr;
    TypePtr key = read_type();
    if (!key || !eat(',')) return nullptr;
    TypePtr value = read_type();
    if (!value || !eat(')')) return nullptr;
    return arrow::map(std::move(key), std::move(value));
  }

  TypePtr read_list_call() {
    if (!eat('(')) return nullptr;
    TypePtr item = read_type();
    if (!item || !eat(')')) return nullptr;
    return arrow::list(std::move(item));
  }

  // "with time zone" / "without time zone" after time and timestamp; 1 with, 0 without or
  // absent, -1 malformed.
  int zone_suffix() {
    const size_t saved = pos_;
    const std::string w = word();
    if (w != "with" && w != "without") {
      pos_ = saved;
      return 0;
    }
    if (!keyword("time") || !keyword("zone")) return -1;
    return w == "with" ? 1 : 0;
  }

  TypePtr read_named() {
    std::string name = word();
    if (name.empty()) return nullptr;
    // Two-word names.
    if (name == "double") (void)keyword("precision");
    if (name == "character" && keyword("varying")) name = "varchar";
    if (name == "struct" || name == "row") return read_struct();
    if (name == "map") return read_map();
    if (name == "list") return read_list_call();

    std::vector<int64_t> mods;
    if (!modifiers(&mods)) return nullptr;
    if (name == "time" || name == "timestamp") {
      const int zone = zone_suffix();
      if (zone < 0) return nullptr;
      if (zone == 1) name += "tz";
    }
    return scalar(name, mods);
  }

  TypePtr scalar(const std::string& n, const std::vector<int64_t>& mods) {
    using arrow::TimeUnit;
    // Integers, floating point and booleans take no modifiers.
    if (n == "tinyint" || n == "int1") return mods.empty() ? arrow::int8() : nullptr;
    if (n == "smallint" || n == "int2" || n == "short") {
      return mods.empty() ? arrow::int16() : nullptr;
    }
    if (n == "integer" || n == "int" || n == "int4" || n == "signed") {
      return mods.empty() ? arrow::int32() : nullptr;
    }
    if (n == "bigint" || n == "int8" || n == "long") return mods.empty() ? arrow::int64() : nullptr;
    if (n == "utinyint") return mods.empty() ? arrow::uint8() : nullptr;
    if (n == "usmallint") return mods.empty() ? arrow::uint16() : nullptr;
    if (n == "uinteger") return mods.empty() ? arrow::uint32() : nullptr;
    if (n == "ubigint") return mods.empty() ? arrow::uint64() : nullptr;
    if (n == "hugeint" || n == "int128") return mods.empty() ? arrow::decimal128(38, 0) : nullptr;
    if (n == "real" || n == "float4") return mods.empty() ? arrow::float32() : nullptr;
    if (n == "double" || n == "float8" || n == "float") {
      return mods.empty() ? arrow::float64() : nullptr;
    }
    if (n == "boolean" || n == "bool" || n == "logical") {
      return mods.empty() ? arrow::boolean() : nullptr;
    }
    if (n == "decimal" || n == "numeric") {
      // Without a precision the width is the server's choice: not guessed here.
      if (mods.empty() || mods.size() > 2) return nullptr;
      const int64_t precision = mods[0];
      const int64_t scale = mods.size() == 2 ? mods[1] : 0;
      if (precision < 1 || scale < 0 || scale > precision) return nullptr;
      if (precision <= 38) {
        return arrow::decimal128(static_cast<int32_t>(precision), static_cast<int32_t>(scale));
      }
      if (precision <= 76) {
        return arrow::decimal256(static_cast<int32_t>(precision), static_cast<int32_t>(scale));
      }
      return nullptr;
    }
    if (n == "varchar" || n == "char" || n == "character" || n == "text" || n == "string" ||
        n == "bpchar" || n == "nvarchar" || n == "nchar" || n == "utf8") {
      return mods.size() <= 1 ? arrow::utf8() : nullptr;
    }
    if (n == "uuid" || n == "json") return mods.empty() ? arrow::utf8() : nullptr;
    if (n == "blob" || n == "bytea" || n == "binary" || n == "varbinary" ||
        n == "longvarbinary") {
      return mods.size() <= 1 ? arrow::binary() : nullptr;
    }
    if (n == "date") return mods.empty() ? arrow::date32() : nullptr;
    if (n == "time") return mods.size() <= 1 ? arrow::time64(TimeUnit::MICRO) : nullptr;
    if (n == "timestamp" || n == "datetime") {
      return mods.size() <= 1 ? arrow::timestamp(TimeUnit::MICRO) : nullptr;
    }
    if (n == "timestamptz") {
      return mods.size() <= 1 ? arrow::timestamp(TimeUnit::MICRO, "UTC") : nullptr;
    }
    if (n == "timestamp_s") return mods.empty() ? arrow::timestamp(TimeUnit::SECOND) : nullptr;
    if (n == "timestamp_ms") return mods.empty() ? arrow::timestamp(TimeUnit::MILLI) : nullptr;
    if (n == "timestamp_ns") return mods.empty() ? arrow::timestamp(TimeUnit::NANO) : nullptr;
    if (n == "interval") return mods.empty() ? arrow::month_day_nano_interval() : nullptr;
    return nullptr;  // time with time zone, enums, unions, bit strings, ...: unknown
  }

  // A type with any number of "[]" (list) or "[n]" (fixed-size list) suffixes.
  TypePtr read_type() {
    TypePtr type = read_named();
    while (type && eat('[')) {
      int64_t size = 0;
      if (number(&size)) {
        if (size < 1 || size > INT32_MAX || !eat(']')) return nullptr;
        type = arrow::fixed_size_list(type, static_cast<int32_t>(size));
      } else {
        if (!eat(']')) return nullptr;
        type = arrow::list(type);
      }
    }
    return type;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

std::shared_ptr<arrow::DataType> arrow_type_from_text(std::string_view type_text) {
  // A catalog holds few distinct type texts: each thread remembers the ones it has read.
  thread_local std::unordered_map<std::string, TypePtr> known;
  auto it = known.find(std::string(type_text));
  if (it != known.end()) return it->second;
  if (known.size() >= 4096) known.clear();
  TypePtr type = TypeReader(type_text).read_all();
  known.emplace(std::string(type_text), type);
  return type;
}

}  // namespace norvale::adbc
