// Small string helpers shared by the format checks.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "support/file_helpers.h"

char* str_substring(const char* str, int start, int c_num) {
  if (str == nullptr || start < 0 || c_num < 0) return nullptr;
  char* result = static_cast<char*>(std::calloc(static_cast<size_t>(c_num) + 1, 1));
  if (result == nullptr) return nullptr;
  const size_t length = std::strlen(str);
  if (static_cast<size_t>(start) < length) {
    std::strncpy(result, str + start,
                 std::min(static_cast<size_t>(c_num), length - static_cast<size_t>(start)));
  }
  return result;
}

// Every occurrence of `target` in `src` replaced by `replace`, into `result` (sized by the caller
// for the replaced text and its terminator). An empty target replaces nothing.
int str_replace(const char* src, const char* target, const char* replace, char* result) {
  if (src == nullptr || target == nullptr || replace == nullptr || result == nullptr) return 1;
  const std::string_view from(src);
  const std::string_view what(target);
  std::string out;
  out.reserve(from.size());
  if (what.empty()) {
    out.assign(from);
  } else {
    size_t pos = 0;
    while (true) {
      const size_t hit = from.find(what, pos);
      if (hit == std::string_view::npos) break;
      out.append(from.substr(pos, hit - pos));
      out.append(replace);
      pos = hit + what.size();
    }
    out.append(from.substr(pos));
  }
  std::memcpy(result, out.c_str(), out.size() + 1);
  return 0;
}
