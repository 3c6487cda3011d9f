// The row pairs of a join. Text and integer keys (the catalog's) are joined here: by name
// lookups when one side still holds an indexed relation and the other is small, else by hashing
// the smaller side and probing with the other. Other key types go to Acero's hash join; without
// a key every pair is formed.

#include <unordered_map>

#include <arrow/acero/exec_plan.h>
#include <arrow/acero/options.h>
#include <arrow/compute/api.h>
#include <arrow/compute/expression.h>

#include "sql/engine_ops_internal.h"
#include "sql/cells_internal.h"

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

}  // namespace

arrow::Status align_key_types(std::shared_ptr<arrow::Array>* l,
                              std::shared_ptr<arrow::Array>* r) {
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

namespace {

arrow::Result<std::shared_ptr<arrow::Array>> iota(int64_t n) {
  arrow::Int64Builder b;
  ARROW_RETURN_NOT_OK(b.Reserve(n));
  for (int64_t i = 0; i < n; ++i) b.UnsafeAppend(i);
  return b.Finish();
}

// Acero's hash join, for keys of any type its kernels accept.
arrow::Result<Pairs> acero_pairs(const Frame& left, const Frame& right,
                                 const std::vector<JoinKey>& keys) {
  ARROW_ASSIGN_OR_RAISE(auto lrow, iota(left.batch->num_rows()));
  ARROW_ASSIGN_OR_RAISE(auto rrow, iota(right.batch->num_rows()));
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
  lf.push_back(arrow::field("__l", arrow::int64()));
  rf.push_back(arrow::field("__r", arrow::int64()));
  la.push_back(lrow);
  ra.push_back(rrow);
  auto ltable = arrow::Table::Make(arrow::schema(lf), la, lrow->length());
  auto rtable = arrow::Table::Make(arrow::schema(rf), ra, rrow->length());
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

// One key column as the direct hash join reads it: text, or an integer widened to 64 bits.
class KeyColumn {
 public:
  static bool Readable(const arrow::DataType& t) {
    return is_text(t) || (arrow::is_integer(t.id()) && t.id() != arrow::Type::UINT64);
  }
  explicit KeyColumn(const arrow::Array& a) : a_(a), text_(!arrow::is_integer(a.type_id())) {}
  bool text() const { return text_; }
  bool null(int64_t r) const { return a_.IsNull(r); }
  std::string_view text_at(int64_t r) const { return nv_sql::text_at(a_, r); }
  int64_t int_at(int64_t r) const { return integer_at(a_, r); }


 private:
  const arrow::Array& a_;
  bool text_;
};

struct KeyRows {
  std::vector<KeyColumn> cols;

  bool any_null(int64_t r) const {
    for (const auto& c : cols) {
      if (c.null(r)) return true;
    }
    return false;
  }
  uint64_t hash(int64_t r) const {
    uint64_t h = 0x9e3779b97f4a7c15ull;
    for (const auto& c : cols) {
      const uint64_t v = c.text() ? std::hash<std::string_view>()(c.text_at(r))
                                  : static_cast<uint64_t>(c.int_at(r)) * 0xff51afd7ed558ccdull;
      h = (h ^ v) * 0x100000001b3ull + (h >> 29);
    }
    return h;
  }
  bool equal(int64_t r, const KeyRows& o, int64_t orow) const {
    for (size_t i = 0; i < cols.size(); ++i) {
      if (cols[i].text() ? cols[i].text_at(r) != o.cols[i].text_at(orow)
                         : cols[i].int_at(r) != o.cols[i].int_at(orow)) {
        return false;
      }
    }
    return true;
  }
};

// Whether every key pair is text with text or integer with integer.
bool direct_keys(const Frame& left, const Frame& right, const std::vector<JoinKey>& keys) {
  for (const auto& k : keys) {
    const auto& lt = *left.batch->column(k.left)->type();
    const auto& rt = *right.batch->column(k.right)->type();
    if (!KeyColumn::Readable(lt) || !KeyColumn::Readable(rt) ||
        arrow::is_integer(lt.id()) != arrow::is_integer(rt.id())) {
      return false;
    }
  }
  return true;
}

// Collects pairs; left rows and right rows in step.
struct PairBuilder {
  arrow::Int64Builder left, right;
  arrow::Status add(int64_t l, int64_t r) {
    ARROW_RETURN_NOT_OK(left.Append(l));
    return right.Append(r);
  }
  arrow::Result<Pairs> finish() {
    Pairs out;
    ARROW_ASSIGN_OR_RAISE(out.left, left.Finish());
    ARROW_ASSIGN_OR_RAISE(out.right, right.Finish());
    return out;
  }
};

// The hash join of `direct_keys` sides: the side with fewer rows is hashed, the other probes it
// in row order. Null keys match nothing; text compares byte by byte.
arrow::Result<Pairs> direct_pairs(const Frame& left, const Frame& right,
                                  const std::vector<JoinKey>& keys) {
  KeyRows lk, rk;
  for (const auto& k : keys) {
    lk.cols.emplace_back(*left.batch->column(k.left));
    rk.cols.emplace_back(*right.batch->column(k.right));
  }
  const bool build_left = left.batch->num_rows() < right.batch->num_rows();
  const KeyRows& bk = build_left ? lk : rk;
  const KeyRows& pk = build_left ? rk : lk;
  const int64_t nb = (build_left ? left : right).batch->num_rows();
  const int64_t np = (build_left ? right : left).batch->num_rows();

  // Chains of build rows per hash, each in row order.
  std::unordered_map<uint64_t, int32_t> head;
  head.reserve(static_cast<size_t>(nb));
  std::vector<int32_t> next(static_cast<size_t>(nb), -1);
  for (int64_t b = nb; b-- > 0;) {
    if (bk.any_null(b)) continue;
    auto [it, added] = head.try_emplace(bk.hash(b), static_cast<int32_t>(b));
    if (!added) {
      next[static_cast<size_t>(b)] = it->second;
      it->second = static_cast<int32_t>(b);
    }
  }
  PairBuilder out;
  for (int64_t p = 0; p < np; ++p) {
    if (pk.any_null(p)) continue;
    auto it = head.find(pk.hash(p));
    if (it == head.end()) continue;
    for (int32_t b = it->second; b >= 0; b = next[static_cast<size_t>(b)]) {
      if (!pk.equal(p, bk, b)) continue;
      ARROW_RETURN_NOT_OK(build_left ? out.add(b, p) : out.add(p, b));
    }
  }
  return out.finish();
}

// Lookups stand in for hashing while the probing side has this many times fewer rows than the
// indexed side; past that, hashing the indexed side is as cheap.
constexpr int64_t kLookupFactor = 8;

// The join of `direct_keys` sides where one side still holds an indexed relation and the other
// is small: each row of the small side finds its partners by a name lookup on one indexed key
// (the one whose lookups find the fewest rows in a sample), and every key is then compared
// exactly. The indexed side's other rows are never read.
std::optional<arrow::Result<Pairs>> index_pairs(const Frame& left, const Frame& right,
                                                const std::vector<JoinKey>& keys) {
  for (const bool big_right : {true, false}) {
    const Frame& big = big_right ? right : left;
    const Frame& small = big_right ? left : right;
    if (!big.index || small.batch->num_rows() * kLookupFactor > big.batch->num_rows()) continue;
    const int64_t ns = small.batch->num_rows();
    // The key whose lookups for the first rows of the small side find the fewest rows; a first
    // round allows few rows, so that a broad key (a schema name) costs a binary search beside
    // a narrow one (a table name).
    const NameIndex* best = nullptr;
    int best_key = -1;
    size_t best_found = SIZE_MAX;
    for (const size_t cap : {size_t{1024}, SIZE_MAX}) {
      for (size_t i = 0; i < keys.size(); ++i) {
        const int bcol = big_right ? keys[i].right : keys[i].left;
        const int scol = big_right ? keys[i].left : keys[i].right;
        const NameIndex* index =
            big.index->index->column(big.index->columns[static_cast<size_t>(bcol)]);
        const KeyColumn probe(*small.batch->column(scol));
        if (index == nullptr || !probe.text()) continue;
        const size_t limit = std::min(cap, best_found);
        std::vector<int32_t> found;
        bool within = true;
        for (int64_t s = 0; s < std::min<int64_t>(ns, 16) && within; ++s) {
          if (probe.null(s)) continue;
          within = found.size() < limit &&
                   index->equal(probe.text_at(s), &found, limit - found.size());
        }
        if (within && found.size() < best_found) {
          best = index;
          best_key = static_cast<int>(i);
          best_found = found.size();
        }
      }
      if (best != nullptr) break;
    }
    if (best == nullptr) continue;
    KeyRows bk, sk;
    for (const auto& k : keys) {
      bk.cols.emplace_back(*big.batch->column(big_right ? k.right : k.left));
      sk.cols.emplace_back(*small.batch->column(big_right ? k.left : k.right));
    }
    note_index_use();
    const KeyColumn& probe = sk.cols[static_cast<size_t>(best_key)];
    PairBuilder out;
    std::vector<int32_t> rows;
    for (int64_t s = 0; s < ns; ++s) {
      if (sk.any_null(s)) continue;
      rows.clear();
      best->equal(probe.text_at(s), &rows);
      for (int32_t b : rows) {
        if (bk.any_null(b) || !sk.equal(s, bk, b)) continue;
        const arrow::Status st = big_right ? out.add(s, b) : out.add(b, s);
        if (!st.ok()) return arrow::Result<Pairs>(st);
      }
    }
    return out.finish();
  }
  return std::nullopt;
}

arrow::Result<Pairs> cross_pairs(int64_t n, int64_t m) {
  if (n > 0 && m > kMaxCrossPairs / n) {
    return arrow::Status::Invalid("cross join too large for the metadata path");
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

}  // namespace

arrow::Result<Pairs> join_pairs(const Frame& left, const Frame& right,
                                const std::vector<JoinKey>& keys) {
  if (keys.empty()) return cross_pairs(left.batch->num_rows(), right.batch->num_rows());
  if (!direct_keys(left, right, keys)) return acero_pairs(left, right, keys);
  if (auto pairs = index_pairs(left, right, keys)) return std::move(*pairs);
  return direct_pairs(left, right, keys);
}

}  // namespace nv_sql
