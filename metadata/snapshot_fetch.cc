// Fetching the information-schema snapshot: one framed response holding an INIT frame with the
// epoch and one BATCH frame (an Arrow IPC stream) per result set.
#include <curl/curl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/connection_internal.h"
#include "core/curl_handles_internal.h"
#include "core/error_text_internal.h"
#include "core/frame_decoder_internal.h"
#include "core/global_internal.h"
#include "core/http_internal.h"
#include "core/request_internal.h"
#include "metadata/snapshot_load_internal.h"
#include "norvale/nv_snapshot.h"
#include "norvale/nv_stream.h"
#include "util/strings_internal.h"

namespace {

using norvale::non_empty;
using norvale::write_error;

constexpr long kSnapshotTotalTimeoutSeconds = 300;
constexpr size_t kBatchHeaderBytes = 8;

struct SnapshotContext {
  NVInfoSchemaSnapshot* out = nullptr;
  bool saw_init = false;
  bool server_error = false;
  bool handler_failed = false;  // the handler stopped the stream and wrote its message
  char* err = nullptr;
  size_t err_size = 0;
  NVFrameDecoder* decoder = nullptr;
  CURL* curl = nullptr;
  int body_state = 0;  // 0 not yet known, 1 a 2xx body (decoded), 2 an error body (discarded)
  std::string etag;    // the answer's entity tag, when it has one
};

struct FrameDecoderDeleter {
  void operator()(NVFrameDecoder* decoder) const { nv_frame_destroy(decoder); }
};

// Frees the out record on every path that does not end in success.
struct SnapshotGuard {
  NVInfoSchemaSnapshot* snapshot;
  ~SnapshotGuard() {
    if (snapshot != nullptr) nv_info_schema_snapshot_free(snapshot);
  }
};

int fail_stream(SnapshotContext* ctx) {
  ctx->handler_failed = true;
  return 1;
}

int on_batch(SnapshotContext* ctx, const uint8_t* payload, size_t len) {
  if (len < kBatchHeaderBytes) {
    write_error(ctx->err, ctx->err_size, "snapshot BATCH frame truncated (len=%zu)", len);
    return fail_stream(ctx);
  }
  const uint32_t index = norvale::frame_read_u32(payload);
  if (index >= NV_SNAPSHOT_RESULT_SETS) {
    write_error(ctx->err, ctx->err_size, "snapshot BATCH result_set_index %u out of range",
                index);
    return fail_stream(ctx);
  }
  const size_t remainder = len - kBatchHeaderBytes;
  // At least one byte, so that a received but empty result set is told apart from a missing one.
  auto* block = static_cast<uint8_t*>(std::malloc(remainder > 0 ? remainder : 1));
  if (block == nullptr) {
    write_error(ctx->err, ctx->err_size, "snapshot BATCH allocation failed");
    return fail_stream(ctx);
  }
  if (remainder > 0) std::memcpy(block, payload + kBatchHeaderBytes, remainder);
  std::free(ctx->out->result_set_data[index]);
  ctx->out->result_set_data[index] = block;
  ctx->out->result_set_len[index] = remainder;
  return 0;
}

int on_error(SnapshotContext* ctx, const uint8_t* payload, size_t len) {
  ctx->server_error = true;
  const auto doc = nlohmann::json::parse(payload, payload + len, nullptr, false);
  const auto message = doc.is_object() ? doc.find("message") : doc.end();
  if (!doc.is_object() || (message != doc.end() && !message->is_string())) {
    write_error(ctx->err, ctx->err_size, "snapshot server-side ERROR (malformed)");
  } else {
    const char* text =
        message == doc.end() ? "(unknown)" : message->get_ref<const std::string&>().c_str();
    write_error(ctx->err, ctx->err_size, "snapshot server-side ERROR: %s", text);
  }
  return fail_stream(ctx);
}

int on_init(SnapshotContext* ctx, const uint8_t* payload, size_t len) {
  nlohmann::json doc;
  try {
    doc = nlohmann::json::parse(payload, payload + len);
  } catch (const nlohmann::json::exception& e) {
    write_error(ctx->err, ctx->err_size, "snapshot INIT frame parse: %s", e.what());
    return fail_stream(ctx);
  }
  const auto epoch = doc.is_object() ? doc.find("epoch") : doc.end();
  if (epoch == doc.end() || !epoch->is_number()) {
    write_error(ctx->err, ctx->err_size, "snapshot INIT frame missing 'epoch' field");
    return fail_stream(ctx);
  }
  if (epoch->is_number_unsigned()) {
    ctx->out->epoch = epoch->get<uint64_t>();
  } else if (epoch->is_number_integer()) {
    ctx->out->epoch = static_cast<uint64_t>(epoch->get<int64_t>());
  } else {
    // Truncated toward zero; negative or too large values are clamped, as converting them
    // directly would be undefined.
    const double value = epoch->get<double>();
    if (value <= 0.0) {
      ctx->out->epoch = 0;
    } else if (value >= 18446744073709551615.0) {
      ctx->out->epoch = UINT64_MAX;
    } else {
      ctx->out->epoch = static_cast<uint64_t>(value);
    }
  }
  ctx->saw_init = true;
  return 0;
}

int snapshot_frame_cb(uint8_t type, uint16_t, const uint8_t* payload, size_t len, void* user) {
  auto* ctx = static_cast<SnapshotContext*>(user);
  try {
    switch (type) {
      case NV_FRAME_BATCH:
        return on_batch(ctx, payload, len);
      case NV_FRAME_ERROR:
        return on_error(ctx, payload, len);
      case NV_FRAME_INIT:
        return on_init(ctx, payload, len);
      default:
        return 0;
    }
  } catch (const std::exception& e) {
    write_error(ctx->err, ctx->err_size, "snapshot frame handling failed: %s", e.what());
    return fail_stream(ctx);
  }
}

size_t snapshot_write_cb(char* data, size_t size, size_t nmemb, void* user) {
  auto* ctx = static_cast<SnapshotContext*>(user);
  const size_t bytes = size * nmemb;
  if (ctx->body_state == 0) {
    // An error answer carries JSON, not frames: decoding it would hide the HTTP status behind
    // a write error, so it is dropped and the status is reported after the transfer.
    long status = 0;
    curl_easy_getinfo(ctx->curl, CURLINFO_RESPONSE_CODE, &status);
    ctx->body_state = (status >= 200 && status <= 299) ? 1 : 2;
  }
  if (ctx->body_state == 2) return bytes;
  return nv_frame_feed(ctx->decoder, data, bytes) == 0 ? bytes : 0;
}

// libcurl header callback: keeps the answer's "ETag" value.
size_t snapshot_header_cb(char* data, size_t size, size_t nmemb, void* user) {
  auto* ctx = static_cast<SnapshotContext*>(user);
  const size_t bytes = size * nmemb;
  const std::string_view line(data, bytes);
  constexpr std::string_view kName = "etag:";
  if (line.size() > kName.size() && norvale::ascii_eq_ci(line.substr(0, kName.size()), kName)) {
    std::string_view value = line.substr(kName.size());
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
      value.remove_prefix(1);
    }
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n' ||
                              value.back() == ' ' || value.back() == '\t')) {
      value.remove_suffix(1);
    }
    try {
      ctx->etag.assign(value);
    } catch (...) {
      ctx->etag.clear();  // without its tag the snapshot is only not revalidated cheaply
    }
  }
  return bytes;
}

