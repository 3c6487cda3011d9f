// Joins of two FROM items. Matching row pairs come from a hash join over the key columns (or a
// cross product when there is no key, join_pairs.cc); the residual ON conjuncts then filter the
// pairs, and only after that are the unmatched rows of outer joins added and semi / anti joins
// decided. Residuals therefore keep SQL's ON semantics for every join kind: a LEFT JOIN row
// whose right partners all fail a residual is kept with nulls on the right.

#include <arrow/compute/api.h>

#include "sql/engine_ops_internal.h"

namespace nv_sql {

namespace cp = arrow::compute;

namespace {

// Both sides' columns under their own names, repeated where both sides have one, as the
// compute node shows them; references find them through the frame's scope.
arrow::FieldVector joined_fields(const arrow::Schema& l, const arrow::Schema& r) {
  arrow::FieldVector out = l.fields();
  out.insert(out.end(), r.fields().begin(), r.fields().end());
  return out;
}

arrow::Result<arrow::ArrayVector> take_columns(const std::shared_ptr<arrow::RecordBatch>& batch,
                                               const std::shared_ptr<arrow::Array>& idx) {
  ARROW_ASSIGN_OR_RAISE(auto taken, take_batch(batch, idx));
  return taken->columns();
}

arrow::Result<arrow::ArrayVector> null_columns(const arrow::Schema& schema, int64_t n) {
  arrow::ArrayVector out;
  for (const auto& f : schema.fields()) {
    ARROW_ASSIGN_OR_RAISE(auto a, arrow::MakeArrayOfNull(f->type(), n));
    out.push_back(std::move(a));
  }
  return out;
}

arrow::Result<std::shared_ptr<arrow::Array>> rows_where(const std::vector<uint8_t>& flags,
                                                        bool want) {
  arrow::Int64Builder b;
  for (size_t i = 0; i < flags.size(); ++i) {
    if ((flags[i] != 0) == want) ARROW_RETURN_NOT_OK(b.Append(static_cast<int64_t>(i)));
  }
  return b.Finish();
}

std::vector<uint8_t> matched_flags(const arrow::Array& rows, int64_t n) {
  std::vector<uint8_t> flags(static_cast<size_t>(n), 0);
  const auto& a = static_cast<const arrow::Int64Array&>(rows);
  for (int64_t i = 0; i < a.length(); ++i) flags[static_cast<size_t>(a.Value(i))] = 1;
  return flags;
}

// The frame's columns whose names are in `names`.
arrow::Result<Frame> keep_columns(const Frame& frame,
                                  const std::unordered_set<std::string>& names) {
  if (frame.scope.size() != static_cast<size_t>(frame.batch->num_columns())) return frame;
  std::vector<int> kept;
  std::vector<ColumnScope> scope;
  for (size_t i = 0; i < frame.scope.size(); ++i) {
    if (names.count(frame.scope[i].name) == 0) continue;
    kept.push_back(static_cast<int>(i));
    scope.push_back(frame.scope[i]);
  }
  if (kept.size() == frame.scope.size()) return frame;
  ARROW_ASSIGN_OR_RAISE(auto batch, frame.batch->SelectColumns(kept));
  return Frame{batch, std::move(scope)};
}

// The column of one side a reference denotes, or -1.
int side_index(const Frame& side, const ColumnRef& ref) {
  auto r = resolve_column(side, ref);
  return r.ok() ? *r : -1;
}

void split_rec(const Expr* e, const Frame& left, const Frame& right, bool right_first,
               std::vector<JoinKey>* keys, std::vector<const Expr*>* residuals) {
  if (e == nullptr) return;
  if (const auto* l = e->as<LogicExpr>(); l && l->op == LogicOp::And) {
    split_rec(l->lhs.get(), left, right, right_first, keys, residuals);
    split_rec(l->rhs.get(), left, right, right_first, keys, residuals);
    return;
  }
  if (const auto* c = e->as<CmpExpr>(); c && c->op == CmpOp::Eq) {
    const auto* a = c->lhs ? c->lhs->as<ColumnRef>() : nullptr;
    const auto* b = c->rhs ? c->rhs->as<ColumnRef>() : nullptr;
    if (a && b && right_first) {
      // A decorrelated subquery's condition: a column binds to the inner (right) side when it
      // can, as it did inside the subquery.
      int ar = side_index(right, *a), br = side_index(right, *b);
      if (ar >= 0 && br < 0) {
        int bl = side_index(left, *b);
        if (bl >= 0) {
          keys->push_back({bl, ar});
          return;
        }
      } else if (br >= 0 && ar < 0) {
        int al = side_index(left, *a);
        if (al >= 0) {
          keys->push_back({al, br});
          return;
        }
      }
    } else if (a && b) {
      int al = side_index(left, *a), br = side_index(right, *b);
      if (al >= 0 && br >= 0) {
        keys->push_back({al, br});
        return;
      }
      int ar = side_index(right, *a), bl = side_index(left, *b);
      if (ar >= 0 && bl >= 0) {
        keys->push_back({bl, ar});
        return;
      }
    }
  }
  residuals->push_back(e);
}

void column_refs(const Expr& e, std::vector<const ColumnRef*>* out) {
  if (const auto* c = e.as<ColumnRef>()) out->push_back(c);
  for_each_child(e, [&](const Expr& child) { column_refs(child, out); });
}

// Applies the filters that reference only `side`'s columns (and none that `other` could also
// bind) to `side`. A filter that fails to evaluate here is simply not applied early.
Frame apply_pushed(Frame side, const Frame& other, const std::vector<const Expr*>& filters) {
  for (const Expr* f : filters) {
    std::vector<const ColumnRef*> refs;
    column_refs(*f, &refs);
    if (refs.empty()) continue;
    bool here = true;
    for (const auto* r : refs) {
      here = here && side_index(side, *r) >= 0 && side_index(other, *r) < 0;
    }
    if (!here) continue;
    auto filtered = apply_predicate(side, *f);
    if (filtered.ok()) side = std::move(*filtered);
  }
  return side;
}

bool pushable(const Expr& e) {
  if (e.as<ExistsExpr>() || e.as<ScalarSubqueryExpr>() || e.as<AggExpr>() || e.as<StarExpr>()) {
    return false;
  }
  if (const auto* in = e.as<InExpr>(); in && in->subquery) return false;
  bool ok = true;
  for_each_child(e, [&](const Expr& child) { ok = ok && pushable(child); });
  return ok;
}

}  // namespace

void conjuncts_of(const Expr* e, std::vector<const Expr*>* out) {
  if (e == nullptr) return;
  if (const auto* l = e->as<LogicExpr>(); l && l->op == LogicOp::And) {
    conjuncts_of(l->lhs.get(), out);
    conjuncts_of(l->rhs.get(), out);
    return;
  }
  out->push_back(e);
}

std::vector<const Expr*> pushable_conjuncts(const Expr* where) {
  std::vector<const Expr*> all;
  conjuncts_of(where, &all);
  std::vector<const Expr*> out;
  for (const Expr* e : all) {
    if (pushable(*e)) out.push_back(e);
  }
  return out;
}

void split_join_predicate(const Expr* on, const Frame& left, const Frame& right,
                          std::vector<JoinKey>* keys, std::vector<const Expr*>* residuals,
                          bool right_first) {
  split_rec(on, left, right, right_first, keys, residuals);
}

arrow::Result<Frame> materialize_join(const JoinRef& join, const MetadataEngine& engine,
                                      const Pushdown& pushdown) {
  if (!join.left || !join.right) return arrow::Status::Invalid("join with null side");
  // WHERE conjuncts over one side may filter that side first when the join cannot bring the
  // filtered rows back: both sides of inner and cross joins, the preserved side of an outer
  // join, the outer side of semi and anti joins.
  const std::vector<const Expr*>* filters = pushdown.filters;
  const JoinKind kind = join.kind;
  const bool inner = kind == JoinKind::Inner || kind == JoinKind::Cross;
  const bool push_left = filters && !filters->empty() &&
                         (inner || kind == JoinKind::Left || kind == JoinKind::Semi ||
                          kind == JoinKind::Anti);
  const bool push_right = filters && !filters->empty() && (inner || kind == JoinKind::Right);
  const auto inputs = join_input_columns(join, pushdown.columns);
  const auto* side_columns = inputs ? &*inputs : nullptr;
  const Pushdown left_pushdown{push_left ? filters : nullptr, side_columns};
  const Pushdown right_pushdown{push_right ? filters : nullptr, side_columns};
  ARROW_ASSIGN_OR_RAISE(Frame left,
                        materialize_tableref(*join.left, engine, left_pushdown));
  bool left_filtered = false;
  if (SelectStatement* derived = derived_right(join)) {
    // The left side is filtered before the derived table runs, so that its keys are few.
    if (push_left) {
      if (auto probe = derived_scope(*join.right)) {
        left = apply_pushed(std::move(left), *probe, *filters);
        left_filtered = true;
      }
    }
    push_join_keys(join, *derived, left);
  }
  ARROW_ASSIGN_OR_RAISE(Frame right,
                        materialize_tableref(*join.right, engine, right_pushdown));
  if (push_left && !left_filtered) left = apply_pushed(std::move(left), right, *filters);
  if (push_right) right = apply_pushed(std::move(right), left, *filters);

  // Semi and anti joins come from subqueries: their condition is the subquery's own.
  const bool semi_anti = kind == JoinKind::Semi || kind == JoinKind::Anti;
  std::vector<JoinKey> keys;
  std::vector<const Expr*> residuals;
  split_join_predicate(join.on.get(), left, right, &keys, &residuals, semi_anti);
  if (semi_anti) {
    // Conjuncts over the subquery's own rows filter them before the join: fewer pairs to
    // build and to test.
    std::vector<const Expr*> inner_only, rest;
    for (const Expr* r : residuals) {
      std::vector<const ColumnRef*> refs;
      column_refs(*r, &refs);
      bool mine = true;
      for (const auto* ref : refs) mine = mine && side_index(right, *ref) >= 0;
      (mine ? inner_only : rest).push_back(r);
    }
    ARROW_ASSIGN_OR_RAISE(right, narrow_by_index(std::move(right), inner_only));
    for (const Expr* r : inner_only) {
      ARROW_ASSIGN_OR_RAISE(right, apply_predicate(right, *r));
    }
    residuals = std::move(rest);
  }
  if (inner && filters) {
    // An equality of a WHERE conjunct across the two sides of an inner or cross join is a
    // hash key as good as one in ON (WHERE still checks it): FROM a, b WHERE a.x = b.y needs
    // no cross product.
    std::vector<const Expr*> ignored;
    for (const Expr* f : *filters) {
      if (f->as<CmpExpr>()) split_join_predicate(f, left, right, &keys, &ignored, false);
    }
  }
  // USING and NATURAL columns are merged into one output column each. NATURAL keys are the
  // left side's visible column names (lowered) that name a visible right column ignoring ASCII
  // case, so "Name" and "name" join; each name is used once.
  std::vector<JoinKey> merged;
  if (join.natural) {
    for (size_t i = 0; i < left.scope.size(); ++i) {
      if (left.scope[i].hidden) continue;
      int r = side_index(right, ColumnRef{"", left.scope[i].name});
      bool dup = false;
      for (const auto& m : merged) dup = dup || left.scope[m.left].name == left.scope[i].name;
      if (r >= 0 && !dup) merged.push_back({static_cast<int>(i), r});
    }
  }
  for (const auto& col : join.using_columns) {
    int l = side_index(left, ColumnRef{"", col});
    int r = side_index(right, ColumnRef{"", col});
    if (l < 0 || r < 0) {
      return arrow::Status::Invalid("USING column not found on both sides: " + col);
    }
    merged.push_back({l, r});
  }
  keys.insert(keys.end(), merged.begin(), merged.end());

  const int64_t n = left.batch->num_rows();
  const int64_t m = right.batch->num_rows();
  ARROW_ASSIGN_OR_RAISE(Pairs pairs, join_pairs(left, right, keys));
  if (pushdown.columns != nullptr && merged.empty()) {
    // With the pairs found, the sides need only the columns above the join and those its
    // residual conditions read: the others are never taken.
    std::unordered_set<std::string> needed = *pushdown.columns;
    for (const Expr* r : residuals) {
      std::vector<const ColumnRef*> refs;
      column_refs(*r, &refs);
      for (const auto* ref : refs) needed.insert(ascii_lower(ref->column));
    }
    ARROW_ASSIGN_OR_RAISE(left, keep_columns(left, needed));
    ARROW_ASSIGN_OR_RAISE(right, keep_columns(right, needed));
  }

  auto fields = joined_fields(*left.batch->schema(), *right.batch->schema());
  auto schema = arrow::schema(fields);
  std::vector<ColumnScope> scope = left.scope;
  if (semi_anti) {
    for (auto& c : scope) c.outer = true;
  }
  scope.insert(scope.end(), right.scope.begin(), right.scope.end());

  auto pair_frame = [&](const Pairs& p) -> arrow::Result<Frame> {
    ARROW_ASSIGN_OR_RAISE(auto cols, take_columns(left.batch, p.left));
    ARROW_ASSIGN_OR_RAISE(auto rcols, take_columns(right.batch, p.right));
    cols.insert(cols.end(), rcols.begin(), rcols.end());
    return Frame{arrow::RecordBatch::Make(schema, p.left->length(), cols), scope};
  };
  auto semi_anti_result = [&]() -> arrow::Result<Frame> {
    // The outer rows that have (semi) or lack (anti) a partner, in their own order and with
    // their own columns only.
    auto flags = matched_flags(*pairs.left, n);
    ARROW_ASSIGN_OR_RAISE(auto rows, rows_where(flags, kind == JoinKind::Semi));
    ARROW_ASSIGN_OR_RAISE(auto cols, take_columns(left.batch, rows));
    return Frame{arrow::RecordBatch::Make(left.batch->schema(), rows->length(), cols),
                 left.scope};
  };
  if (semi_anti && residuals.empty()) return semi_anti_result();
  ARROW_ASSIGN_OR_RAISE(Frame joined, pair_frame(pairs));

  for (const Expr* residual : residuals) {
    ExprEval ev(joined);
    ARROW_ASSIGN_OR_RAISE(auto value, ev.eval(*residual));
    ARROW_ASSIGN_OR_RAISE(auto mask, to_mask(value, joined.batch->num_rows()));
    cp::FilterOptions drop(cp::FilterOptions::DROP);
    ARROW_ASSIGN_OR_RAISE(arrow::Datum fl, cp::Filter(pairs.left, mask, drop));
    ARROW_ASSIGN_OR_RAISE(arrow::Datum fr, cp::Filter(pairs.right, mask, drop));
    pairs.left = fl.make_array();
    pairs.right = fr.make_array();
    ARROW_ASSIGN_OR_RAISE(joined, filter_frame(joined, mask));
  }

  if (semi_anti) return semi_anti_result();
  if (join.at_most_one) {
    std::vector<uint8_t> seen(static_cast<size_t>(n), 0);
    const auto& rows = static_cast<const arrow::Int64Array&>(*pairs.left);
    for (int64_t i = 0; i < rows.length(); ++i) {
      if (seen[static_cast<size_t>(rows.Value(i))]++) {
        return arrow::Status::Invalid("scalar subquery returned more than one row");
      }
    }
  }

  std::vector<arrow::ArrayVector> parts{joined.batch->columns()};
  int64_t total = joined.batch->num_rows();
  if (join.kind == JoinKind::Left || join.kind == JoinKind::Full) {
    ARROW_ASSIGN_OR_RAISE(auto rows, rows_where(matched_flags(*pairs.left, n), false));
    ARROW_ASSIGN_OR_RAISE(auto cols, take_columns(left.batch, rows));
    ARROW_ASSIGN_OR_RAISE(auto nulls, null_columns(*right.batch->schema(), rows->length()));
    cols.insert(cols.end(), nulls.begin(), nulls.end());
    parts.push_back(std::move(cols));
    total += rows->length();
  }
  if (join.kind == JoinKind::Right || join.kind == JoinKind::Full) {
    ARROW_ASSIGN_OR_RAISE(auto rows, rows_where(matched_flags(*pairs.right, m), false));
    ARROW_ASSIGN_OR_RAISE(auto cols, null_columns(*left.batch->schema(), rows->length()));
    ARROW_ASSIGN_OR_RAISE(auto rcols, take_columns(right.batch, rows));
    cols.insert(cols.end(), rcols.begin(), rcols.end());
    parts.push_back(std::move(cols));
    total += rows->length();
  }
  arrow::ArrayVector columns;
  if (parts.size() == 1) {
    columns = parts.front();
  } else {
    for (size_t c = 0; c < fields.size(); ++c) {
      arrow::ArrayVector pieces;
      for (const auto& p : parts) pieces.push_back(p[c]);
      ARROW_ASSIGN_OR_RAISE(auto col, arrow::Concatenate(pieces));
      columns.push_back(std::move(col));
    }
  }
  if (merged.empty()) {
    return Frame{arrow::RecordBatch::Make(schema, total, columns), scope};
  }

  // USING / NATURAL: each left column in its place, a merged one as the joined value (the
  // left value, the right one for RIGHT JOIN, the first non-null for FULL JOIN) followed by the
  // left table's own column, hidden from a bare * but reachable through its qualifier; then
  // the right columns, the merged ones hidden likewise. Names are the tables' own, repeated
  // where both sides have one, as the compute node shows them.
  const int nleft = left.batch->num_columns();
  std::vector<int> merged_at(static_cast<size_t>(nleft), -1);  // left column -> its right key
  std::vector<uint8_t> right_merged(static_cast<size_t>(right.batch->num_columns()), 0);
  for (const auto& k : merged) {
    if (merged_at[static_cast<size_t>(k.left)] >= 0) {
      return arrow::Status::Invalid("join column named twice: " + left.scope[k.left].name);
    }
    merged_at[static_cast<size_t>(k.left)] = k.right;
    right_merged[static_cast<size_t>(k.right)] = 1;
  }
  arrow::FieldVector out_fields;
  arrow::ArrayVector out_cols;
  std::vector<ColumnScope> out_scope;
  for (int c = 0; c < nleft; ++c) {
    const auto& field = left.batch->schema()->field(c);
    const int r = merged_at[static_cast<size_t>(c)];
    ColumnScope own = scope[c];
    if (r >= 0) {
      auto lcol = columns[c];
      auto rcol = columns[nleft + r];
      std::shared_ptr<arrow::Array> col = join.kind == JoinKind::Right ? rcol : lcol;
      if (join.kind == JoinKind::Full) {
        ARROW_RETURN_NOT_OK(align_key_types(&lcol, &rcol));
        ARROW_ASSIGN_OR_RAISE(arrow::Datum d, cp::CallFunction("coalesce", {lcol, rcol}));
        col = d.make_array();
      }
      out_fields.push_back(arrow::field(field->name(), col->type(), true));
      out_cols.push_back(col);
      out_scope.push_back(ColumnScope{own.name, {}, false});
      own.hidden = true;
    }
    out_fields.push_back(field);
    out_cols.push_back(columns[c]);
    out_scope.push_back(std::move(own));
  }
  for (int c = 0; c < right.batch->num_columns(); ++c) {
    ColumnScope own = scope[nleft + c];
    own.hidden = own.hidden || right_merged[static_cast<size_t>(c)] != 0;
    out_fields.push_back(right.batch->schema()->field(c));
    out_cols.push_back(columns[nleft + c]);
    out_scope.push_back(std::move(own));
  }
  return Frame{arrow::RecordBatch::Make(arrow::schema(out_fields), total, out_cols),
               std::move(out_scope)};
}

}  // namespace nv_sql
