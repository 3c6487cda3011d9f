// The query stream: a framed body, fed in chunks, through the frame decoder and the query's
// frame handler; every batch that comes out is staged and read cell by cell as text.
#include <cstring>

#include "core/query_internal.h"
#include "fuzz_input.h"
#include "norvale/nv_cells.h"

namespace {

// The ODBC C types the staging accepts, and one that it refuses.
constexpr int16_t kStageTypes[] = {1, -8, -2, -7, -26, -15, 4, -25, 8, 7, 2, 91, 92, 93, 99};

void read_every_cell(NVArrowBatch* batch) {
  char text[64];
  const int columns = nv_batch_num_columns(batch);
  const int64_t rows = nv_batch_num_rows(batch);
  for (int c = 0; c < columns; ++c) {
    for (int64_t r = 0; r < rows && r < 256; ++r) {
      nv_format_cell(batch, c, r, text, sizeof(text));
      const char* view = nullptr;
      int32_t length = 0;
      if (nv_batch_string_view(batch, c, r, &view, &length) == 1 && length > 0) {
        volatile char first = view[0], last = view[length - 1];
        (void)first;
        (void)last;
      }
    }
    nv_batch_string_is_ascii(batch, c);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nv_fuzz::Input in(data, size);
  const size_t chunk = 1 + in.byte() % 64;
  const uint8_t stage = in.byte();
  NVQueryHandle query;
  if (stage & 0x80) {
    query.staging_signature.push_back(
        {1, kStageTypes[stage % (sizeof(kStageTypes) / sizeof(kStageTypes[0]))], 16});
  }
  NVFrameDecoder* decoder = nv_frame_create(&norvale::on_frame, &query);
  query.decoder = decoder;
  const std::string_view body = in.rest();
  for (size_t at = 0; at < body.size(); at += chunk) {
    const size_t n = std::min(chunk, body.size() - at);
    if (nv_frame_feed(decoder, body.data() + at, n) != 0) break;
  }
  nv_frame_at_clean_boundary(decoder);
  nv_frame_destroy(decoder);
  query.decoder = nullptr;
  while (!query.queue.empty()) {
    NVArrowBatch* batch = query.queue.front();
    query.queue.pop_front();
    read_every_cell(batch);
    nv_batch_free(batch);
  }
  return 0;
}
