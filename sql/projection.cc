// Projection, SELECT DISTINCT and ORDER BY over single batches.

#include <arrow/compute/api.h>
#include <arrow/compute/exec.h>
#include <arrow/compute/row/grouper.h>

#include "sql/cells_internal.h"
#include "sql/engine_ops_internal.h"

namespace nv_sql {

namespace cp = arrow::compute;

arrow::Result<Projected> apply_projection(const SelectStatement& stmt, const Frame& input) {
  const auto& batch = input.batch;
  const int64_t rows = batch->num_rows();
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  std::vector<int> source;
  auto append_input = [&](int idx) {
    fields.push_back(batch->schema()->field(idx));
    arrays.push_back(batch->column(idx));
    source.push_back(idx);
  };
  for (const SelectItem& item : stmt.items) {
    if (!item.expr) return arrow::Status::Invalid("empty projection item");
    if (const auto* star = item.expr->as<StarExpr>()) {
      // t.* shows the columns of table t only; a bare * every visible column.
      const std::string q = ascii_lower(star->qualifier);
      bool any = false;
      for (int i = 0; i < batch->num_columns(); ++i) {
        if (input.scope.empty()) {
          append_input(i);
          any = true;
          continue;
        }
        const ColumnScope& c = input.scope[i];
        bool take = q.empty() ? !c.hidden : false;
        for (const auto& cq : c.qualifiers) take = take || (!q.empty() && cq == q);
        if (take) {
          append_input(i);
          any = true;
        }
      }
      if (!any && !q.empty()) {
        return arrow::Status::Invalid("unknown table in " + star->qualifier + ".*");
      }
      continue;
    }
    if (value_from(*item.expr, is_decimal_constant)) return decimal_output();
    ExprEval ev(input);
    ARROW_ASSIGN_OR_RAISE(auto value, ev.eval(*item.expr));
    if (!value.is_scalar() && !value.is_array()) {
      return arrow::Status::Invalid("projection item evaluated to non-array, non-scalar");
    }
    ARROW_ASSIGN_OR_RAISE(auto arr, to_array(value, rows));
    // A column reference is named by its column, as the compute node names it.
    std::string name = item.name;
    std::shared_ptr<const arrow::KeyValueMetadata> metadata;
    int src = -1;
    if (const auto* ref = item.expr->as<ColumnRef>()) {
      auto idx = resolve_column(input, *ref);
      if (idx.ok()) {
        src = *idx;
        metadata = batch->schema()->field(src)->metadata();
        if (name.empty()) name = batch->schema()->field(src)->name();
      }
    }
    fields.push_back(arrow::field(name, arr->type(), /*nullable=*/true, metadata));
    arrays.push_back(std::move(arr));
    source.push_back(src);
  }
  return Projected{arrow::RecordBatch::Make(arrow::schema(fields), rows, arrays),
                   std::move(source)};
}

arrow::Result<Projected> apply_distinct(const Projected& in) {
  const auto& batch = in.batch;
  if (batch->num_rows() <= 1) return in;
  std::vector<arrow::TypeHolder> types;
  for (const auto& f : batch->schema()->fields()) types.emplace_back(f->type());
  ARROW_ASSIGN_OR_RAISE(auto grouper, cp::Grouper::Make(types));
  cp::ExecBatch exec(*batch);
  ARROW_ASSIGN_OR_RAISE(arrow::Datum ids, grouper->Consume(cp::ExecSpan(exec)));
  auto id_array = std::static_pointer_cast<arrow::UInt32Array>(ids.make_array());
  // Keep each group's first row, so the rows keep their input order. (Group ids are not
  // necessarily handed out in order of first appearance.)
  arrow::Int64Builder keep;
  std::vector<uint8_t> seen(grouper->num_groups(), 0);
  for (int64_t r = 0; r < id_array->length(); ++r) {
    uint32_t id = id_array->Value(r);
    if (!seen[id]) {
      seen[id] = 1;
      ARROW_RETURN_NOT_OK(keep.Append(r));
    }
  }
  ARROW_ASSIGN_OR_RAISE(auto indices, keep.Finish());
  if (indices->length() == batch->num_rows()) return in;
  ARROW_ASSIGN_OR_RAISE(auto taken, take_batch(batch, indices));
  return Projected{taken, in.source};
}

namespace {

// Output column of an ORDER BY key; -1 when the key names none (an expression, or a column the
// output does not hold). Errors are recorded for ordinals out of range and ambiguous names.
arrow::Result<int> order_key_column(const OrderKey& key, const Projected& projected,
                                    const Frame& input) {
  const auto& schema = *projected.batch->schema();
  if (key.ordinal) {
    if (*key.ordinal < 1 || *key.ordinal > schema.num_fields()) {
      return arrow::Status::Invalid("ORDER BY ordinal out of range");
    }
    return static_cast<int>(*key.ordinal - 1);
  }
  const auto* ref = key.expr ? key.expr->as<ColumnRef>() : nullptr;
  if (ref == nullptr) return -1;
  const std::string label = ref->table.empty() ? ref->column : ref->table + "." + ref->column;
  if (!ref->table.empty()) {
    // A qualified key names an input column; the output may copy it.
    auto in_idx = resolve_column(input, *ref);
    if (!in_idx.ok()) return -1;
    for (size_t i = 0; i < projected.source.size(); ++i) {
      if (projected.source[i] == *in_idx) return static_cast<int>(i);
    }
    return -1;
  }
  const std::string want = ascii_lower(ref->column);
  int found = -1;
  for (int i = 0; i < schema.num_fields(); ++i) {
    if (ascii_lower(schema.field(i)->name()) != want) continue;
    if (found >= 0) {
      // Two output columns of that name: only acceptable when both copy the same column.
      int a = projected.source[found];
      int b = projected.source[i];
      if (a < 0 || a != b) {
        return arrow::Status::Invalid("ORDER BY column is ambiguous: " + label);
      }
      continue;
    }
    found = i;
  }
  return found;
}

// Compares row a with row b of a key without nulls: text by bytes, integers by value.
int compare_rows(const arrow::Array& key, int64_t a, int64_t b) {
  if (is_text(*key.type())) {
    const int c = text_at(key, a).compare(text_at(key, b));
    return c < 0 ? -1 : c > 0 ? 1 : 0;
  }
  const int64_t x = integer_at(key, a);
  const int64_t y = integer_at(key, b);
  return x < y ? -1 : x > y ? 1 : 0;
}

// Whether the rows already follow the keys; only keys of text or (signed, up to 64-bit or
// unsigned up to 32-bit) integers without nulls are checked, others are left to the sort.
bool in_order(const arrow::ArrayVector& keys, const std::vector<OrderKey>& order_by) {
  for (const auto& k : keys) {
    const auto id = k->type_id();
    if (k->null_count() > 0 || id == arrow::Type::UINT64 ||
        !(is_text(*k->type()) || arrow::is_integer(id))) {
      return false;
    }
  }
  const int64_t n = keys.empty() ? 0 : keys.front()->length();
  for (int64_t r = 1; r < n; ++r) {
    for (size_t k = 0; k < keys.size(); ++k) {
      int c = compare_rows(*keys[k], r - 1, r);
      if (order_by[k].descending) c = -c;
      if (c > 0) return false;
      if (c < 0) break;
    }
  }
  return true;
}

}  // namespace

arrow::Result<std::shared_ptr<arrow::RecordBatch>> apply_order_by(
    const std::vector<OrderKey>& order_by, const Projected& projected, const Frame& input,
    const KeyEval& eval) {
  if (order_by.empty()) return projected.batch;
  const auto& batch = projected.batch;
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  std::vector<cp::SortKey> keys;
  for (const auto& key : order_by) {
    ARROW_ASSIGN_OR_RAISE(int col, order_key_column(key, projected, input));
    std::shared_ptr<arrow::Array> values;
    if (col >= 0) {
      values = batch->column(col);
    } else if (!eval) {
      if (const auto* ref = key.expr ? key.expr->as<ColumnRef>() : nullptr) {
        const std::string label =
            ref->table.empty() ? ref->column : ref->table + "." + ref->column;
        return arrow::Status::Invalid("ORDER BY references unknown column: " + label);
      }
      return arrow::Status::Invalid("ORDER BY <expression> is not supported in the metadata path");
    } else {
      ARROW_ASSIGN_OR_RAISE(values, eval(*key.expr));
    }
    const std::string name = "k" + std::to_string(keys.size());
    fields.push_back(arrow::field(name, values->type()));
    arrays.push_back(std::move(values));
    keys.emplace_back(arrow::FieldRef(name), order_direction(key), null_placement(key));
  }
  // Rows already in order (a lookup's rows often are) stay as they are: the sort is stable.
  if (batch->num_rows() <= 1 || in_order(arrays, order_by)) return batch;
  auto key_batch = arrow::RecordBatch::Make(arrow::schema(fields), batch->num_rows(), arrays);
  ARROW_ASSIGN_OR_RAISE(auto indices,
                        cp::SortIndices(arrow::Datum(key_batch), cp::SortOptions(keys)));
  return take_batch(batch, indices);
}

}  // namespace nv_sql
