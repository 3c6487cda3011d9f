#include "core/session_cache_internal.h"

#include <iterator>
#include <string>
#include <mutex>
#include <unordered_map>

#include "core/keyed_digest_internal.h"
#include "util/secure_zero_internal.h"

namespace norvale {
namespace {

using Clock = std::chrono::steady_clock;

struct CachedToken {
  std::string token;
  Clock::time_point stored;
};

using TokenMap = std::unordered_map<std::string, CachedToken>;

std::mutex& cache_mutex() {
  static std::mutex mutex;
  return mutex;
}

TokenMap& cache() {
  // Never destroyed: connections may be torn down during process exit.
  static auto* map = new TokenMap();
  return *map;
}

/// Removes an entry, zeroing its key and its token.
void erase_entry(TokenMap& map, TokenMap::iterator it) {
  auto node = map.extract(it);
  secure_zero(node.key());
  secure_zero(node.mapped().token);
}

}  // namespace

std::string session_cache_key(std::string_view url, std::string_view username,
                              std::string_view password) {
  return keyed_digest({url, username, password});
}

bool session_cache_lookup(const std::string& key, std::string* token) {
  std::lock_guard<std::mutex> lock(cache_mutex());
  TokenMap& map = cache();
  const auto it = map.find(key);
  if (it == map.end()) return false;
  if (Clock::now() - it->second.stored > kSessionTokenLifetime) {
    erase_entry(map, it);
    return false;
  }
  *token = it->second.token;
  return true;
}

void session_cache_store(const std::string& key, const std::string& token) {
  std::lock_guard<std::mutex> lock(cache_mutex());
  TokenMap& map = cache();
  const auto it = map.find(key);
  if (it != map.end()) {
    secure_zero(it->second.token);
    it->second = CachedToken{token, Clock::now()};
    return;
  }
  map.emplace(key, CachedToken{token, Clock::now()});
}

void session_cache_forget_token(std::string_view token) {
  if (token.empty()) return;
  std::lock_guard<std::mutex> lock(cache_mutex());
  TokenMap& map = cache();
  for (auto it = map.begin(); it != map.end();) {
    auto next = std::next(it);
    if (it->second.token == token) erase_entry(map, it);
    it = next;
  }
}

void session_cache_clear_for_test() {
  std::lock_guard<std::mutex> lock(cache_mutex());
  TokenMap& map = cache();
  while (!map.empty()) erase_entry(map, map.begin());
}

void session_cache_age_for_test(std::chrono::seconds age) {
  std::lock_guard<std::mutex> lock(cache_mutex());
  for (auto& [key, entry] : cache()) entry.stored -= age;
}

size_t session_cache_size_for_test() {
  std::lock_guard<std::mutex> lock(cache_mutex());
  return cache().size();
}

}  // namespace norvale
