// Joins of two FROM items. Matching row pairs come from an Acero hash join over the key
// columns (or a cross product when there is no key); the residual ON conjuncts then filter the
// pairs, and only after that are the unmatched rows of outer joins added and semi / anti joins
// decided. Residuals therefore keep SQL's ON semantics for every join kind: a LEFT JOIN row
// whose right partners all fail a residual is kept with nulls on the right.

#include <arrow/acero/exec_plan.h>
#include <arrow/acero/options.h>
#include <arrow/compute/api.h>
#include <arrow/compute/expression.h>

#include "sql/engine_ops_internal.h"

namespace nv_sql {

namespace cp = arrow::compute;
namespace ac = arrow::acero;

namespace {

// Joins without an equality key run as a cross product followed by the residual filter; past
// this many row pairs the statement is left to the compute node.
constexpr int64_t kMaxCrossPairs = 1'000'000;

bool is_num(const arrow::DataType& t) {
  return arrow::is_integer(t.id()) || arrow::is_floating(t.id());
}

// Key columns of both sides cast to one type where Arrow's hash join would refuse the pair.
arrow::Status align_key_types(std::shared_ptr<arrow::Array>* l, std::shared_ptr<arrow::Array>* r) {
  const auto& lt = (*l)->type();
  const auto& rt = (*r)->type();
  if (lt->Equals(*rt)) return arrow::Status::OK();
  std::shared_ptr<arrow::DataType> target;
  if (is_num(*lt) && is_num(*rt)) {
    target = arrow::is_floating(lt->id()) || arrow::is_floating(rt->id()) ? arrow::float64()
                                                                          : arrow::int64();
  } else if (arrow::is_base_binary_like(lt->id()) && arrow::is_base_binary_like(rt->id())) {
    target = arrow::large_utf8();
  } else {
    return arrow::Status::OK();  // left to Acero to accept or refuse
  }
  if (!lt->Equals(*target)) {
    ARROW_ASSIGN_OR_RAISE(arrow::Datum d, cp::Cast(*l, target, cp::CastOptions::Safe()));
    *l = d.make_array();
  }
  if (!rt->Equals(*target)) {
    ARROW_ASSIGN_OR_RAISE(arrow::Datum d, cp::Cast(*r, target, cp::CastOptions::Safe()));
    *r = d.make_array();
  }
  return arrow::Status::OK();
}

arrow::Result<std::shared_ptr<arrow::Array>> iota(int64_t n) {
  arrow::Int64Builder b;
  ARROW_RETURN_NOT_OK(b.Reserve(n));
  for (int64_t i = 0; i < n; ++i) b.UnsafeAppend(i);
  return b.Finish();
}

struct Pairs {
  std::shared_ptr<arrow::Array> left;   // int64 row numbers of the left frame
  std::shared_ptr<arrow::Array> right;  // int64 row numbers of the right frame
};

arrow::Result<Pairs> hash_join_pairs(const Frame& left, const Frame& right,
                                     const std::vector<JoinKey>& keys) {
  arrow::FieldVector lf, rf;
  arrow::ArrayVector la, ra;
  std::vector<arrow::FieldRef> lkeys, rkeys;
  for (size_t i = 0; i < keys.size(); ++i) {
    auto l = left.batch->column(keys[i].left);
    auto r = right.batch->column(keys[i].right);
    ARROW_RETURN_NOT_OK(align_key_types(&l, &r));
    const std::string ln = "lk" + std::to_string(i);
    const std::string rn = "rk" + std::to_string(i);
    lf.push_back(arrow::field(ln, l->type()));
    rf.push_back(arrow::field(rn, r->type()));
    la.push_back(l);
    ra.push_back(r);
    lkeys.emplace_back(ln);
    rkeys.emplace_back(rn);
  }
  ARROW_ASSIGN_OR_RAISE(auto lrow, iota(left.batch->num_rows()));
  ARROW_ASSIGN_OR_RAISE(auto rrow, iota(right.batch->num_rows()));
  lf.push_back(arrow::field("__l", arrow::int64()));
  rf.push_back(arrow::field("__r", arrow::int64()));
  la.push_back(lrow);
  ra.push_back(rrow);
  auto ltable = arrow::Table::Make(arrow::schema(lf), la, left.batch->num_rows());
  auto rtable = arrow::Table::Make(arrow::schema(rf), ra, right.batch->num_rows());
  // Acero builds its hash table on the right input: give it the smaller side.
  if (ltable->num_rows() < rtable->num_rows()) {
    std::swap(ltable, rtable);
    std::swap(lkeys, rkeys);
  }
  constexpr int64_t kMaxBatch = 1 << 20;
  ac::Declaration lsrc("table_source", ac::TableSourceNodeOptions(ltable, kMaxBatch));
  ac::Declaration rsrc("table_source", ac::TableSourceNodeOptions(rtable, kMaxBatch));
  ac::HashJoinNodeOptions opts(ac::JoinType::INNER, lkeys, rkeys, cp::literal(true), "",
                               "_right");
  ac::Declaration join("hashjoin", {std::move(lsrc), std::move(rsrc)}, std::move(opts));
  ARROW_ASSIGN_OR_RAISE(auto out, ac::DeclarationToTable(std::move(join), /*use_threads=*/true));
  auto lcol = out->GetColumnByName("__l");
  auto rcol = out->GetColumnByName("__r");
  if (!lcol || !rcol) return arrow::Status::Invalid("hash join lost its row numbers");
  Pairs p;
  if (lcol->num_chunks() == 0) {
    ARROW_ASSIGN_OR_RAISE(p.left, arrow::MakeEmptyArray(arrow::int64()));
    ARROW_ASSIGN_OR_RAISE(p.right, arrow::MakeEmptyArray(arrow::int64()));
    return p;
  }
  ARROW_ASSIGN_OR_RAISE(p.left, arrow::Concatenate(lcol->chunks()));
  ARROW_ASSIGN_OR_RAISE(p.right, arrow::Concatenate(rcol->chunks()));
  return p;
}

arrow::Result<Pairs> cross_pairs(int64_t n, int64_t m, std::string* msg) {
  if (n > 0 && m > kMaxCrossPairs / n) {
    return fail(msg, "cross join too large for the metadata path");
  }
  arrow::Int64Builder lb, rb;
  ARROW_RETURN_NOT_OK(lb.Reserve(n * m));
  ARROW_RETURN_NOT_OK(rb.Reserve(n * m));
  for (int64_t i = 0; i < n; ++i) {
    for (int64_t j = 0; j < m; ++j) {
      lb.UnsafeAppend(i);
      rb.UnsafeAppend(j);
    }
  }
  Pairs p;
  ARROW_ASSIGN_OR_RAISE(p.left, lb.Finish());
  ARROW_ASSIGN_OR_RAISE(p.right, rb.Finish());
  return p;
}

// Right-side names that collide (ignoring ASCII case) with a left name get "_right".
arrow::FieldVector joined_fields(const arrow::Schema& l, const arrow::Schema& r) {
  arrow::FieldVector out = l.fields();
  for (const auto& f : r.fields()) {
    bool clash = false;
    const std::string name = ascii_lower(f->name());
    for (const auto& lf : l.fields()) clash = clash || ascii_lower(lf->name()) == name;
    out.push_back(clash ? f->WithName(f->name() + "_right") : f);
  }
  return out;
}

arrow::Result<arrow::ArrayVector> take_columns(const std::shared_ptr<arrow::RecordBatch>& batch,
                                               const std::shared_ptr<arrow::Array>& idx) {
  ARROW_ASSIGN_OR_RAISE(arrow::Datum taken, cp::Take(batch, idx));
  return taken.record_batch()->columns();
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

// Resolves a column against one side without recording a message.
int side_index(const Frame& side, const ColumnRef& ref) {
  auto r = resolve_column(side, ref, nullptr);
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
    std::string local;
    auto filtered = apply_predicate(side, *f, &local);
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

void conjuncts(const Expr* e, std::vector<const Expr*>* out) {
  if (e == nullptr) return;
  if (const auto* l = e->as<LogicExpr>(); l && l->op == LogicOp::And) {
    conjuncts(l->lhs.get(), out);
    conjuncts(l->rhs.get(), out);
    return;
  }
  if (pushable(*e)) out->push_back(e);
}

}  // namespace

std::vector<const Expr*> pushable_conjuncts(const Expr* where) {
  std::vector<const Expr*> out;
  conjuncts(where, &out);
  return out;
}

void split_join_predicate(const Expr* on, const Frame& left, const Frame& right,
                          std::vector<JoinKey>* keys, std::vector<const Expr*>* residuals,
                          bool right_first) {
  split_rec(on, left, right, right_first, keys, residuals);
}

arrow::Result<Frame> materialize_join(const JoinRef& join, const MetadataEngine& engine,
                                      std::string* msg, const std::vector<const Expr*>* filters) {
  if (!join.left || !join.right) return fail(msg, "join with null side");
  // WHERE conjuncts over one side may filter that side first when the join cannot bring the
  // filtered rows back: both sides of inner and cross joins, the preserved side of an outer
  // join, the outer side of semi and anti joins.
  const JoinKind kind = join.kind;
  const bool inner = kind == JoinKind::Inner || kind == JoinKind::Cross;
  const bool push_left = filters && !filters->empty() &&
                         (inner || kind == JoinKind::Left || kind == JoinKind::Semi ||
                          kind == JoinKind::Anti);
  const bool push_right = filters && !filters->empty() && (inner || kind == JoinKind::Right);
  ARROW_ASSIGN_OR_RAISE(Frame left, materialize_tableref(*join.left, engine, msg,
                                                         push_left ? filters : nullptr));
  ARROW_ASSIGN_OR_RAISE(Frame right, materialize_tableref(*join.right, engine, msg,
                                                          push_right ? filters : nullptr));
  if (push_left) left = apply_pushed(std::move(left), right, *filters);
  if (push_right) right = apply_pushed(std::move(right), left, *filters);

  // Semi and anti joins come from subqueries: their condition is the subquery's own.
  const bool semi_anti = kind == JoinKind::Semi || kind == JoinKind::Anti;
  std::vector<JoinKey> keys;
  std::vector<const Expr*> residuals;
  split_join_predicate(join.on.get(), left, right, &keys, &residuals, semi_anti);
  if (semi_anti) {
    // Conjuncts over the subquery's own rows filter them before the join: fewer pairs to
    // build and to test.
    std::vector<const Expr*> rest;
    for (const Expr* r : residuals) {
      std::vector<const ColumnRef*> refs;
      column_refs(*r, &refs);
      bool inner_only = true;
      for (const auto* ref : refs) inner_only = inner_only && side_index(right, *ref) >= 0;
      if (inner_only) {
        ARROW_ASSIGN_OR_RAISE(right, apply_predicate(right, *r, msg));
      } else {
        rest.push_back(r);
      }
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
    if (l < 0 || r < 0) return fail(msg, "USING column not found on both sides: " + col);
    merged.push_back({l, r});
  }
  keys.insert(keys.end(), merged.begin(), merged.end());

  const int64_t n = left.batch->num_rows();
  const int64_t m = right.batch->num_rows();
  Pairs pairs;
  if (keys.empty()) {
    ARROW_ASSIGN_OR_RAISE(pairs, cross_pairs(n, m, msg));
  } else {
    ARROW_ASSIGN_OR_RAISE(pairs, hash_join_pairs(left, right, keys));
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
    ExprEval ev(joined, msg);
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
        return fail(msg, "scalar subquery returned more than one row");
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

  // USING / NATURAL: the merged columns first (the left value, the right one for RIGHT JOIN,
  // the first non-null for FULL JOIN), then every column of both sides, the merged ones hidden
  // from a bare * but still reachable through their table's qualifier.
  const int nleft = left.batch->num_columns();
  arrow::FieldVector out_fields;
  arrow::ArrayVector out_cols;
  std::vector<ColumnScope> out_scope;
  for (const auto& k : merged) {
    auto lcol = columns[k.left];
    auto rcol = columns[nleft + k.right];
    std::shared_ptr<arrow::Array> col = lcol;
    if (join.kind == JoinKind::Right) col = rcol;
    if (join.kind == JoinKind::Full) {
      ARROW_RETURN_NOT_OK(align_key_types(&lcol, &rcol));
      ARROW_ASSIGN_OR_RAISE(arrow::Datum d, cp::CallFunction("coalesce", {lcol, rcol}));
      col = d.make_array();
    }
    out_fields.push_back(arrow::field(fields[k.left]->name(), col->type(), true));
    out_cols.push_back(col);
    out_scope.push_back(ColumnScope{scope[k.left].name, {}, false});
  }
  for (size_t c = 0; c < fields.size(); ++c) {
    ColumnScope s = scope[c];
    for (const auto& k : merged) {
      if (static_cast<int>(c) == k.left || static_cast<int>(c) == nleft + k.right) s.hidden = true;
    }
    out_fields.push_back(fields[c]);
    out_cols.push_back(columns[c]);
    out_scope.push_back(std::move(s));
  }
  return Frame{arrow::RecordBatch::Make(arrow::schema(out_fields), total, out_cols),
               std::move(out_scope)};
}

}  // namespace nv_sql