int fetch_snapshot(const char* base_url, const char* token, const NVTlsConfig* tls,
                   const NVConnExtras* extras, void* share, NVInfoSchemaSnapshot* out,
                   char* err, size_t err_size, const std::atomic<bool>* abort = nullptr,
                   norvale::adbc::SnapshotValidator* validator = nullptr) {
  if (base_url == nullptr || out == nullptr) {
    write_error(err, err_size, "nv_route_fetch_info_schema_snapshot: NULL argument");
    return -1;
  }
  *out = NVInfoSchemaSnapshot{};
  SnapshotGuard guard{out};
  SnapshotContext ctx;
  ctx.out = out;
  ctx.err = err;
  ctx.err_size = err_size;
  std::unique_ptr<NVFrameDecoder, FrameDecoderDeleter> decoder(
      nv_frame_create(&snapshot_frame_cb, &ctx));
  if (!decoder) {
    write_error(err, err_size, "nv_frame_create failed");
    return -1;
  }
  ctx.decoder = decoder.get();

  const std::string url = norvale::trim_trailing_slashes(base_url) +
                          "/api/v1/odbc/info_schema/snapshot";
  norvale::RequestSpec spec;
  spec.url = url;
  spec.headers = {"Accept: application/vnd.norvale.stream.v1"};
  const bool conditional = validator != nullptr && !validator->if_none_match.empty();
  if (conditional) spec.headers.push_back("If-None-Match: " + validator->if_none_match);
  if (non_empty(token)) spec.bearer_token = token;
  // The snapshot is mostly repetitive names: compressed, it is a fraction of its size.
  spec.accept_encoding = norvale::decodable_content_codings();
  spec.total_timeout_seconds = kSnapshotTotalTimeoutSeconds;
  spec.abort = abort;
  auto made = norvale::PreparedRequest::Make(norvale::RequestEnv{tls, extras, share}, spec);
  if (!made.ok()) {
    write_error(err, err_size, "%s", made.status().message().c_str());
    return -1;
  }
  norvale::PreparedRequest& req = **made;
  CURL* easy = req.handle();
  ctx.curl = easy;
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &snapshot_write_cb);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &ctx);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &snapshot_header_cb);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &ctx);

  const CURLcode code = curl_easy_perform(easy);
  if (code != CURLE_OK) {
    if (!(code == CURLE_WRITE_ERROR && ctx.handler_failed)) {
      write_error(err, err_size, "snapshot HTTP error: %s", req.ErrorText(code).c_str());
    }
    return -1;
  }
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  if (validator != nullptr) validator->etag = ctx.etag;
  if (conditional && status == 304) {
    validator->not_modified = true;
    return 0;  // the out record stays empty: the caller's snapshot is current
  }
  if (status < 200 || status > 299) {
    write_error(err, err_size, "snapshot fetch returned HTTP %ld", status);
    return -1;
  }
  if (nv_frame_at_clean_boundary(decoder.get()) != 0) {
    write_error(err, err_size, "snapshot transfer ended mid-frame (truncated)");
    return -1;
  }
  if (ctx.server_error) return -1;  // the handler wrote the server's message
  if (!ctx.saw_init) {
    write_error(err, err_size, "snapshot stream missing INIT frame");
    return -1;
  }
  for (int i = 0; i < NV_SNAPSHOT_RESULT_SETS; ++i) {
    if (out->result_set_data[i] == nullptr) {
      write_error(err, err_size, "snapshot result_set %d missing in stream", i);
      return -1;
    }
  }
  guard.snapshot = nullptr;
  return 0;
}

}  // namespace

