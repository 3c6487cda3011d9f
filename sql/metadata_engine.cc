#include "sql/metadata_engine_internal.h"

#include <exception>

#include "sql/engine_ops_internal.h"
#include "sql/parser_bridge_internal.h"

namespace nv_sql {

namespace {

// The first base table of `stmt` (FROM tree, then subqueries of WHERE, then of the projection)
// that no registered relation answers; empty when all are present.
class CacheCheck {
 public:
  explicit CacheCheck(const MetadataEngine& engine) : engine_(engine) {}

  std::string first_missing(const SelectStatement& stmt) {
    if (!stmt.from) return "(invalid subquery)";
    std::string miss = in_tableref(*stmt.from);
    if (!miss.empty()) return miss;
    if (stmt.where) {
      miss = in_expr(*stmt.where);
      if (!miss.empty()) return miss;
    }
    for (const auto& item : stmt.items) {
      if (!item.expr) continue;
      miss = in_expr(*item.expr);
      if (!miss.empty()) return miss;
    }
    return "";
  }

 private:
  std::string in_tableref(const TableRef& ref) {
    if (const auto* base = std::get_if<BaseTable>(&ref.node)) {
      if (engine_.find_relation(*base)) return "";
      auto keys = canonical_keys(*base);
      return keys.empty() ? "(unnamed relation)" : keys.front();
    }
    if (const auto* join = std::get_if<std::unique_ptr<JoinRef>>(&ref.node)) {
      if (!*join) return "";
      if ((*join)->left) {
        std::string miss = in_tableref(*(*join)->left);
        if (!miss.empty()) return miss;
      }
      return (*join)->right ? in_tableref(*(*join)->right) : "";
    }
    if (const auto* sub = std::get_if<std::unique_ptr<SelectStatement>>(&ref.node)) {
      if (!*sub || !(*sub)->from) return "(invalid subquery)";
      return in_tableref(*(*sub)->from);
    }
    return "";  // VALUES never miss
  }

  std::string in_expr(const Expr& e) {
    const SelectStatement* sub = nullptr;
    if (const auto* x = e.as<ExistsExpr>()) sub = x->subquery.get();
    if (const auto* x = e.as<ScalarSubqueryExpr>()) sub = x->subquery.get();
    if (const auto* x = e.as<InExpr>()) sub = x->subquery.get();
    if (sub != nullptr) {
      std::string miss = first_missing(*sub);
      if (!miss.empty()) return miss;
    }
    std::string miss;
    for_each_child(e, [&](const Expr& c) {
      if (miss.empty()) miss = in_expr(c);
    });
    return miss;
  }

