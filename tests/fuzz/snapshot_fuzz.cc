// The snapshot: up to nine result sets decoded from the input (each a length-prefixed Arrow
// IPC stream), installed in a connection's store, then read by every metadata reader: the
// engine's relations, GetObjects at each depth, GetTableSchema and GetTableTypes.
#include <cstdlib>
#include <cstring>
#include <memory>

#include <arrow/c/bridge.h>

#include "adbc/state_internal.h"
#include "core/connection_internal.h"
#include "fuzz_input.h"
#include "adbc/catalog_internal.h"
#include "metadata/snapshot_decode_internal.h"
#include "norvale_adbc.h"
#include "sql/metadata_engine_internal.h"

namespace {

void drain(ArrowArrayStream* stream) {
  if (stream->release == nullptr) return;
  auto reader = arrow::ImportRecordBatchReader(stream);
  if (reader.ok()) (void)(*reader)->ToTable();
}

void release(AdbcError* error) {
  if (error->release != nullptr) error->release(error);
}

const char* const kQueries[] = {
    "SELECT * FROM information_schema.tables ORDER BY 1, 2, 3",
    "SELECT table_schema, count(*) FROM information_schema.columns GROUP BY 1",
    "SELECT c.column_name FROM information_schema.columns c JOIN information_schema.tables t "
    "ON c.table_name = t.table_name WHERE t.table_type LIKE '%TABLE%'",
    "SELECT * FROM information_schema.schemata WHERE schema_name IN "
    "(SELECT table_schema FROM information_schema.views)",
    "SELECT * FROM information_schema.key_column_usage",
    "SELECT * FROM information_schema.table_constraints",
    "SELECT * FROM information_schema.referential_constraints",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nv_fuzz::Input in(data, size);
  NVConnection core;
  core.compute_url = "http://127.0.0.1:9";  // a fallback query is refused at once
  NVAdbcConnectionState state{};
  state.connection = &core;
  state.info_schema = norvale::adbc::info_schema_store_create();
  for (int index = 0; index < 9 && in.left() > 0; ++index) {
    const std::string_view bytes = in.piece(1 << 20);
    auto* block = static_cast<uint8_t*>(std::malloc(bytes.size() + 1));
    std::memcpy(block, bytes.data(), bytes.size());
    auto batch = norvale::adbc::decode_result_set(index, block, bytes.size());
    if (batch.ok()) state.info_schema->batches.at(static_cast<size_t>(index)) = *batch;
  }
  state.meta_engine = new nv_sql::MetadataEngine();
  norvale::adbc::populate_meta_engine_baselines(&state);
  for (const char* sql : kQueries) (void)state.meta_engine->try_execute(sql);

  AdbcConnection handle{};
  handle.private_data = &state;
  for (int depth = 0; depth <= 3; ++depth) {
    ArrowArrayStream stream{};
    AdbcError error{};
    nv_adbc_connection_get_objects(&handle, depth, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   &stream, &error);
    drain(&stream);
    release(&error);
  }
  {
    ArrowArrayStream stream{};
    AdbcError error{};
    nv_adbc_connection_get_table_types(&handle, &stream, &error);
    drain(&stream);
    release(&error);
  }
  auto tables = state.info_schema->batches.at(2);
  if (tables != nullptr && tables->num_rows() > 0 && tables->num_columns() >= 3 &&
      tables->column(2)->type_id() == arrow::Type::STRING) {
    const auto& names = static_cast<const arrow::StringArray&>(*tables->column(2));
    if (!names.IsNull(0)) {
      const std::string name = names.GetString(0);
      ArrowSchema schema{};
      AdbcError error{};
      if (nv_adbc_connection_get_table_schema(&handle, nullptr, nullptr, name.c_str(), &schema,
                                              &error) == ADBC_STATUS_OK &&
          schema.release != nullptr) {
        schema.release(&schema);
      }
      release(&error);
    }
  }
  delete state.meta_engine;
  norvale::adbc::info_schema_store_destroy(state.info_schema);
  return 0;
}
