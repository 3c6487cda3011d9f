#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "core/auth_internal.h"
#include "core/error_text_internal.h"
#include "core/http_internal.h"
#include "norvale/nv_core.h"
#include "norvale/nv_log.h"
#include "util/json_number_internal.h"
#include "util/secure_zero_internal.h"

namespace norvale {
namespace {

using nlohmann::json;

constexpr const char* kLogCategory = "auth";
constexpr size_t kErrorDetailBytes = 256;

/// A malloc'ed copy of a string member; NULL when absent or not a string. Sets `oom` when the
/// copy could not be made.
char* string_member(const json& doc, const char* key, bool* oom) {
  const auto it = doc.find(key);
  if (it == doc.end() || !it->is_string()) return nullptr;
  const auto& text = it->get_ref<const std::string&>();
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) {
    *oom = true;
    return nullptr;
  }
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

bool has_line_break(const char* text) {
  return text != nullptr && std::strpbrk(text, "\r\n") != nullptr;
}

/// Zeroes the token members of a parsed response before the document is destroyed.
void zero_token_members(json& doc) {
  for (const char* key : {"session_token", "access_token"}) {
    const auto it = doc.find(key);
    if (it != doc.end() && it->is_string()) secure_zero(it->get_ref<std::string&>());
  }
}

struct LoginKind {
  bool password;  // password login (else client credentials)
  const char* null_message;
  const char* grant_type;
  const char* id_member;
  const char* secret_member;
  const char* encode_failed;
  const char* encode_unknown;
};

constexpr LoginKind kPasswordLogin{
    true,
    "nv_auth_login_password: NULL argument",
    "password",
    "username",
    "password",
    "auth: failed to encode credentials as JSON (non-UTF-8 input?): %s",
    "auth: unknown error encoding credentials"};

constexpr LoginKind kClientCredentialsLogin{
    false,
    "nv_auth_login_client_credentials: NULL argument",
    "client_credentials",
    "client_id",
    "client_secret",
    "auth: failed to encode client credentials as JSON (non-UTF-8 input?): %s",
    "auth: unknown error encoding client credentials"};

/// The login request body, or false with a message when it cannot be encoded.
bool encode_login_body(const LoginKind& kind, const char* id, const char* secret,
                       std::string* body, char* err, size_t err_size) {
  json doc = json::object();
  try {
    doc["grant_type"] = kind.grant_type;
    doc[kind.id_member] = id;
    doc[kind.secret_member] = secret;
    *body = doc.dump();
  } catch (const json::exception& e) {
    write_error(err, err_size, kind.encode_failed, e.what());
  } catch (...) {
    write_error(err, err_size, "%s", kind.encode_unknown);
  }
  const auto it = doc.find(kind.secret_member);
  if (it != doc.end() && it->is_string()) secure_zero(it->get_ref<std::string&>());
  return !body->empty();
}

int login(const LoginKind& kind, const char* control_plane_url, const char* id,
          const char* secret, const NVTlsConfig* tls, const NVConnExtras* extras, void* share,
          NVAuthResult* result, char* err, size_t err_size) {
  if (control_plane_url == nullptr || id == nullptr || secret == nullptr || result == nullptr) {
    write_error(err, err_size, "%s", kind.null_message);
    return -1;
  }
  std::memset(result, 0, sizeof(*result));
  const std::string token_url = trim_trailing_slashes(control_plane_url) + "/api/v1/auth/token";

  std::string body;
  if (!encode_login_body(kind, id, secret, &body, err, err_size)) return -1;

  if (nv_log_level() >= NV_LOG_INFO) {
    if (kind.password) {
      nv_log_emit(NV_LOG_INFO, kLogCategory, "Authenticating user %s against %s", id,
                  token_url.c_str());
    } else {
      nv_log_emit(NV_LOG_INFO, kLogCategory,
                  "Authenticating client_id=%s against %s (client_secret=[REDACTED])", id,
                  token_url.c_str());
    }
  }
  if (kind.password && nv_log_level() >= NV_LOG_DEBUG) {
    nv_log_emit(NV_LOG_DEBUG, kLogCategory,
                "Credential lengths: username=%zu bytes, password=%zu bytes", std::strlen(id),
                std::strlen(secret));
  }

  std::string response;
  const long status = do_json_post(token_url.c_str(), body.c_str(), tls, extras, share,
                                   &response, err, err_size);
  secure_zero(body);
  if (status < 0) {
    nv_log_emit(NV_LOG_ERROR, kLogCategory, "Auth transport error: %s",
                error_or_no_detail(err, err_size));
    secure_zero(response);
    return -1;
  }
  if (status >= 200 && status <= 299) {
    const int rc = parse_auth_response(response, result, err, err_size);
    secure_zero(response);
    if (rc != 0) return -1;
    const char* subject = result->subject_id != nullptr ? result->subject_id : "(unknown)";
    if (kind.password) {
      nv_log_emit(NV_LOG_INFO, kLogCategory,
                  "Auth successful for %s (subject_id=%s, token=[REDACTED])", id, subject);
    } else {
      nv_log_emit(NV_LOG_INFO, kLogCategory,
                  "Client credentials auth successful (subject_id=%s, token=[REDACTED])",
                  subject);
    }
    return 0;
  }
  format_auth_error(status, response, err, err_size);
  secure_zero(response);
  if (kind.password) {
    nv_log_emit(NV_LOG_WARN, kLogCategory, "Auth failed (HTTP %ld) for user %s", status, id);
  } else {
    nv_log_emit(NV_LOG_WARN, kLogCategory,
                "Client credentials auth failed (HTTP %ld) for client_id=%s", status, id);
  }
  return -1;
}

}  // namespace

int parse_auth_response(const std::string& body, NVAuthResult* result, char* err,
                        size_t err_size) {
  std::memset(result, 0, sizeof(*result));
  json doc;
  try {
    doc = json::parse(body);
  } catch (const json::exception& e) {
    write_error(err, err_size, "auth response is not valid JSON: %s", e.what());
    return -1;
  }
  if (!doc.is_object()) {
    write_error(err, err_size, "auth response is not a JSON object");
    return -1;
  }
  bool oom = false;
  result->session_token = string_member(doc, "session_token", &oom);
  result->access_token = string_member(doc, "access_token", &oom);
  result->subject_id = string_member(doc, "subject_id", &oom);
  result->principal_type = string_member(doc, "principal_type", &oom);
  result->name = string_member(doc, "name", &oom);
  result->session_expires_at = string_member(doc, "session_expires_at", &oom);
  const auto expires = doc.find("expires_in");
  if (expires != doc.end()) {
    if (const auto v = json_integer_clamped(*expires, INT64_MIN, INT64_MAX)) {
      result->expires_in = *v;
    }
  }
  zero_token_members(doc);

  if (oom) {
    write_error(err, err_size, "out of memory");
    nv_auth_result_free(result);
    return -1;
  }
  if (result->session_token == nullptr) {
    write_error(err, err_size,
                "auth response did not include a session_token; control plane may not be "
                "configured to issue compute session tokens");
    nv_auth_result_free(result);
    return -1;
  }
  const char* bad = has_line_break(result->session_token)  ? "session_token"
                    : has_line_break(result->access_token) ? "access_token"
                                                           : nullptr;
  if (bad != nullptr) {
    write_error(err, err_size, "auth response %s contains forbidden control characters", bad);
    nv_auth_result_free(result);
    return -1;
  }
  return 0;
}

void format_auth_error(long status, const std::string& body, char* err, size_t err_size) {
  std::string text;
  const json doc = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (doc.is_object()) {
    const auto member = [&doc](const char* key) -> const std::string* {
      const auto it = doc.find(key);
      return it != doc.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
    };
    const std::string* message = member("message");
    const std::string* error = member("error");
    const std::string* details = member("details");
    if (message != nullptr) {
      text = *message;
      if (error != nullptr) text += " [" + *error + "]";
    } else if (error != nullptr) {
      text = *error;
    }
    if (details != nullptr) {
      if (!text.empty()) text += ' ';
      text += "(" + *details + ")";
    }
  }
  if (!text.empty()) {
    write_error(err, err_size, "control plane auth failed (HTTP %ld): %s", status, text.c_str());
    return;
  }
  const int detail_len = static_cast<int>(std::min(body.size(), kErrorDetailBytes));
  write_error(err, err_size, "control plane auth failed (HTTP %ld): %.*s", status, detail_len,
              body.data());
}

}  // namespace norvale

