// Process-wide cache of session tokens, so that short connections skip the login.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace norvale {

/// How long a cached token is reused.
constexpr std::chrono::seconds kSessionTokenLifetime{300};

/// URL, 0x1F, username, 0x1F, password. The key holds the password: zero it after use.
std::string session_cache_key(std::string_view url, std::string_view username,
                              std::string_view password);

/// The token stored under `key` when it is at most kSessionTokenLifetime old; an older entry
/// is removed. False when there is no usable entry.
bool session_cache_lookup(const std::string& key, std::string* token);

/// Stores (or replaces) the token under `key`, stamped now.
void session_cache_store(const std::string& key, const std::string& token);

/// Test hooks.
void session_cache_clear_for_test();
/// Makes every entry older by `age`.
void session_cache_age_for_test(std::chrono::seconds age);
size_t session_cache_size_for_test();

}  // namespace norvale
