// Substituted SQL read back by the PostgreSQL grammar: whatever a bound value holds, it lands
// in exactly one literal that carries that value.
#include <gtest/gtest.h>
#include <pg_query.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "norvale/nv_cells.h"
#include "test_seed.h"

namespace {

// What a literal of the parse tree holds.
struct Null {
  bool operator==(const Null&) const = default;
};
struct Bits {
  std::string text;  // as the grammar keeps it: x followed by the hex digits
  bool operator==(const Bits&) const = default;
};
struct Numeric {
  std::string text;  // a number the grammar keeps as text (fractions, beyond 32 bits)
  bool operator==(const Numeric&) const = default;
};
using Value = std::variant<Null, bool, std::string, long long, double, Bits, Numeric>;

std::string describe(const Value& v) {
  return std::visit(
      [](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, Null>) return "NULL";
        if constexpr (std::is_same_v<T, bool>) return x ? "TRUE" : "FALSE";
        if constexpr (std::is_same_v<T, std::string>) return "'" + x + "'";
        if constexpr (std::is_same_v<T, long long>) return std::to_string(x);
        if constexpr (std::is_same_v<T, double>) return "double " + std::to_string(x);
        if constexpr (std::is_same_v<T, Bits>) return "bits " + x.text;
        if constexpr (std::is_same_v<T, Numeric>) return "numeric " + x.text;
      },
      v);
}

// `found` comes from the parse tree, `want` from the bound value.
bool same(const Value& found, const Value& want) {
  if (const auto* d = std::get_if<double>(&want)) {
    const auto* n = std::get_if<Numeric>(&found);
    if (n == nullptr) return false;
    const double back = std::strtod(n->text.c_str(), nullptr);
    return std::memcmp(d, &back, sizeof(double)) == 0;
  }
  return found == want;
}

// Collects the A_Const nodes of a parse tree with their text offsets.
void collect_constants(const nlohmann::json& node, std::vector<std::pair<int, Value>>& out) {
  if (node.is_array()) {
    for (const auto& child : node) collect_constants(child, out);
    return;
  }
  if (!node.is_object()) return;
  for (auto it = node.begin(); it != node.end(); ++it) {
    if (it.key() != "A_Const") {
      collect_constants(it.value(), out);
      continue;
    }
    const auto& c = it.value();
    const int location = c.value("location", -1);
    Value v;
    if (c.value("isnull", false)) {
      v = Null{};
    } else if (c.contains("sval")) {
      v = c["sval"].value("sval", std::string());
    } else if (c.contains("ival")) {
      v = static_cast<long long>(c["ival"].value("ival", 0));
    } else if (c.contains("fval")) {
      v = Numeric{c["fval"].value("fval", std::string())};
    } else if (c.contains("boolval")) {
      v = c["boolval"].value("boolval", false);
    } else if (c.contains("bsval")) {
      v = Bits{c["bsval"].value("bsval", std::string())};
    }
    out.emplace_back(location, v);
  }
}

// A parameter with its buffers, and the literal value the grammar should see for it.
struct BoundValue {
  NVParamBinding binding{};
  std::string char_buffer;
  std::u16string wide_buffer;
  std::vector<uint8_t> bytes;
  int64_t int_value = 0;
  double double_value = 0;
  uint8_t bit = 0;
  int64_t indicator = 0;
  Value expected;
};

std::string random_text(std::mt19937_64& rng) {
  static const char* pieces[] = {"'",  "''", "\\", "\\'", "?",  "--", "/*", "*/", "\"", "[",
                                 "]",  ";",  "\n", "a",   "Z",  " ",  "\xC3\xA9", "$$", "%",
                                 "\t", "E'", "0"};
  std::string s;
  for (int i = 0, n = static_cast<int>(rng() % 8); i < n; ++i) {
    s += pieces[rng() % (sizeof(pieces) / sizeof(pieces[0]))];
  }
  return s;
}

