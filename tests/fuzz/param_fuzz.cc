// Parameter substitution: SQL text and bound values from the input, through both the ODBC-style
// substitution and the ADBC layer's typed literals (?, $n, $name and :name markers). Whatever
// the values hold, the written text has exactly the lexer's statements and strings of the
// original around each literal: no value may open or close a string, comment or statement.
// The shape of a one-row INSERT ... VALUES read from the text must read the same again from
// the statement written back from it, and an INSERT that loads its bound rows as one ingest
// takes each bound column once, into the table its text names.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <arrow/api.h>

#include "adbc/bound_sql_internal.h"
#include "adbc/bulk_bind_internal.h"
#include "adbc/parameter_markers_internal.h"
#include "cells/sql_insert_shape.h"
#include "cells/sql_lexer.h"
#include "cells/sql_literal_internal.h"
#include "fuzz_input.h"
#include "norvale/nv_cells.h"

namespace {

using norvale::cells::lex_sql;
using norvale::cells::SqlToken;
using norvale::cells::SqlTokenKind;

constexpr int16_t kCTypes[] = {1, -8, -2, -7, -26, -28, -15, 5, -17, -16, 4, -18, -25, -27,
                               8, 7, 2, 9, 91, 10, 92, 11, 93, 99, 42};

// The kinds of the tokens that are not ordinary text, in order.
std::vector<SqlTokenKind> structure(std::string_view sql, bool* complete) {
  std::vector<SqlTokenKind> kinds;
  *complete = lex_sql(sql, [&](const SqlToken& t) {
    if (t.kind != SqlTokenKind::kOther) kinds.push_back(t.kind);
  });
  return kinds;
}

// The values of one bound column: text from the input, or (by `kind`) integers, or nulls.
std::shared_ptr<arrow::Array> column_of(uint8_t kind, std::string_view text) {
  if (kind % 3 == 1) {
    arrow::Int64Builder b;
    uint64_t v = 0;
    for (char c : text) v = v * 131 + static_cast<unsigned char>(c);
    (void)b.Append(static_cast<int64_t>(v));
    return b.Finish().ValueOrDie();
  }
  arrow::StringBuilder b;
  (void)(kind % 3 == 2 ? b.AppendNull() : b.Append(text));
  return b.Finish().ValueOrDie();
}

// A bound INSERT loaded as one ingest: its row is its markers, each bound column taken once, as
// many targets as values, and the table text it sends names the INSERT's table.
void check_bulk_plan(const std::string& sql, const norvale::adbc::StatementParameters& params,
                     const std::vector<int>& columns) {
  using namespace norvale;
  const auto plan = adbc::plan_bulk_insert(sql, params, columns);
  if (!plan) return;
  const auto shape = cells::parse_insert_values(sql);
  if (!shape || plan->table != shape->table || plan->bound_columns.size() != columns.size() ||
      shape->values.size() != params.markers.size()) {
    std::abort();
  }
  std::vector<bool> taken(columns.size(), false);
  for (int c : plan->bound_columns) {
    if (c < 0 || static_cast<size_t>(c) >= taken.size() || taken[c]) std::abort();
    taken[c] = true;
  }
  if (plan->target_columns.has_value() != shape->has_column_list ||
      (plan->target_columns && plan->target_columns->size() != plan->bound_columns.size())) {
    std::abort();
  }
  const auto reread =
      cells::parse_insert_values("INSERT INTO " + adbc::target_table_text(plan->table) +
                                 " VALUES (1)");
  if (!reread || reread->table != plan->table) std::abort();
}

// The ADBC path: each marker replaced by its column's typed literal. The written text's
// structure is the original's with every marker's tokens replaced by its literal's own.
void check_typed_literals(const std::string& sql, nv_fuzz::Input& in) {
  using namespace norvale;
  const bool by_name = (in.byte() & 1) != 0;
  auto params = adbc::find_parameters(sql, by_name);
  if (!params.ok() || params->markers.empty() || params->names.size() > 16) return;
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  std::vector<cells::SqlLiteralColumn> literals;
  for (size_t i = 0; i < params->names.size(); ++i) {
    arrays.push_back(column_of(in.byte(), in.piece(64)));
    fields.push_back(arrow::field(params->names[i], arrays.back()->type()));
    auto literal = cells::SqlLiteralColumn::Make(arrays.back());
    if (!literal.ok()) return;  // text that is not UTF-8 or holds a NUL byte
    literals.push_back(*std::move(literal));
  }
  auto columns = adbc::bind_columns(*params, *arrow::schema(fields), by_name);
  if (!columns.ok()) return;
  check_bulk_plan(sql, *params, *columns);
  std::string out;
  adbc::SqlTemplate(sql, 0, sql.size(), *params, *columns).AppendRow(literals, 0, &out);

  bool complete_in = false, complete_out = false;
  std::vector<SqlTokenKind> want;
  size_t marker = 0;
  complete_in = lex_sql(sql, [&](const SqlToken& t) {
    if (marker < params->markers.size() && t.begin == params->markers[marker].begin) {
      std::string literal;
      literals[(*columns)[params->markers[marker++].parameter]].Append(0, &literal);
      bool whole = false;
      for (SqlTokenKind k : structure(literal, &whole)) want.push_back(k);
    } else if (t.kind != SqlTokenKind::kOther) {
      want.push_back(t.kind);
    }
  });
  if (marker != params->markers.size()) std::abort();
  if (structure(out, &complete_out) != want || complete_in != complete_out) std::abort();
}

std::string written_name(const norvale::cells::SqlIdentifier& id) {
  if (!id.quoted) return id.name;
  std::string out = "\"";
  for (char c : id.name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// A shape's spans lie in order inside the statement, its bare names are names, and the statement
// written back from its parts (names requoted, values copied) has the same shape.
void check_insert_shape(const std::string& sql) {
  using norvale::cells::InsertValuesShape;
  const auto shape = norvale::cells::parse_insert_values(sql);
  if (!shape) return;
  if (shape->table.empty() || shape->table.size() > 3 || shape->values.empty()) std::abort();
  if (shape->has_column_list == shape->columns.empty()) std::abort();
  if (shape->row.end > sql.size() || sql[shape->row.begin] != '(' ||
      sql[shape->row.end - 1] != ')') {
    std::abort();
  }
  size_t at = shape->row.begin + 1;
  for (const InsertValuesShape::Span& v : shape->values) {
    if (v.begin < at || v.end <= v.begin || v.end >= shape->row.end || v.tokens == 0) std::abort();
    at = v.end;
  }
  auto check_name = [](const norvale::cells::SqlIdentifier& id) {
    if (id.quoted) return;
    if (id.name.empty() || (id.name[0] >= '0' && id.name[0] <= '9') || id.name[0] == '$') {
      std::abort();
    }
    for (char c : id.name) {
      if (!norvale::cells::is_name_byte(static_cast<unsigned char>(c))) std::abort();
    }
  };
  std::string again = "INSERT INTO ";
  for (size_t i = 0; i < shape->table.size(); ++i) {
    check_name(shape->table[i]);
    again += (i > 0 ? "." : "") + written_name(shape->table[i]);
  }
  if (shape->has_column_list) {
    again += " (";
    for (size_t i = 0; i < shape->columns.size(); ++i) {
      check_name(shape->columns[i]);
      again += (i > 0 ? ", " : "") + written_name(shape->columns[i]);
    }
    again += ")";
  }
  again += " VALUES (";
  for (size_t i = 0; i < shape->values.size(); ++i) {
    const InsertValuesShape::Span& v = shape->values[i];
    again += (i > 0 ? ", " : "") + sql.substr(v.begin, v.end - v.begin);
  }
  again += ")";
  const auto reread = norvale::cells::parse_insert_values(again);
  if (!reread || reread->table != shape->table || reread->columns != shape->columns ||
      reread->has_column_list != shape->has_column_list ||
      reread->values.size() != shape->values.size()) {
    std::abort();
  }
  for (size_t i = 0; i < shape->values.size(); ++i) {
    const InsertValuesShape::Span& a = shape->values[i];
    const InsertValuesShape::Span& b = reread->values[i];
    if (a.tokens != b.tokens ||
        sql.compare(a.begin, a.end - a.begin, again, b.begin, b.end - b.begin) != 0) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nv_fuzz::Input in(data, size);
  const std::string sql(in.piece(4096));
  check_insert_shape(sql);
  const int count = nv_param_count_placeholders(sql.data(), sql.size());
  const size_t n = in.byte() % 8;
  std::vector<std::string> buffers(n);
  std::vector<int64_t> indicators(n);
  std::vector<NVParamBinding> params(n);
  bool text_only = true;
  for (size_t i = 0; i < n; ++i) {
    NVParamBinding& p = params[i];
    const uint8_t shape = in.byte();
    p.parameter_number = static_cast<uint16_t>(shape & 0x40 ? in.byte() % 9 : i + 1);
    p.input_output_type = shape & 0x20 ? 2 : 1;
    p.c_type = kCTypes[in.byte() % (sizeof(kCTypes) / sizeof(kCTypes[0]))];
    p.sql_type = static_cast<int16_t>(static_cast<int8_t>(in.byte()));
    text_only = text_only && p.c_type == 1;
    buffers[i] = std::string(in.piece(256));
    buffers[i].resize(std::max<size_t>(buffers[i].size(), 32));  // room for any fixed layout
    p.value = shape & 0x10 ? nullptr : buffers[i].data();
    p.buffer_length = static_cast<int64_t>(buffers[i].size());
    const uint8_t ind = in.byte();
    indicators[i] = ind < 200 ? ind % 33 : -static_cast<int64_t>(ind - 199);
    if (indicators[i] > p.buffer_length) indicators[i] = p.buffer_length;
    p.indicator = shape & 0x08 ? nullptr : &indicators[i];
    // A text bound as SQL NULL becomes the word NULL, not a string.
    if (p.indicator != nullptr && indicators[i] == -1) text_only = false;
  }
  char* out = nullptr;
  char state[6];
  char err[256];
  if (nv_param_substitute(sql.data(), sql.size(), params.data(), params.size(), &out, state, err,
                          sizeof(err)) == 0) {
    const std::string result(out);
    std::free(out);
    if (count == 0 && result != std::string(sql.c_str())) std::abort();
    // The result is read up to its terminating NUL: only texts without NUL compare whole.
    if (text_only && count > 0 && sql.find('\0') == std::string::npos) {
      // Every placeholder became one string token: the original's structure, with the
      // placeholders turned into strings, is the result's.
      bool complete_in = false, complete_out = false;
      std::vector<SqlTokenKind> want = structure(sql, &complete_in);
      for (auto& k : want) {
        if (k == SqlTokenKind::kPlaceholder) k = SqlTokenKind::kString;
      }
      if (structure(result, &complete_out) != want || complete_in != complete_out) std::abort();
    }
  }
  if (sql.find('\0') == std::string::npos) check_typed_literals(sql, in);
  return 0;
}
