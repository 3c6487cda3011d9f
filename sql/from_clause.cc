// Materialisation of FROM items into frames: base tables, VALUES tables, derived tables, and
// the row filter shared by WHERE and join residuals.

#include <arrow/compute/api.h>

#include "sql/engine_ops_internal.h"

namespace nv_sql {

namespace cp = arrow::compute;

arrow::Result<std::shared_ptr<arrow::RecordBatch>> combine_batches(
    const std::shared_ptr<arrow::Schema>& schema,
    const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches) {
  if (batches.size() == 1) return batches.front();
  if (batches.empty()) return arrow::RecordBatch::MakeEmpty(schema);
  ARROW_ASSIGN_OR_RAISE(auto table, arrow::Table::FromRecordBatches(schema, batches));
  return table->CombineChunksToBatch(arrow::default_memory_pool());
}

arrow::Result<Frame> filter_frame(const Frame& frame, const std::shared_ptr<arrow::Array>& mask) {
  // A mask without false or null keeps the batch as it is (shared, not copied).
  if (mask->null_count() == 0) {
    const auto& bools = static_cast<const arrow::BooleanArray&>(*mask);
    if (bools.true_count() == bools.length()) return frame;
  }
  if (frame.batch->num_columns() == 0) {
    // Rows of no columns (count(*) over a table): only the count of kept rows matters.
    const int64_t rows = static_cast<const arrow::BooleanArray&>(*mask).true_count();
    return Frame{arrow::RecordBatch::Make(frame.batch->schema(), rows, arrow::ArrayVector{}),
                 frame.scope};
  }
  // The kept rows are gathered by position: text columns then cost one copy per value.
  const auto& keep = static_cast<const arrow::BooleanArray&>(*mask);
  arrow::Int32Builder rows;
  ARROW_RETURN_NOT_OK(rows.Reserve(keep.true_count()));
  for (int64_t i = 0; i < keep.length(); ++i) {
    if (keep.IsValid(i) && keep.Value(i)) rows.UnsafeAppend(static_cast<int32_t>(i));
  }
  ARROW_ASSIGN_OR_RAISE(auto indices, rows.Finish());
  ARROW_ASSIGN_OR_RAISE(auto out, take_batch(frame.batch, indices));
  return Frame{out, frame.scope};
}

arrow::Result<Frame> apply_predicate(const Frame& frame, const Expr& pred) {
  ExprEval ev(frame);
  ARROW_ASSIGN_OR_RAISE(auto value, ev.eval(pred));
  ARROW_ASSIGN_OR_RAISE(auto mask, to_mask(value, frame.batch->num_rows()));
  return filter_frame(frame, mask);
}

std::shared_ptr<arrow::RecordBatch> with_unique_names(
    const std::shared_ptr<arrow::RecordBatch>& batch) {
  std::unordered_set<std::string> seen;
  arrow::FieldVector fields;
  bool renamed = false;
  for (const auto& f : batch->schema()->fields()) {
    std::string name = f->name();
    for (int k = 1; !seen.insert(ascii_lower(name)).second; ++k) {
      name = f->name() + "_" + std::to_string(k);
    }
    renamed = renamed || name != f->name();
    fields.push_back(f->WithName(name));
  }
  if (!renamed) return batch;
  return arrow::RecordBatch::Make(arrow::schema(fields, batch->schema()->metadata()),
                                  batch->num_rows(), batch->columns());
}

std::string table_qualifier(const TableRef& ref) {
  if (const auto* base = std::get_if<BaseTable>(&ref.node)) {
    return ascii_lower(base->alias.value_or(base->name));
  }
  if (const auto* v = std::get_if<ValuesList>(&ref.node)) return ascii_lower(v->alias.value_or(""));
  return ascii_lower(ref.alias.value_or(""));
}

namespace {

std::vector<ColumnScope> scope_for(const arrow::Schema& schema, const std::string& qualifier) {
  std::vector<ColumnScope> scope;
  scope.reserve(schema.num_fields());
  for (const auto& f : schema.fields()) {
    ColumnScope c;
    c.name = ascii_lower(f->name());
    if (!qualifier.empty()) c.qualifiers.push_back(qualifier);
    scope.push_back(std::move(c));
  }
  return scope;
}

arrow::Result<Frame> materialize_base(const TableRef& ref, const MetadataEngine& engine,
                                      const Pushdown& pushdown) {
  const auto& table = std::get<BaseTable>(ref.node);
  const MetadataEngine::Relation* rel = engine.find_relation(table);
  if (rel == nullptr) {
    auto keys = canonical_keys(table);
    return decline_status("relation not cached: " +
                          (keys.empty() ? std::string("(unnamed)") : keys.front()));
  }
  ARROW_ASSIGN_OR_RAISE(auto batch, combine_batches(rel->schema, rel->batches));
  // Only the columns the statement names are kept: every later take, filter and join then
  // moves those alone.
  std::vector<int> kept;
  for (int i = 0; i < batch->num_columns(); ++i) {
    if (pushdown.columns == nullptr ||
        pushdown.columns->count(ascii_lower(batch->schema()->field(i)->name())) > 0) {
      kept.push_back(i);
    }
  }
  if (static_cast<int>(kept.size()) != batch->num_columns()) {
    ARROW_ASSIGN_OR_RAISE(batch, batch->SelectColumns(kept));
  }
  Frame frame{batch, scope_for(*batch->schema(), table_qualifier(ref))};
  if (rel->index) frame.index = std::make_shared<FrameIndex>(FrameIndex{rel->index, kept});
  if (pushdown.filters != nullptr) {
    ARROW_ASSIGN_OR_RAISE(frame, narrow_by_index(std::move(frame), *pushdown.filters));
  }
  return frame;
}

// The type the compute node gives a VALUES column: the widest of its constants' types (32-bit
// integers, then 64-bit, then doubles); NULLs alone have no type. Text and booleans take the
// first typed row's type; other mixtures are cast to it and fail where the node would differ.
std::shared_ptr<arrow::DataType> values_column_type(const std::vector<std::vector<ExprPtr>>& rows,
                                                    size_t c) {
  std::shared_ptr<arrow::DataType> type;
  int width = 0;  // 1 int32, 2 int64, 3 double
  for (const auto& row : rows) {
    const LiteralExpr& lit = *row[c]->as<LiteralExpr>();
    switch (lit.value.index()) {
      case 0:
        continue;
      case 1:
        if (!type) type = arrow::boolean();
        continue;
      case 2:
        width = std::max(width, lit.type == Type::Int32 ? 1 : 2);
        break;
      case 3:
        width = 3;
        break;
      default:
        if (!type) type = arrow::utf8();
        continue;
    }
    if (!type || arrow::is_integer(type->id()) || arrow::is_floating(type->id())) {
      type = width == 1 ? arrow::int32() : width == 2 ? arrow::int64() : arrow::float64();
    }
  }
  return type ? type : arrow::null();
}

}  // namespace

arrow::Result<Frame> materialize_values(const ValuesList& values) {
  if (values.rows.empty()) return arrow::Status::Invalid("VALUES list with no rows");
  const auto& first = values.rows.front();
  if (first.empty()) return arrow::Status::Invalid("VALUES list with no columns");
  const size_t ncols = first.size();
  for (const auto& row : values.rows) {
    if (row.size() != ncols) {
      return arrow::Status::Invalid("VALUES row has mismatched column count");
    }
    for (const auto& e : row) {
      if (!e || !e->as<LiteralExpr>()) {
        return arrow::Status::Invalid("VALUES with non-literal element");
      }
      if (is_decimal_constant(*e)) return decimal_output();
    }
  }
  std::vector<std::shared_ptr<arrow::DataType>> types(ncols);
  for (size_t c = 0; c < ncols; ++c) types[c] = values_column_type(values.rows, c);
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  for (size_t c = 0; c < ncols; ++c) {
    std::unique_ptr<arrow::ArrayBuilder> builder;
    ARROW_RETURN_NOT_OK(arrow::MakeBuilder(arrow::default_memory_pool(), types[c], &builder));
    for (const auto& row : values.rows) {
      ARROW_ASSIGN_OR_RAISE(auto s, literal_scalar(*row[c]->as<LiteralExpr>()));
      if (!s->type->Equals(*types[c])) {
        ARROW_ASSIGN_OR_RAISE(arrow::Datum cast,
                              cp::Cast(s, types[c], cp::CastOptions::Safe()));
        s = cast.scalar();
      }
      ARROW_RETURN_NOT_OK(builder->AppendScalar(*s));
    }
    ARROW_ASSIGN_OR_RAISE(auto arr, builder->Finish());
    // Unnamed columns are col0, col1, ... as the compute node names them.
    std::string name = c < values.column_names.size() ? values.column_names[c]
                                                      : "col" + std::to_string(c);
    fields.push_back(arrow::field(name, types[c], /*nullable=*/true));
    arrays.push_back(std::move(arr));
  }
  auto schema = arrow::schema(fields);
  auto batch =
      arrow::RecordBatch::Make(schema, static_cast<int64_t>(values.rows.size()), arrays);
  return Frame{batch, scope_for(*schema, ascii_lower(values.alias.value_or("")))};
}

arrow::Result<Frame> materialize_tableref(const TableRef& ref, const MetadataEngine& engine,
                                          const Pushdown& pushdown) {
  if (std::holds_alternative<BaseTable>(ref.node)) return materialize_base(ref, engine, pushdown);
  if (const auto* join = std::get_if<std::unique_ptr<JoinRef>>(&ref.node)) {
    if (!*join) return arrow::Status::Invalid("invalid join (null pointer)");
    return materialize_join(**join, engine, pushdown);
  }
  if (const auto* sub = std::get_if<std::unique_ptr<SelectStatement>>(&ref.node)) {
    if (!*sub) return arrow::Status::Invalid("invalid subquery (null SelectStatement)");
    ARROW_ASSIGN_OR_RAISE(auto batch, materialize_subquery(**sub, engine));
    batch = with_unique_names(batch);
    Frame frame{batch, scope_for(*batch->schema(), table_qualifier(ref))};
    // A table the engine joined in for a subquery is reachable only through its own name.
    if (ref.hidden) {
      for (auto& c : frame.scope) c.hidden = true;
    }
    return frame;
  }
  return materialize_values(std::get<ValuesList>(ref.node));
}

}  // namespace nv_sql