extern "C" {

int nv_auth_login_password(const char* control_plane_url, const char* username,
                           const char* password, const NVTlsConfig* tls,
                           const NVConnExtras* extras, void* share, NVAuthResult* result,
                           char* err, size_t err_size) {
  try {
    return norvale::login(norvale::kPasswordLogin, control_plane_url, username, password, tls,
                          extras, share, result, err, err_size);
  } catch (const std::exception& e) {
    norvale::write_error(err, err_size, "nv_auth_login_password: %s", e.what());
  } catch (...) {
    norvale::write_error(err, err_size, "nv_auth_login_password: unknown error");
  }
  nv_auth_result_free(result);
  return -1;
}

int nv_auth_login_client_credentials(const char* control_plane_url, const char* client_id,
                                     const char* client_secret, const NVTlsConfig* tls,
                                     const NVConnExtras* extras, void* share,
                                     NVAuthResult* result, char* err, size_t err_size) {
  try {
    return norvale::login(norvale::kClientCredentialsLogin, control_plane_url, client_id,
                          client_secret, tls, extras, share, result, err, err_size);
  } catch (const std::exception& e) {
    norvale::write_error(err, err_size, "nv_auth_login_client_credentials: %s", e.what());
  } catch (...) {
    norvale::write_error(err, err_size, "nv_auth_login_client_credentials: unknown error");
  }
  nv_auth_result_free(result);
  return -1;
}

void nv_auth_result_free(NVAuthResult* result) {
  if (result == nullptr) return;
  norvale::secure_free(result->session_token);
  norvale::secure_free(result->access_token);
  std::free(result->subject_id);
  std::free(result->principal_type);
  std::free(result->name);
  std::free(result->session_expires_at);
  result->session_token = nullptr;
  result->access_token = nullptr;
  result->subject_id = nullptr;
  result->principal_type = nullptr;
  result->name = nullptr;
  result->session_expires_at = nullptr;
  result->expires_in = 0;
}

}  // extern "C"