  const MetadataEngine& engine_;
};

ExecuteResult declined(std::string reason) {
  ExecuteResult r;
  r.status = ExecuteStatus::Declined;
  r.decline_reason = std::move(reason);
  return r;
}

ExecuteResult failed(const arrow::Status& st, const std::string& msg) {
  ExecuteResult r;
  if (is_decline(st)) {
    r.status = ExecuteStatus::Declined;
    r.decline_reason = msg.empty() ? st.message() : msg;
    return r;
  }
  r.status = ExecuteStatus::Error;
  r.error_message = msg.empty() ? st.message() : msg;
  return r;
}

// An exception inside the engine becomes an engine error, never a crash of the caller.
ExecuteResult engine_exception(const char* what) {
  ExecuteResult r;
  r.status = ExecuteStatus::Error;
  r.error_message = what != nullptr ? std::string("metadata engine exception: ") + what
                                    : "metadata engine exception (unknown)";
  return r;
}

}  // namespace

std::vector<std::string> canonical_keys(const BaseTable& table) {
  std::vector<std::string> keys;
  if (table.name.empty()) return keys;
  const std::string cat = ascii_lower(table.catalog);
  const std::string sch = ascii_lower(table.schema);
  const std::string name = ascii_lower(table.name);
  if (!cat.empty() && !sch.empty()) keys.push_back(cat + "." + sch + "." + name);
  if (!sch.empty()) keys.push_back(sch + "." + name);
  keys.push_back(name);
  return keys;
}

MetadataEngine::MetadataEngine() { ensure_arrow_compute_initialized(); }

MetadataEngine::~MetadataEngine() = default;

bool MetadataEngine::register_relation(const std::string& name,
                                       std::shared_ptr<arrow::Schema> schema,
                                       std::vector<std::shared_ptr<arrow::RecordBatch>> batches) {
  // A batch that disagrees with the schema would fail (or worse) at every later query.
  if (name.empty() || !schema) return false;
  for (const auto& b : batches) {
    if (!b || !b->schema()->Equals(*schema, /*check_metadata=*/false)) return false;
  }
  relations_[ascii_lower(name)] = Relation{std::move(schema), std::move(batches)};
  return true;
}

const MetadataEngine::Relation* MetadataEngine::find_relation(const BaseTable& table) const {
  for (const auto& key : canonical_keys(table)) {
    auto it = relations_.find(key);
    if (it != relations_.end()) return &it->second;
  }
  return nullptr;
}

ExecuteResult MetadataEngine::try_execute(const std::string& sql) const {
  try {
    ParseError err;
    auto stmt = nv_sql_parse(sql, &err);
    if (!stmt) {
      ExecuteResult r;
      if (err.status == ParseStatus::Malformed) {
        r.status = ExecuteStatus::Error;
        r.error_message = err.message;
      } else {
        r.status = ExecuteStatus::Declined;
        r.decline_reason = err.message;
      }
      return r;
    }
    return execute(*stmt);
  } catch (const std::exception& e) {
    return engine_exception(e.what());
  } catch (...) {
    return engine_exception(nullptr);
  }
}

ExecuteResult MetadataEngine::execute(SelectStatement& stmt) const {
  try {
    return execute_unguarded(stmt);
  } catch (const std::exception& e) {
    return engine_exception(e.what());
  } catch (...) {
    return engine_exception(nullptr);
  }
}

ExecuteResult MetadataEngine::execute_unguarded(SelectStatement& stmt) const {
  if (!stmt.from) return declined("no FROM clause");
  if (stmt.where) decorrelate_exists(stmt, *this);

  std::string missing = CacheCheck(*this).first_missing(stmt);
  if (!missing.empty()) return declined("relation not cached: " + missing);

  std::string msg;
  const auto filters = pushable_conjuncts(stmt.where.get());
  auto frame = materialize_tableref(*stmt.from, *this, &msg, &filters);
  if (!frame.ok()) return failed(frame.status(), msg);

  auto flatten = [&](ExprPtr& slot) -> arrow::Status {
    if (!slot) return arrow::Status::OK();
    return flatten_subqueries_in_expr(slot, *this, &msg);
  };
  arrow::Status st = flatten(stmt.where);
  for (auto& item : stmt.items) {
    if (st.ok()) st = flatten(item.expr);
  }
  for (auto& g : stmt.group_by) {
    if (st.ok()) st = flatten(g);
  }
  if (!st.ok()) {
    if (msg.find("not cached") != std::string::npos) return declined(msg);
    return failed(st, msg);
  }

  Frame input = std::move(*frame);
  if (stmt.where) {
    auto filtered = apply_predicate(input, *stmt.where, &msg);
    if (!filtered.ok()) return failed(filtered.status(), msg);
    input = std::move(*filtered);
  }

  auto projected = is_aggregate_query(stmt) ? apply_aggregation(stmt, input, &msg)
                                            : apply_projection(stmt, input, &msg);
  if (!projected.ok()) return failed(projected.status(), msg);

  // SELECT DISTINCT removes duplicate rows after the projection and before ORDER BY, so that
  // the sort and LIMIT see the distinct rows.
  if (stmt.distinct) {
    projected = apply_distinct(*projected);
    if (!projected.ok()) return failed(projected.status(), msg);
  }

  auto sorted = apply_order_by(stmt, *projected, input, &msg);
  if (!sorted.ok()) return failed(sorted.status(), msg);
  std::shared_ptr<arrow::RecordBatch> out = *sorted;

  const int64_t n = out->num_rows();
  int64_t start = stmt.offset.value_or(0);
  start = std::max<int64_t>(0, std::min(start, n));
  int64_t length = stmt.limit.value_or(n - start);
  length = std::max<int64_t>(0, std::min(length, n - start));
  if (start != 0 || length != n) out = out->Slice(start, length);

  ExecuteResult r;
  r.status = ExecuteStatus::Ok;
  r.schema = out->schema();
  r.batches.push_back(std::move(out));
  return r;
}

}  // namespace nv_sql
