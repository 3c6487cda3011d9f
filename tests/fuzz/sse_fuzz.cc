// The server-sent-events parser, fed in chunks, flushed at the end.
#include <algorithm>

#include "fuzz_input.h"
#include "norvale/nv_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nv_fuzz::Input in(data, size);
  const size_t chunk = 1 + in.byte() % 32;
  const uint8_t stop_at = in.byte();
  struct Seen {
    size_t events = 0;
    uint8_t stop_at;
  } seen{0, stop_at};
  NVSseParser* parser = nv_sse_create(
      [](const char* event, const char* text, size_t len, void* user) -> int {
        auto* s = static_cast<Seen*>(user);
        // Touch both texts end to end.
        volatile size_t sum = 0;
        for (const char* p = event; p != nullptr && *p != '\0'; ++p) sum = sum + *p;
        for (size_t i = 0; i < len; ++i) sum = sum + text[i];
        return ++s->events == s->stop_at ? 1 : 0;
      },
      &seen);
  const std::string_view body = in.rest();
  for (size_t at = 0; at < body.size(); at += chunk) {
    if (nv_sse_feed(parser, body.data() + at, std::min(chunk, body.size() - at)) != 0) break;
  }
  nv_sse_flush(parser);
  nv_sse_destroy(parser);
  return 0;
}
