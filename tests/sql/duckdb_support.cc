#include "duckdb_support.h"

#include <cstdio>
#include <cstdlib>

#include <arrow/c/bridge.h>

namespace nv_sql::testing {
namespace {

std::string canon_number(double d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.9g", d == 0 ? 0.0 : d);
  return buf;
}

}  // namespace

Duck::Duck() {
  if (duckdb_open(nullptr, &db) != DuckDBSuccess) return;
  if (duckdb_connect(db, &con) != DuckDBSuccess) con = nullptr;
}

Duck::~Duck() {
  duckdb_disconnect(&con);
  duckdb_close(&db);
}

DuckResult::DuckResult(duckdb_connection con, const std::string& sql)
    : ok(duckdb_query(con, sql.c_str(), &res) == DuckDBSuccess) {}

DuckResult::~DuckResult() { duckdb_destroy_result(&res); }

std::string DuckResult::error() {
  return duckdb_result_error(&res) ? duckdb_result_error(&res) : "";
}

arrow::Status load_table(duckdb_connection con, const std::string& schema,
                         const std::string& table, const arrow::RecordBatch& batch) {
  std::string ddl = "CREATE TABLE " + schema + "." + table + " (";
  for (int c = 0; c < batch.num_columns(); ++c) {
    const auto& f = batch.schema()->field(c);
    const char* type = f->type()->id() == arrow::Type::STRING  ? " VARCHAR"
                       : f->type()->id() == arrow::Type::INT32 ? " INTEGER"
                       : f->type()->id() == arrow::Type::INT64 ? " BIGINT"
                                                               : nullptr;
    if (type == nullptr) return arrow::Status::NotImplemented("column type ", *f->type());
    ddl += (c ? ", " : "") + f->name() + type;
  }
  DuckResult created(con, ddl + ")");
  if (!created.ok) return arrow::Status::Invalid(created.error());
  duckdb_appender app = nullptr;
  if (duckdb_appender_create(con, schema.c_str(), table.c_str(), &app) != DuckDBSuccess) {
    return arrow::Status::Invalid("appender for ", table);
  }
  arrow::Status st;
  for (int64_t r = 0; r < batch.num_rows() && st.ok(); ++r) {
    for (int c = 0; c < batch.num_columns(); ++c) {
      const arrow::Array& col = *batch.column(c);
      if (col.IsNull(r)) {
        duckdb_append_null(app);
      } else if (col.type_id() == arrow::Type::STRING) {
        const std::string text = static_cast<const arrow::StringArray&>(col).GetString(r);
        duckdb_append_varchar(app, text.c_str());
      } else if (col.type_id() == arrow::Type::INT32) {
        duckdb_append_int32(app, static_cast<const arrow::Int32Array&>(col).Value(r));
      } else {
        duckdb_append_int64(app, static_cast<const arrow::Int64Array&>(col).Value(r));
      }
    }
    if (duckdb_appender_end_row(app) != DuckDBSuccess) st = arrow::Status::Invalid("append row");
  }
  duckdb_appender_destroy(&app);
  return st;
}

std::string canonical_cell(const arrow::Array& a, int64_t row) {
  if (a.IsNull(row)) return "NULL";
  auto sc = *a.GetScalar(row);
  if (arrow::is_floating(a.type_id())) {
    return canon_number(std::strtod(sc->ToString().c_str(), nullptr));
  }
  return sc->ToString();
}

std::vector<std::string> rows_of(const arrow::RecordBatch& batch) {
  std::vector<std::string> rows;
  for (int64_t row = 0; row < batch.num_rows(); ++row) {
    std::string line;
    for (int c = 0; c < batch.num_columns(); ++c) {
      line += (c ? " | " : "") + canonical_cell(*batch.column(c), row);
    }
    rows.push_back(line);
  }
  return rows;
}

std::string columns_of(const arrow::Schema& schema) {
  std::string out;
  for (const auto& f : schema.fields()) {
    out += (out.empty() ? "" : " | ") + f->name() + " " + f->type()->ToString();
  }
  return out;
}

arrow::Result<DuckAnswer> duck_answer(DuckResult& res) {
  const idx_t n = duckdb_column_count(&res.res);
  std::vector<duckdb_logical_type> types(n);
  std::vector<const char*> names(n);
  for (idx_t c = 0; c < n; ++c) {
    types[c] = duckdb_column_logical_type(&res.res, c);
    names[c] = duckdb_column_name(&res.res, c);
  }
  duckdb_arrow_options options = duckdb_result_get_arrow_options(&res.res);
  ArrowSchema c_schema{};
  duckdb_error_data err = duckdb_to_arrow_schema(options, types.data(), names.data(), n, &c_schema);
  for (auto& t : types) duckdb_destroy_logical_type(&t);
  DuckAnswer out;
  arrow::Status st = duckdb_error_data_has_error(err)
                         ? arrow::Status::Invalid(duckdb_error_data_message(err))
                         : arrow::ImportSchema(&c_schema).Value(&out.schema);
  duckdb_destroy_error_data(&err);
  // The rows are read chunk by chunk as Arrow: DuckDB's value functions misread the columns
  // after one of no type (SELECT x || NULL, y).
  while (st.ok()) {
    duckdb_data_chunk chunk = duckdb_fetch_chunk(res.res);
    if (chunk == nullptr) break;
    ArrowArray c_array{};
    duckdb_error_data cerr = duckdb_data_chunk_to_arrow(options, chunk, &c_array);
    duckdb_destroy_data_chunk(&chunk);
    if (duckdb_error_data_has_error(cerr)) {
      st = arrow::Status::Invalid(duckdb_error_data_message(cerr));
    } else {
      auto batch = arrow::ImportRecordBatch(&c_array, out.schema);
      st = batch.status();
      if (st.ok()) {
        auto rows = rows_of(**batch);
        out.rows.insert(out.rows.end(), rows.begin(), rows.end());
      }
    }
    duckdb_destroy_error_data(&cerr);
  }
  duckdb_destroy_arrow_options(&options);
  ARROW_RETURN_NOT_OK(st);
  return out;
}

}  // namespace nv_sql::testing
