#include "localsvc/ingest.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>

#include <arrow/c/bridge.h>
#include <nlohmann/json.hpp>

#include "localsvc/disconnect_watch.h"
#include "localsvc/duck.h"
#include "localsvc/http_util.h"
#include "localsvc/ipc.h"
#include "localsvc/sql_errors.h"
#include "localsvc/wire.h"

namespace nv_localsvc {

namespace {

using nlohmann::json;

/// An ingest failure with the SQLSTATE the client reports.
struct IngestError {
  std::string message;
  std::string sqlstate;
};

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

/// "a.b.c" with optional double quotes around each part.
std::optional<std::string> qualified_name(const std::string& text) {
  std::vector<std::string> parts;
  std::string cur;
  bool quoted = false, was_quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        cur.push_back('"');
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        cur.push_back(c);
      }
    } else if (c == '"' && cur.empty()) {
      quoted = was_quoted = true;
    } else if (c == '.') {
      if (cur.empty()) return std::nullopt;
      parts.push_back(cur);
      cur.clear();
      was_quoted = false;
    } else {
      cur.push_back(c);
    }
  }
  if (quoted || (cur.empty() && !was_quoted) || parts.size() > 2) return std::nullopt;
  parts.push_back(cur);
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : ".") + quote_ident(p);
  return out;
}

class IngestSession {
 public:
  IngestSession(Service& svc) : svc_(svc), conn_(svc.db()), start_(std::chrono::steady_clock::now()) {}
  ~IngestSession() { discard_landed(); }

  /// Stops the DuckDB work in progress, from another thread (the client went away).
  void interrupt() {
    if (conn_.ok()) duckdb_interrupt(conn_.get());
  }

  /// Feeds request bytes; always drains, recording the first error.
  void feed(const char* data, size_t len) {
    if (failed() || replay_ || eos_) return;
    if (!reader_.feed(data, len)) {
      fail("frame payload larger than 256 MiB", "22023");
      return;
    }
    while (!failed() && !replay_ && !eos_) {
      auto f = reader_.next();
      if (!f) break;
      on_frame(*f);
    }
  }