std::unique_ptr<BoundValue> random_value(std::mt19937_64& rng, uint16_t number) {
  auto b = std::make_unique<BoundValue>();
  NVParamBinding& p = b->binding;
  p.parameter_number = number;
  p.input_output_type = 1;
  p.indicator = &b->indicator;
  switch (rng() % 7) {
    case 0: {
      b->char_buffer = random_text(rng);
      p.c_type = 1;
      p.value = b->char_buffer.data();
      b->indicator = static_cast<int64_t>(b->char_buffer.size());
      b->expected = b->char_buffer;
      break;
    }
    case 1: {
      const std::string text = random_text(rng);
      if (nv_utf8_to_utf16(text, b->wide_buffer) != 1) ADD_FAILURE() << "bad test text";
      p.c_type = -8;
      p.value = b->wide_buffer.data();
      b->indicator = static_cast<int64_t>(b->wide_buffer.size() * 2);
      b->expected = text;
      break;
    }
    case 2: {
      b->int_value = static_cast<int64_t>(rng());
      if (rng() % 2) b->int_value %= 1000;
      p.c_type = -25;
      p.value = &b->int_value;
      b->indicator = 8;
      // The grammar keeps integers beyond 32 bits as numeric text.
      // (-2147483648 is negated from 2147483648, which is already beyond 32 bits.)
      if (b->int_value > INT32_MIN && b->int_value <= INT32_MAX) {
        b->expected = static_cast<long long>(b->int_value);
      } else {
        b->expected = Numeric{std::to_string(b->int_value)};
      }
      break;
    }
    case 3: {
      uint64_t raw;
      do {
        raw = rng();
        std::memcpy(&b->double_value, &raw, 8);
      } while (!std::isfinite(b->double_value));
      if (rng() % 2) {
        b->double_value = static_cast<double>(static_cast<int>(rng() % 2001) - 1000) / 8;
      }
      p.c_type = 8;
      p.value = &b->double_value;
      b->indicator = 8;
      const double d = b->double_value;
      // Integral values within 32 bits come back from the grammar as integer constants.
      if (d == std::trunc(d) && std::fabs(d) < 2147483648.0) {
        char text[32];
        const int n = nv_ryu_format_double_general(text, sizeof(text), d);
        const std::string t(text, n);
        if (t.find_first_of(".e") == std::string::npos) {
          b->expected = static_cast<long long>(d);
          break;
        }
      }
      b->expected = d;
      break;
    }
    case 4: {
      b->bit = static_cast<uint8_t>(rng() % 2);
      p.c_type = -7;
      p.value = &b->bit;
      b->indicator = 1;
      b->expected = b->bit == 1;
      break;
    }
    case 5: {
      b->bytes.reserve(8);  // a value pointer even for zero bytes
      for (int i = 0, n = static_cast<int>(rng() % 6); i < n; ++i) {
        b->bytes.push_back(static_cast<uint8_t>(rng()));
      }
      p.c_type = -2;
      p.value = b->bytes.data();
      b->indicator = static_cast<int64_t>(b->bytes.size());
      static constexpr char kHex[] = "0123456789ABCDEF";
      std::string digits = "x";
      for (uint8_t byte : b->bytes) {
        digits.push_back(kHex[byte >> 4]);
        digits.push_back(kHex[byte & 15]);
      }
      b->expected = Bits{digits};
      break;
    }
    default: {
      p.c_type = 1;
      p.value = nullptr;
      b->indicator = -1;
      b->expected = Null{};
      break;
    }
  }
  return b;
}

// One SELECT item of the generated statement: its text and the constants it holds in order;
// `bound` marks where placeholders go.
struct Piece {
  std::string text;
  std::vector<Value> constants;
  int placeholders = 0;
};

std::string quote(const std::string& s, char q) {
  std::string out(1, q);
  for (char c : s) {
    out.push_back(c);
    if (c == q) out.push_back(q);
  }
  out.push_back(q);
  return out;
}

std::string identifier_text(std::mt19937_64& rng) {
  std::string s = random_text(rng);
  s.erase(std::remove(s.begin(), s.end(), '\0'), s.end());
  return s.empty() ? "x" : s;
}

