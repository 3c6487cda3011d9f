// Cell text throughput: float64 and decimal128 columns read cell by cell through nv_format_cell
// (the per-batch text cache included) beside Arrow's own cast of the same column to utf8, and
// the vectorised hexadecimal encoder beside the table routine. Ratios are printed at the end.
#include <arrow/api.h>
#include <arrow/compute/api.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "cells/arrow_batch_internal.h"
#include "cells/hex_encode_internal.h"

namespace {

constexpr int64_t kRows = 1 << 20;

std::shared_ptr<arrow::Array> float64_column() {
  static const std::shared_ptr<arrow::Array> column = [] {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> prices(-1e6, 1e6);
    arrow::DoubleBuilder builder;
    for (int64_t i = 0; i < kRows; ++i) {
      // Half measured-looking values, half with full 17-digit precision.
      const double v = prices(rng);
      (void)builder.Append(i % 2 ? v : static_cast<double>(static_cast<int64_t>(v * 100)) / 100);
    }
    return *builder.Finish();
  }();
  return column;
}

std::shared_ptr<arrow::Array> decimal128_column() {
  static const std::shared_ptr<arrow::Array> column = [] {
    std::mt19937_64 rng(43);
    arrow::Decimal128Builder builder(arrow::decimal128(18, 4));
    for (int64_t i = 0; i < kRows; ++i) {
      (void)builder.Append(arrow::Decimal128(static_cast<int64_t>(rng() % 2000000000000) -
                                             1000000000000));
    }
    return *builder.Finish();
  }();
  return column;
}

void format_cells(benchmark::State& state, const std::shared_ptr<arrow::Array>& column) {
  auto schema = arrow::schema({arrow::field("c", column->type())});
  auto record_batch = arrow::RecordBatch::Make(schema, column->length(), {column});
  char buffer[128];
  for (auto _ : state) {
    // A fresh wrapper per pass: the text column is built once, then every cell is copied.
    NVArrowBatch* batch = norvale::cells::new_arrow_batch(record_batch);
    int64_t bytes = 0;
    for (int64_t row = 0; row < column->length(); ++row) {
      bytes += nv_format_cell(batch, 0, row, buffer, sizeof(buffer));
    }
    benchmark::DoNotOptimize(bytes);
    nv_batch_free(batch);
  }
  state.SetItemsProcessed(state.iterations() * column->length());
}

// The text column alone, without reading the cells back.
void build_text_column(benchmark::State& state, const std::shared_ptr<arrow::Array>& column) {
  auto schema = arrow::schema({arrow::field("c", column->type())});
  auto record_batch = arrow::RecordBatch::Make(schema, column->length(), {column});
  for (auto _ : state) {
    NVArrowBatch* batch = norvale::cells::new_arrow_batch(record_batch);
    benchmark::DoNotOptimize(nv_batch_string_is_ascii(batch, 0));
    nv_batch_free(batch);
  }
  state.SetItemsProcessed(state.iterations() * column->length());
}

void arrow_cast(benchmark::State& state, const std::shared_ptr<arrow::Array>& column) {
  (void)norvale::cells::ensure_compute_initialized();
  for (auto _ : state) {
    auto text = arrow::compute::Cast(*column, arrow::utf8());
    if (!text.ok()) {
      state.SkipWithError(text.status().ToString().c_str());
      return;
    }
    benchmark::DoNotOptimize(text->get());
  }
  state.SetItemsProcessed(state.iterations() * column->length());
}

void BM_Float64_NvFormatCell(benchmark::State& state) { format_cells(state, float64_column()); }
void BM_Float64_TextColumnOnly(benchmark::State& state) {
  build_text_column(state, float64_column());
}
void BM_Float64_ArrowCast(benchmark::State& state) { arrow_cast(state, float64_column()); }
void BM_Decimal128_NvFormatCell(benchmark::State& state) {
  format_cells(state, decimal128_column());
}
void BM_Decimal128_ArrowCast(benchmark::State& state) { arrow_cast(state, decimal128_column()); }

void hex(benchmark::State& state, norvale::cells::HexEncodeFn fn) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> data(n);
  std::mt19937_64 rng(44);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  std::string out(2 * n, '\0');
  for (auto _ : state) {
    fn(data.data(), n, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n));
}

void BM_Hex_Vectorised(benchmark::State& state) { hex(state, norvale::cells::hex_encode_bytes); }
void BM_Hex_Table(benchmark::State& state) { hex(state, norvale::cells::hex_encode_table); }

BENCHMARK(BM_Float64_NvFormatCell)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Float64_TextColumnOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Float64_ArrowCast)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decimal128_NvFormatCell)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decimal128_ArrowCast)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Hex_Vectorised)->Arg(16)->Arg(256)->Arg(1 << 20);
BENCHMARK(BM_Hex_Table)->Arg(16)->Arg(256)->Arg(1 << 20);

// Keeps each run's throughput so that the ratios can be printed after the console report.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto items = run.counters.find("items_per_second");
      const auto bytes = run.counters.find("bytes_per_second");
      if (items != run.counters.end()) rate_[run.benchmark_name()] = items->second;
      if (bytes != run.counters.end()) rate_[run.benchmark_name()] = bytes->second;
    }
  }

  void PrintRatios() const {
    std::printf("\nSide-by-side ratios (same run):\n");
    ratio("float64 cells/s, nv_format_cell vs Arrow cast", "BM_Float64_NvFormatCell",
          "BM_Float64_ArrowCast");
    ratio("float64 text column alone vs Arrow cast", "BM_Float64_TextColumnOnly",
          "BM_Float64_ArrowCast");
    ratio("decimal128 cells/s, nv_format_cell vs Arrow cast", "BM_Decimal128_NvFormatCell",
          "BM_Decimal128_ArrowCast");
    for (const char* size : {"16", "256", "1048576"}) {
      ratio(std::string("hex bytes/s, ") + norvale::cells::hex_encode_routine_name() +
                " vs table, " + size + " bytes",
            std::string("BM_Hex_Vectorised/") + size, std::string("BM_Hex_Table/") + size);
    }
  }

 private:
  void ratio(const std::string& what, const std::string& a, const std::string& b) const {
    const auto x = rate_.find(a);
    const auto y = rate_.find(b);
    if (x == rate_.end() || y == rate_.end() || y->second == 0) return;
    std::printf("  %-62s %8.3g/s vs %8.3g/s  ratio %.2f\n", what.c_str(), x->second, y->second,
                x->second / y->second);
  }

  std::map<std::string, double> rate_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
