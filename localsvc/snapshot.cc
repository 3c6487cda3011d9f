#include "localsvc/snapshot.h"

#include <nlohmann/json.hpp>

#include "localsvc/duck.h"
#include "localsvc/http_util.h"
#include "localsvc/ipc.h"
#include "localsvc/wire.h"

namespace nv_localsvc {

const char* const kSnapshotRelations[9] = {
    "information_schema.catalogs",          "information_schema.schemata",
    "information_schema.tables",            "information_schema.columns",
    "information_schema.views",             "information_schema.key_column_usage",
    "information_schema.odbc_columns",      "information_schema.table_constraints",
    "information_schema.referential_constraints"};

namespace {

// DuckDB's own catalogs and schemas, and the ingest's scratch catalog (ingest.cc), are not part
// of the user's catalog.
constexpr const char* kUserDb = "database_name NOT IN ('system', 'temp', 'nv_scratch')";
constexpr const char* kUserSchema =
    "schema_name NOT IN ('information_schema', 'pg_catalog')";

// Type names as SQL writes them; DuckDB's FLOAT is a 4-byte REAL and BLOB is VARBINARY.
constexpr const char* kSqlType =
    "CASE data_type WHEN 'FLOAT' THEN 'REAL' WHEN 'BLOB' THEN 'VARBINARY' "
    "ELSE data_type END";

std::string catalogs_sql() {
  return std::string("SELECT database_name AS catalog_name, CAST(comment AS VARCHAR) AS description "
                     "FROM duckdb_databases() WHERE ") +
         kUserDb + " ORDER BY 1";
}

std::string schemata_sql() {
  return std::string(
             "SELECT database_name AS catalog_name, schema_name, 'localsvc' AS schema_owner, "
             "CAST(NULL AS VARCHAR) AS default_character_set_catalog, "
             "CAST(NULL AS VARCHAR) AS default_character_set_schema, "
             "CAST(NULL AS VARCHAR) AS default_character_set_name, "
             "CAST(NULL AS VARCHAR) AS sql_path, CAST(comment AS VARCHAR) AS description "
             "FROM duckdb_schemas() WHERE ") +
         kUserDb + " AND " + kUserSchema + " ORDER BY 1, 2";
}

std::string tables_sql() {
  return std::string(
             "SELECT * FROM ("
             "SELECT database_name AS table_catalog, schema_name AS table_schema, table_name, "
             "CASE WHEN temporary THEN 'LOCAL TEMPORARY' ELSE 'BASE TABLE' END AS table_type, "
             "CAST(NULL AS VARCHAR) AS self_referencing_column_name, "
             "CAST(NULL AS VARCHAR) AS reference_generation, "
             "CAST(NULL AS VARCHAR) AS user_defined_type_catalog, "
             "CAST(NULL AS VARCHAR) AS user_defined_type_schema, "
             "CAST(NULL AS VARCHAR) AS user_defined_type_name, "
             "'YES' AS is_insertable_into, 'NO' AS is_typed, "
             "CAST(NULL AS VARCHAR) AS commit_action, CAST(comment AS VARCHAR) AS remarks "
             "FROM duckdb_tables() WHERE ") +
         kUserDb + " AND " + kUserSchema +
         " UNION ALL "
         "SELECT database_name, schema_name, view_name, 'VIEW', NULL, NULL, NULL, NULL, NULL, "
         "'NO', 'NO', NULL, CAST(comment AS VARCHAR) FROM duckdb_views() WHERE NOT internal AND " +
         kUserDb + " AND " + kUserSchema + ") ORDER BY 1, 2, 3";
}

std::string columns_sql() {
  return std::string(
             "SELECT database_name AS table_catalog, schema_name AS table_schema, table_name, "
             "column_name, CAST(column_index AS INTEGER) AS ordinal_position, "
             "column_default, CASE WHEN is_nullable THEN 'YES' ELSE 'NO' END AS is_nullable, ") +
         kSqlType +
         " AS data_type, "
         "CAST(character_maximum_length AS INTEGER) AS character_maximum_length, "
         "CAST(NULL AS INTEGER) AS character_octet_length, "
         "CAST(numeric_precision AS INTEGER) AS numeric_precision, "
         "CAST(numeric_precision_radix AS INTEGER) AS numeric_precision_radix, "
         "CAST(numeric_scale AS INTEGER) AS numeric_scale, "
         "CAST(NULL AS INTEGER) AS datetime_precision, "
         "data_type AS udt_name, 'NO' AS is_identity, 'NEVER' AS is_generated, "
         "CAST(NULL AS VARCHAR) AS generation_expression, 'YES' AS is_updatable, "
         "CAST(comment AS VARCHAR) AS description "
         "FROM duckdb_columns() WHERE " +
         kUserDb + " AND " + kUserSchema + " ORDER BY 1, 2, 3, 5";
}

std::string views_sql() {
  return std::string(
             "SELECT database_name AS table_catalog, schema_name AS table_schema, "
             "view_name AS table_name, sql AS view_definition, 'NONE' AS check_option, "
             "'NO' AS is_updatable, 'NO' AS is_insertable_into, 'NO' AS is_trigger_updatable, "
             "'NO' AS is_trigger_deletable, 'NO' AS is_trigger_insertable_into "
             "FROM duckdb_views() WHERE NOT internal AND ") +
         kUserDb + " AND " + kUserSchema + " ORDER BY 1, 2, 3";
}

std::string key_column_usage_sql() {
  return "SELECT constraint_catalog, constraint_schema, constraint_name, table_catalog, "
         "table_schema, table_name, column_name, CAST(ordinal_position AS INTEGER) AS "
         "ordinal_position, CAST(position_in_unique_constraint AS INTEGER) AS "
         "position_in_unique_constraint FROM information_schema.key_column_usage "
         "WHERE table_catalog NOT IN ('system', 'temp') ORDER BY 1, 2, 3, 8";
}

std::string odbc_columns_sql() {
  // The ODBC SQLColumns result shape, type codes as ODBC defines them.
  return std::string(
             "SELECT database_name AS TABLE_CAT, schema_name AS TABLE_SCHEM, table_name AS "
             "TABLE_NAME, column_name AS COLUMN_NAME, CAST(CASE "
             "WHEN data_type = 'BOOLEAN' THEN -7 WHEN data_type = 'TINYINT' THEN -6 "
             "WHEN data_type = 'SMALLINT' THEN 5 WHEN data_type = 'INTEGER' THEN 4 "
             "WHEN data_type = 'BIGINT' THEN -5 WHEN data_type = 'FLOAT' THEN 7 "
             "WHEN data_type = 'DOUBLE' THEN 8 WHEN data_type LIKE 'DECIMAL%' THEN 3 "
             "WHEN data_type = 'DATE' THEN 91 WHEN data_type = 'TIME' THEN 92 "
             "WHEN data_type LIKE 'TIMESTAMP%' THEN 93 WHEN data_type = 'BLOB' THEN -3 "
             "ELSE 12 END AS SMALLINT) AS DATA_TYPE, ") +
         kSqlType +
         " AS TYPE_NAME, CAST(COALESCE(character_maximum_length, numeric_precision) AS INTEGER) "
         "AS COLUMN_SIZE, CAST(NULL AS INTEGER) AS BUFFER_LENGTH, "
         "CAST(numeric_scale AS SMALLINT) AS DECIMAL_DIGITS, "
         "CAST(numeric_precision_radix AS SMALLINT) AS NUM_PREC_RADIX, "
         "CAST(CASE WHEN is_nullable THEN 1 ELSE 0 END AS SMALLINT) AS NULLABLE, "
         "CAST(comment AS VARCHAR) AS REMARKS, column_default AS COLUMN_DEF, "
         "CAST(NULL AS SMALLINT) AS SQL_DATA_TYPE, CAST(NULL AS SMALLINT) AS SQL_DATETIME_SUB, "
         "CAST(NULL AS INTEGER) AS CHAR_OCTET_LENGTH, "
         "CAST(column_index AS INTEGER) AS ORDINAL_POSITION, "
         "CASE WHEN is_nullable THEN 'YES' ELSE 'NO' END AS IS_NULLABLE "
         "FROM duckdb_columns() WHERE " +
         kUserDb + " AND " + kUserSchema + " ORDER BY 1, 2, 3, 17";
}

std::string table_constraints_sql() {
  // NOT NULL column constraints show up as CHECK constraints in DuckDB; they are not listed.
  return "SELECT constraint_catalog, constraint_schema, constraint_name, table_catalog, "
         "table_schema, table_name, constraint_type, is_deferrable, initially_deferred, "
         "enforced FROM information_schema.table_constraints "
         "WHERE table_catalog NOT IN ('system', 'temp') AND constraint_name NOT IN "
         "(SELECT constraint_name FROM duckdb_constraints() WHERE constraint_type = 'NOT NULL') "
         "ORDER BY 1, 2, 3";
}

std::string referential_constraints_sql() {
  return "SELECT constraint_catalog, constraint_schema, constraint_name, "
         "unique_constraint_catalog, unique_constraint_schema, unique_constraint_name, "
         "match_option, update_rule, delete_rule "
         "FROM information_schema.referential_constraints "
         "WHERE constraint_catalog NOT IN ('system', 'temp') ORDER BY 1, 2, 3";
}

class SnapshotProducer : public BodyProducer {
 public:
  explicit SnapshotProducer(SnapshotCache::Body body) : body_(std::move(body)) {}
  Step step(FaultWriter& out) override {
    // Piece by piece, so that trickling and cuts act on a real stream.
    size_t n = std::min<size_t>(body_->size() - pos_, 64 * 1024);
    if (n > 0 && !out.write(body_->data() + pos_, n)) return Step::kDone;
    pos_ += n;
    return pos_ < body_->size() ? Step::kMore : Step::kDone;
  }

