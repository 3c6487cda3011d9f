#include "core/session_cache_internal.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <array>
#include <iterator>
#include <string>
#include <mutex>
#include <unordered_map>

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

/// The process's HMAC key, drawn once; null when no random bytes could be had.
const std::array<unsigned char, 32>* hmac_key() {
  static const std::array<unsigned char, 32>* key = [] {
    static std::array<unsigned char, 32> bytes{};
    return RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) == 1 ? &bytes : nullptr;
  }();
  return key;
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
  const auto* key = hmac_key();
  if (key == nullptr) return std::string();
  // Lengths first, so that ("a\x1fb", "c") and ("a", "b\x1fc") cannot meet. The message holds
  // the password and is zeroed after use.
  std::string message;
  message.reserve(64 + url.size() + username.size() + password.size());
  for (size_t n : {url.size(), username.size(), password.size()}) {
    message.append(std::to_string(n)).push_back('\x1f');
  }
  message.append(url).append(1, '\x1f').append(username).append(1, '\x1f').append(password);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  const unsigned char* done =
      HMAC(EVP_sha256(), key->data(), static_cast<int>(key->size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
           &digest_len);
  secure_zero(message);
  if (done == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(digest), digest_len);
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
