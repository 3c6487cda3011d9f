#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <string>

#include "core/curl_handles_internal.h"
#include "core/error_text_internal.h"
#include "core/tls_internal.h"
#include "norvale/nv_core.h"
#include "util/strings_internal.h"

namespace norvale {
namespace {

bool readable(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

/// libcurl's minimum-version setting for a min_tls_version value; false when unrecognised.
bool curl_ssl_version_for(int32_t min_tls_version, long* out) {
  switch (min_tls_version) {
    case 0: *out = CURL_SSLVERSION_DEFAULT; return true;
    case 10: *out = CURL_SSLVERSION_TLSv1_0; return true;
    case 11: *out = CURL_SSLVERSION_TLSv1_1; return true;
    case 12: *out = CURL_SSLVERSION_TLSv1_2; return true;
    case 13: *out = CURL_SSLVERSION_TLSv1_3; return true;
    default: return false;
  }
}

int validate(const NVTlsConfig* cfg, const char* url, char* err, size_t err_size) {
  if (cfg == nullptr) {
    write_error(err, err_size, "nv_tls_validate: cfg is NULL");
    return -1;
  }
  if (url == nullptr) {
    write_error(err, err_size, "nv_tls_validate: url is NULL");
    return -1;
  }
  const UrlParts parts = parse_url(url);
  if (parts.scheme.empty()) {
    write_error(err, err_size, "URL has no scheme; expected http:// or https:// (got '%s')",
                url);
    return -1;
  }
  const bool https = parts.scheme == "https";
  if (!https && parts.scheme != "http") {
    write_error(err, err_size, "unsupported URL scheme '%s'; only http and https are supported",
                parts.scheme.c_str());
    return -1;
  }
  if ((cfg->encrypt == 2 || cfg->encrypt == 3) && !https) {
    write_error(err, err_size, "Encrypt=%s requires an https:// URL but Server is %s",
                cfg->encrypt == 2 ? "Mandatory" : "Strict", url);
    return -1;
  }
  if (cfg->encrypt == 0 && https) {
    write_error(err, err_size,
                "Encrypt=No conflicts with https:// URL %s; use Encrypt=Optional or change the "
                "URL to http://",
                url);
    return -1;
  }
  if (cfg->trust_server_certificate != 0 && non_empty(cfg->ca_certificate)) {
    write_error(err, err_size,
                "TrustServerCertificate=Yes is incompatible with CACertificate=%s; remove one "
                "of them",
                cfg->ca_certificate);
    return -1;
  }
  if (cfg->trust_server_certificate != 0 && non_empty(cfg->hostname_in_certificate)) {
    write_error(err, err_size,
                "HostNameInCertificate is meaningless when TrustServerCertificate=Yes; remove "
                "one of them");
    return -1;
  }
  long version = 0;
  if (!curl_ssl_version_for(cfg->min_tls_version, &version)) {
    write_error(err, err_size, "MinimumTLSVersion=%d is not a recognized version",
                static_cast<int>(cfg->min_tls_version));
    return -1;
  }
  if (non_empty(cfg->ca_certificate) && !readable(cfg->ca_certificate)) {
    write_error(err, err_size, "CACertificate path not readable: %s", cfg->ca_certificate);
    return -1;
  }
  const bool has_cert = non_empty(cfg->client_cert);
  const bool has_key = non_empty(cfg->client_key);
  if (has_cert != has_key) {
    write_error(err, err_size,
                "Client-cert mTLS requires BOTH SSLCERT and SSLKEY (SSLCERT='%s', SSLKEY='%s')",
                cfg->client_cert != nullptr ? cfg->client_cert : "",
                cfg->client_key != nullptr ? cfg->client_key : "");
    return -1;
  }
  if (has_cert) {
    if (!readable(cfg->client_cert)) {
      write_error(err, err_size, "SSLCERT path not readable: %s", cfg->client_cert);
      return -1;
    }
    if (!readable(cfg->client_key)) {
      write_error(err, err_size, "SSLKEY path not readable: %s", cfg->client_key);
      return -1;
    }
  }
  return 0;
}

/// Reports a refused TLS option; false so that callers can `return` it.
bool rejected(const char* option, CURLcode code, char* err, size_t err_size) {
  write_error(err, err_size, "libcurl rejected %s: %s (libcurl built without TLS backend?)",
              option, curl_easy_strerror(code));
  return false;
}

bool set_long(CURL* curl, CURLoption option, const char* name, long value, char* err,
              size_t err_size) {
  const CURLcode code = curl_easy_setopt(curl, option, value);
  return code == CURLE_OK || rejected(name, code, err, err_size);
}

bool set_text(CURL* curl, CURLoption option, const char* name, const char* value, char* err,
              size_t err_size) {
  const CURLcode code = curl_easy_setopt(curl, option, value);
  return code == CURLE_OK || rejected(name, code, err, err_size);
}

bool plausible_host_name(const char* name) {
  // The name becomes part of a URL and of a connect-to entry: no separators, no spaces.
  for (const char* c = name; *c != '\0'; ++c) {
    const unsigned char b = static_cast<unsigned char>(*c);
    if (b <= 0x20 || b == 0x7f || std::strchr(":/?#@[]\\", b) != nullptr) return false;
  }
  return true;
}

// The request goes to the name in the certificate (so SNI, the certificate check and the Host
// header all see it) while libcurl's connect-to list sends the connection to the URL's own
// host, which may be a DNS name, an IPv4 literal or a bracketed IPv6 literal.
int apply_host_override(CURL* curl, const NVTlsConfig* cfg, const char* url,
                        curl_slist** resolve_out, char* err, size_t err_size) {
  if (resolve_out == nullptr) {
    write_error(err, err_size,
                "HostNameInCertificate set but caller did not provide a resolve list pointer; "
                "refusing to leak");
    return -1;
  }
  if (!plausible_host_name(cfg->hostname_in_certificate)) {
    write_error(err, err_size, "HostNameInCertificate '%s' is not a host name",
                cfg->hostname_in_certificate);
    return -1;
  }
  // Everything that may throw is built before libcurl holds the list.
  const HostOverride host_override = host_override_for(url, cfg->hostname_in_certificate);
  if (host_override.url.empty()) {
    write_error(err, err_size, "cannot apply HostNameInCertificate: URL '%s' has no host", url);
    return -1;
  }
  CurlSlistPtr connect_to;
  if (!slist_append(connect_to, host_override.connect_to_entry.c_str())) {
    write_error(err, err_size, "curl_slist_append failed for connect-to entry");
    return -1;
  }
  CURLcode code = curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connect_to.get());
  if (code != CURLE_OK) {
    write_error(err, err_size, "libcurl rejected CURLOPT_CONNECT_TO: %s",
                curl_easy_strerror(code));
    return -1;
  }
  // From here the handle points at the list: it is handed over on every path.
  *resolve_out = connect_to.release();
  code = curl_easy_setopt(curl, CURLOPT_URL, host_override.url.c_str());
  if (code != CURLE_OK) {
    write_error(err, err_size, "libcurl rejected rewritten URL: %s", curl_easy_strerror(code));
    return -1;
  }
  return 0;
}

int apply(CURL* curl, const NVTlsConfig* cfg, const char* url, curl_slist** resolve_out,
          char* err, size_t err_size) {
  if (curl == nullptr || cfg == nullptr || url == nullptr) {
    write_error(err, err_size, "nv_tls_apply_to_curl: NULL argument");
    return -1;
  }
  if (resolve_out != nullptr) *resolve_out = nullptr;
  const bool trust = cfg->trust_server_certificate != 0;
  if (!set_long(curl, CURLOPT_SSL_VERIFYPEER, "CURLOPT_SSL_VERIFYPEER", trust ? 0L : 1L, err,
                err_size) ||
      !set_long(curl, CURLOPT_SSL_VERIFYHOST, "CURLOPT_SSL_VERIFYHOST", trust ? 0L : 2L, err,
                err_size)) {
    return -1;
  }
  long version = 0;
  if (!curl_ssl_version_for(cfg->min_tls_version, &version)) {
    write_error(err, err_size,
                "internal: bad min TLS version %d (validate should have caught this)",
                static_cast<int>(cfg->min_tls_version));
    return -1;
  }
  if (!set_long(curl, CURLOPT_SSLVERSION, "CURLOPT_SSLVERSION", version, err, err_size)) {
    return -1;
  }
  if (non_empty(cfg->ca_certificate)) {
    const CURLcode code = curl_easy_setopt(curl, CURLOPT_CAINFO, cfg->ca_certificate);
    if (code != CURLE_OK) {
      write_error(err, err_size, "libcurl rejected CACertificate path '%s': %s",
                  cfg->ca_certificate, curl_easy_strerror(code));
      return -1;
    }
  }
  if (non_empty(cfg->client_cert)) {
    if (!set_text(curl, CURLOPT_SSLCERTTYPE, "CURLOPT_SSLCERTTYPE", "PEM", err, err_size) ||
        !set_text(curl, CURLOPT_SSLCERT, "CURLOPT_SSLCERT", cfg->client_cert, err, err_size) ||
        !set_text(curl, CURLOPT_SSLKEYTYPE, "CURLOPT_SSLKEYTYPE", "PEM", err, err_size) ||
        !set_text(curl, CURLOPT_SSLKEY, "CURLOPT_SSLKEY", cfg->client_key, err, err_size)) {
      return -1;
    }
  }
  if (non_empty(cfg->hostname_in_certificate)) {
    return apply_host_override(curl, cfg, url, resolve_out, err, err_size);
  }
  return 0;
}

}  // namespace
}  // namespace norvale

extern "C" {

void nv_tls_config_init(NVTlsConfig* cfg) {
  if (cfg == nullptr) return;
  cfg->encrypt = 1;
  cfg->trust_server_certificate = 0;
  cfg->min_tls_version = 0;
  cfg->hostname_in_certificate = nullptr;
  cfg->ca_certificate = nullptr;
  cfg->client_cert = nullptr;
  cfg->client_key = nullptr;
}

int nv_tls_validate(const NVTlsConfig* cfg, const char* url, char* err, size_t err_size) {
  try {
    return norvale::validate(cfg, url, err, err_size);
  } catch (const std::exception& e) {
    norvale::write_error(err, err_size, "nv_tls_validate: %s", e.what());
    return -1;
  }
}

int nv_tls_apply_to_curl(void* curl, const NVTlsConfig* cfg, const char* url,
                         struct curl_slist** resolve_out, char* err, size_t err_size) {
  try {
    return norvale::apply(static_cast<CURL*>(curl), cfg, url, resolve_out, err, err_size);
  } catch (const std::exception& e) {
    norvale::write_error(err, err_size, "nv_tls_apply_to_curl: %s", e.what());
    return -1;
  }
}

}  // extern "C"
