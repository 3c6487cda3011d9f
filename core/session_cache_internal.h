// Process-wide cache of session tokens, so that short connections skip the login.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace norvale {

/// How long a cached token is reused.
constexpr std::chrono::seconds kSessionTokenLifetime{300};

/// The cache key of (URL, username, password): their keyed digest, so that the cache holds
/// nothing from which the password can be read back. Empty when no digest could be made (the
/// cache is then not used).
std::string session_cache_key(std::string_view url, std::string_view username,
                              std::string_view password);

/// The token stored under `key` when it is at most kSessionTokenLifetime old; an older entry
/// is removed. False when there is no usable entry.
bool session_cache_lookup(const std::string& key, std::string* token);

/// Stores (or replaces) the token under `key`, stamped now.
void session_cache_store(const std::string& key, const std::string& token);

/// Removes every entry holding `token` (a token a compute node refused).
void session_cache_forget_token(std::string_view token);

/// Test hooks.
void session_cache_clear_for_test();
/// Makes every entry older by `age`.
void session_cache_age_for_test(std::chrono::seconds age);
size_t session_cache_size_for_test();

}  // namespace norvale
