// Name lookups in place of scans. A base table materialised with all its rows keeps the name
// index of its relation; WHERE conjuncts and join keys over indexed columns then find their
// rows by binary search, and only those rows are taken. A lookup returns a superset of the
// rows that satisfy its conjunct (it ignores ASCII case), so the conjunct is still evaluated
// afterwards on the rows found: the lookup only decides which rows are looked at.

#include <algorithm>
#include <atomic>
#include <iterator>

#include <arrow/compute/api.h>

#include "sql/engine_ops_internal.h"

namespace nv_sql {

namespace cp = arrow::compute;

namespace {

using Rows = std::vector<int32_t>;

std::atomic<uint64_t> index_uses{0};

// A lookup keeping more than this share of the rows is not worth the take that follows it.
constexpr int64_t kNarrowNumerator = 3;
constexpr int64_t kNarrowDenominator = 4;

// The indexed column an operand denotes: a column reference, or lower() / upper() of one
// (`folded` is then set: the index's ASCII folding is a superset for ASCII values only).
const NameIndex* operand_index(const Frame& frame, const Expr* e, bool* folded) {
  if (e == nullptr || !frame.index) return nullptr;
  *folded = false;
  if (const auto* f = e->as<FuncExpr>()) {
    if ((f->name != "lower" && f->name != "upper") || f->args.size() != 1) return nullptr;
    *folded = true;
    e = f->args[0].get();
    if (e == nullptr) return nullptr;
  }
  const auto* ref = e->as<ColumnRef>();
  if (ref == nullptr) return nullptr;
  auto col = resolve_column(frame, *ref);
  if (!col.ok()) return nullptr;
  return frame.index->index->column(frame.index->columns[static_cast<size_t>(*col)]);
}

const std::string* string_literal(const Expr* e, bool* is_null) {
  const auto* lit = e ? e->as<LiteralExpr>() : nullptr;
  if (lit == nullptr) return nullptr;
  *is_null = lit->value.index() == 0;
  return std::get_if<std::string>(&lit->value);
}

Rows merged(Rows a, const Rows& b) {
  Rows out;
  out.reserve(a.size() + b.size());
  std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

// Values that Unicode case mapping may turn into ASCII text are candidates for every folded
// lookup.
Rows with_non_ascii(Rows rows, const NameIndex& index, bool folded) {
  return folded ? merged(std::move(rows), index.non_ascii()) : rows;
}

std::optional<Rows> lookup_like(const Frame& frame, const LikeExpr& like, size_t limit) {
  bool folded = false;
  const NameIndex* index = operand_index(frame, like.value.get(), &folded);
  bool is_null = false;
  const std::string* pattern = string_literal(like.pattern.get(), &is_null);
  if (index == nullptr || pattern == nullptr) return std::nullopt;
  std::string text = *pattern;
  if (like.case_insensitive) {
    // ILIKE compares lowered text: the lookup uses the pattern as the evaluator lowers it.
    auto lowered = unicode_lower(text);
    if (!lowered.ok()) return std::nullopt;
    text = std::move(*lowered);
    folded = true;
  }
  const LikePrefix p = like_prefix(text, like.escape);
  if (p.wildcard && p.text.empty()) return std::nullopt;
  Rows rows;
  const bool found = p.wildcard ? index->prefix(p.text, &rows, limit)
                                : index->equal(p.text, &rows, limit);
  if (!found) return std::nullopt;
  return with_non_ascii(std::move(rows), *index, folded);
}

std::optional<Rows> lookup_equal(const Frame& frame, const Expr* col, const Expr* value,
                                 size_t limit) {
  bool folded = false;
  const NameIndex* index = operand_index(frame, col, &folded);
  bool is_null = false;
  const std::string* key = string_literal(value, &is_null);
  if (index == nullptr || (key == nullptr && !is_null)) return std::nullopt;
  Rows rows;
  if (key != nullptr && !index->equal(*key, &rows, limit)) return std::nullopt;
  // (x = NULL holds for no row.)
  return with_non_ascii(std::move(rows), *index, folded);
}

std::optional<Rows> lookup_in(const Frame& frame, const InExpr& in, size_t limit) {
  if (in.subquery) return std::nullopt;
  bool folded = false;
  const NameIndex* index = operand_index(frame, in.lhs.get(), &folded);
  if (index == nullptr) return std::nullopt;
  Rows rows;
  for (const auto& item : in.list) {
    bool is_null = false;
    const std::string* key = string_literal(item.get(), &is_null);
    if (key == nullptr && !is_null) return std::nullopt;
    if (key == nullptr) continue;
    if (rows.size() > limit || !index->equal(*key, &rows, limit - rows.size())) {
      return std::nullopt;
    }
  }
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return with_non_ascii(std::move(rows), *index, folded);
}

}  // namespace

std::optional<std::vector<int32_t>> index_lookup(const Frame& frame, const Expr& e, size_t limit) {
  if (!frame.index) return std::nullopt;
  if (const auto* l = e.as<LogicExpr>()) {
    if (!l->lhs || !l->rhs) return std::nullopt;
    auto a = index_lookup(frame, *l->lhs, limit);
    if (l->op == LogicOp::Or) {
      // Either side past the limit puts the union past it.
      if (!a) return std::nullopt;
      auto b = index_lookup(frame, *l->rhs, limit);
      if (!b) return std::nullopt;
      Rows both = merged(std::move(*a), *b);
      if (both.size() > limit) return std::nullopt;
      return both;
    }
    // AND: the rows of either side hold those of both; the smaller one is kept.
    auto b = index_lookup(frame, *l->rhs, a ? a->size() : limit);
    return b ? b : a;
  }
  if (const auto* c = e.as<CmpExpr>(); c && c->op == CmpOp::Eq) {
    auto rows = lookup_equal(frame, c->lhs.get(), c->rhs.get(), limit);
    return rows ? rows : lookup_equal(frame, c->rhs.get(), c->lhs.get(), limit);
  }
  if (const auto* in = e.as<InExpr>()) return lookup_in(frame, *in, limit);
  if (const auto* like = e.as<LikeExpr>()) return lookup_like(frame, *like, limit);
  return std::nullopt;
}

arrow::Result<Frame> narrow_by_index(Frame frame, const std::vector<const Expr*>& conjuncts) {
  if (!frame.index) return frame;
  // A lookup stops once it finds more rows than the best so far, and the first rounds allow few
  // rows: a broad conjunct (a schema name) then costs a binary search beside a narrow one (a
  // table name), whatever their order.
  const int64_t n = frame.batch->num_rows();
  size_t limit = static_cast<size_t>(n * kNarrowNumerator / kNarrowDenominator);
  std::optional<Rows> best;
  for (size_t round : {size_t{64}, size_t{4096}, limit}) {
    for (const Expr* c : conjuncts) {
      if (c == nullptr) continue;
      auto rows = index_lookup(frame, *c, std::min(round, limit));
      if (rows && (!best || rows->size() < best->size())) {
        limit = rows->size();
        best = std::move(rows);
      }
    }
    if (best) {
      note_index_use();
      return take_rows(frame, *best);
    }
  }
  return frame;
}

void note_index_use() { index_uses.fetch_add(1, std::memory_order_relaxed); }

uint64_t index_uses_for_test() { return index_uses.load(std::memory_order_relaxed); }

arrow::Result<Frame> take_rows(const Frame& frame, const std::vector<int32_t>& rows) {
  const auto n = static_cast<int64_t>(rows.size());
  if (frame.batch->num_columns() == 0) {
    return Frame{arrow::RecordBatch::Make(frame.batch->schema(), n, arrow::ArrayVector{}),
                 frame.scope};
  }
  arrow::Int32Builder b;
  ARROW_RETURN_NOT_OK(b.AppendValues(rows));
  ARROW_ASSIGN_OR_RAISE(auto indices, b.Finish());
  ARROW_ASSIGN_OR_RAISE(auto taken, take_batch(frame.batch, indices));
  return Frame{taken, frame.scope};
}

}  // namespace nv_sql
