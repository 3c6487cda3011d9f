#include "credstore/secret_service_internal.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "util/secure_zero_internal.h"

namespace norvale::credstore {
namespace {

// The published libsecret and GLib layouts that the calls below rely on.
struct SecretSchemaAttribute {
  const char* name;
  int type;  // SECRET_SCHEMA_ATTRIBUTE_STRING = 0
};

struct SecretSchema {
  const char* name;
  int flags;  // SECRET_SCHEMA_NONE = 0
  SecretSchemaAttribute attributes[32];
  int reserved;
  void* reserved1;
  void* reserved2;
  void* reserved3;
  void* reserved4;
  void* reserved5;
  void* reserved6;
  void* reserved7;
};

struct GError;

using StoreFn = int (*)(const SecretSchema*, const char* collection, const char* label,
                        const char* password, void* cancellable, GError** error, ...);
using LookupFn = char* (*)(const SecretSchema*, void* cancellable, GError** error, ...);
using ClearFn = int (*)(const SecretSchema*, void* cancellable, GError** error, ...);
using FreeFn = void (*)(char*);
using ErrorFreeFn = void (*)(GError*);

// Ends the attribute list of the variadic calls; must be a pointer, not a bare 0.
constexpr const char* kEndOfAttributes = nullptr;
constexpr const char* kDefaultCollection = "default";
constexpr const char* kItemLabel = "Norvale ODBC credential";

const SecretSchema kSchema = {
    "com.norvale.odbc.Credentials", 0, {{"account", 0}, {"key", 0}, {nullptr, 0}}, 0,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

struct Library {
  void* handle = nullptr;
  StoreFn store = nullptr;
  LookupFn lookup = nullptr;
  ClearFn clear = nullptr;
  FreeFn free_password = nullptr;
  ErrorFreeFn error_free = nullptr;
};

std::mutex g_probe_mutex;
bool g_probed = false;
Library g_library;
std::atomic<bool> g_available{false};

void probe(const std::vector<std::string>& names) {
  g_library = Library{};
  g_available = false;
  for (const std::string& name : names) {
    // The handle is kept for the life of the process.
    g_library.handle = dlopen(name.c_str(), RTLD_LAZY | RTLD_GLOBAL);
    if (g_library.handle != nullptr) break;
  }
  if (g_library.handle == nullptr) return;
  void* h = g_library.handle;
  g_library.store = reinterpret_cast<StoreFn>(dlsym(h, "secret_password_store_sync"));
  g_library.lookup = reinterpret_cast<LookupFn>(dlsym(h, "secret_password_lookup_sync"));
  g_library.clear = reinterpret_cast<ClearFn>(dlsym(h, "secret_password_clear_sync"));
  g_library.free_password = reinterpret_cast<FreeFn>(dlsym(h, "secret_password_free"));
  g_library.error_free = reinterpret_cast<ErrorFreeFn>(dlsym(h, "g_error_free"));
  g_available = g_library.store != nullptr && g_library.lookup != nullptr &&
                g_library.clear != nullptr && g_library.free_password != nullptr;
}

const Library* loaded() {
  std::lock_guard<std::mutex> lock(g_probe_mutex);
  if (!g_probed) {
    probe({"libsecret-1.so.0", "libsecret-1.so"});
    g_probed = true;
  }
  return g_available ? &g_library : nullptr;
}

/// After any libsecret error the file backend serves the rest of the process.
SecretOutcome give_up(const Library* lib, GError* error) {
  if (error != nullptr && lib->error_free != nullptr) lib->error_free(error);
  g_available = false;
  return SecretOutcome::kUnavailable;
}

}  // namespace

bool secret_service_available() { return loaded() != nullptr; }

SecretOutcome secret_service_store(const char* account, const char* key, const char* secret) {
  const Library* lib = loaded();
  if (lib == nullptr) return SecretOutcome::kUnavailable;
  GError* error = nullptr;
  const int stored = lib->store(&kSchema, kDefaultCollection, kItemLabel, secret, nullptr,
                                &error, "account", account, "key", key, kEndOfAttributes);
  if (error != nullptr) return give_up(lib, error);
  return stored != 0 ? SecretOutcome::kOk : SecretOutcome::kFailed;
}

SecretOutcome secret_service_lookup(const char* account, const char* key, char** out) {
  const Library* lib = loaded();
  if (lib == nullptr) return SecretOutcome::kUnavailable;
  GError* error = nullptr;
  char* found =
      lib->lookup(&kSchema, nullptr, &error, "account", account, "key", key, kEndOfAttributes);
  if (error != nullptr) {
    if (found != nullptr) lib->free_password(found);
    return give_up(lib, error);
  }
  if (found == nullptr) return SecretOutcome::kNotFound;
  const size_t length = std::strlen(found);
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy != nullptr) std::memcpy(copy, found, length + 1);
  secure_zero(found, length);
  lib->free_password(found);
  if (copy == nullptr) return SecretOutcome::kFailed;
  *out = copy;
  return SecretOutcome::kOk;
}

SecretOutcome secret_service_clear(const char* account, const char* key) {
  const Library* lib = loaded();
  if (lib == nullptr) return SecretOutcome::kUnavailable;
  GError* error = nullptr;
  lib->clear(&kSchema, nullptr, &error, "account", account, "key", key, kEndOfAttributes);
  if (error != nullptr) return give_up(lib, error);
  return SecretOutcome::kOk;
}

void secret_service_reprobe_for_test(const std::vector<std::string>& library_names) {
  std::lock_guard<std::mutex> lock(g_probe_mutex);
  probe(library_names);
  g_probed = true;
}

}  // namespace norvale::credstore
