// The SQL bridge and the metadata engine: any text through try_execute over the baselines of
// a connection (the nine snapshot relations, here holding a few rows, and the empty stubs).
#include <string>

#include <arrow/api.h>

#include "adbc/state_internal.h"
#include "core/connection_internal.h"
#include "adbc/catalog_internal.h"
#include "sql/metadata_engine_internal.h"

namespace {

std::shared_ptr<arrow::RecordBatch> strings(const std::vector<std::string>& names,
                                            const std::vector<std::vector<const char*>>& rows) {
  arrow::FieldVector fields;
  arrow::ArrayVector columns;
  for (size_t c = 0; c < names.size(); ++c) {
    arrow::StringBuilder b;
    for (const auto& row : rows) {
      (void)(row[c] == nullptr ? b.AppendNull() : b.Append(row[c]));
    }
    fields.push_back(arrow::field(names[c], arrow::utf8()));
    columns.push_back(b.Finish().ValueOrDie());
  }
  return arrow::RecordBatch::Make(arrow::schema(fields), static_cast<int64_t>(rows.size()),
                                  columns);
}

// A connection whose engine carries the baselines over a small snapshot; made once.
nv_sql::MetadataEngine* engine() {
  static nv_sql::MetadataEngine* made = [] {
    static NVConnection core;
    static NVAdbcConnectionState state{};
    state.connection = &core;
    state.info_schema = norvale::adbc::info_schema_store_create();
    state.info_schema->batches.at(norvale::adbc::kRsTables) =
        strings({"table_catalog", "table_schema", "table_name", "table_type"},
                {{"db", "public", "orders", "BASE TABLE"},
                 {"db", "sales", "v_top", "VIEW"},
                 {"db", "public", "Customers", "BASE TABLE"}});
    state.info_schema->batches.at(norvale::adbc::kRsSchemata) =
        strings({"catalog_name", "schema_name", "schema_owner"},
                {{"db", "public", "me"}, {"db", "sales", nullptr}});
    state.meta_engine = new nv_sql::MetadataEngine();
    norvale::adbc::populate_meta_engine_baselines(&state);
    return state.meta_engine;
  }();
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string sql(reinterpret_cast<const char*>(data), size);
  (void)engine()->try_execute(sql);
  return 0;
}
