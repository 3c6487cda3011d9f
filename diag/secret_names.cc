#include "diag/secret_names_internal.h"

#include "util/strings_internal.h"

namespace norvale::diag {
namespace {

constexpr std::string_view kSecretWords[] = {
    "password",   "passwd",      "pwd",        "token",       "secret",
    "apikey",     "api_key",     "api-key",    "client_key",  "private_key",
    "proxy_pass", "credential",  "reservation"};

bool ends_with_ci(std::string_view name, std::string_view suffix) {
  return name.size() >= suffix.size() &&
         ascii_eq_ci(name.substr(name.size() - suffix.size()), suffix);
}

}  // namespace

bool secret_name(std::string_view name) {
  for (std::string_view suffix : {"_pass", "-pass", ".pass", "proxypass"}) {
    if (ends_with_ci(name, suffix)) return true;
  }
  if (ascii_eq_ci(name, "pass")) return true;
  for (std::string_view word : kSecretWords) {
    if (ascii_contains_ci(name, word)) return true;
  }
  return false;
}

}  // namespace norvale::diag
