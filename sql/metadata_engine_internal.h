// The metadata SQL engine: named Arrow relations and in-memory execution of the supported
// SELECT subset over them. Statements it cannot answer are declined and go to compute.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <arrow/api.h>

#include "sql/name_index_internal.h"
#include "sql/syntax_tree_internal.h"

namespace nv_sql {

class MetadataEngine {
 public:
  struct Relation {
    std::shared_ptr<arrow::Schema> schema;
    std::vector<std::shared_ptr<arrow::RecordBatch>> batches;  // shared, never copied
    std::shared_ptr<const RelationIndex> index = nullptr;       // over batches[0]; may be null
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
  /// As above, with name lookups into the relation's one batch. Lookups built over another
  /// batch, or a relation of several batches, are not kept (the relation is then scanned).
  bool register_relation(const std::string& name, std::shared_ptr<arrow::Schema> schema,
                         std::vector<std::shared_ptr<arrow::RecordBatch>> batches,
                         std::shared_ptr<const RelationIndex> index);

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

/// Test hook, never read by the library: how many times in this process a name lookup stood in
/// for a scan (WHERE conjuncts, join keys, keys handed to a derived table).
uint64_t index_uses_for_test();

using ExecuteStatus = MetadataEngine::ExecuteStatus;
using ExecuteResult = MetadataEngine::ExecuteResult;

}  // namespace nv_sql
