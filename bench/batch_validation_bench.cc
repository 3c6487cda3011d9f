// What checking a query batch costs, side by side over the same ~4 MiB IPC payload (int64,
// float64 and utf8 columns): reading it alone, reading it with the structural check every
// decoded batch gets (decode_arrow_ipc_bytes), and with the full check the cell accessors run
// once per column before reading (offsets, UTF-8). Prints GB/s of each and the ratios.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/ipc/writer.h>

#include "core/query_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string payload() {
  constexpr int64_t kRows = 110000;
  arrow::Int64Builder ids;
  arrow::DoubleBuilder values;
  arrow::StringBuilder names;
  char text[32];
  for (int64_t i = 0; i < kRows; ++i) {
    (void)ids.Append(i);
    (void)values.Append(static_cast<double>(i) * 0.5);
    std::snprintf(text, sizeof text, "row-%08lld-abc", static_cast<long long>(i));
    (void)names.Append(text);
  }
  auto schema = arrow::schema({arrow::field("id", arrow::int64()),
                               arrow::field("value", arrow::float64()),
                               arrow::field("name", arrow::utf8())});
  auto batch = arrow::RecordBatch::Make(schema, kRows, {ids.Finish().ValueOrDie(),
                                                        values.Finish().ValueOrDie(),
                                                        names.Finish().ValueOrDie()});
  auto sink = arrow::io::BufferOutputStream::Create().ValueOrDie();
  auto writer = arrow::ipc::MakeStreamWriter(sink, schema).ValueOrDie();
  (void)writer->WriteRecordBatch(*batch);
  (void)writer->Close();
  return sink->Finish().ValueOrDie()->ToString();
}

std::shared_ptr<arrow::RecordBatch> read_only(const std::string& bytes) {
  auto copy = arrow::AllocateBuffer(static_cast<int64_t>(bytes.size())).ValueOrDie();
  std::copy(bytes.begin(), bytes.end(), copy->mutable_data());
  auto in = std::make_shared<arrow::io::BufferReader>(std::move(copy));
  auto reader = arrow::ipc::RecordBatchStreamReader::Open(in).ValueOrDie();
  std::shared_ptr<arrow::RecordBatch> batch;
  (void)reader->ReadNext(&batch);
  return batch;
}

std::shared_ptr<arrow::RecordBatch> decoded(const std::string& bytes) {
  std::shared_ptr<arrow::RecordBatch> batch;
  std::shared_ptr<arrow::Schema> schema;
  (void)norvale::decode_arrow_ipc_bytes(reinterpret_cast<const uint8_t*>(bytes.data()),
                                        bytes.size(), &batch, &schema);
  return batch;
}

// Seconds per call, the best of five rounds of `n` calls.
template <typename F>
double seconds_per_call(F&& f, int n) {
  double best = 1e9;
  for (int round = 0; round < 5; ++round) {
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count() / n);
  }
  return best;
}

}  // namespace

int main() {
  const std::string bytes = payload();
  const int n = 50;
  const double plain = seconds_per_call([&] { (void)read_only(bytes); }, n);
  const double structural = seconds_per_call([&] { (void)decoded(bytes); }, n);
  const double full = seconds_per_call(
      [&] {
        auto batch = decoded(bytes);
        for (const auto& column : batch->columns()) (void)column->ValidateFull();
      },
      n);
  const double gb = static_cast<double>(bytes.size()) / 1e9;
  std::printf("payload %.2f MiB\n", static_cast<double>(bytes.size()) / (1 << 20));
  std::printf("read only                    %7.2f GB/s\n", gb / plain);
  std::printf("read + structural check      %7.2f GB/s  (%.3fx of read only)\n", gb / structural,
              plain / structural);
  std::printf("read + full column checks    %7.2f GB/s  (%.3fx of read only)\n", gb / full,
              plain / full);
  return 0;
}