 private:
  SnapshotCache::Body body_;
  size_t pos_ = 0;
};

// Whether an If-None-Match list ("a", W/"b", or *) names `etag`.
bool etag_matches(std::string_view list, std::string_view etag) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (item.starts_with("W/")) item.remove_prefix(2);  // weak comparison, as for GET
    if (item == "*" || item == etag) return true;
  }
  return false;
}

std::string error_frame_payload(const std::string& message) {
  return nlohmann::json({{"message", message}})
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The whole framed body for catalog version `epoch`; not to be kept when it reports a failure.
SnapshotCache::Built build_body(duckdb_database db, uint64_t epoch) {
  auto body = std::make_shared<std::string>();
  append_frame(body.get(), static_cast<uint8_t>(FrameType::kInit),
               nlohmann::json({{"epoch", epoch}}).dump());
  auto sets = build_snapshot(db);
  if (!sets.ok()) {
    append_frame(body.get(), static_cast<uint8_t>(FrameType::kError),
                 error_frame_payload(sets.status().message()));
    return {body, false};
  }
  for (size_t i = 0; i < sets->size(); ++i) {
    auto payload = batch_payload(static_cast<uint32_t>(i), *(*sets)[i]);
    if (!payload.ok()) {
      append_frame(body.get(), static_cast<uint8_t>(FrameType::kError),
                   error_frame_payload(payload.status().message()));
      return {body, false};
    }
    append_frame(body.get(), static_cast<uint8_t>(FrameType::kBatch),
                 std::string_view(reinterpret_cast<const char*>((*payload)->data()),
                                  static_cast<size_t>((*payload)->size())));
  }
  append_frame(body.get(), static_cast<uint8_t>(FrameType::kEos), eos_payload(0));
  return {body, true};
}

}  // namespace

