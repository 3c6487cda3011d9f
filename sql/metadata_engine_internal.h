// The metadata SQL engine: named Arrow relations and in-memory execution of the supported
// SELECT subset over them. Statements it cannot answer are declined and go to compute.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <arrow/api.h>

#include "sql/syntax_tree_internal.h"

namespace nv_sql {

class MetadataEngine {
 public:
  struct Relation {
    std::shared_ptr<arrow::Schema> schema;
    std::vector<std::shared_ptr<arrow::RecordBatch>> batches;  // shared, never copied
  };

  enum class ExecuteStatus : int32_t { Ok = 0, Declined = 1, Error = 2 };

  struct ExecuteResult {
    ExecuteStatus status = ExecuteStatus::Declined;
    std::shared_ptr<arrow::Schema> schema;                     // set for Ok
    std::vector<std::shared_ptr<arrow::RecordBatch>> batches;  // for Ok exactly one
    std::string error_message;                                 // set for Error
    std::string decline_reason;                                // set for Declined
  };

  MetadataEngine();
  ~MetadataEngine();
  MetadataEngine(const MetadataEngine&) = delete;
  MetadataEngine& operator=(const MetadataEngine&) = delete;

  /// Stores (or replaces) a relation under `name` lowered, e.g. "information_schema.tables".
  /// Returns false, storing nothing, for an empty name, a missing schema, or a batch that is
  /// null or does not have the schema's fields. Callers may ignore the result.
  bool register_relation(const std::string& name, std::shared_ptr<arrow::Schema> schema,
                         std::vector<std::shared_ptr<arrow::RecordBatch>> batches);

  /// Parses and executes `sql`. Never throws.
  ExecuteResult try_execute(const std::string& sql) const;

  /// Executes a parsed statement; subquery rewrites change `stmt` in place. Never throws.
  ExecuteResult execute(SelectStatement& stmt) const;

  /// The relation a base table names: a WITH query of an executing statement for an
  /// unqualified name, else the first of its lookup keys present; null for another catalog's.
  const Relation* find_relation(const BaseTable& table) const;

 private:
  /// The connection's own catalog (lowered), when the catalogs relation names exactly one.
  std::string own_catalog() const;

  ExecuteResult execute_unguarded(SelectStatement& stmt) const;

  std::unordered_map<std::string, Relation> relations_;
};

using ExecuteStatus = MetadataEngine::ExecuteStatus;
using ExecuteResult = MetadataEngine::ExecuteResult;

}  // namespace nv_sql
