#include "snapshot_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <arrow/c/bridge.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/writer.h>

#include "metadata/snapshot_cache_internal.h"

namespace nvtest {

std::string ipc_bytes(const std::shared_ptr<arrow::Schema>& schema,
                      const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches) {
  auto sink = arrow::io::BufferOutputStream::Create().ValueOrDie();
  auto writer = arrow::ipc::MakeStreamWriter(sink, schema).ValueOrDie();
  for (const auto& batch : batches) EXPECT_TRUE(writer->WriteRecordBatch(*batch).ok());
  EXPECT_TRUE(writer->Close().ok());
  auto buffer = sink->Finish().ValueOrDie();
  return buffer->ToString();
}

std::shared_ptr<arrow::RecordBatch> read_stream(ArrowArrayStream* stream) {
  auto reader = arrow::ImportRecordBatchReader(stream);
  EXPECT_TRUE(reader.ok()) << reader.status().ToString();
  if (!reader.ok()) return nullptr;
  auto table = (*reader)->ToTable();
  EXPECT_TRUE(table.ok()) << table.status().ToString();
  if (!table.ok()) return nullptr;
  auto combined = (*table)->CombineChunksToBatch();
  EXPECT_TRUE(combined.ok()) << combined.status().ToString();
  return combined.ok() ? *combined : nullptr;
}

namespace {

std::optional<std::string> text_at(const arrow::Array& array, int64_t i) {
  if (array.IsNull(i)) return std::nullopt;
  return static_cast<const arrow::StringArray&>(array).GetString(i);
}

std::optional<int64_t> int_at(const arrow::Array& array, int64_t i) {
  if (array.IsNull(i)) return std::nullopt;
  switch (array.type_id()) {
    case arrow::Type::INT16:
      return static_cast<const arrow::Int16Array&>(array).Value(i);
    case arrow::Type::INT32:
      return static_cast<const arrow::Int32Array&>(array).Value(i);
    default:
      ADD_FAILURE() << "unexpected integer type " << array.type()->ToString();
      return std::nullopt;
  }
}

std::optional<bool> bool_at(const arrow::Array& array, int64_t i) {
  if (array.IsNull(i)) return std::nullopt;
  return static_cast<const arrow::BooleanArray&>(array).Value(i);
}

const arrow::Array& child(const arrow::StructArray& s, const char* name) {
  auto field = s.GetFieldByName(name);
  EXPECT_NE(field, nullptr) << name;
  return *field;
}

std::string opt_text(const std::optional<int64_t>& v) {
  return v ? std::to_string(*v) : std::string("-");
}

}  // namespace

std::string ColumnOut::xdbc() const {
  return type_name.value_or("-") + " " + opt_text(data_type) + " size=" + opt_text(column_size) +
         " digits=" + opt_text(decimal_digits) + " radix=" + opt_text(radix) +
         " octets=" + opt_text(octet_length) + " sub=" + opt_text(datetime_sub);
}

std::vector<CatalogOut> parse_objects(const arrow::RecordBatch& batch) {
  std::vector<CatalogOut> out;
  const auto& names = *batch.column(0);
  const auto& schemas = static_cast<const arrow::ListArray&>(*batch.column(1));
  for (int64_t c = 0; c < batch.num_rows(); ++c) {
    CatalogOut cat;
    cat.name = text_at(names, c);
    cat.schemas_null = schemas.IsNull(c);
    if (!cat.schemas_null) {
      const auto& ss = static_cast<const arrow::StructArray&>(*schemas.values());
      for (int64_t s = schemas.value_offset(c); s < schemas.value_offset(c + 1); ++s) {
        SchemaOut sch;
        sch.name = text_at(child(ss, "db_schema_name"), s);
        const auto& tables = static_cast<const arrow::ListArray&>(child(ss, "db_schema_tables"));
        sch.tables_null = tables.IsNull(s);
        if (!sch.tables_null) {
          const auto& ts = static_cast<const arrow::StructArray&>(*tables.values());
          for (int64_t t = tables.value_offset(s); t < tables.value_offset(s + 1); ++t) {
            TableOut tbl;
            tbl.name = *text_at(child(ts, "table_name"), t);
            tbl.type = *text_at(child(ts, "table_type"), t);
            const auto& cols = static_cast<const arrow::ListArray&>(child(ts, "table_columns"));
            tbl.columns_null = cols.IsNull(t);
            if (!tbl.columns_null) {
              const auto& cs = static_cast<const arrow::StructArray&>(*cols.values());
              for (int64_t k = cols.value_offset(t); k < cols.value_offset(t + 1); ++k) {
                ColumnOut col;
                col.name = *text_at(child(cs, "column_name"), k);
                col.ordinal = int_at(child(cs, "ordinal_position"), k);
                col.remarks = text_at(child(cs, "remarks"), k);
                col.data_type = int_at(child(cs, "xdbc_data_type"), k);
                col.type_name = text_at(child(cs, "xdbc_type_name"), k);
                col.column_size = int_at(child(cs, "xdbc_column_size"), k);
                col.decimal_digits = int_at(child(cs, "xdbc_decimal_digits"), k);
                col.radix = int_at(child(cs, "xdbc_num_prec_radix"), k);
                col.nullable = int_at(child(cs, "xdbc_nullable"), k);
                col.column_def = text_at(child(cs, "xdbc_column_def"), k);
                col.sql_data_type = int_at(child(cs, "xdbc_sql_data_type"), k);
                col.datetime_sub = int_at(child(cs, "xdbc_datetime_sub"), k);
                col.octet_length = int_at(child(cs, "xdbc_char_octet_length"), k);
                col.is_nullable = text_at(child(cs, "xdbc_is_nullable"), k);
                col.scope_catalog = text_at(child(cs, "xdbc_scope_catalog"), k);
                col.scope_schema = text_at(child(cs, "xdbc_scope_schema"), k);
                col.scope_table = text_at(child(cs, "xdbc_scope_table"), k);
                col.autoincrement = bool_at(child(cs, "xdbc_is_autoincrement"), k);
                col.generated = bool_at(child(cs, "xdbc_is_generatedcolumn"), k);
                tbl.columns.push_back(col);
              }
            }
            const auto& cons =
                static_cast<const arrow::ListArray&>(child(ts, "table_constraints"));
            tbl.constraints_null = cons.IsNull(t);
            if (!tbl.constraints_null) {
              const auto& ks = static_cast<const arrow::StructArray&>(*cons.values());
              for (int64_t k = cons.value_offset(t); k < cons.value_offset(t + 1); ++k) {
                ConstraintOut con;
                con.name = text_at(child(ks, "constraint_name"), k);
                con.type = *text_at(child(ks, "constraint_type"), k);
                const auto& names_list =
                    static_cast<const arrow::ListArray&>(child(ks, "constraint_column_names"));
                for (int64_t n = names_list.value_offset(k); n < names_list.value_offset(k + 1);
                     ++n) {
                  con.column_names.push_back(*text_at(*names_list.values(), n));
                }
                const auto& usage =
                    static_cast<const arrow::ListArray&>(child(ks, "constraint_column_usage"));
                con.usage_null = usage.IsNull(k);
                if (!con.usage_null) {
                  const auto& us = static_cast<const arrow::StructArray&>(*usage.values());
                  for (int64_t u = usage.value_offset(k); u < usage.value_offset(k + 1); ++u) {
                    con.usage.push_back(text_at(child(us, "fk_catalog"), u).value_or("") + "." +
                                        text_at(child(us, "fk_db_schema"), u).value_or("") +
                                        "." + *text_at(child(us, "fk_table"), u) + "." +
                                        *text_at(child(us, "fk_column_name"), u));
                  }
                }
                tbl.constraints.push_back(con);
              }
            }
            sch.tables.push_back(tbl);
          }
        }
        cat.schemas.push_back(sch);
      }
    }
    out.push_back(cat);
  }
  return out;
}

std::vector<std::string> table_paths(const std::vector<CatalogOut>& tree) {
  std::vector<std::string> paths;
  for (const auto& cat : tree) {
    for (const auto& sch : cat.schemas) {
      for (const auto& tbl : sch.tables) {
        paths.push_back(cat.name.value_or("") + "." + sch.name.value_or("") + "." + tbl.name +
                        ":" + tbl.type);
      }
    }
  }
  return paths;
}

TableOut find_table(const std::vector<CatalogOut>& tree, const std::string& catalog,
                           const std::string& schema, const std::string& table) {
  for (const auto& cat : tree) {
    if (cat.name != catalog) continue;
    for (const auto& sch : cat.schemas) {
      if (sch.name != schema) continue;
      for (const auto& tbl : sch.tables) {
        if (tbl.name == table) return tbl;
      }
    }
  }
  ADD_FAILURE() << "table " << catalog << "." << schema << "." << table << " not in result";
  return TableOut{};
}

std::vector<CatalogOut> get_objects(AdbcConnection* conn, int depth, const char* catalog,
                                    const char* db_schema, const char* table_name,
                                    const char** table_types, const char* column_name) {
  ArrowArrayStream stream{};
  AdbcError error{};
  const AdbcStatusCode status = nv_adbc_connection_get_objects(
      conn, depth, catalog, db_schema, table_name, table_types, column_name, &stream, &error);
  EXPECT_EQ(status, ADBC_STATUS_OK) << (error.message != nullptr ? error.message : "");
  if (error.release != nullptr) error.release(&error);
  if (status != ADBC_STATUS_OK) return {};
  auto batch = read_stream(&stream);
  if (!batch) return {};
  return parse_objects(*batch);
}

bool wait_for_poller(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    norvale::adbc::snapshot_poller_wake_for_test();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (done()) return true;
  }
  return false;
}

}  // namespace nvtest
