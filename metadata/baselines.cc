// The relations each connection's metadata engine answers from: the nine snapshot result sets
// under their information_schema names, and nine standard relations the snapshot does not carry,
// registered empty so that queries on them return no rows instead of reaching a compute node.
#include <chrono>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include <arrow/api.h>

#include "metadata/baselines_internal.h"
#include "metadata/catalog_index_internal.h"
#include "metadata/info_schema_internal.h"
#include "norvale/nv_log.h"
#include "sql/metadata_engine_internal.h"

namespace norvale::adbc {
namespace {

enum class Kind { kText, kInt };

struct StubField {
  const char* name;
  Kind kind;
};

struct StubRelation {
  const char* name;
  std::vector<StubField> fields;
};

constexpr Kind T = Kind::kText;
constexpr Kind I = Kind::kInt;

const std::vector<StubRelation>& stub_relations() {
  static const std::vector<StubRelation> kStubs = {
      {"information_schema.routines",
       {{"specific_catalog", T}, {"specific_schema", T}, {"specific_name", T},
        {"routine_catalog", T}, {"routine_schema", T}, {"routine_name", T},
        {"routine_type", T}, {"data_type", T}, {"type_udt_catalog", T},
        {"type_udt_schema", T}, {"type_udt_name", T}, {"routine_body", T},
        {"routine_definition", T}, {"external_name", T}, {"external_language", T},
        {"is_deterministic", T}, {"sql_data_access", T}, {"is_null_call", T},
        {"security_type", T}}},
      {"information_schema.parameters",
       {{"specific_catalog", T}, {"specific_schema", T}, {"specific_name", T},
        {"ordinal_position", I}, {"parameter_mode", T}, {"parameter_name", T},
        {"data_type", T}, {"character_maximum_length", I}, {"numeric_precision", I},
        {"numeric_scale", I}}},
      {"information_schema.table_privileges",
       {{"grantor", T}, {"grantee", T}, {"table_catalog", T}, {"table_schema", T},
        {"table_name", T}, {"privilege_type", T}, {"is_grantable", T}, {"with_hierarchy", T}}},
      {"information_schema.column_privileges",
       {{"grantor", T}, {"grantee", T}, {"table_catalog", T}, {"table_schema", T},
        {"table_name", T}, {"column_name", T}, {"privilege_type", T}, {"is_grantable", T}}},
      {"information_schema.usage_privileges",
       {{"grantor", T}, {"grantee", T}, {"object_catalog", T}, {"object_schema", T},
        {"object_name", T}, {"object_type", T}, {"privilege_type", T}, {"is_grantable", T}}},
      {"information_schema.triggers",
       {{"trigger_catalog", T}, {"trigger_schema", T}, {"trigger_name", T},
        {"event_manipulation", T}, {"event_object_catalog", T}, {"event_object_schema", T},
        {"event_object_table", T}, {"action_order", I}, {"action_condition", T},
        {"action_statement", T}, {"action_orientation", T}, {"action_timing", T},
        {"action_reference_old_table", T}, {"action_reference_new_table", T},
        {"action_reference_old_row", T}, {"action_reference_new_row", T}, {"created", T}}},
      {"information_schema.sequences",
       {{"sequence_catalog", T}, {"sequence_schema", T}, {"sequence_name", T},
        {"data_type", T}, {"numeric_precision", I}, {"numeric_precision_radix", I},
        {"numeric_scale", I}, {"start_value", T}, {"minimum_value", T}, {"maximum_value", T},
        {"increment", T}, {"cycle_option", T}}},
      {"information_schema.domains",
       {{"domain_catalog", T}, {"domain_schema", T}, {"domain_name", T}, {"data_type", T},
        {"character_maximum_length", I}, {"numeric_precision", I}, {"numeric_scale", I},
        {"domain_default", T}}},
      {"information_schema.check_constraints",
       {{"constraint_catalog", T}, {"constraint_schema", T}, {"constraint_name", T},
        {"check_clause", T}}},
  };
  return kStubs;
}

// A zero-row batch of the stub's schema; null when an empty column cannot be built.
std::shared_ptr<arrow::RecordBatch> empty_stub_batch(const StubRelation& stub) {
  arrow::FieldVector fields;
  std::vector<std::shared_ptr<arrow::Array>> columns;
  for (const StubField& f : stub.fields) {
    auto type = f.kind == Kind::kText ? arrow::utf8() : arrow::int32();
    std::unique_ptr<arrow::ArrayBuilder> builder;
    if (!arrow::MakeBuilder(arrow::default_memory_pool(), type, &builder).ok()) return nullptr;
    std::shared_ptr<arrow::Array> column;
    if (!builder->Finish(&column).ok()) return nullptr;
    fields.push_back(arrow::field(f.name, type));
    columns.push_back(std::move(column));
  }
  return arrow::RecordBatch::Make(arrow::schema(std::move(fields)), 0, std::move(columns));
}

void populate(const ConnectionCatalog& catalog) {
  if (catalog.engine == nullptr || catalog.store == nullptr) return;
  const auto started = std::chrono::steady_clock::now();
  nv_sql::MetadataEngine& engine = *catalog.engine;

  // The snapshot's name lookups go with its relations, so that catalog queries with names
  // find their rows without a scan (taken before the store's lock, which building them needs).
  const std::shared_ptr<const CatalogIndex> index = catalog_index(catalog.store);
  int baselines = 0;
  {
    std::shared_lock<std::shared_mutex> lock(catalog.store->lock);
    for (int i = 0; i < kSnapshotResultSets; ++i) {
      const auto& batch = catalog.store->batches[static_cast<size_t>(i)];
      if (!batch) {
        nv_log_emit(NV_LOG_DEBUG, "meta_engine",
                    "snapshot slot %d (%s) empty; skipping registration", i, kBaselineNames[i]);
        continue;
      }
      // The engine keeps the lookups only when they were built over this very batch.
      (void)engine.register_relation(kBaselineNames[i], batch->schema(), {batch},
                                     index ? index->relation(i) : nullptr);
      ++baselines;
    }
  }

  int stubs = 0;
  for (const StubRelation& stub : stub_relations()) {
    auto batch = empty_stub_batch(stub);
    if (!batch) {
      nv_log_emit(NV_LOG_DEBUG, "meta_engine", "empty stub build failed for %s", stub.name);
      continue;
    }
    (void)engine.register_relation(stub.name, batch->schema(), {batch});
    ++stubs;
  }

  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  nv_log_emit(NV_LOG_INFO, "meta_engine",
              "registered %d/%d information_schema baselines + %d empty stubs in %lld ms",
              baselines, kSnapshotResultSets, stubs, static_cast<long long>(elapsed.count()));
}

}  // namespace

size_t empty_stub_count() { return stub_relations().size(); }

void register_catalog_relations(const ConnectionCatalog& catalog) {
  try {
    populate(catalog);
  } catch (const std::exception& e) {
    nv_log_emit(NV_LOG_ERROR, "meta_engine", "baseline registration failed: %s", e.what());
  }
}

}  // namespace norvale::adbc
