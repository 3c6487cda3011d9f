// The scalar text functions BI tools send over catalog names. Positions and lengths count
// characters (code points) from 1; a NULL argument gives NULL (concat skips it); arguments
// must be text, or integers where the function counts. Where dialects answer differently
// (negative positions and counts, trimming spaces other than U+0020) the statement is declined
// and answered by the compute node.

#include <string>
#include <variant>

#include <arrow/compute/api.h>

#include "sql/expr_eval_internal.h"
#include "sql/cells_internal.h"

namespace nv_sql {

namespace cp = arrow::compute;

namespace {

// One argument, a scalar or an array, read row by row.
class Arg {
 public:
  static arrow::Result<Arg> Make(const arrow::Datum& d) {
    Arg a;
    a.scalar_ = d.is_scalar();
    ARROW_ASSIGN_OR_RAISE(a.values_, to_array(d, 1));
    return a;
  }
  bool null(int64_t row) const { return values_->IsNull(at(row)); }
  std::string_view text(int64_t row) const { return text_at(*values_, at(row)); }
  int64_t integer(int64_t row) const { return integer_at(*values_, at(row)); }
  const arrow::DataType& type() const { return *values_->type(); }
  bool scalar() const { return scalar_; }

 private:
  int64_t at(int64_t row) const { return scalar_ ? 0 : row; }

