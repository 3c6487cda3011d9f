// NVArrowBatch: construction, release, column metadata and the column cache.
#include <arrow/compute/api.h>

#include <mutex>
#include <new>

#include "cells/arrow_batch_internal.h"
#include "norvale/nv_log.h"

namespace norvale::cells {

NVArrowBatch* new_arrow_batch(std::shared_ptr<arrow::RecordBatch> record_batch,
                              std::shared_ptr<arrow::Schema> schema) noexcept {
  auto* batch = new (std::nothrow) NVArrowBatch();
  if (batch == nullptr) return nullptr;
  if (schema == nullptr && record_batch != nullptr) schema = record_batch->schema();
  batch->record_batch = std::move(record_batch);
  batch->schema = std::move(schema);
  return batch;
}

namespace {

// The type Arrow's full check should hold a column to: the same type with every time of day and
// date64, at any depth, seen as the integer of its width. Arrow's check holds those to a day
// (a date64 to whole days), which the service's values may exceed (24:00:00); the formatters
// range-check each such value and report the cells they cannot say as errors, so a list of times
// holding 24:00:00 stays readable like a column of them. Everything else, offsets, sizes,
// indices, run ends and UTF-8, is checked as ever. The same pointer comes back when nothing
// changes.
std::shared_ptr<arrow::DataType> without_day_ranges(const std::shared_ptr<arrow::DataType>& type) {
  switch (type->id()) {
    case arrow::Type::TIME32:
      return arrow::int32();
    case arrow::Type::TIME64:
    case arrow::Type::DATE64:
      return arrow::int64();
    case arrow::Type::DICTIONARY: {
      const auto& dict = static_cast<const arrow::DictionaryType&>(*type);
      auto values = without_day_ranges(dict.value_type());
      if (values == dict.value_type()) return type;
      return arrow::dictionary(dict.index_type(), std::move(values), dict.ordered());
    }
    case arrow::Type::EXTENSION:
      return type;
    default:
      break;
  }
  arrow::FieldVector fields = type->fields();
  bool changed = false;
  for (auto& field : fields) {
    auto child = without_day_ranges(field->type());
    if (child == field->type()) continue;
    field = field->WithType(std::move(child));
    changed = true;
  }
  if (!changed) return type;
  switch (type->id()) {
    case arrow::Type::LIST: return arrow::list(fields[0]);
    case arrow::Type::LARGE_LIST: return arrow::large_list(fields[0]);
    case arrow::Type::LIST_VIEW: return arrow::list_view(fields[0]);
    case arrow::Type::LARGE_LIST_VIEW: return arrow::large_list_view(fields[0]);
    case arrow::Type::FIXED_SIZE_LIST:
      return arrow::fixed_size_list(
          fields[0], static_cast<const arrow::FixedSizeListType&>(*type).list_size());
    case arrow::Type::MAP: {
      auto map = arrow::MapType::Make(fields[0],
                                      static_cast<const arrow::MapType&>(*type).keys_sorted());
      return map.ok() ? *map : type;
    }
    case arrow::Type::STRUCT: return arrow::struct_(fields);
    case arrow::Type::SPARSE_UNION:
      return arrow::sparse_union(fields, static_cast<const arrow::UnionType&>(*type).type_codes());
    case arrow::Type::DENSE_UNION:
      return arrow::dense_union(fields, static_cast<const arrow::UnionType&>(*type).type_codes());
    case arrow::Type::RUN_END_ENCODED:
      return arrow::run_end_encoded(fields[0]->type(), fields[1]->type());
    default:
      return type;
  }
}

// `data` relabelled with `type` (a without_day_ranges of its own), children and dictionary
// alike; the buffers are shared. Only called on data that passed the structural check, so the
// children match the type's fields.
std::shared_ptr<arrow::ArrayData> relabel(const arrow::ArrayData& data,
                                          const std::shared_ptr<arrow::DataType>& type) {
  auto out = data.Copy();
  out->type = type;
  if (type->id() == arrow::Type::DICTIONARY && data.dictionary != nullptr) {
    out->dictionary = relabel(
        *data.dictionary, static_cast<const arrow::DictionaryType&>(*type).value_type());
  }
  if (static_cast<size_t>(type->num_fields()) == data.child_data.size()) {
    for (size_t i = 0; i < data.child_data.size(); ++i) {
      if (data.child_data[i] == nullptr) continue;
      out->child_data[i] = relabel(*data.child_data[i], type->field(static_cast<int>(i))->type());
    }
  }
  return out;
}

// Full validation of one column: offsets, sizes, indices, run ends, UTF-8, with times of day
// and date64 held to their width only (see without_day_ranges).
arrow::Status validate_column(const arrow::Array& array) {
  try {
    auto relaxed = without_day_ranges(array.type());
    if (relaxed == array.type()) return array.ValidateFull();
    return arrow::MakeArray(relabel(*array.data(), relaxed))->ValidateFull();
  } catch (const std::exception& e) {
    return arrow::Status::UnknownError(e.what());
  }
}

}  // namespace

bool ensure_column_cache(NVArrowBatch* batch) {
  if (batch == nullptr || batch->record_batch == nullptr || batch->malformed) return false;
  if (!batch->column_arrays.empty() || batch->record_batch->num_columns() == 0) return true;
  // Every reader of cell data comes through here: each column is validated once before any of
  // its cells is read; a malformed column stays empty, so every accessor refuses it.
  arrow::Status shape;
  try {
    shape = batch->record_batch->Validate();
  } catch (const std::exception& e) {
    shape = arrow::Status::UnknownError(e.what());
  }
  if (!shape.ok()) {
    batch->malformed = true;
    nv_log_emit(NV_LOG_ERROR, "stream", "malformed batch refused: %s", shape.ToString().c_str());
    return false;
  }
  const int n = batch->record_batch->num_columns();
  batch->column_arrays.resize(n);
  batch->column_type_ids.resize(n);
  for (int i = 0; i < n; ++i) {
    std::shared_ptr<arrow::Array> column = batch->record_batch->column(i);
    batch->column_type_ids[i] = static_cast<int32_t>(column->type_id());
    const arrow::Status valid = validate_column(*column);
    if (!valid.ok()) {
      nv_log_emit(NV_LOG_ERROR, "stream", "malformed column %d refused: %s", i,
                  valid.ToString().c_str());
      continue;
    }
    batch->column_arrays[i] = std::move(column);
  }
  return true;
}

const arrow::Array* cached_column(NVArrowBatch* batch, int column) {
  if (!ensure_column_cache(batch)) return nullptr;
  if (column < 0 || column >= static_cast<int>(batch->column_arrays.size())) return nullptr;
  return batch->column_arrays[column].get();
}

bool cell_is_null(const arrow::Array& array, int64_t row) {
  if (const uint8_t* bitmap = array.null_bitmap_data()) {
    return !arrow::bit_util::GetBit(bitmap, array.offset() + row);
  }
  switch (array.type_id()) {
    case arrow::Type::SPARSE_UNION:
    case arrow::Type::DENSE_UNION:
    case arrow::Type::RUN_END_ENCODED:
      return array.IsNull(row);
    default:
      return array.null_count() == array.length();
  }
}

int64_t units_per_second(arrow::TimeUnit::type unit) {
  switch (unit) {
    case arrow::TimeUnit::SECOND: return 1;
    case arrow::TimeUnit::MILLI: return 1000;
    case arrow::TimeUnit::MICRO: return 1000000;
    case arrow::TimeUnit::NANO: return 1000000000;
  }
  return 0;
}

int column_type_code(const arrow::DataType& type) {
  switch (type.id()) {
    case arrow::Type::NA: return NV_COL_NULL;
    case arrow::Type::BOOL: return NV_COL_BOOL;
    case arrow::Type::INT8: return NV_COL_INT8;
    case arrow::Type::INT16: return NV_COL_INT16;
    case arrow::Type::INT32: return NV_COL_INT32;
    case arrow::Type::INT64: return NV_COL_INT64;
    case arrow::Type::UINT8: return NV_COL_UINT8;
    case arrow::Type::UINT16: return NV_COL_UINT16;
    case arrow::Type::UINT32: return NV_COL_UINT32;
    case arrow::Type::UINT64: return NV_COL_UINT64;
    case arrow::Type::FLOAT: return NV_COL_FLOAT32;
    case arrow::Type::DOUBLE: return NV_COL_FLOAT64;
    case arrow::Type::STRING:
    case arrow::Type::STRING_VIEW: return NV_COL_UTF8;
    case arrow::Type::LARGE_STRING: return NV_COL_LARGE_UTF8;
    case arrow::Type::BINARY:
    case arrow::Type::BINARY_VIEW: return NV_COL_BINARY;
    case arrow::Type::LARGE_BINARY: return NV_COL_LARGE_BINARY;
    case arrow::Type::FIXED_SIZE_BINARY: return NV_COL_FIXED_BINARY;
    case arrow::Type::DATE32: return NV_COL_DATE32;
    case arrow::Type::DATE64: return NV_COL_DATE64;
    case arrow::Type::TIME32: return NV_COL_TIME32;
    case arrow::Type::TIME64: return NV_COL_TIME64;
    case arrow::Type::TIMESTAMP: return NV_COL_TIMESTAMP;
    case arrow::Type::DECIMAL128: return NV_COL_DECIMAL128;
    case arrow::Type::DECIMAL256: return NV_COL_DECIMAL256;
    case arrow::Type::INTERVAL_MONTHS: return NV_COL_INTERVAL_MONTHS;
    case arrow::Type::INTERVAL_DAY_TIME: return NV_COL_INTERVAL_DAY_TIME;
    case arrow::Type::INTERVAL_MONTH_DAY_NANO: return NV_COL_INTERVAL_MONTH_DAY_NANO;
    case arrow::Type::LIST: return NV_COL_LIST;
    case arrow::Type::LARGE_LIST: return NV_COL_LARGE_LIST;
    case arrow::Type::STRUCT: return NV_COL_STRUCT;
    case arrow::Type::MAP: return NV_COL_MAP;
    case arrow::Type::DICTIONARY: return NV_COL_DICTIONARY;
    default: return NV_COL_OTHER;
  }
}

arrow::Status ensure_compute_initialized() {
  static const arrow::Status status = arrow::compute::Initialize();
  return status;
}

}  // namespace norvale::cells

