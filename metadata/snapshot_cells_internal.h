// Reading snapshot cells the way every metadata call does: text from utf8, large_utf8 and
// string_view columns (empty when null or absent), integers from any 8- to 64-bit integer column (-1 when null or absent),
// columns found by exact name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <arrow/array.h>
#include <arrow/record_batch.h>

namespace norvale::adbc {

/// Index of the first field named exactly `name`, or -1 (also for a null batch).
int snapshot_column_index(const arrow::RecordBatch* batch, std::string_view name);

/// A text column (utf8, large_utf8 or string_view) of a snapshot batch, or nothing (every cell
/// then reads as empty).
class TextColumn {
 public:
  TextColumn() = default;
  TextColumn(const arrow::RecordBatch* batch, std::string_view name);

  /// Whether the relation has a column of that name, whatever its type.
  bool present() const { return present_; }
  /// The cell's text; empty when null, past the end, absent or not text. Valid while the batch
  /// lives.
  std::string_view get(int64_t row) const;

 private:
  const arrow::Array* array_ = nullptr;
  bool present_ = false;
};

/// An integer column of a snapshot batch, or nothing (every cell then reads as -1).
class IntColumn {
 public:
  IntColumn() = default;
  IntColumn(const arrow::RecordBatch* batch, std::string_view name);

  bool present() const { return present_; }
  /// The cell widened to signed 64-bit; -1 when null, past the end, absent or not an integer.
  int64_t get(int64_t row) const;

 private:
  const arrow::Array* array_ = nullptr;
  bool present_ = false;
};

/// catalog 0x1F schema 0x1F name: the key that joins rows of different relations.
std::string join_key(std::string_view a, std::string_view b, std::string_view c);

}  // namespace norvale::adbc
