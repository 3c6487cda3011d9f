#include "metadata/snapshot_cells_internal.h"

#include <arrow/type_traits.h>

namespace norvale::adbc {
namespace {

template <typename ArrayType>
int64_t int_value(const arrow::Array* array, int64_t row) {
  return static_cast<int64_t>(static_cast<const ArrayType*>(array)->Value(row));
}

bool is_integer_8_to_64(arrow::Type::type id) {
  switch (id) {
    case arrow::Type::INT8:
    case arrow::Type::INT16:
    case arrow::Type::INT32:
    case arrow::Type::INT64:
    case arrow::Type::UINT8:
    case arrow::Type::UINT16:
    case arrow::Type::UINT32:
    case arrow::Type::UINT64:
      return true;
    default:
      return false;
  }
}

}  // namespace

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
  switch (column->type_id()) {
    case arrow::Type::STRING:
    case arrow::Type::LARGE_STRING:
    case arrow::Type::STRING_VIEW:
      array_ = column;
      break;
    default:
      break;
  }
}

std::string_view TextColumn::get(int64_t row) const {
  if (array_ == nullptr || row < 0 || row >= array_->length() || array_->IsNull(row)) return {};
  switch (array_->type_id()) {
    case arrow::Type::STRING:
      return static_cast<const arrow::StringArray*>(array_)->GetView(row);
    case arrow::Type::LARGE_STRING:
      return static_cast<const arrow::LargeStringArray*>(array_)->GetView(row);
    default:
      return static_cast<const arrow::StringViewArray*>(array_)->GetView(row);
  }
}

IntColumn::IntColumn(const arrow::RecordBatch* batch, std::string_view name) {
  const int index = snapshot_column_index(batch, name);
  if (index < 0) return;
  present_ = true;
  const arrow::Array* column = batch->column(index).get();
  if (is_integer_8_to_64(column->type_id())) array_ = column;
}

int64_t IntColumn::get(int64_t row) const {
  if (array_ == nullptr || row < 0 || row >= array_->length() || array_->IsNull(row)) return -1;
  switch (array_->type_id()) {
    case arrow::Type::INT8:
      return int_value<arrow::Int8Array>(array_, row);
    case arrow::Type::INT16:
      return int_value<arrow::Int16Array>(array_, row);
    case arrow::Type::INT32:
      return int_value<arrow::Int32Array>(array_, row);
    case arrow::Type::INT64:
      return int_value<arrow::Int64Array>(array_, row);
    case arrow::Type::UINT8:
      return int_value<arrow::UInt8Array>(array_, row);
    case arrow::Type::UINT16:
      return int_value<arrow::UInt16Array>(array_, row);
    case arrow::Type::UINT32:
      return int_value<arrow::UInt32Array>(array_, row);
    case arrow::Type::UINT64:
      return int_value<arrow::UInt64Array>(array_, row);
    default:
      return -1;
  }
}

bool ascii_eq_ci(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string ascii_lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
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
