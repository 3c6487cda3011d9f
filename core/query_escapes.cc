// nv_translate_escapes, kept for callers of the exported interface. ODBC escape sequences
// ({fn ...}, {d '...'} and the like) reach the compute node as they stand, so the query path
// does not call it and its answer is a copy of the text.
#include <cstdlib>
#include <cstring>

#include "core/query_internal.h"

extern "C" int nv_translate_escapes(const char* sql, char** out, char* msg, size_t msg_size) {
  if (out == nullptr) {
    norvale::copy_error(msg, msg_size, "nv_translate_escapes: output pointer is NULL");
    return -1;
  }
  *out = nullptr;
  if (sql == nullptr) return 0;
  const size_t n = std::strlen(sql);
  char* copy = static_cast<char*>(std::malloc(n + 1));
  if (copy == nullptr) {
    norvale::copy_error(msg, msg_size, "nv_translate_escapes: out of memory");
    return -1;
  }
  std::memcpy(copy, sql, n + 1);
  *out = copy;
  return 0;
}