Piece random_piece(std::mt19937_64& rng, bool brackets) {
  Piece p;
  switch (rng() % (brackets ? 10 : 9)) {
    case 0:
    case 1:
      p.text = "?";
      p.placeholders = 1;
      break;
    case 2: {
      const std::string s = random_text(rng);
      p.text = quote(s, '\'');
      p.constants.push_back(s);
      break;
    }
    case 3:
      p.text = "? AS " + quote(identifier_text(rng), '"');
      p.placeholders = 1;
      break;
    case 4:
      p.text = "7 -?";
      p.constants.push_back(7LL);
      p.placeholders = 1;
      break;
    case 5: {
      // A star in the comment could end it or (after a slash) open a nested one.
      std::string comment = random_text(rng);
      std::replace(comment.begin(), comment.end(), '*', ' ');
      p.text = "? /* " + comment + "? */";
      p.placeholders = 1;
      break;
    }
    case 6: {
      std::string comment = random_text(rng);
      std::replace(comment.begin(), comment.end(), '\n', ' ');
      p.text = "? -- " + comment + "?\n";
      p.placeholders = 1;
      break;
    }
    case 7: {
      // A backslash string: E'..' with \\ and \' escapes, then a placeholder right after.
      const std::string v = random_text(rng);
      std::string text = "E'";
      for (char c : v) {
        if (c == '\\' || c == '\'') text.push_back('\\');
        text.push_back(c);
      }
      p.text = text + "' || ?";
      p.constants.push_back(v);
      p.placeholders = 1;
      break;
    }
    case 8: {
      // Dollar quoting with a tag; the body never holds the closing tag.
      std::string v = random_text(rng);
      std::replace(v.begin(), v.end(), '$', '.');
      p.text = "$q$" + v + "$q$||?";
      p.constants.push_back(v);
      p.placeholders = 1;
      break;
    }
    default: {
      std::string ident = identifier_text(rng);
      p.text = "? AS " + quote(ident, ']').replace(0, 1, "[");
      p.placeholders = 1;
      break;
    }
  }
  return p;
}

TEST(ParamProperty, RandomStatementsCountAndParseBack) {
  std::mt19937_64 rng(nv_test_seed());
  int parsed_statements = 0, checked_values = 0;
  for (int iter = 0; iter < 2000; ++iter) {
    const bool brackets = iter % 4 == 0;
    std::string sql = "SELECT ";
    std::vector<Piece> pieces;
    int placeholders = 0;
    for (int i = 0, n = 1 + static_cast<int>(rng() % 6); i < n; ++i) {
      pieces.push_back(random_piece(rng, brackets));
      if (i > 0) sql += ", ";
      sql += pieces.back().text;
      placeholders += pieces.back().placeholders;
    }
    ASSERT_EQ(nv_param_count_placeholders(sql.data(), sql.size()), placeholders) << sql;
    if (brackets) continue;  // bracketed identifiers are not PostgreSQL syntax

    std::vector<std::unique_ptr<BoundValue>> values;
    std::vector<NVParamBinding> bindings;
    for (int k = 1; k <= placeholders; ++k) {
      values.push_back(random_value(rng, static_cast<uint16_t>(k)));
      bindings.push_back(values.back()->binding);
    }
    std::shuffle(bindings.begin(), bindings.end(), rng);
    char* out = nullptr;
    char state[6] = "";
    char err[256] = "";
    ASSERT_EQ(nv_param_substitute(sql.data(), sql.size(), bindings.data(), bindings.size(), &out,
                                  state, err, sizeof(err)),
              0)
        << sql << ": " << state << " " << err;
    const std::string text = out;
    std::free(out);

    // Expected constants in text order: each piece's fixed ones around its bound value.
    std::vector<Value> expected;
    int k = 0;
    for (const Piece& p : pieces) {
      for (const Value& v : p.constants) expected.push_back(v);
      if (p.placeholders) expected.push_back(values[k++]->expected);
    }
    PgQueryParseResult parsed = pg_query_parse(text.c_str());
    std::unique_ptr<PgQueryParseResult, void (*)(PgQueryParseResult*)> guard(
        &parsed, [](PgQueryParseResult* r) { pg_query_free_parse_result(*r); });
    ASSERT_EQ(parsed.error, nullptr) << text << ": " << parsed.error->message;
    std::vector<std::pair<int, Value>> found;
    collect_constants(nlohmann::json::parse(parsed.parse_tree), found);
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    ASSERT_EQ(found.size(), expected.size()) << text;
    ++parsed_statements;
    checked_values += placeholders;
    if (iter == 5) std::printf("example: %s\n", text.c_str());
    for (size_t i = 0; i < expected.size(); ++i) {
      ASSERT_TRUE(same(found[i].second, expected[i]))
          << text << "\nconstant " << i << ": got " << describe(found[i].second) << ", want "
          << describe(expected[i]);
    }
  }
  EXPECT_GT(parsed_statements, 1000);
  std::printf("%d statements parsed back, %d bound values checked\n", parsed_statements,
              checked_values);
}

}  // namespace
