// Owners of libcurl's handles: each is released when its owner goes away.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace s3 {

struct EasyCleanup {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiCleanup {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

// Appends one "Name: value" line; false when libcurl has no memory for it.
inline bool append_header(HeaderList* list, const char* line) {
  curl_slist* grown = curl_slist_append(list->get(), line);
  if (grown == nullptr) return false;
  (void)list->release();
  list->reset(grown);
  return true;
}

}  // namespace s3
