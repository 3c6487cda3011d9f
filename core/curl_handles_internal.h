// Move-only owners of the libcurl handles the core client creates.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace norvale {

struct CurlEasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlSlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistDeleter>;

struct CurlFreeDeleter {
  void operator()(char* text) const { curl_free(text); }
};
using CurlStringPtr = std::unique_ptr<char, CurlFreeDeleter>;

/// Appends a copy of `text` to `list`. On allocation failure the list is left as it was and
/// false is returned (curl_slist_append would otherwise lose the whole list).
bool slist_append(CurlSlistPtr& list, const char* text);

}  // namespace norvale
