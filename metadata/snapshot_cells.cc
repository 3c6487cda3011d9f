#include "metadata/snapshot_cells_internal.h"

#include <arrow/type_traits.h>

#include "sql/cells_internal.h"

namespace norvale::adbc {

int snapshot_column_index(const arrow::RecordBatch* batch, std::string_view name) {
  if (batch == nullptr) return -1;
  const auto& fields = batch->schema()->fields();
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i]->name() == name) return static_cast<int>(i);
  }
  return -1;
}

TextColumn::TextColumn(const arrow::RecordBatch* batch, std::string_view name) {
  const int index = snapshot_column_index(batch, name);
  if (index < 0) return;
  present_ = true;
  const arrow::Array* column = batch->column(index).get();
  if (nv_sql::is_text(*column->type())) array_ = column;
}

std::string_view TextColumn::get(int64_t row) const {
  if (array_ == nullptr || row < 0 || row >= array_->length() || array_->IsNull(row)) return {};
  return nv_sql::text_at(*array_, row);
}

IntColumn::IntColumn(const arrow::RecordBatch* batch, std::string_view name) {
  const int index = snapshot_column_index(batch, name);
  if (index < 0) return;
  present_ = true;
  const arrow::Array* column = batch->column(index).get();
  if (arrow::is_integer(column->type_id())) array_ = column;
}

int64_t IntColumn::get(int64_t row) const {
  if (array_ == nullptr || row < 0 || row >= array_->length() || array_->IsNull(row)) return -1;
  return nv_sql::integer_at(*array_, row);
}

std::string join_key(std::string_view a, std::string_view b, std::string_view c) {
  std::string key;
  key.reserve(a.size() + b.size() + c.size() + 2);
  key.append(a).push_back('\x1f');
  key.append(b).push_back('\x1f');
  key.append(c);
  return key;
}

}  // namespace norvale::adbc
