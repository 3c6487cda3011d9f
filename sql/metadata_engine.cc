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
    // Names of WITH queries are relations of this statement and of everything inside it.
    const size_t scope = ctes_.size();
    std::string miss;
    for (const auto& cte : stmt.ctes) {
      if (miss.empty() && cte.query) miss = first_missing(*cte.query);
      ctes_.push_back(ascii_lower(cte.name));
    }
    if (miss.empty()) miss = in_statement(stmt);
    ctes_.resize(scope);
    return miss;
  }

 private:
  std::string in_statement(const SelectStatement& stmt) {
    if (stmt.set_op != SetOp::None) {
      if (!stmt.set_left || !stmt.set_right) return "(invalid subquery)";
      std::string miss = first_missing(*stmt.set_left);
      return miss.empty() ? first_missing(*stmt.set_right) : miss;
    }
    std::string miss = stmt.from ? in_tableref(*stmt.from) : "";
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
    return stmt.having ? in_expr(*stmt.having) : "";
  }

  std::string in_tableref(const TableRef& ref) {
    if (const auto* base = std::get_if<BaseTable>(&ref.node)) {
      if (base->catalog.empty() && base->schema.empty()) {
        const std::string name = ascii_lower(base->name);
        for (const auto& c : ctes_) {
          if (c == name) return "";
        }
      }
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
      if (!*sub) return "(invalid subquery)";
      return first_missing(**sub);
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
  std::vector<std::string> ctes_;
};

// Results of the WITH queries of the statements executing on this thread, innermost last. A
// nested statement (a subquery, a derived table) sees the names of every enclosing one.
thread_local std::vector<std::pair<std::string, MetadataEngine::Relation>> t_ctes;

class CteScope {
 public:
  CteScope() : mark_(t_ctes.size()) {}
  ~CteScope() { t_ctes.resize(mark_); }
  CteScope(const CteScope&) = delete;
  CteScope& operator=(const CteScope&) = delete;
  void add(const std::string& name, MetadataEngine::Relation rel) {
    t_ctes.emplace_back(ascii_lower(name), std::move(rel));
  }

 private:
  size_t mark_;
};

ExecuteResult declined(std::string reason) {
  ExecuteResult r;
  r.status = ExecuteStatus::Declined;
  r.decline_reason = std::move(reason);
  return r;
}

ExecuteResult failed(const arrow::Status& st) {
  ExecuteResult r;
  if (is_decline(st)) {
    r.status = ExecuteStatus::Declined;
    r.decline_reason = st.message();
    return r;
  }
  r.status = ExecuteStatus::Error;
  r.error_message = st.message();
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
  return register_relation(name, std::move(schema), std::move(batches), nullptr);
}

bool MetadataEngine::register_relation(const std::string& name,
                                       std::shared_ptr<arrow::Schema> schema,
                                       std::vector<std::shared_ptr<arrow::RecordBatch>> batches,
                                       std::shared_ptr<const RelationIndex> index) {
  // A batch that disagrees with the schema would fail (or worse) at every later query.
  if (name.empty() || !schema) return false;
  for (const auto& b : batches) {
    if (!b || !b->schema()->Equals(*schema, /*check_metadata=*/false)) return false;
  }
  if (index && (batches.size() != 1 || index->batch() != batches.front())) index.reset();
  relations_[ascii_lower(name)] =
      Relation{std::move(schema), std::move(batches), std::move(index)};
  return true;
}

const MetadataEngine::Relation* MetadataEngine::find_relation(const BaseTable& table) const {
  if (table.catalog.empty() && table.schema.empty()) {
    const std::string name = ascii_lower(table.name);
    for (auto it = t_ctes.rbegin(); it != t_ctes.rend(); ++it) {
      if (it->first == name) return &it->second;
    }
  }
  // Another catalog's relations are not held here, even where their names match.
  if (!table.catalog.empty() && ascii_lower(table.catalog) != own_catalog()) return nullptr;
  for (const auto& key : canonical_keys(table)) {
    auto it = relations_.find(key);
    if (it != relations_.end()) return &it->second;
  }
  return nullptr;
}

std::string MetadataEngine::own_catalog() const {
  // The snapshot lists the catalogs the connection sees; with exactly one, it is its own.
  auto it = relations_.find("information_schema.catalogs");
  if (it == relations_.end()) return "";
  const Relation& rel = it->second;
  const int col = find_column_index(*rel.schema, "catalog_name");
  if (col < 0 || rel.schema->field(col)->type()->id() != arrow::Type::STRING) return "";
  std::string name;
  int64_t rows = 0;
  for (const auto& b : rel.batches) {
    const auto& names = static_cast<const arrow::StringArray&>(*b->column(col));
    for (int64_t i = 0; i < b->num_rows(); ++i) {
      if (++rows > 1 || names.IsNull(i)) return "";
      name = ascii_lower(names.GetString(i));
    }
  }
  return name;
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
  CteScope ctes;
  for (auto& cte : stmt.ctes) {
    if (!cte.query) return failed(arrow::Status::Invalid("WITH query missing"));
    ExecuteResult r = execute(*cte.query);
    if (r.status != ExecuteStatus::Ok) return r;
    auto batch = combine_batches(r.schema, r.batches);
    if (!batch.ok()) return failed(batch.status());
    auto named = with_unique_names(*batch);
    ctes.add(cte.name, Relation{named->schema(), {named}});
  }

  std::string missing = CacheCheck(*this).first_missing(stmt);
  if (!missing.empty()) return declined("relation not cached: " + missing);

  auto out = stmt.set_op != SetOp::None ? run_set_operation(stmt, *this)
                                        : run_select(stmt, *this);
  if (!out.ok()) return failed(out.status());
  std::shared_ptr<arrow::RecordBatch> batch = *out;

  const int64_t n = batch->num_rows();
  int64_t start = stmt.offset.value_or(0);
  start = std::max<int64_t>(0, std::min(start, n));
  int64_t length = stmt.limit.value_or(n - start);
  length = std::max<int64_t>(0, std::min(length, n - start));
  if (start != 0 || length != n) batch = batch->Slice(start, length);

  ExecuteResult r;
  r.status = ExecuteStatus::Ok;
  r.schema = batch->schema();
  r.batches.push_back(std::move(batch));
  return r;
}

}  // namespace nv_sql
