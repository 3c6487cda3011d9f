#include "sql/name_index_internal.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "sql/cells_internal.h"
#include "util/strings_internal.h"

namespace nv_sql {
namespace {

unsigned char fold(char c) { return static_cast<unsigned char>(norvale::ascii_lower(c)); }

// The first eight folded bytes, big-endian and zero-padded: comparing two of these orders most
// pairs of values without touching their text again.
uint64_t folded_key(std::string_view v) {
  uint64_t k = 0;
  for (size_t i = 0; i < 8; ++i) {
    k = (k << 8) | (i < v.size() ? fold(v[i]) : 0u);
  }
  return k;
}

}  // namespace

int folded_compare(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = fold(a[i]);
    const unsigned char y = fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool has_non_ascii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return false;
}

bool NameIndex::Indexable(const arrow::DataType& type) { return is_text(type); }

std::string_view NameIndex::view(int64_t row) const { return text_at(*values_, row); }

NameIndex::NameIndex(std::shared_ptr<arrow::Array> values) : values_(std::move(values)) {
  const int64_t n = values_->length();
  struct Entry {
    uint64_t key;  // folded_key of the value
    uint32_t size;
    int32_t row;
  };
  std::vector<Entry> entries;
  continues_.assign(static_cast<size_t>((n + 63) / 64), 0);
  std::string_view prev;
  bool in_run = false;
  for (int64_t r = 0; r < n; ++r) {
    if (values_->IsNull(r)) {
      in_run = false;
      continue;
    }
    ++rows_;
    const std::string_view v = view(r);
    if (has_non_ascii(v)) non_ascii_.push_back(static_cast<int32_t>(r));
    if (in_run && folded_compare(v, prev) == 0) {
      continues_[static_cast<size_t>(r / 64)] |= uint64_t{1} << (r % 64);
      continue;
    }
    entries.push_back({folded_key(v), static_cast<uint32_t>(std::min<size_t>(v.size(), 9)),
                       static_cast<int32_t>(r)});
    prev = v;
    in_run = true;
  }
  // Values of at most eight bytes are ordered by their key and size alone; longer ones that
  // share their first eight bytes are compared in full.
  std::sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
    if (a.key != b.key) return a.key < b.key;
    if (a.size <= 8 && b.size <= 8) {
      if (a.size != b.size) return a.size < b.size;
      return a.row < b.row;
    }
    const int c = folded_compare(view(a.row), view(b.row));
    return c != 0 ? c < 0 : a.row < b.row;
  });
  runs_.reserve(entries.size());
  for (const Entry& e : entries) runs_.push_back(e.row);
  non_ascii_.shrink_to_fit();
}

int64_t NameIndex::run_length(int64_t start) const {
  // The run goes on while the following rows' bits are set: count them a word at a time.
  const int64_t n = values_->length();
  int64_t r = start + 1;
  while (r < n) {
    const int64_t bit = r % 64;
    const uint64_t word = continues_[static_cast<size_t>(r / 64)] >> bit;
    const int64_t room = std::min<int64_t>(64 - bit, n - r);
    const int64_t ones = std::countr_one(word);
    if (ones < room) return r + ones - start;
    r += room;
  }
  return r - start;
}

bool NameIndex::append_runs(const int32_t* lo, const int32_t* hi, std::vector<int32_t>* out,
                            size_t limit) const {
  // Counted first, so that a lookup past its limit costs no copying.
  size_t rows = 0;
  for (const int32_t* run = lo; run != hi; ++run) {
    rows += static_cast<size_t>(run_length(*run));
    if (rows > limit) return false;
  }
  // Grown geometrically: an IN-list appends once per key, and an exact reserve per key would
  // copy the rows found so far every time.
  if (const size_t need = out->size() + rows; need > out->capacity()) {
    out->reserve(std::max(need, 2 * out->capacity()));
  }
  for (const int32_t* run = lo; run != hi; ++run) {
    const int64_t end = *run + run_length(*run);
    for (int64_t r = *run; r < end; ++r) out->push_back(static_cast<int32_t>(r));
  }
  return true;
}

bool NameIndex::equal(std::string_view key, std::vector<int32_t>* out, size_t limit) const {
  auto below = [&](int32_t run, std::string_view k) { return folded_compare(view(run), k) < 0; };
  auto above = [&](std::string_view k, int32_t run) { return folded_compare(k, view(run)) < 0; };
  const int32_t* lo = std::lower_bound(runs_.data(), runs_.data() + runs_.size(), key, below);
  const int32_t* hi = std::upper_bound(lo, runs_.data() + runs_.size(), key, above);
  // Runs of one value are ordered by row and never overlap: the rows come out ascending.
  return append_runs(lo, hi, out, limit);
}

bool NameIndex::prefix(std::string_view prefix, std::vector<int32_t>* out, size_t limit) const {
  auto head = [&](int32_t run) { return view(run).substr(0, prefix.size()); };
  auto below = [&](int32_t run, std::string_view p) { return folded_compare(head(run), p) < 0; };
  auto above = [&](std::string_view p, int32_t run) { return folded_compare(p, head(run)) < 0; };
  const int32_t* lo = std::lower_bound(runs_.data(), runs_.data() + runs_.size(), prefix, below);
  const int32_t* hi = std::upper_bound(lo, runs_.data() + runs_.size(), prefix, above);
  const size_t first = out->size();
  if (!append_runs(lo, hi, out, limit)) return false;
  std::sort(out->begin() + static_cast<std::ptrdiff_t>(first), out->end());
  return true;
}

size_t NameIndex::memory_bytes() const {
  return sizeof(*this) + runs_.capacity() * sizeof(int32_t) +
         continues_.capacity() * sizeof(uint64_t) + non_ascii_.capacity() * sizeof(int32_t);
}

std::shared_ptr<const RelationIndex> RelationIndex::Build(
    std::shared_ptr<arrow::RecordBatch> batch,
    const std::function<bool(const std::string& column)>& wanted) {
  auto index = std::make_shared<RelationIndex>();
  if (!batch) return index;
  index->columns_.resize(static_cast<size_t>(batch->num_columns()));
  for (int i = 0; i < batch->num_columns(); ++i) {
    const auto& field = batch->schema()->field(i);
    if (!NameIndex::Indexable(*field->type()) || !wanted(field->name())) continue;
    index->columns_[static_cast<size_t>(i)] = std::make_unique<NameIndex>(batch->column(i));
  }
  index->batch_ = std::move(batch);
  return index;
}

const NameIndex* RelationIndex::column(int i) const {
  if (i < 0 || static_cast<size_t>(i) >= columns_.size()) return nullptr;
  return columns_[static_cast<size_t>(i)].get();
}

size_t RelationIndex::memory_bytes() const {
  size_t bytes = sizeof(*this) + columns_.capacity() * sizeof(columns_[0]);
  for (const auto& c : columns_) {
    if (c) bytes += c->memory_bytes();
  }
  return bytes;
}

}  // namespace nv_sql
