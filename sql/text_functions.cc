// The scalar text functions BI tools send over catalog names. Positions and lengths count
// characters (code points) from 1; a NULL argument gives NULL (concat skips it); arguments
// must be text, or integers where the function counts. Where dialects answer differently
// (negative positions and counts, trimming spaces other than U+0020) the statement is declined
// and answered by the compute node.

#include <string>

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

enum class Side { Both, Leading, Trailing };

struct Spec {
  const char* name;
  int min_args;
  int max_args;  // -1: any number
};

// The functions, and how many arguments each takes.
constexpr Spec kSpecs[] = {
    {"length", 1, 1},      {"char_length", 1, 1}, {"lower", 1, 1},     {"upper", 1, 1},
    {"substring", 2, 3},   {"substr", 2, 3},      {"trim", 1, 2},      {"ltrim", 1, 2},
    {"rtrim", 1, 2},       {"replace", 3, 3},     {"concat", 1, -1},   {"starts_with", 2, 2},
    {"left", 2, 2},        {"right", 2, 2},       {"position", 2, 2},  {"strpos", 2, 2},
};

const Spec* find_spec(const std::string& name) {
  for (const Spec& s : kSpecs) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

// Which arguments count (integers); the others are text.
bool integer_arg(const std::string& fn, size_t i) {
  if (fn == "substring" || fn == "substr") return i > 0;
  if (fn == "left" || fn == "right") return i == 1;
  return false;
}

class TextCall {
 public:
  TextCall(const std::string& fn, std::vector<Arg> args, int64_t rows, std::string* msg)
      : fn_(fn), args_(std::move(args)), rows_(rows), msg_(msg) {}

  arrow::Result<std::shared_ptr<arrow::Array>> run() {
    if (fn_ == "length" || fn_ == "char_length") return integers(&TextCall::length);
    if (fn_ == "position" || fn_ == "strpos") return integers(&TextCall::position);
    if (fn_ == "starts_with") return booleans();
    return texts();
  }

 private:
  bool any_null(int64_t r) const {
    for (const auto& a : args_) {
      if (a.null(r)) return true;
    }
    return false;
  }

  arrow::Status decline(const std::string& why) {
    if (msg_ != nullptr && msg_->empty()) *msg_ = fn_ + ": " + why;
    return decline_status(fn_ + ": " + why);
  }

  arrow::Result<int64_t> length(int64_t r) { return characters(args_[0].text(r)); }

  arrow::Result<int64_t> position(int64_t r) {
    const std::string_view s = args_[0].text(r);
    const size_t at = s.find(args_[1].text(r));
    if (at == std::string_view::npos) return 0;
    return characters(s.substr(0, at)) + 1;
  }

  arrow::Result<std::shared_ptr<arrow::Array>> integers(arrow::Result<int64_t> (TextCall::*f)(
      int64_t)) {
    arrow::Int64Builder b;
    for (int64_t r = 0; r < rows_; ++r) {
      if (any_null(r)) {
        ARROW_RETURN_NOT_OK(b.AppendNull());
        continue;
      }
      ARROW_ASSIGN_OR_RAISE(int64_t v, (this->*f)(r));
      ARROW_RETURN_NOT_OK(b.Append(v));
    }
    return b.Finish();
  }

  arrow::Result<std::shared_ptr<arrow::Array>> booleans() {
    arrow::BooleanBuilder b;
    for (int64_t r = 0; r < rows_; ++r) {
      if (any_null(r)) {
        ARROW_RETURN_NOT_OK(b.AppendNull());
        continue;
      }
      const std::string_view s = args_[0].text(r);
      const std::string_view p = args_[1].text(r);
      ARROW_RETURN_NOT_OK(b.Append(s.substr(0, p.size()) == p));
    }
    return b.Finish();
  }

  // One row of a text result; NULL rows are handled by the caller (concat has none).
  arrow::Status text_row(int64_t r, std::string* out) {
    if (fn_ == "substring" || fn_ == "substr") {
      const int64_t start = args_[1].integer(r);
      if (start < 1) return decline("positions before the first character differ by dialect");
      const std::string_view s = args_[0].text(r);
      const size_t from = char_offset(s, start - 1);
      size_t to = s.size();
      if (args_.size() == 3) {
        const int64_t count = args_[2].integer(r);
        if (count < 0) return decline("negative lengths differ by dialect");
        to = from + char_offset(s.substr(from), count);
      }
      out->assign(s.substr(from, to - from));
      return arrow::Status::OK();
    }
    if (fn_ == "left" || fn_ == "right") {
      const int64_t count = args_[1].integer(r);
      if (count < 0) return decline("negative counts differ by dialect");
      const std::string_view s = args_[0].text(r);
      if (fn_ == "left") {
        out->assign(s.substr(0, char_offset(s, count)));
      } else {
        const int64_t skip = std::max<int64_t>(0, characters(s) - count);
        out->assign(s.substr(char_offset(s, skip)));
      }
      return arrow::Status::OK();
    }
    if (fn_ == "replace") {
      const std::string_view s = args_[0].text(r);
      const std::string_view from = args_[1].text(r);
      const std::string_view to = args_[2].text(r);
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
    if (fn_ == "concat") {
      out->clear();
      for (const auto& a : args_) {
        if (!a.null(r)) out->append(a.text(r));
      }
      return arrow::Status::OK();
    }
    return trim_row(r, out);
  }

  arrow::Status trim_row(int64_t r, std::string* out) {
    const Side side = fn_ == "ltrim" ? Side::Leading
                      : fn_ == "rtrim" ? Side::Trailing
                                       : Side::Both;
    const std::string_view s = args_[0].text(r);
    std::u32string set = U" ";
    if (args_.size() == 2) {
      set.clear();
      const std::string_view chars = args_[1].text(r);
      for (size_t i = 0, len = 0; i < chars.size(); i += len) set += code_point(chars, i, &len);
    }
    size_t begin = 0;
    size_t end = s.size();
    size_t len = 0;
    if (side != Side::Trailing) {
      while (begin < end && set.find(code_point(s, begin, &len)) != std::u32string::npos) {
        begin += len;
      }
      if (args_.size() == 1 && begin < end && other_space(code_point(s, begin, &len))) {
        return decline("spaces other than U+0020 are trimmed by some dialects only");
      }
    }
    if (side != Side::Leading) {
      while (end > begin) {
        size_t k = end - 1;
        while (k > begin && continuation(s[k])) --k;
        const char32_t c = code_point(s, k, &len);
        if (set.find(c) == std::u32string::npos) {
          if (args_.size() == 1 && other_space(c)) {
            return decline("spaces other than U+0020 are trimmed by some dialects only");
          }
          break;
        }
        end = k;
      }
    }
    out->assign(s.substr(begin, end - begin));
    return arrow::Status::OK();
  }

  arrow::Result<std::shared_ptr<arrow::Array>> texts() {
    arrow::StringBuilder b;
    std::string row;
    for (int64_t r = 0; r < rows_; ++r) {
      if (fn_ != "concat" && any_null(r)) {
        ARROW_RETURN_NOT_OK(b.AppendNull());
        continue;
      }
      ARROW_RETURN_NOT_OK(text_row(r, &row));
      ARROW_RETURN_NOT_OK(b.Append(row));
    }
    return b.Finish();
  }

  const std::string& fn_;
  std::vector<Arg> args_;
  int64_t rows_;
  std::string* msg_;
};

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

bool is_text_function(const std::string& name) { return find_spec(name) != nullptr; }

arrow::Result<arrow::Datum> eval_text_function(const std::string& name,
                                               const std::vector<arrow::Datum>& args,
                                               int64_t rows, std::string* msg) {
  const Spec* spec = find_spec(name);
  if (spec == nullptr) return fail(msg, "unsupported function: " + name);
  const auto n = static_cast<int>(args.size());
  if (n < spec->min_args || (spec->max_args >= 0 && n > spec->max_args)) {
    return fail(msg, name + ": wrong number of arguments");
  }
  auto refuse = [&](const std::string& why) {
    if (msg != nullptr && msg->empty()) *msg = name + ": " + why;
    return decline_status(name + ": " + why);
  };
  bool all_scalar = true;
  std::vector<Arg> views;
  for (size_t i = 0; i < args.size(); ++i) {
    if (!args[i].is_scalar() && !args[i].is_array()) return fail(msg, name + ": bad argument");
    ARROW_ASSIGN_OR_RAISE(Arg a, Arg::Make(args[i]));
    const auto& t = a.type();
    const bool counts = integer_arg(name, i);
    // Other types are converted, or refused, differently by each dialect.
    if (t.id() != arrow::Type::NA &&
        (counts ? !arrow::is_integer(t.id()) || t.id() == arrow::Type::UINT64 : !is_text(t))) {
      return refuse(std::string(counts ? "an integer" : "text") + " argument expected, not " +
                    t.ToString());
    }
    all_scalar = all_scalar && a.scalar();
    views.push_back(std::move(a));
  }
  if (name == "lower" || name == "upper") {
    if (has_unstable_case(args[0])) {
      return refuse("case mappings of letters added in Unicode 16 differ by dialect");
    }
    arrow::Datum in = args[0];
    if (in.type()->id() == arrow::Type::NA) {
      ARROW_ASSIGN_OR_RAISE(in, cp::Cast(in, arrow::utf8()));
    }
    return cp::CallFunction(name == "lower" ? "utf8_lower" : "utf8_upper", {in});
  }
  const int64_t n_rows = all_scalar ? 1 : rows;
  ARROW_ASSIGN_OR_RAISE(auto out, TextCall(name, std::move(views), n_rows, msg).run());
  if (!all_scalar) return arrow::Datum(out);
  ARROW_ASSIGN_OR_RAISE(auto scalar, out->GetScalar(0));
  return arrow::Datum(scalar);
}

}  // namespace nv_sql