  std::shared_ptr<arrow::Array> values_;
  bool scalar_ = true;
};

bool continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

int64_t characters(std::string_view s) {
  int64_t n = 0;
  for (char c : s) n += continuation(c) ? 0 : 1;
  return n;
}

// Byte offset of character `k` (0-based) of `s`, or its size when it has fewer.
size_t char_offset(std::string_view s, int64_t k) {
  size_t i = 0;
  for (; i < s.size(); ++i) {
    if (!continuation(s[i]) && k-- == 0) return i;
  }
  return s.size();
}

// The code point that starts at byte `i` of valid UTF-8 text, and its length in bytes.
char32_t code_point(std::string_view s, size_t i, size_t* len) {
  const auto b = static_cast<unsigned char>(s[i]);
  *len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  if (i + *len > s.size()) *len = s.size() - i;
  char32_t cp = *len == 1 ? b : b & (0xFF >> (*len + 1));
  for (size_t k = 1; k < *len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return cp;
}

// Space separators other than U+0020: some dialects trim them with the spaces, some do not.
bool other_space(char32_t c) {
  return c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Letters whose upper / lower case pair Unicode 16 added: case mappings built on older tables
// leave them unchanged, so engines disagree on them.
bool recent_case_pair(char32_t c) {
  return c == 0x19B || c == 0x264 || (c >= 0x1C89 && c <= 0x1C8A) ||
         (c >= 0xA7CB && c <= 0xA7CF) || (c >= 0xA7D2 && c <= 0xA7D5) ||
         (c >= 0xA7DA && c <= 0xA7DC) || (c >= 0x10D50 && c <= 0x10D65) ||
         (c >= 0x10D70 && c <= 0x10D85) || (c >= 0x16EA0 && c <= 0x16EB8) ||
         (c >= 0x16EBB && c <= 0x16ED3);
}

// One row of a call: the arguments' values at that row.
class Row {
 public:
  Row(const std::vector<Arg>& args, int64_t row) : args_(args), row_(row) {}
  size_t size() const { return args_.size(); }
  bool null(size_t i) const { return args_[i].null(row_); }
  std::string_view text(size_t i) const { return args_[i].text(row_); }
  int64_t integer(size_t i) const { return args_[i].integer(row_); }

 private:
  const std::vector<Arg>& args_;
  int64_t row_;
};

// Row functions. A NULL argument gives NULL before they are called (concat excepted); a
// result that dialects disagree on is a decline status.
using TextRow = arrow::Status (*)(const Row&, std::string*);
using IntegerRow = int64_t (*)(const Row&);
using BooleanRow = bool (*)(const Row&);

int64_t length_row(const Row& a) { return characters(a.text(0)); }

int64_t position_row(const Row& a) {
  const std::string_view s = a.text(0);
  const size_t at = s.find(a.text(1));
  if (at == std::string_view::npos) return 0;
  return characters(s.substr(0, at)) + 1;
}

bool starts_with_row(const Row& a) {
  const std::string_view p = a.text(1);
  return a.text(0).substr(0, p.size()) == p;
}

arrow::Status substring_row(const Row& a, std::string* out) {
  const int64_t start = a.integer(1);
  if (start < 1) return decline_status("positions before the first character differ by dialect");
  const std::string_view s = a.text(0);
  const size_t from = char_offset(s, start - 1);
  size_t to = s.size();
  if (a.size() == 3) {
    const int64_t count = a.integer(2);
    if (count < 0) return decline_status("negative lengths differ by dialect");
    to = from + char_offset(s.substr(from), count);
  }
  out->assign(s.substr(from, to - from));
  return arrow::Status::OK();
}

arrow::Status left_row(const Row& a, std::string* out) {
  const int64_t count = a.integer(1);
  if (count < 0) return decline_status("negative counts differ by dialect");
  const std::string_view s = a.text(0);
  out->assign(s.substr(0, char_offset(s, count)));
  return arrow::Status::OK();
}

arrow::Status right_row(const Row& a, std::string* out) {
  const int64_t count = a.integer(1);
  if (count < 0) return decline_status("negative counts differ by dialect");
  const std::string_view s = a.text(0);
  const int64_t skip = std::max<int64_t>(0, characters(s) - count);
  out->assign(s.substr(char_offset(s, skip)));
  return arrow::Status::OK();
}

arrow::Status replace_row(const Row& a, std::string* out) {
  const std::string_view s = a.text(0);
  const std::string_view from = a.text(1);
  const std::string_view to = a.text(2);
  out->clear();
  if (from.empty()) {
    out->assign(s);
    return arrow::Status::OK();
  }
  size_t pos = 0;
  for (size_t hit = s.find(from); hit != std::string_view::npos; hit = s.find(from, pos)) {
    out->append(s.substr(pos, hit - pos)).append(to);
    pos = hit + from.size();
  }
  out->append(s.substr(pos));
  return arrow::Status::OK();
}

arrow::Status concat_row(const Row& a, std::string* out) {
  out->clear();
  for (size_t i = 0; i < a.size(); ++i) {
    if (!a.null(i)) out->append(a.text(i));
  }
  return arrow::Status::OK();
}

enum class Side { Both, Leading, Trailing };

arrow::Status trim_row(const Row& a, Side side, std::string* out) {
  const std::string_view s = a.text(0);
  std::u32string set = U" ";
  if (a.size() == 2) {
    set.clear();
    const std::string_view chars = a.text(1);
    for (size_t i = 0, len = 0; i < chars.size(); i += len) set += code_point(chars, i, &len);
  }
  size_t begin = 0;
  size_t end = s.size();
  size_t len = 0;
  if (side != Side::Trailing) {
    while (begin < end && set.find(code_point(s, begin, &len)) != std::u32string::npos) {
      begin += len;
    }
    if (a.size() == 1 && begin < end && other_space(code_point(s, begin, &len))) {
      return decline_status("spaces other than U+0020 are trimmed by some dialects only");
    }
  }
  if (side != Side::Leading) {
    while (end > begin) {
      size_t k = end - 1;
      while (k > begin && continuation(s[k])) --k;
      const char32_t c = code_point(s, k, &len);
      if (set.find(c) == std::u32string::npos) {
        if (a.size() == 1 && other_space(c)) {
          return decline_status("spaces other than U+0020 are trimmed by some dialects only");
        }
        break;
      }
      end = k;
    }
  }
  out->assign(s.substr(begin, end - begin));
  return arrow::Status::OK();
}

arrow::Status btrim_row(const Row& a, std::string* out) { return trim_row(a, Side::Both, out); }
arrow::Status ltrim_row(const Row& a, std::string* out) { return trim_row(a, Side::Leading, out); }
arrow::Status rtrim_row(const Row& a, std::string* out) {
  return trim_row(a, Side::Trailing, out);
}

// Unicode case mappings, by Arrow kernel name.
struct CaseKernel {
  const char* name;
};

struct TextFunction {
  const char* name;
  int min_args;
  int max_args;    // -1: any number
  unsigned counts;  // bit i set: argument i is an integer (a position or a count)
  std::variant<TextRow, IntegerRow, BooleanRow, CaseKernel> rows;
};

// The functions: how many arguments each takes, which of them count, and how it computes.
const TextFunction kFunctions[] = {
    {"length", 1, 1, 0, &length_row},
    {"char_length", 1, 1, 0, &length_row},
    {"lower", 1, 1, 0, CaseKernel{"utf8_lower"}},
    {"upper", 1, 1, 0, CaseKernel{"utf8_upper"}},
    {"substring", 2, 3, 0b110, &substring_row},
    {"substr", 2, 3, 0b110, &substring_row},
    {"trim", 1, 2, 0, &btrim_row},
    {"ltrim", 1, 2, 0, &ltrim_row},
    {"rtrim", 1, 2, 0, &rtrim_row},
    {"replace", 3, 3, 0, &replace_row},
    {"concat", 1, -1, 0, &concat_row},
    {"starts_with", 2, 2, 0, &starts_with_row},
    {"left", 2, 2, 0b10, &left_row},
    {"right", 2, 2, 0b10, &right_row},
    {"position", 2, 2, 0, &position_row},
    {"strpos", 2, 2, 0, &position_row},
};

const TextFunction* find_function(const std::string& name) {
  for (const TextFunction& f : kFunctions) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

// Runs `rows` over `n` rows of `args` into an array of `Builder`; a NULL argument gives NULL
// unless the function reads NULLs itself (concat).
template <typename Builder, typename Fn>
arrow::Result<std::shared_ptr<arrow::Array>> run_rows(const std::vector<Arg>& args, int64_t n,
                                                      bool skips_nulls, Fn&& row_value) {
  Builder b;
  for (int64_t r = 0; r < n; ++r) {
    bool any_null = false;
    for (const auto& a : args) any_null = any_null || a.null(r);
    if (any_null && !skips_nulls) {
      ARROW_RETURN_NOT_OK(b.AppendNull());
      continue;
    }
    ARROW_RETURN_NOT_OK(row_value(Row(args, r), &b));
  }
  return b.Finish();
}

arrow::Result<std::shared_ptr<arrow::Array>> run(const TextFunction& fn,
                                                 const std::vector<Arg>& args, int64_t n) {
  if (const auto* f = std::get_if<IntegerRow>(&fn.rows)) {
    return run_rows<arrow::Int64Builder>(
        args, n, false,
        [&](const Row& row, arrow::Int64Builder* b) { return b->Append((*f)(row)); });
  }
  if (const auto* f = std::get_if<BooleanRow>(&fn.rows)) {
    return run_rows<arrow::BooleanBuilder>(
        args, n, false,
        [&](const Row& row, arrow::BooleanBuilder* b) { return b->Append((*f)(row)); });
  }
  const TextRow f = std::get<TextRow>(fn.rows);
  std::string text;
  return run_rows<arrow::StringBuilder>(
      args, n, f == &concat_row, [&](const Row& row, arrow::StringBuilder* b) {
        ARROW_RETURN_NOT_OK(f(row, &text));
        return b->Append(text);
      });
}

}  // namespace

bool has_unstable_case(const arrow::Datum& d) {
  if (!d.type() || !is_text(*d.type())) return false;
  auto values = to_array(d, 1);
  if (!values.ok()) return false;
  const arrow::Array& a = **values;
  for (int64_t r = 0; r < a.length(); ++r) {
    if (a.IsNull(r)) continue;
    const std::string_view s = text_at(a, r);
    for (size_t i = 0, len = 0; i < s.size(); i += len) {
      len = 1;
      if (static_cast<unsigned char>(s[i]) >= 0x80 && recent_case_pair(code_point(s, i, &len))) {
        return true;
      }
    }
  }
  return false;
}

bool is_text_function(const std::string& name) { return find_function(name) != nullptr; }

arrow::Result<arrow::Datum> eval_text_function(const std::string& name,
                                               const std::vector<arrow::Datum>& args,
                                               int64_t rows) {
  const TextFunction* fn = find_function(name);
  if (fn == nullptr) return arrow::Status::Invalid("unsupported function: " + name);
  const auto n = static_cast<int>(args.size());
  if (n < fn->min_args || (fn->max_args >= 0 && n > fn->max_args)) {
    return arrow::Status::Invalid(name + ": wrong number of arguments");
  }
  auto refuse = [&](const std::string& why) { return decline_status(name + ": " + why); };
  bool all_scalar = true;
  std::vector<Arg> views;
  for (size_t i = 0; i < args.size(); ++i) {
    if (!args[i].is_scalar() && !args[i].is_array()) {
      return arrow::Status::Invalid(name + ": bad argument");
    }
    ARROW_ASSIGN_OR_RAISE(Arg a, Arg::Make(args[i]));
    const auto& t = a.type();
    const bool counts = (fn->counts >> i) & 1U;
    // Other types are converted, or refused, differently by each dialect.
    if (t.id() != arrow::Type::NA &&
        (counts ? !arrow::is_integer(t.id()) || t.id() == arrow::Type::UINT64 : !is_text(t))) {
      return refuse(std::string(counts ? "an integer" : "text") + " argument expected, not " +
                    t.ToString());
    }
    all_scalar = all_scalar && a.scalar();
    views.push_back(std::move(a));
  }
  if (const auto* kernel = std::get_if<CaseKernel>(&fn->rows)) {
    if (has_unstable_case(args[0])) {
      return refuse("case mappings of letters added in Unicode 16 differ by dialect");
    }
    arrow::Datum in = args[0];
    if (in.type()->id() == arrow::Type::NA) {
      ARROW_ASSIGN_OR_RAISE(in, cp::Cast(in, arrow::utf8()));
    }
    return cp::CallFunction(kernel->name, {in});
  }
  auto out = run(*fn, views, all_scalar ? 1 : rows);
  if (!out.ok()) {
    return is_decline(out.status()) ? refuse(out.status().message()) : out.status();
  }
  if (!all_scalar) return arrow::Datum(*out);
  ARROW_ASSIGN_OR_RAISE(auto scalar, (*out)->GetScalar(0));
  return arrow::Datum(scalar);
}

}  // namespace nv_sql
