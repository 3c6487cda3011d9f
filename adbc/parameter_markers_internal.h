// The parameter markers of a statement's SQL and the bound columns that serve them.
#pragma once

#include <arrow/result.h>
#include <arrow/type_fwd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace norvale::adbc {

/// How a statement writes its parameters; one statement uses one style.
enum class MarkerStyle : uint8_t {
  kNone,
  kQuestion,  // ? ... ?: the k-th marker is the k-th parameter
  kNumbered,  // $1 ... $n: by number, in any order, each as often as needed
  kDollarName,  // $name: by name
  kColonName,   // :name: by name
};

struct ParameterMarker {
  size_t begin;   // the marker's bytes in the SQL text: [begin, end)
  size_t end;
  int parameter;  // the parameter it stands for, counted from 0
};

/// The parameters of a statement, found by the library's SQL lexer.
struct StatementParameters {
  MarkerStyle style = MarkerStyle::kNone;
  std::vector<ParameterMarker> markers;  // in text order
  /// One per parameter, in parameter order: "" for ?, "$1" and so on for numbered ones, the
  /// name (without $ or :) for named ones.
  std::vector<std::string> names;
  /// Per parameter: whether some marker stands for it ($2 may be missing where $3 occurs).
  std::vector<bool> used;
};

/// Finds ?, $1 ... $n and $name markers, and with `by_name` also :name (elsewhere a :name is
/// left to the server). A statement that mixes styles, or writes $0, fails with SQLSTATE 42000.
arrow::Result<StatementParameters> find_parameters(std::string_view sql, bool by_name);

/// The bound column of each parameter: the column at its position, or with `by_name` the column
/// of its name. A bound column that serves no parameter, a parameter without a column, and
/// named markers without `by_name` (or positional ones with it) fail with SQLSTATE 07002 and a
/// message that names them.
arrow::Result<std::vector<int>> bind_columns(const StatementParameters& parameters,
                                             const arrow::Schema& schema, bool by_name);

/// The parameters of `sql` as GetParameterSchema describes them: a field per parameter in
/// parameter order, named as the statement names it ("" for ?, "$1" for $1, the name for $name
/// and :name), typed as its bound column of `bound` when data are bound (non-null) and match
/// the parameters, else of the null type. Fails only for markers that find_parameters refuses.
arrow::Result<std::shared_ptr<arrow::Schema>> parameter_schema(std::string_view sql,
                                                               bool by_name,
                                                               const arrow::Schema* bound);

}  // namespace norvale::adbc
