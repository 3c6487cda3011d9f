#include "core/keyed_digest_internal.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <array>

#include "util/secure_zero_internal.h"

namespace norvale {
namespace {

/// The process's HMAC key, drawn once; null when no random bytes could be had.
const std::array<unsigned char, 32>* hmac_key() {
  static const std::array<unsigned char, 32>* key = [] {
    static std::array<unsigned char, 32> bytes{};
    return RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) == 1 ? &bytes : nullptr;
  }();
  return key;
}

}  // namespace

std::string keyed_digest(std::initializer_list<std::string_view> parts) {
  const auto* key = hmac_key();
  if (key == nullptr) return std::string();
  // The message holds the secrets and is zeroed after use.
  std::string message;
  size_t total = 16 * parts.size();
  for (std::string_view part : parts) total += part.size();
  message.reserve(total);
  for (std::string_view part : parts) message.append(std::to_string(part.size())).push_back('\x1f');
  for (std::string_view part : parts) message.append(part).push_back('\x1f');
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

}  // namespace norvale
