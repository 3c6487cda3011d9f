// Taking rows of a batch by index. Arrow's take appends text values one at a time through its
// buffer builder, which dominates joins and lookups that gather thousands of names; text columns
// are gathered here in two passes instead (the lengths, then one copy per value), and values of
// fixed byte width are copied directly, without a kernel call per column.

#include <cstring>

#include <arrow/compute/api.h>

#include "sql/engine_ops_internal.h"

namespace nv_sql {

namespace {

// A validity bitmap of `n` rows, all null, for a gather from a column with nulls; none (every
// row valid) otherwise.
arrow::Result<std::shared_ptr<arrow::Buffer>> cleared_bitmap(bool nullable, int64_t n) {
  if (!nullable) return nullptr;
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Buffer> bits, arrow::AllocateBitmap(n));
  std::memset(bits->mutable_data(), 0, static_cast<size_t>(bits->size()));
  return bits;
}

template <typename Index>
arrow::Result<std::shared_ptr<arrow::Array>> gather_text(const arrow::StringArray& in,
                                                         const Index* idx, int64_t n) {
  const int64_t len = in.length();
  const bool nullable = in.null_count() > 0;
  ARROW_ASSIGN_OR_RAISE(auto offsets, arrow::AllocateBuffer((n + 1) * sizeof(int32_t)));
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Buffer> validity, cleared_bitmap(nullable, n));
  uint8_t* bits = nullable ? validity->mutable_data() : nullptr;
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

template <typename Index>
arrow::Result<std::shared_ptr<arrow::Array>> gather_fixed(const arrow::Array& in, int width,
                                                          const Index* idx, int64_t n) {
  const int64_t len = in.length();
  const bool nullable = in.null_count() > 0;
  ARROW_ASSIGN_OR_RAISE(auto values, arrow::AllocateBuffer(n * width));
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Buffer> validity, cleared_bitmap(nullable, n));
  uint8_t* bits = nullable ? validity->mutable_data() : nullptr;
  const uint8_t* src = in.data()->GetValues<uint8_t>(1, 0) + in.offset() * width;
  uint8_t* out = values->mutable_data();
  int64_t nulls = 0;
  for (int64_t i = 0; i < n; ++i) {
    const int64_t r = static_cast<int64_t>(idx[i]);
    if (r < 0 || r >= len) return arrow::Status::IndexError("take index out of bounds");
    std::memcpy(out + i * width, src + r * width, static_cast<size_t>(width));
    if (!nullable) continue;
    if (in.IsNull(r)) {
      ++nulls;
    } else {
      arrow::bit_util::SetBit(bits, i);
    }
  }
  auto data = arrow::ArrayData::Make(in.type(), n, {std::move(validity), std::move(values)},
                                     nulls);
  return arrow::MakeArray(data);
}

// Calls fn(raw indices, count) with the index array's values in their own type.
template <typename Fn>
auto with_indices(const arrow::Array& indices, Fn&& fn) {
  switch (indices.type_id()) {
    case arrow::Type::INT32: {
      const auto& ix = static_cast<const arrow::Int32Array&>(indices);
      return fn(ix.raw_values(), ix.length());
    }
    case arrow::Type::INT64: {
      const auto& ix = static_cast<const arrow::Int64Array&>(indices);
      return fn(ix.raw_values(), ix.length());
    }
    default: {  // sort indices
      const auto& ix = static_cast<const arrow::UInt64Array&>(indices);
      return fn(ix.raw_values(), ix.length());
    }
  }
}

// Fixed-width values that are whole bytes (integers, floats, dates, times): copied directly.
int byte_width(const arrow::DataType& t) {
  if (t.id() == arrow::Type::BOOL || t.id() == arrow::Type::DICTIONARY) return 0;
  const auto* fw = dynamic_cast<const arrow::FixedWidthType*>(&t);
  if (fw == nullptr || !arrow::is_primitive(t.id())) return 0;
  return fw->bit_width() % 8 == 0 ? fw->bit_width() / 8 : 0;
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
      const auto& text = static_cast<const arrow::StringArray&>(*col);
      ARROW_ASSIGN_OR_RAISE(auto taken, with_indices(*indices, [&](const auto* ix, int64_t n) {
                              return gather_text(text, ix, n);
                            }));
      columns.push_back(std::move(taken));
      continue;
    }
    if (const int width = byte_width(*col->type()); plain && width > 0) {
      ARROW_ASSIGN_OR_RAISE(auto taken, with_indices(*indices, [&](const auto* ix, int64_t n) {
                              return gather_fixed(*col, width, ix, n);
                            }));
      columns.push_back(std::move(taken));
      continue;
    }
    ARROW_ASSIGN_OR_RAISE(arrow::Datum taken, arrow::compute::Take(col, indices));
    columns.push_back(taken.make_array());
  }
  return arrow::RecordBatch::Make(batch->schema(), indices->length(), std::move(columns));
}

}  // namespace nv_sql
