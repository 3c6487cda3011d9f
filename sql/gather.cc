// Taking rows of a batch by index. Arrow's take appends text values one at a time through its
// buffer builder, which dominates joins and lookups that gather thousands of names; text columns
// are gathered here in two passes instead (the lengths, then one copy per value).

#include <cstring>

#include <arrow/compute/api.h>

#include "sql/engine_ops_internal.h"

namespace nv_sql {

namespace {

template <typename Index>
arrow::Result<std::shared_ptr<arrow::Array>> gather_text(const arrow::StringArray& in,
                                                         const Index* idx, int64_t n) {
  const int64_t len = in.length();
  const bool nullable = in.null_count() > 0;
  ARROW_ASSIGN_OR_RAISE(auto offsets, arrow::AllocateBuffer((n + 1) * sizeof(int32_t)));
  std::shared_ptr<arrow::Buffer> validity;
  uint8_t* bits = nullptr;
  if (nullable) {
    ARROW_ASSIGN_OR_RAISE(validity, arrow::AllocateBitmap(n));
    bits = validity->mutable_data();
    std::memset(bits, 0, static_cast<size_t>(validity->size()));
  }
  auto* off = reinterpret_cast<int32_t*>(offsets->mutable_data());
  int64_t total = 0;
  int64_t nulls = 0;
  off[0] = 0;
  for (int64_t i = 0; i < n; ++i) {
    const int64_t r = static_cast<int64_t>(idx[i]);
    if (r < 0 || r >= len) return arrow::Status::IndexError("take index out of bounds");
    if (nullable && in.IsNull(r)) {
      ++nulls;
    } else {
      if (nullable) arrow::bit_util::SetBit(bits, i);
      total += in.value_length(r);
      if (total > INT32_MAX) return arrow::Status::CapacityError("gathered text too large");
    }
    off[i + 1] = static_cast<int32_t>(total);
  }
  ARROW_ASSIGN_OR_RAISE(auto data, arrow::AllocateBuffer(total));
  uint8_t* out = data->mutable_data();
  for (int64_t i = 0; i < n; ++i) {
    const int32_t size = off[i + 1] - off[i];
    if (size > 0) {
      std::memcpy(out + off[i], in.raw_data() + in.value_offset(static_cast<int64_t>(idx[i])),
                  static_cast<size_t>(size));
    }
  }
  return std::make_shared<arrow::StringArray>(n, std::move(offsets), std::move(data),
                                              std::move(validity), nulls);
}

arrow::Result<std::shared_ptr<arrow::Array>> gather_text(const arrow::StringArray& in,
                                                         const arrow::Array& indices) {
  switch (indices.type_id()) {
    case arrow::Type::INT32: {
      const auto& ix = static_cast<const arrow::Int32Array&>(indices);
      return gather_text(in, ix.raw_values(), ix.length());
    }
    case arrow::Type::INT64: {
      const auto& ix = static_cast<const arrow::Int64Array&>(indices);
      return gather_text(in, ix.raw_values(), ix.length());
    }
    default: {  // sort indices
      const auto& ix = static_cast<const arrow::UInt64Array&>(indices);
      return gather_text(in, ix.raw_values(), ix.length());
    }
  }
}

}  // namespace

arrow::Result<std::shared_ptr<arrow::RecordBatch>> take_batch(
    const std::shared_ptr<arrow::RecordBatch>& batch,
    const std::shared_ptr<arrow::Array>& indices) {
  const auto t = indices->type_id();
  const bool plain = (t == arrow::Type::INT32 || t == arrow::Type::INT64 ||
                      t == arrow::Type::UINT64) &&
                     indices->null_count() == 0;
  arrow::ArrayVector columns;
  columns.reserve(static_cast<size_t>(batch->num_columns()));
  for (const auto& col : batch->columns()) {
    if (plain && col->type_id() == arrow::Type::STRING) {
      ARROW_ASSIGN_OR_RAISE(
          auto taken, gather_text(static_cast<const arrow::StringArray&>(*col), *indices));
      columns.push_back(std::move(taken));
      continue;
    }
    ARROW_ASSIGN_OR_RAISE(arrow::Datum taken, arrow::compute::Take(col, indices));
    columns.push_back(taken.make_array());
  }
  return arrow::RecordBatch::Make(batch->schema(), indices->length(), std::move(columns));
}

}  // namespace nv_sql
