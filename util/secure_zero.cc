#include "util/secure_zero_internal.h"

#include <cstdlib>
#include <cstring>

namespace norvale {

void secure_zero(void* data, size_t size) {
  if (data != nullptr && size > 0) explicit_bzero(data, size);
}

void secure_zero(std::string& text) {
  // Short strings live inside the object and long ones on the heap; either way the bytes
  // from data() up to capacity() are the string's storage.
  secure_zero(text.data(), text.capacity());
  text.clear();
}

void secure_free(char* text) {
  if (text == nullptr) return;
  secure_zero(text, std::strlen(text));
  std::free(text);
}

}  // namespace norvale
