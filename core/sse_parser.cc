// Server-sent events: a line parser that collects `event` and `data` fields and dispatches one
// event per empty line. Events may span any number of feeds.
#include <new>
#include <string>
#include <string_view>

#include "norvale/nv_stream.h"

struct NVSseParser {
  NVSseCallback callback = nullptr;
  void* user = nullptr;
  std::string lines;  // received bytes not yet consumed as whole lines
  size_t scanned = 0;  // leading bytes of `lines` known to hold no line feed
  std::string event;
  bool has_event = false;
  std::string data;
  bool has_data = false;
};

namespace norvale {
namespace {

constexpr size_t kMaxLineBuffer = 16777216;

void handle_field(NVSseParser* p, std::string_view line) {
  if (!line.empty() && line.front() == ':') return;  // comment
  std::string_view name = line;
  std::string_view value;
  if (const size_t colon = line.find(':'); colon != std::string_view::npos) {
    name = line.substr(0, colon);
    value = line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  }
  if (name == "event") {
    p->event.assign(value);
    p->has_event = true;
  } else if (name == "data") {
    if (p->has_data) p->data.push_back('\n');
    p->data.append(value);
    p->has_data = true;
  }
}

// Dispatches the collected event when there is one; returns the callback's result.
int dispatch(NVSseParser* p) {
  if (!p->has_event && !p->has_data) return 0;
  int rc = 0;
  if (p->callback != nullptr) {
    rc = p->callback(p->event.c_str(), p->data.c_str(), p->data.size(), p->user);
  }
  p->event.clear();
  p->data.clear();
  p->has_event = false;
  p->has_data = false;
  return rc;
}

std::string_view strip_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

int feed(NVSseParser* p, const char* bytes, size_t len) {
  if (p->lines.size() + len > kMaxLineBuffer) return -1;
  size_t scan = p->scanned;
  p->lines.append(bytes, len);
  size_t consumed = 0;
  int rc = 0;
  while (rc == 0) {
    const size_t lf = p->lines.find('\n', scan);
    if (lf == std::string::npos) break;
    const std::string_view line =
        strip_cr(std::string_view(p->lines).substr(consumed, lf - consumed));
    if (line.empty()) {
      rc = dispatch(p);
    } else {
      handle_field(p, line);
    }
    consumed = lf + 1;
    scan = consumed;
  }
  p->lines.erase(0, consumed);
  // After a stop the rest may still hold whole lines; otherwise it holds none.
  p->scanned = rc == 0 ? p->lines.size() : 0;
  return rc;
}

}  // namespace
}  // namespace norvale

extern "C" {

NVSseParser* nv_sse_create(NVSseCallback callback, void* user) {
  auto* p = new (std::nothrow) NVSseParser;
  if (p == nullptr) return nullptr;
  p->callback = callback;
  p->user = user;
  return p;
}

int nv_sse_feed(NVSseParser* parser, const char* bytes, size_t len) {
  if (parser == nullptr || bytes == nullptr) return 0;
  try {
    return norvale::feed(parser, bytes, len);
  } catch (...) {
    return -1;  // the line buffer could not grow
  }
}

int nv_sse_flush(NVSseParser* parser) {
  if (parser == nullptr) return 0;
  try {
    // Whole lines left behind by a callback stop come first.
    if (const int rc = norvale::feed(parser, "", 0); rc != 0) return rc;
    if (!parser->lines.empty()) {
      norvale::handle_field(parser, norvale::strip_cr(parser->lines));
    }
    parser->lines.clear();
    parser->scanned = 0;
    return norvale::dispatch(parser);
  } catch (...) {
    return -1;
  }
}

void nv_sse_destroy(NVSseParser* parser) { delete parser; }

}  // extern "C"
