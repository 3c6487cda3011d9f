// In-memory stand-in for the five libsecret/GLib functions the credential store resolves.
// fake_secret_fail_next() makes the next call report a GError, as a locked or absent
// secret service would.
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>

namespace {

struct GErrorLayout {
  unsigned int domain;
  int code;
  char* message;
};

std::map<std::pair<std::string, std::string>, std::string> g_items;
bool g_fail_next = false;
int g_calls = 0;

/// Reads the "account", value, "key", value, NULL attribute list.
std::pair<std::string, std::string> read_attributes(va_list args) {
  std::string account;
  std::string key;
  while (const char* name = va_arg(args, const char*)) {
    const char* value = va_arg(args, const char*);
    if (std::strcmp(name, "account") == 0) account = value;
    if (std::strcmp(name, "key") == 0) key = value;
  }
  return {account, key};
}

bool take_failure(void** error) {
  ++g_calls;
  if (!g_fail_next) return false;
  g_fail_next = false;
  auto* e = static_cast<GErrorLayout*>(std::calloc(1, sizeof(GErrorLayout)));
  e->message = strdup("secret service locked");
  *error = e;
  return true;
}

}  // namespace

extern "C" {

int secret_password_store_sync(const void*, const char*, const char*, const char* password,
                               void*, void** error, ...) {
  if (take_failure(error)) return 0;
  va_list args;
  va_start(args, error);
  g_items[read_attributes(args)] = password;
  va_end(args);
  return 1;
}

char* secret_password_lookup_sync(const void*, void*, void** error, ...) {
  if (take_failure(error)) return nullptr;
  va_list args;
  va_start(args, error);
  const auto it = g_items.find(read_attributes(args));
  va_end(args);
  return it == g_items.end() ? nullptr : strdup(it->second.c_str());
}

int secret_password_clear_sync(const void*, void*, void** error, ...) {
  if (take_failure(error)) return 0;
  va_list args;
  va_start(args, error);
  const bool erased = g_items.erase(read_attributes(args)) > 0;
  va_end(args);
  return erased ? 1 : 0;
}

void secret_password_free(char* password) { std::free(password); }

void g_error_free(void* error) {
  auto* e = static_cast<GErrorLayout*>(error);
  std::free(e->message);
  std::free(e);
}

void fake_secret_fail_next() { g_fail_next = true; }
int fake_secret_calls() { return g_calls; }
int fake_secret_item_count() { return static_cast<int>(g_items.size()); }

}  // extern "C"
