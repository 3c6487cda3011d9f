#include "localsvc/query_job.h"

#include <algorithm>
#include <cctype>

#include <arrow/util/byte_size.h>
#include <nlohmann/json.hpp>

#include "localsvc/ipc.h"
#include "localsvc/sql_errors.h"
#include "localsvc/wire.h"

namespace nv_localsvc {

namespace {

// Statements that change the catalog, or may (a pragma or a procedure may run DDL, as IMPORT
// DATABASE does). A snapshot is served from memory until the version moves, so a change that
// is not counted would be missing from it.
bool changes_catalog(duckdb_statement_type t) {
  switch (t) {
    case DUCKDB_STATEMENT_TYPE_CREATE:
    case DUCKDB_STATEMENT_TYPE_DROP:
    case DUCKDB_STATEMENT_TYPE_ALTER:
    case DUCKDB_STATEMENT_TYPE_CREATE_FUNC:
    case DUCKDB_STATEMENT_TYPE_ATTACH:
    case DUCKDB_STATEMENT_TYPE_DETACH:
    case DUCKDB_STATEMENT_TYPE_COPY_DATABASE:
    case DUCKDB_STATEMENT_TYPE_PRAGMA:
    case DUCKDB_STATEMENT_TYPE_CALL:
    case DUCKDB_STATEMENT_TYPE_EXECUTE:
    case DUCKDB_STATEMENT_TYPE_MULTI:
      return true;
    default:
      return false;
  }
}

CatalogChange change_kind(const std::string& sql) {
  std::string lower;
  for (char c : sql) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  if (lower.find("view") != std::string::npos) return CatalogChange::kViews;
  if (lower.find("schema") != std::string::npos) return CatalogChange::kSchemas;
  return CatalogChange::kTables;
}

std::string text_or(const char* s, const char* fallback) {
  return (s != nullptr && *s != '\0') ? std::string(s) : std::string(fallback);
}

}  // namespace

QueryJob::QueryJob(Service& svc, int64_t max_batch_bytes, std::optional<Fault> fault,
                   std::pair<int, int> client)
    : svc_(svc), max_batch_bytes_(max_batch_bytes), fault_(std::move(fault)), client_(client) {
  stream_id_ = "qs-" + Service::random_hex(12);
}

QueryJob::~QueryJob() {
  if (watch_) {
    watch_->stop();
    if (watch_->fired()) svc_.count("queries_interrupted");
  }
  // The result must go before its statement and connection.
  result_.reset();
  if (last_stmt_ != nullptr) duckdb_destroy_prepare(&last_stmt_);
  if (extracted_ != nullptr) duckdb_destroy_extracted(&extracted_);
}

arrow::Status QueryJob::start(const std::string& sql) {
  conn_ = std::make_unique<DuckConn>(svc_.db());
  if (!conn_->ok()) return arrow::Status::IOError("INTERNAL Error: cannot open a connection");
  duckdb_connection duck = conn_->get();
  watch_ = std::make_unique<DisconnectWatch>(client_.first, client_.second,
                                             [duck] { duckdb_interrupt(duck); });
  idx_t n = duckdb_extract_statements(conn_->get(), sql.c_str(), &extracted_);
  if (n == 0) {
    const char* err = duckdb_extract_statements_error(extracted_);
    if (err != nullptr && *err != '\0') return arrow::Status::Invalid(err);
    return arrow::Status::Invalid("request: the sql member holds no statement");
  }
  for (idx_t i = 0; i < n; ++i) ARROW_RETURN_NOT_OK(run_statement(i, n));
  note_catalog_change(duckdb_prepared_statement_type(last_stmt_), change_kind(sql));

  switch (result_->return_type()) {
    case DUCKDB_RESULT_TYPE_CHANGED_ROWS: {
      ARROW_ASSIGN_OR_RAISE(auto b, result_->next());
      rows_affected_ = 0;
      if (b && b->num_rows() > 0 && b->num_columns() > 0 &&
          b->column(0)->type_id() == arrow::Type::INT64)
        rows_affected_ = std::static_pointer_cast<arrow::Int64Array>(b->column(0))->Value(0);
      break;
    }
    case DUCKDB_RESULT_TYPE_QUERY_RESULT: {
      has_rows_ = true;
      ARROW_ASSIGN_OR_RAISE(schema_, result_->schema());
      // Reading the first chunk here turns most run-time errors into an HTTP error.
      ARROW_ASSIGN_OR_RAISE(carry_, result_->next());
      break;
    }
    default:
      break;
  }
  return arrow::Status::OK();
}

arrow::Status QueryJob::run_statement(size_t index, size_t count) {
  duckdb_prepared_statement stmt = nullptr;
  if (duckdb_prepare_extracted_statement(conn_->get(), extracted_, index, &stmt) !=
      DuckDBSuccess) {
    std::string msg = text_or(duckdb_prepare_error(stmt), "prepare failed");
    duckdb_destroy_prepare(&stmt);
    return arrow::Status::Invalid(msg);
  }
  if (index + 1 < count) {
    duckdb_result res;
    bool ok = duckdb_execute_prepared(stmt, &res) == DuckDBSuccess;
    std::string msg = ok ? "" : text_or(duckdb_result_error(&res), "execution failed");
    duckdb_destroy_result(&res);
    duckdb_statement_type t = duckdb_prepared_statement_type(stmt);
    duckdb_destroy_prepare(&stmt);
    if (!ok) return arrow::Status::Invalid(msg);
    note_catalog_change(t, CatalogChange::kTables);
    return arrow::Status::OK();
  }
  last_stmt_ = stmt;
  duckdb_pending_result pending = nullptr;
  if (duckdb_pending_prepared_streaming(stmt, &pending) != DuckDBSuccess) {
    std::string msg = text_or(duckdb_pending_error(pending), "execution failed");
    duckdb_destroy_pending(&pending);
    return arrow::Status::Invalid(msg);
  }
  if (duckdb_execute_pending(pending, result_->raw()) != DuckDBSuccess) {
    std::string msg = text_or(duckdb_result_error(result_->raw()), "execution failed");
    duckdb_destroy_result(result_->raw());
    duckdb_destroy_pending(&pending);
    return arrow::Status::Invalid(msg);
  }
  result_->mark_valid();
  duckdb_destroy_pending(&pending);
  return arrow::Status::OK();
}

void QueryJob::note_catalog_change(duckdb_statement_type t, CatalogChange kind) {
  // Inside a transaction the change becomes visible at its commit, which counts it again: a
  // snapshot read between the two would otherwise be kept for a version without it.
  const bool commits_change = t == DUCKDB_STATEMENT_TYPE_TRANSACTION && changed_catalog_;
  if (!changes_catalog(t) && !commits_change) return;
  changed_catalog_ = true;
  svc_.bump_catalog(kind);
}

bool QueryJob::write_frame(FaultWriter& out, uint8_t type, const std::string& payload) {
  std::string frame = make_frame(type, payload);
  return out.write(frame);
}

bool QueryJob::write_error(FaultWriter& out, const std::string& duckdb_message) {
  HttpSqlError e = map_sql_error(duckdb_message);
  nlohmann::json j = {{"message", e.message}, {"code", e.code}};
  return write_frame(out, static_cast<uint8_t>(FrameType::kError), j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> QueryJob::next_batch() {
  arrow::RecordBatchVector parts;
  int64_t bytes = 0;
  while (true) {
    if (!carry_) {
      ARROW_ASSIGN_OR_RAISE(carry_, result_->next());
      if (!carry_) {
        exhausted_ = true;
        break;
      }
    }
    if (carry_->num_rows() == 0) {
      carry_.reset();
      continue;
    }
    ARROW_ASSIGN_OR_RAISE(int64_t size, arrow::util::ReferencedBufferSize(*carry_));
    if (bytes + size <= max_batch_bytes_) {
      parts.push_back(std::move(carry_));
      bytes += size;
      if (bytes >= max_batch_bytes_) break;
      continue;
    }
    if (!parts.empty()) break;
    // A single chunk above the budget is split by rows.
    int64_t rows = carry_->num_rows();
    int64_t take = std::clamp<int64_t>(rows * max_batch_bytes_ / std::max<int64_t>(size, 1), 1,
                                       rows);
    parts.push_back(carry_->Slice(0, take));
    carry_ = take < rows ? carry_->Slice(take) : nullptr;
    break;
  }
  if (parts.empty()) return std::shared_ptr<arrow::RecordBatch>();
  if (parts.size() == 1) return parts[0];
  return arrow::ConcatenateRecordBatches(parts);
}

// EOS right behind the last batch (or behind INIT when there are no rows): the client learns
// the end with the last rows instead of one more round of the body producer later.
BodyProducer::Step QueryJob::end_stream(FaultWriter& out, int result_sets) {
  // The work is done: a client leaving now interrupts nothing.
  if (watch_) watch_->stop();
  for (int i = 0; i < result_sets; ++i) {
    if (!write_frame(out, static_cast<uint8_t>(FrameType::kEos),
                     eos_payload(static_cast<uint32_t>(i))))
      break;
  }
  return Step::kDone;
}

BodyProducer::Step QueryJob::step(FaultWriter& out) {
  const int result_sets = fault_ ? fault_->result_sets : 1;
  auto interleave = [&]() {
    if (!fault_) return true;
    if (fault_->interleave_trace &&
        !write_frame(out, static_cast<uint8_t>(FrameType::kTrace),
                     "localsvc trace: stream " + stream_id_ + " batch " +
                         std::to_string(batches_sent_)))
      return false;
    if (fault_->interleave_unknown && !write_frame(out, 9, "unknown frame type 9")) return false;
    return true;
  };
  auto inject_error = [&]() {
    if (fault_ && fault_->error_after_batches >= 0 && batches_sent_ >= fault_->error_after_batches) {
      nlohmann::json j = {{"message", fault_->error_message}, {"code", fault_->error_code}};
      write_frame(out, static_cast<uint8_t>(FrameType::kError), j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
      return true;
    }
    return false;
  };

  if (!init_sent_) {
    init_sent_ = true;
    nlohmann::json rs = nlohmann::json::object();
    if (schema_) {
      auto ipc = schema_ipc(schema_);
      if (ipc.ok()) rs["schemaIpc"] = base64_encode(*ipc);
    }
    if (rows_affected_ >= 0) rs["rowsAffected"] = rows_affected_;
    nlohmann::json sets = nlohmann::json::array();
    for (int i = 0; i < result_sets; ++i) sets.push_back(rs);
    nlohmann::json init = {{"streamId", stream_id_}, {"resultSets", sets}};
    if (!write_frame(out, static_cast<uint8_t>(FrameType::kInit), init.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))) return Step::kDone;
    if (!interleave()) return Step::kDone;
    if (inject_error()) return Step::kDone;
    return has_rows_ ? Step::kMore : end_stream(out, result_sets);
  }

  std::shared_ptr<arrow::RecordBatch> batch;
  if (has_rows_) {
    auto next = next_batch();
    if (!next.ok()) {
      write_error(out, next.status().message());
      return Step::kDone;
    }
    batch = *next;
  }
  if (!batch) return end_stream(out, result_sets);
  for (int i = 0; i < (batches_sent_ == 0 ? result_sets : 1); ++i) {
    auto payload = batch_payload(static_cast<uint32_t>(i), *batch);
    if (!payload.ok()) {
      write_error(out, "INTERNAL Error: " + payload.status().ToString());
      return Step::kDone;
    }
    const auto& buf = **payload;
    if (buf.size() > static_cast<int64_t>(kMaxFramePayload)) {
      write_error(out, "INTERNAL Error: record batch exceeds the frame size limit");
      return Step::kDone;
    }
    std::string header;
    append_frame(&header, static_cast<uint8_t>(FrameType::kBatch), {});
    uint32_t n = static_cast<uint32_t>(buf.size());
    header[4] = static_cast<char>(n >> 24);
    header[5] = static_cast<char>(n >> 16);
    header[6] = static_cast<char>(n >> 8);
    header[7] = static_cast<char>(n);
    if (!out.write(header)) return Step::kDone;
    if (!out.write(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(buf.size())))
      return Step::kDone;
  }
  ++batches_sent_;
  if (!interleave()) return Step::kDone;
  if (inject_error()) return Step::kDone;
  return exhausted_ ? end_stream(out, result_sets) : Step::kMore;
}

}  // namespace nv_localsvc