namespace {

const arrow::Field* field_of(const NVArrowBatch* batch, int column) {
  if (batch == nullptr || batch->schema == nullptr) return nullptr;
  if (column < 0 || column >= batch->schema->num_fields()) return nullptr;
  return batch->schema->field(column).get();
}

}  // namespace

extern "C" {

int64_t nv_batch_num_rows(const NVArrowBatch* batch) {
  if (batch == nullptr || batch->record_batch == nullptr) return 0;
  return batch->record_batch->num_rows();
}

int nv_batch_num_columns(const NVArrowBatch* batch) {
  if (batch == nullptr) return 0;
  if (batch->schema != nullptr) return batch->schema->num_fields();
  return batch->record_batch != nullptr ? batch->record_batch->num_columns() : 0;
}

const char* nv_batch_column_name(const NVArrowBatch* batch, int column) {
  const arrow::Field* field = field_of(batch, column);
  return field != nullptr ? field->name().c_str() : nullptr;
}

int nv_batch_column_type(const NVArrowBatch* batch, int column) {
  const arrow::Field* field = field_of(batch, column);
  return field != nullptr ? norvale::cells::column_type_code(*field->type()) : NV_COL_OTHER;
}

int nv_batch_column_nullable(const NVArrowBatch* batch, int column) {
  const arrow::Field* field = field_of(batch, column);
  return field != nullptr && field->nullable() ? 1 : 0;
}

int nv_batch_column_decimal_meta(const NVArrowBatch* batch, int column, int32_t* precision,
                                 int32_t* scale) {
  const arrow::Field* field = field_of(batch, column);
  if (field == nullptr) return -1;
  const arrow::Type::type id = field->type()->id();
  if (id != arrow::Type::DECIMAL128 && id != arrow::Type::DECIMAL256) return -1;
  const auto& type = static_cast<const arrow::DecimalType&>(*field->type());
  if (precision != nullptr) *precision = type.precision();
  if (scale != nullptr) *scale = type.scale();
  return 0;
}

int nv_batch_column_temporal_meta(const NVArrowBatch* batch, int column, int32_t* unit,
                                  const char** timezone) {
  const arrow::Field* field = field_of(batch, column);
  if (field == nullptr) return -1;
  const arrow::DataType& type = *field->type();
  const char* zone = nullptr;
  arrow::TimeUnit::type time_unit;
  switch (type.id()) {
    case arrow::Type::TIMESTAMP: {
      const auto& ts = static_cast<const arrow::TimestampType&>(type);
      time_unit = ts.unit();
      if (!ts.timezone().empty()) zone = ts.timezone().c_str();
      break;
    }
    case arrow::Type::TIME32:
    case arrow::Type::TIME64:
      time_unit = static_cast<const arrow::TimeType&>(type).unit();
      break;
    default:
      return -1;
  }
  if (unit != nullptr) *unit = static_cast<int32_t>(time_unit);
  if (timezone != nullptr) *timezone = zone;
  return 0;
}

const char* nv_batch_column_metadata(const NVArrowBatch* batch, int column, const char* key) {
  const arrow::Field* field = field_of(batch, column);
  if (field == nullptr || key == nullptr || field->metadata() == nullptr) return nullptr;
  const int index = field->metadata()->FindKey(key);
  return index < 0 ? nullptr : field->metadata()->value(index).c_str();
}

void nv_batch_free(NVArrowBatch* batch) { delete batch; }

}  // extern "C"
