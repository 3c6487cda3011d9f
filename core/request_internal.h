// The one place where an HTTP transfer is set up. Every request of the library (control plane,
// query, ingest, snapshot, poller) is built here; a caller adds only its own body and
// response callbacks before performing it.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <arrow/result.h>
#include <arrow/status.h>

#include "core/curl_handles_internal.h"
#include "norvale/nv_core.h"

struct NVConnection;

namespace norvale {

/// What a request takes from its connection, or from a caller that has none. Every pointer
/// is borrowed and may be NULL: no TLS settings means libcurl's defaults, no extras means the
/// default connect time-out, no application name and no proxy.
struct RequestEnv {
  const NVTlsConfig* tls = nullptr;
  const NVConnExtras* extras = nullptr;
  void* share = nullptr;
};

/// One request. Texts are copied except `body`, which must outlive the transfer.
struct RequestSpec {
  std::string url;
  bool post = false;       // false: GET
  std::string_view body;   // POST with a known body; ignored with `chunked_upload`
  bool chunked_upload = false;  // POST whose body the caller's read callback supplies
  std::vector<std::string> headers;  // "Name: value" lines, in order
  std::string_view bearer_token;     // non-empty: "Authorization: Bearer <token>"
  // Non-empty: the content codings to ask for (an "Accept-Encoding" list); libcurl decodes
  // the answer, and a server that ignores the request answers as before.
  std::string accept_encoding;
  long total_timeout_seconds = 0;    // 0: none (streams use an IdleWatch instead)
  // Non-null: the transfer stops (CURLE_ABORTED_BY_CALLBACK) once the flag holds true. For
  // transfers on the caller's thread; the stream workers install progress callbacks of their
  // own and must not set it.
  const std::atomic<bool>* abort = nullptr;
};

/// An easy handle with everything it borrows: the header list (zeroed before it is freed,
/// since it may hold a bearer token), the connect-to list of a host-name override, the
/// User-Agent text and the error buffer. Not movable: libcurl holds pointers into it.
class PreparedRequest {
 public:
  /// Builds the transfer. Fails with Invalid for settings that cannot be applied (TLS, a line
  /// break in a header, proxy or token) and with OutOfMemory / IOError otherwise; nothing has
  /// been sent then.
  static arrow::Result<std::unique_ptr<PreparedRequest>> Make(const RequestEnv& env,
                                                              const RequestSpec& spec);
  ~PreparedRequest();
  PreparedRequest(const PreparedRequest&) = delete;
  PreparedRequest& operator=(const PreparedRequest&) = delete;

  CURL* handle() const { return curl_.get(); }
  const std::string& url() const { return url_; }
  const std::string& user_agent() const { return user_agent_; }
  CURLcode Perform() { return curl_easy_perform(curl_.get()); }
  /// The HTTP status of the answer (0 when none arrived).
  long status() const;
  /// libcurl's error buffer, or its standard text for `code` when the buffer is empty.
  std::string ErrorText(CURLcode code) const;

 private:
  PreparedRequest() = default;
  CurlEasyPtr curl_;
  CurlSlistPtr headers_;
  CurlSlistPtr connect_to_;
  std::string user_agent_;
  std::string url_;
  char error_[CURL_ERROR_SIZE] = {0};
};

/// The content codings this process's libcurl can decode, as an "Accept-Encoding" list:
/// "zstd, gzip", or the part of it libcurl supports (empty for neither).
const std::string& decodable_content_codings();

/// The request environment of a connection; `extras` receives the connection's extras view
/// and must outlive the returned value.
RequestEnv connection_request_env(const NVConnection& conn, NVConnExtras* extras);

/// True when a text would break a header line or a proxy setting.
bool has_line_break(std::string_view text);

/// A stream's own stall clock. libcurl's time-outs count wall time, including the time a
/// callback spends waiting for the host (a slow reader of results, a slow producer of ingest
/// data); this clock counts only the time spent waiting for the server. A body callback calls
/// Touch() just before it returns, so that its own wait for the host never counts; the
/// progress callback, which libcurl calls about once a second while the socket is quiet, asks
/// Expired().
class IdleWatch {
 public:
  explicit IdleWatch(std::chrono::seconds limit)
      : limit_(limit), last_(std::chrono::steady_clock::now()) {}
  void Touch() { last_ = std::chrono::steady_clock::now(); }
  bool Expired() const { return std::chrono::steady_clock::now() - last_ >= limit_; }
  std::chrono::seconds limit() const { return limit_; }

 private:
  std::chrono::seconds limit_;
  std::chrono::steady_clock::time_point last_;
};

/// How long a stream may receive nothing from the server when the caller set no time-out.
constexpr std::chrono::seconds kDefaultStallLimit{300};

}  // namespace norvale
