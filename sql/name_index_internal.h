// Lookups by name into one relation's batch. For each indexed text column the rows are grouped
// into runs of one value (ignoring ASCII case), and the runs are ordered by that value, so that
// equality, IN-lists and prefixes (LIKE 'abc%') find their rows by binary search, not by a scan.
// A run costs four bytes and every row one bit; catalogs list the rows of one table together,
// so a column such as table_name has one run per table rather than one per row.
#pragma once

#include <cstdint>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <arrow/api.h>

namespace nv_sql {

/// The lookups of one text column. Values are compared with A to Z folded to lower case, so
/// every answer holds the exact matches and possibly more: the caller checks the exact
/// condition on the rows found. Null values are never found.
class NameIndex {
 public:
  /// Indexes `values` (utf8, large_utf8 or utf8_view).
  explicit NameIndex(std::shared_ptr<arrow::Array> values);

  /// Whether an array of `type` can be indexed.
  static bool Indexable(const arrow::DataType& type);

  /// Appends the rows whose value equals `key` (ignoring ASCII case), ascending. False, with
  /// `out` holding an unspecified part of them, once more than `limit` rows have been appended.
  bool equal(std::string_view key, std::vector<int32_t>* out, size_t limit = SIZE_MAX) const;
  /// Appends the rows whose value starts with `prefix` (ignoring ASCII case), ascending; false
  /// as for equal() past `limit` rows.
  bool prefix(std::string_view prefix, std::vector<int32_t>* out, size_t limit = SIZE_MAX) const;
  /// Rows whose value holds a byte outside ASCII: Unicode case mappings may turn such a value
  /// into ASCII text (lower('İ') is 'i'), so case-insensitive lookups add them.
  const std::vector<int32_t>& non_ascii() const { return non_ascii_; }
  /// Number of rows with a value.
  int64_t rows() const { return rows_; }

  size_t memory_bytes() const;

 private:
  // Rows in the run that starts at row `start`.
  int64_t run_length(int64_t start) const;
  // Appends the rows of the runs [lo, hi) to `out`; false, appending nothing, when they are
  // more than `limit`.
  bool append_runs(const int32_t* lo, const int32_t* hi, std::vector<int32_t>* out,
                   size_t limit) const;
  std::string_view view(int64_t row) const;

  std::shared_ptr<arrow::Array> values_;
  std::vector<int32_t> runs_;  // first row of each run, ordered by (folded value, row)
  std::vector<uint64_t> continues_;  // bit r: row r belongs to the run of row r - 1
  std::vector<int32_t> non_ascii_;
  int64_t rows_ = 0;
};

/// The lookups of one registered relation: the one batch they answer for and the text columns
/// that are indexed.
class RelationIndex {
 public:
  /// Indexes the text columns of `batch` whose names `wanted` accepts.
  static std::shared_ptr<const RelationIndex> Build(
      std::shared_ptr<arrow::RecordBatch> batch,
      const std::function<bool(const std::string& column)>& wanted);

  const std::shared_ptr<arrow::RecordBatch>& batch() const { return batch_; }
  /// The index of column `i` of the batch; null when it is not indexed.
  const NameIndex* column(int i) const;
  /// Bytes held by the lookups (not by the batch).
  size_t memory_bytes() const;

 private:
  std::shared_ptr<arrow::RecordBatch> batch_;
  std::vector<std::unique_ptr<NameIndex>> columns_;  // one slot per batch column
};

/// Compares `a` and `b` byte by byte with A to Z folded to lower case: <0, 0 or >0.
int folded_compare(std::string_view a, std::string_view b);

/// Whether `text` holds a byte outside ASCII.
bool has_non_ascii(std::string_view text);

}  // namespace nv_sql