  /// The answer body: a STATS or an ERROR frame.
  std::string finish() {
    if (!failed() && !replay_) {
      if (!saw_init_) fail("ingest stream has no INIT manifest", "22023");
      else if (!eos_) fail("ingest stream ended without EOS", "22023");
    }
    if (replay_) return stats_frame(*replay_);
    if (!failed()) apply();
    if (failed()) {
      if (conn_.ok()) (void)conn_.exec("DROP TABLE IF EXISTS nv_ingest_stage");
      return make_frame(static_cast<uint8_t>(FrameType::kError),
                        json({{"message", error_->message}, {"sqlstate", error_->sqlstate}})
                            .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
    return stats_frame(stats_);
  }

 private:
  bool failed() const { return error_.has_value(); }
  void fail(std::string message, std::string sqlstate) {
    if (!error_) error_ = IngestError{std::move(message), std::move(sqlstate)};
  }
  void fail_duck(const arrow::Status& st) {
    fail(st.message(), ingest_sqlstate_for(st.message()));
  }

  static std::string stats_frame(const json& stats) {
    return make_frame(static_cast<uint8_t>(FrameType::kStats), batch_header(0) + stats.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }

  void on_frame(const FrameReader::Frame& f) {
    switch (f.type) {
      case 1:
        on_init(f.payload);
        break;
      case 2:
        if (!saw_init_) return fail("BATCH before the INIT manifest", "22023");
        if (f.payload.size() < 8) return fail("BATCH frame shorter than its header", "22023");
        on_batch(f.payload.substr(8));
        break;
      case 3:
        if (!saw_init_) return fail("EOS before the INIT manifest", "22023");
        eos_ = true;
        break;
      default:
        break;  // other frame types carry nothing for an ingest
    }
  }

  void on_init(const std::string& text) {
    if (saw_init_) return fail("second INIT manifest in one ingest", "22023");
    saw_init_ = true;
    json m = json::parse(text, nullptr, false);
    if (!m.is_object()) return fail("manifest is not a JSON object", "22023");
    auto str = [&](const char* key, std::string* out) {
      auto it = m.find(key);
      if (it == m.end()) return true;
      if (!it->is_string()) return false;
      *out = it->get<std::string>();
      return true;
    };
    std::string schema_b64;
    if (!str("target_table", &target_table_) || !str("target_location", &target_location_) ||
        !str("mode", &mode_) || !str("payload_format", &format_) ||
        !str("schema_ipc", &schema_b64) || !str("idempotency_key", &idempotency_key_))
      return fail("manifest member has the wrong type", "22023");
    if (auto it = m.find("coerce"); it != m.end()) {
      if (!it->is_boolean()) return fail("manifest member coerce must be a boolean", "22023");
      coerce_ = it->get<bool>();
    }
    if (auto it = m.find("key_columns"); it != m.end()) {
      if (!it->is_array()) return fail("manifest key_columns must be an array", "22023");
      for (const auto& k : *it) {
        if (!k.is_string()) return fail("manifest key_columns must hold strings", "22023");
        key_columns_.push_back(k.get<std::string>());
      }
    }
    static const std::set<std::string> modes = {"append", "upsert", "overwrite", "land"};
    if (!modes.count(mode_)) return fail("manifest mode must be append, upsert, overwrite or land", "22023");
    if (format_ != "arrow_ipc" && format_ != "parquet")
      return fail("manifest payload_format must be arrow_ipc or parquet", "22023");
    if (mode_ == "land") {
      if (target_location_.empty()) return fail("mode land needs target_location", "22023");
      std::filesystem::path p(target_location_);
      if (p.is_absolute()) return fail("target_location must be a relative path", "22023");
      for (const auto& part : p)
        if (part == "..") return fail("target_location must not leave the land directory", "22023");
    } else {
      if (target_table_.empty()) return fail("mode " + mode_ + " needs target_table", "22023");
      auto q = qualified_name(target_table_);
      if (!q) return fail("target_table '" + target_table_ + "' is not a table name", "22023");
      target_sql_ = *q;
    }
    if (mode_ == "upsert" && key_columns_.empty())
      return fail("mode upsert needs key_columns", "22023");
    if (!schema_b64.empty()) {
      auto raw = base64_decode(schema_b64);
      if (!raw) return fail("schema_ipc is not valid base64", "22023");
      auto t = read_ipc_stream(arrow::Buffer::FromString(*raw));
      if (!t.ok()) return fail("schema_ipc is not an Arrow IPC stream: " + t.status().message(), "22023");
      manifest_schema_ = (*t)->schema();
    }
    if (!idempotency_key_.empty()) {
      if (auto prior = svc_.idempotent_result(idempotency_key_)) {
        json j = json::parse(*prior);
        j["idempotent_replay"] = true;
        replay_ = j;
        return;
      }
    }
    if (!conn_.ok()) return fail("cannot open a database connection", "HY000");
    if (mode_ != "land") {
      auto existing = query_batch(conn_.get(), "SELECT * FROM " + target_sql_ + " LIMIT 0");
      if (existing.ok()) {
        table_schema_ = (*existing)->schema();
      } else if (existing.status().message().find("does not exist") == std::string::npos) {
        return fail_duck(existing.status());
      } else if (mode_ != "overwrite") {
        return fail("table " + target_table_ + " does not exist", "42S02");
      }
    }
  }

  void on_batch(const std::string& bytes) {
    auto buf = arrow::Buffer::FromString(bytes);
    auto table = format_ == "parquet" ? read_parquet(buf) : read_ipc_stream(buf);
    if (!table.ok())
      return fail("payload is not " + std::string(format_ == "parquet" ? "a Parquet file" :
                                                                          "an Arrow IPC stream") +
                      ": " + table.status().message(), "22023");
    if (mode_ == "land") return land(**table);
    stage(*table);
  }

  /// Runs `sql_head` followed by the name of a view over `table`. DuckDB registers an Arrow
  /// scan as a view in the connection's default catalog, which every connection shares and a
  /// database file cannot store: the view gets a name of its own in the in-memory scratch
  /// catalog, made the default only while it is registered, and lives for this one statement.
  arrow::Status scan_into(const std::shared_ptr<arrow::Table>& table, const std::string& sql_head) {
    if (home_catalog_.empty()) {
      ARROW_ASSIGN_OR_RAISE(auto home, query_batch(conn_.get(), "SELECT current_database()"));
      if (home->num_rows() != 1) return arrow::Status::Invalid("no current database");
      ARROW_ASSIGN_OR_RAISE(auto name, home->column(0)->GetScalar(0));
      home_catalog_ = quote_ident(name->ToString());
    }
    const std::string view = "nv_ingest_input_" + Service::random_hex(8);
    const std::string qualified = std::string(kScratchCatalog) + ".main." + view;
    auto reader = std::make_shared<arrow::TableBatchReader>(table);
    ArrowArrayStream stream{};
    ARROW_RETURN_NOT_OK(arrow::ExportRecordBatchReader(reader, &stream));
    arrow::Status out = conn_.exec(std::string("USE ") + kScratchCatalog);
    if (out.ok()) {
      const duckdb_state st = duckdb_arrow_scan(conn_.get(), view.c_str(),
                                                reinterpret_cast<duckdb_arrow_stream>(&stream));
      out = conn_.exec("USE " + home_catalog_);
      if (out.ok() && st != DuckDBSuccess) {
        out = arrow::Status::Invalid("cannot scan the Arrow payload");
      }
      if (out.ok()) out = conn_.exec(sql_head + qualified);
      (void)conn_.exec("DROP VIEW IF EXISTS " + qualified);
    }
    if (stream.release != nullptr) stream.release(&stream);
    return out;
  }

  void stage(const std::shared_ptr<arrow::Table>& table) {
    if (!stage_schema_) {
      if (!check_columns(*table->schema())) return;
      stage_schema_ = table->schema();
      arrow::Status st = scan_into(table, "CREATE TEMP TABLE nv_ingest_stage AS SELECT * FROM ");
      if (!st.ok()) return fail_duck(st);
      staged_rows_ += table->num_rows();
      return;
    }
    if (!table->schema()->Equals(*stage_schema_, false))
      return fail("payload schema differs from the first payload of this ingest", "22023");
    arrow::Status st = scan_into(table, "INSERT INTO nv_ingest_stage SELECT * FROM ");
    if (!st.ok()) return fail_duck(st);
    staged_rows_ += table->num_rows();
  }

  /// Payload columns against the target table: every column must exist, and without coerce
  /// its type must be the table's.
  bool check_columns(const arrow::Schema& payload) {
    std::set<std::string> seen;
    for (const auto& f : payload.fields()) {
      if (!seen.insert(lower(f->name())).second) {
        fail("payload names column '" + f->name() + "' twice", "22023");
        return false;
      }
    }
    if (!table_schema_ || mode_ == "overwrite") return true;
    for (const auto& f : payload.fields()) {
      std::shared_ptr<arrow::Field> target;
      for (const auto& t : table_schema_->fields())
        if (lower(t->name()) == lower(f->name())) target = t;
      if (!target) {
        fail("column '" + f->name() + "' does not exist in table " + target_table_, "42S22");
        return false;
      }
      if (!coerce_ && !target->type()->Equals(*f->type())) {
        fail("type mismatch for column '" + f->name() + "': table has " +
                 target->type()->ToString() + ", payload has " + f->type()->ToString(),
             "22018");
        return false;
      }
    }
    for (const auto& k : key_columns_) {
      bool in_payload = false, in_table = false;
      for (const auto& f : payload.fields()) in_payload |= lower(f->name()) == lower(k);
      for (const auto& t : table_schema_->fields()) in_table |= lower(t->name()) == lower(k);
      if (!in_payload || !in_table) {
        fail("key column '" + k + "' is missing from the " +
                 std::string(in_table ? "payload" : "table"), "42S22");
        return false;
      }
    }
    return true;
  }

  void land(const arrow::Table& table) {
    std::filesystem::path dir = std::filesystem::path(svc_.land_dir()) / target_location_;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return fail("cannot create " + dir.string() + ": " + ec.message(), "58030");
    auto bytes = write_parquet(table);
    if (!bytes.ok()) return fail("cannot write Parquet: " + bytes.status().message(), "HY000");
    std::string name = "part-" + Service::random_hex(6) + "-" +
                       std::to_string(landed_.size()) + ".parquet";
    std::filesystem::path tmp = dir / ("." + name + ".tmp");
    FILE* f = std::fopen(tmp.c_str(), "wb");
    bool ok = f != nullptr &&
              std::fwrite((*bytes)->data(), 1, static_cast<size_t>((*bytes)->size()), f) ==
                  static_cast<size_t>((*bytes)->size());
    if (f != nullptr && std::fclose(f) != 0) ok = false;
    if (!ok) {
      std::filesystem::remove(tmp, ec);
      return fail("cannot write " + tmp.string(), "58030");
    }
    landed_.push_back({tmp, dir / name});
    staged_rows_ += table.num_rows();
  }

  void discard_landed() {
    std::error_code ec;
    for (const auto& [tmp, final_path] : landed_) std::filesystem::remove(tmp, ec);
  }

  arrow::Result<int64_t> exec_count(const std::string& sql) {
    duckdb_result res;
    if (duckdb_query(conn_.get(), sql.c_str(), &res) != DuckDBSuccess) {
      std::string msg = duckdb_result_error(&res) ? duckdb_result_error(&res) : "query failed";
      duckdb_destroy_result(&res);
      return arrow::Status::Invalid(msg);
    }
    int64_t n = static_cast<int64_t>(duckdb_rows_changed(&res));
    if (duckdb_result_return_type(res) == DUCKDB_RESULT_TYPE_QUERY_RESULT &&
        duckdb_row_count(&res) == 1 && duckdb_column_count(&res) == 1)
      n = duckdb_value_int64(&res, 0, 0);
    duckdb_destroy_result(&res);
    return n;
  }

  std::string column_list(const arrow::Schema& s, const std::string& prefix = {}) {
    std::string out;
    for (const auto& f : s.fields())
      out += (out.empty() ? "" : ", ") + prefix + quote_ident(f->name());
    return out;
  }

  /// An ingest without payloads stages an empty table of the manifest's schema. This runs
  /// before the transaction: the scan writes to the scratch catalog, and a DuckDB transaction
  /// may write to one attached database only.
  arrow::Status stage_manifest_schema() {
    if (stage_schema_ || !manifest_schema_) return arrow::Status::OK();
    if (!check_columns(*manifest_schema_)) return arrow::Status::OK();
    ARROW_ASSIGN_OR_RAISE(auto empty, arrow::Table::MakeEmpty(manifest_schema_));
    stage_schema_ = manifest_schema_;
    return scan_into(empty, "CREATE TEMP TABLE nv_ingest_stage AS SELECT * FROM ");
  }

  arrow::Status apply_table() {
    if (!stage_schema_) {
      if (mode_ == "overwrite" && !table_schema_)
        return arrow::Status::Invalid("request: overwrite of a missing table needs a schema");
      return arrow::Status::OK();  // nothing to change
    }
    const std::string cols = column_list(*stage_schema_);
    if (mode_ == "append") {
      ARROW_ASSIGN_OR_RAISE(stats_inserted_, exec_count("INSERT INTO " + target_sql_ + " (" + cols +
                                                        ") SELECT " + cols +
                                                        " FROM nv_ingest_stage"));
    } else if (mode_ == "overwrite") {
      if (table_schema_) {
        ARROW_ASSIGN_OR_RAISE(stats_deleted_, exec_count("SELECT count(*) FROM " + target_sql_));
      }
      ARROW_RETURN_NOT_OK(conn_.exec("CREATE OR REPLACE TABLE " + target_sql_ +
                                     " AS SELECT * FROM nv_ingest_stage"));
      ARROW_ASSIGN_OR_RAISE(stats_inserted_, exec_count("SELECT count(*) FROM " + target_sql_));
      catalog_changed_ = true;
    } else if (mode_ == "upsert") {
      std::string keys = column_list(arrow::Schema(key_fields()));
      ARROW_ASSIGN_OR_RAISE(int64_t dups,
                            exec_count("SELECT count(*) FROM (SELECT " + keys +
                                       " FROM nv_ingest_stage GROUP BY ALL HAVING count(*) > 1)"));
      if (dups > 0)
        return arrow::Status::Invalid("Constraint Error: payload holds duplicate key values");
      std::string match;
      for (const auto& k : key_columns_)
        match += (match.empty() ? "" : " AND ") + std::string("t.") + quote_ident(k) + " = s." +
                 quote_ident(k);
      std::string sets;
      for (const auto& f : stage_schema_->fields()) {
        bool is_key = false;
        for (const auto& k : key_columns_) is_key |= lower(k) == lower(f->name());
        if (!is_key)
          sets += (sets.empty() ? "" : ", ") + quote_ident(f->name()) + " = s." +
                  quote_ident(f->name());
      }
      if (!sets.empty()) {
        ARROW_ASSIGN_OR_RAISE(stats_updated_,
                              exec_count("UPDATE " + target_sql_ + " AS t SET " + sets +
                                         " FROM nv_ingest_stage AS s WHERE " + match));
      } else {
        ARROW_ASSIGN_OR_RAISE(stats_updated_,
                              exec_count("SELECT count(*) FROM nv_ingest_stage AS s WHERE EXISTS "
                                         "(SELECT 1 FROM " + target_sql_ + " AS t WHERE " +
                                         match + ")"));
      }
      ARROW_ASSIGN_OR_RAISE(stats_inserted_,
                            exec_count("INSERT INTO " + target_sql_ + " (" + cols + ") SELECT " +
                                       column_list(*stage_schema_, "s.") +
                                       " FROM nv_ingest_stage AS s WHERE NOT EXISTS (SELECT 1 "
                                       "FROM " + target_sql_ + " AS t WHERE " + match + ")"));
    }
    return arrow::Status::OK();
  }

  std::vector<std::shared_ptr<arrow::Field>> key_fields() {
    std::vector<std::shared_ptr<arrow::Field>> out;
    for (const auto& k : key_columns_) out.push_back(arrow::field(k, arrow::null()));
    return out;
  }

  void apply() {
    json paths = json::array();
    if (mode_ == "land") {
      std::error_code ec;
      for (const auto& [tmp, final_path] : landed_) {
        std::filesystem::rename(tmp, final_path, ec);
        if (ec) return fail("cannot move " + tmp.string() + ": " + ec.message(), "58030");
        paths.push_back(final_path.string());
      }
      landed_.clear();
      stats_inserted_ = staged_rows_;
    } else {
      arrow::Status st = stage_manifest_schema();
      if (st.ok() && failed()) st = arrow::Status::Cancelled("checks failed");
      if (st.ok()) st = conn_.exec("BEGIN TRANSACTION");
      if (st.ok()) st = apply_table();
      if (st.ok() && failed()) st = arrow::Status::Cancelled("checks failed");
      if (st.ok()) st = conn_.exec("COMMIT");
      if (!st.ok()) {
        (void)conn_.exec("ROLLBACK");
        if (!failed()) fail_duck(st);
        return;
      }
      if (catalog_changed_ || !table_schema_) svc_.bump_catalog(CatalogChange::kTables);
    }
    auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_);
    stats_ = {{"rows_inserted", stats_inserted_},
              {"rows_updated", stats_updated_},
              {"rows_deleted", stats_deleted_},
              {"commit_version", svc_.next_commit_version()},
              {"duration_ms", ms.count()},
              {"landed_paths", paths},
              {"idempotent_replay", false}};
    if (!idempotency_key_.empty()) svc_.remember_result(idempotency_key_, stats_.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    (void)conn_.exec("DROP TABLE IF EXISTS nv_ingest_stage");
  }

  Service& svc_;
  DuckConn conn_;
  std::chrono::steady_clock::time_point start_;
  FrameReader reader_;
  bool saw_init_ = false;
  bool eos_ = false;
  std::optional<IngestError> error_;
  std::optional<json> replay_;

  std::string target_table_, target_sql_, target_location_, mode_, format_, idempotency_key_;
  std::string home_catalog_;  // the connection's default catalog, quoted
  std::vector<std::string> key_columns_;
  bool coerce_ = true;
  std::shared_ptr<arrow::Schema> manifest_schema_, table_schema_, stage_schema_;
  int64_t staged_rows_ = 0;
  std::vector<std::pair<std::filesystem::path, std::filesystem::path>> landed_;
  int64_t stats_inserted_ = 0, stats_updated_ = 0, stats_deleted_ = 0;
  bool catalog_changed_ = false;
  json stats_;
};

}  // namespace

void handle_ingest(Service& svc, const std::string& node_id, const httplib::Request& req,
                   httplib::Response& res, const httplib::ContentReader& reader) {
  std::optional<Fault> fault;
  if (begin_request(svc, "ingest", node_id, req, res, &fault)) {
    reader([](const char*, size_t) { return true; });
    return;
  }
  if (!require_auth(svc, req, res)) {
    reader([](const char*, size_t) { return true; });
    return;
  }
  IngestSession session(svc);
  Service::ConnectionGuard guard(svc, req.local_port, req.remote_port);
  DisconnectWatch watch(req.local_port, req.remote_port, [&session] { session.interrupt(); });
  const bool complete = reader([&session](const char* data, size_t len) {
    session.feed(data, len);
    return true;
  });
  if (!complete || watch.gone()) {
    // The upload was cut (a cancel, a lost client): nothing is applied, and nobody waits for
    // an answer.
    watch.stop();
    svc.count("ingests_interrupted");
    res.status = 400;
    close_connection_after(res);  // the rest of the upload is still on the way
    return;
  }
  std::string body = session.finish();
  watch.stop();
  if (watch.fired()) svc.count("ingests_interrupted");  // while the ingest was being applied
  svc.count(body.size() > 0 && body[0] == static_cast<char>(FrameType::kError) ? "ingest_errors"
                                                                               : "ingests");
  deliver(svc, req, res, 200, kStreamMediaType, std::move(body), fault);
}

}  // namespace nv_localsvc
