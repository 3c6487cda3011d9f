#include "core/curl_handles_internal.h"

namespace norvale {

bool slist_append(CurlSlistPtr& list, const char* text) {
  curl_slist* grown = curl_slist_append(list.get(), text);
  if (grown == nullptr) return false;
  (void)list.release();
  list.reset(grown);
  return true;
}

}  // namespace norvale
