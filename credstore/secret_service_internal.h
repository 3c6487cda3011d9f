// The desktop secret service, reached through libsecret loaded at run time.
#pragma once

#include <string>
#include <vector>

namespace norvale::credstore {

enum class SecretOutcome {
  kOk,
  kNotFound,
  kFailed,       // the service answered but refused; no fallback
  kUnavailable,  // not loaded, or an error just switched it off: use the file
};

/// Whether libsecret was loaded and has not failed yet. Probes on first use.
bool secret_service_available();

SecretOutcome secret_service_store(const char* account, const char* key, const char* secret);
/// On kOk, *out holds a malloc'ed copy of the secret.
SecretOutcome secret_service_lookup(const char* account, const char* key, char** out);
SecretOutcome secret_service_clear(const char* account, const char* key);

/// Test hook: forgets the probe and probes the given library names instead (an empty list
/// means no libsecret). Not safe while other threads use the store.
void secret_service_reprobe_for_test(const std::vector<std::string>& library_names);

}  // namespace norvale::credstore