namespace norvale::adbc {

int fetch_connection_snapshot(NVConnection* conn, NVInfoSchemaSnapshot* out, char* err,
                              size_t err_size, const std::atomic<bool>* abort,
                              SnapshotValidator* validator) {
  if (conn == nullptr || out == nullptr) {
    write_error(err, err_size, "nv_fetch_snapshot: NULL argument");
    return -1;
  }
  return guard_c_call(err, err_size, "snapshot HTTP error: ", [&] {
    const NVTlsConfig tls = conn->tls;  // the texts stay owned by the connection
    const NVConnExtras extras = conn->extras();
    return norvale::with_session_token(conn, err, err_size, [&](const norvale::SessionToken& t) {
      return fetch_snapshot(conn->control_plane_url.c_str(), t.c_str_or_null(), &tls, &extras,
                            conn->share(), out, err, err_size, abort, validator);
    });
  });
}

}  // namespace norvale::adbc

extern "C" {

int nv_route_fetch_info_schema_snapshot(const char* base_url, const char* token,
                                        const NVTlsConfig* tls, const NVConnExtras* extras,
                                        void* share, NVInfoSchemaSnapshot* out, char* err,
                                        size_t err_size) {
  return norvale::guard_c_call(err, err_size, "snapshot HTTP error: ", [&] {
    return fetch_snapshot(base_url, token, tls, extras, share, out, err, err_size);
  });
}

int nv_fetch_snapshot(NVConnection* conn, NVInfoSchemaSnapshot* out, char* err,
                      size_t err_size) {
  return norvale::adbc::fetch_connection_snapshot(conn, out, err, err_size, nullptr);
}

void nv_info_schema_snapshot_free(NVInfoSchemaSnapshot* snapshot) {
  if (snapshot == nullptr) return;
  for (int i = 0; i < NV_SNAPSHOT_RESULT_SETS; ++i) {
    std::free(snapshot->result_set_data[i]);
    snapshot->result_set_data[i] = nullptr;
    snapshot->result_set_len[i] = 0;
  }
  snapshot->epoch = 0;
}

}  // extern "C"