arrow::Result<std::vector<std::shared_ptr<arrow::RecordBatch>>> build_snapshot(
    duckdb_database db) {
  DuckConn conn(db);
  if (!conn.ok()) return arrow::Status::IOError("cannot open a DuckDB connection");
  const std::string queries[9] = {catalogs_sql(),          schemata_sql(),
                                  tables_sql(),            columns_sql(),
                                  views_sql(),             key_column_usage_sql(),
                                  odbc_columns_sql(),      table_constraints_sql(),
                                  referential_constraints_sql()};
  std::vector<std::shared_ptr<arrow::RecordBatch>> out;
  for (const auto& q : queries) {
    ARROW_ASSIGN_OR_RAISE(auto b, query_batch(conn.get(), q));
    out.push_back(std::move(b));
  }
  return out;
}

void handle_snapshot(Service& svc, const httplib::Request& req, httplib::Response& res) {
  std::optional<Fault> fault;
  if (begin_request(svc, "snapshot", {}, req, res, &fault)) return;
  if (!require_auth(svc, req, res)) return;
  // Read before the catalog: every change is counted after it commits, so the snapshot is at
  // least as new as this version, and a later change moves the version past it.
  const uint64_t epoch = svc.version().sequence;
  // The version is the entity tag: a client holding the snapshot of this version is answered
  // 304 without a body.
  const std::string etag = "\"" + std::to_string(epoch) + "\"";
  const bool tagged = !(fault && fault->omit_etag);
  if (tagged && etag_matches(req.get_header_value("If-None-Match"), etag)) {
    svc.count("snapshot_not_modified");
    res.status = 304;
    res.set_header("ETag", etag);
    return;
  }
  SnapshotCache::Body body = svc.snapshot_cache().get(epoch, [&] {
    svc.count("snapshot_builds");
    return build_body(svc.db(), epoch);
  });
  const Coding coding = answer_coding(req, fault);
  SnapshotCache::Body wire = svc.snapshot_cache().coded(body, coding);
  if (tagged) res.set_header("ETag", etag);
  if (coding != Coding::kIdentity) res.set_header("Content-Encoding", coding_token(coding));
  stream_body(svc, req, res, 200, kStreamMediaType, std::make_shared<SnapshotProducer>(wire),
              fault);
}

}  // namespace nv_localsvc
