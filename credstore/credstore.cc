// The exported credential store: libsecret first, the private file otherwise or after a
// libsecret error.
#include <cstdlib>
#include <cstring>
#include <exception>

#include "credstore/file_store_internal.h"
#include "credstore/secret_service_internal.h"
#include "norvale/nv_credstore.h"
#include "util/secure_zero_internal.h"

using norvale::credstore::SecretOutcome;

namespace {

int code_of(SecretOutcome outcome) {
  switch (outcome) {
    case SecretOutcome::kOk: return NV_CREDSTORE_OK;
    case SecretOutcome::kNotFound: return NV_CREDSTORE_NOT_FOUND;
    default: return NV_CREDSTORE_ERROR;
  }
}

}  // namespace

extern "C" {

int nv_credstore_set(const char* account, const char* key, const char* secret) {
  if (account == nullptr || key == nullptr || secret == nullptr) return NV_CREDSTORE_ERROR;
  try {
    const SecretOutcome outcome = norvale::credstore::secret_service_store(account, key, secret);
    if (outcome != SecretOutcome::kUnavailable) return code_of(outcome);
    return norvale::credstore::file_set(account, key, secret);
  } catch (...) {
    return NV_CREDSTORE_ERROR;
  }
}

int nv_credstore_get(const char* account, const char* key, char** out) {
  if (account == nullptr || key == nullptr || out == nullptr) return NV_CREDSTORE_ERROR;
  *out = nullptr;
  try {
    const SecretOutcome outcome = norvale::credstore::secret_service_lookup(account, key, out);
    if (outcome != SecretOutcome::kUnavailable) return code_of(outcome);
    return norvale::credstore::file_get(account, key, out);
  } catch (...) {
    return NV_CREDSTORE_ERROR;
  }
}

int nv_credstore_delete(const char* account, const char* key) {
  if (account == nullptr || key == nullptr) return NV_CREDSTORE_ERROR;
  try {
    const SecretOutcome outcome = norvale::credstore::secret_service_clear(account, key);
    if (outcome != SecretOutcome::kUnavailable) return code_of(outcome);
    return norvale::credstore::file_delete(account, key);
  } catch (...) {
    return NV_CREDSTORE_ERROR;
  }
}

void nv_credstore_free(char* secret) { norvale::secure_free(secret); }

const char* nv_credstore_backend(void) {
  try {
    return norvale::credstore::secret_service_available() ? "libsecret" : "file";
  } catch (...) {
    return "file";
  }
}

}  // extern "C"
