#include "metadata/poll_endpoint_internal.h"

#include "core/connection_internal.h"
#include "util/secure_zero_internal.h"

namespace norvale::adbc {
namespace {

const char* text_or_null(const std::string& text) {
  return text.empty() ? nullptr : text.c_str();
}

}  // namespace

PollEndpoint::~PollEndpoint() {
  secure_zero(token);
  secure_zero(proxy_pass);
}

std::shared_ptr<const PollEndpoint> PollEndpoint::From(const NVConnection* conn) {
  if (conn == nullptr) return nullptr;
  auto e = std::make_shared<PollEndpoint>();
  e->url = conn->control_plane_url;
  e->token = norvale::SessionToken(*conn).text();
  e->encrypt = conn->tls.encrypt;
  e->trust_server_certificate = conn->tls.trust_server_certificate;
  e->min_tls_version = conn->tls.min_tls_version;
  e->hostname_in_certificate = conn->tls_hostname_in_certificate;
  e->ca_certificate = conn->tls_ca_certificate;
  e->client_cert = conn->tls_client_cert;
  e->client_key = conn->tls_client_key;
  e->connect_timeout = conn->connect_timeout;
  e->max_stream_buffer_mb = conn->max_stream_buffer_mb;
  e->application_name = conn->application_name;
  e->proxy_url = conn->proxy_url;
  e->proxy_user = conn->proxy_user;
  e->proxy_pass = conn->proxy_pass;
  e->pool = conn->pool;
  return e;
}

NVTlsConfig PollEndpoint::tls() const {
  NVTlsConfig cfg;
  nv_tls_config_init(&cfg);
  cfg.encrypt = encrypt;
  cfg.trust_server_certificate = trust_server_certificate;
  cfg.min_tls_version = min_tls_version;
  cfg.hostname_in_certificate = text_or_null(hostname_in_certificate);
  cfg.ca_certificate = text_or_null(ca_certificate);
  cfg.client_cert = text_or_null(client_cert);
  cfg.client_key = text_or_null(client_key);
  return cfg;
}

NVConnExtras PollEndpoint::extras() const { return extras_view(*this); }

}  // namespace norvale::adbc
