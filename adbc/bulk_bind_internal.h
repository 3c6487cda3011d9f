// Bound INSERTs of many rows run as one ingest: an INSERT INTO <table> [(<columns>)] VALUES
// (<row>) whose row holds only parameter markers, each parameter once, appends the bound
// stream itself to the table, its columns renamed to the table's.
#pragma once

#include <arrow/record_batch.h>
#include <arrow/result.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adbc/cancel_registry_internal.h"
#include "adbc/parameter_markers_internal.h"
#include "cells/sql_insert_shape.h"

struct NVAdbcConnectionState;
struct NVAdbcStatementState;

namespace norvale::adbc {

/// The option that sets from how many bound rows an INSERT loads them as one ingest.
inline constexpr const char* kBulkBindMinRowsKey = "adbc.norvale.statement.bulk_bind_min_rows";
/// Its default: below it, one multi-row INSERT costs less than an ingest.
inline constexpr int64_t kBulkBindMinRowsDefault = 100;

/// Runs the statement's SQL over its bound rows as one ingest, when the SQL is a bound INSERT
/// of the plan below and the bound data hold at least the statement's bulk_bind_min_rows rows;
/// false, with the bound data as they were, when it is not: the SQL path then runs them. On
/// success `rows_affected` (may be null) holds the rows the service inserted. A failure stores
/// nothing; its message says so, and it carries the service's SQLSTATE.
arrow::Result<bool> try_bulk_insert(NVAdbcStatementState* state, int64_t* rows_affected);

/// What the ingest of a bound INSERT writes where.
struct BulkInsertPlan {
  std::vector<cells::SqlIdentifier> table;  // as the INSERT names it
  /// The INSERT's column list, in the order of its values; without a list the table's columns
  /// in their order are the targets, and are looked up.
  std::optional<std::vector<std::string>> target_columns;
  /// The bound column that each value of the row takes, in the order of the values.
  std::vector<int> bound_columns;
};

/// The plan for `sql` whose parameters `params` are bound to the columns `columns`
/// (columns[p] serves parameter p); nullopt when the statement is not such an INSERT: a value
/// that is not a marker alone (DEFAULT, an expression), a parameter used twice or not at all, a
/// column list whose length differs from the row's.
std::optional<BulkInsertPlan> plan_bulk_insert(std::string_view sql,
                                               const StatementParameters& params,
                                               const std::vector<int>& columns);

/// The table reference as the service reads a target table: the parts joined with '.', quoted
/// parts in double quotes (a quote inside doubled), bare parts as written, so that the service
/// resolves the name as it resolves the INSERT's.
std::string target_table_text(const std::vector<cells::SqlIdentifier>& table);

class CatalogIndex;

/// What the catalog snapshot lists for the table an INSERT names: a quoted part names exactly,
/// a bare one without regard to ASCII case, and a name without schema that several schemas hold
/// means the one in `current_schema` (and `current_catalog`) when they are given.
struct SnapshotColumns {
  enum Kind { kListed, kUnlisted, kAmbiguous } kind = kUnlisted;
  std::vector<std::string> columns;  // kListed: in their order
};
SnapshotColumns snapshot_table_columns(
    const CatalogIndex& index, const std::vector<cells::SqlIdentifier>& table,
    const std::optional<std::string>& current_catalog,
    const std::optional<std::string>& current_schema);

/// The columns of the table an INSERT names, in their order: from the connection's catalog
/// snapshot when one is loaded and lists the table, else from a query of no rows of it.
/// Nullopt when neither tells (a missing table, a failed question): the INSERT then runs as SQL,
/// and the service says what is wrong. A cancel of `operation` fails the call.
arrow::Result<std::optional<std::vector<std::string>>> table_columns(
    NVAdbcConnectionState* connection, const std::shared_ptr<CancelOperation>& operation,
    const std::vector<cells::SqlIdentifier>& table);

/// The batch the ingest sends for one bound batch: the bound columns `bound_columns` in the
/// order of the row's values, named `names`, each in a type the service reads as it reads the
/// column's literal. A column is refused as its literal would be (the same SQLSTATE and row
/// within the batch); `*failed_column` then says which bound column it is.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> bulk_payload(
    const arrow::RecordBatch& batch, const std::vector<int>& bound_columns,
    const std::vector<std::string>& names, int* failed_column);

}  // namespace norvale::adbc
