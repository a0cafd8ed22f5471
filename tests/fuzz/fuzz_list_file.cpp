// A list file as a retrieval reads it back: the first line of the input names the object key, the
// rest is the file. Every version of the key is taken, then only the latest, and the chain is put
// in tape order.
#include <string>

#include "fuzz/fuzz_target.h"
#include "vexa_format_checker.h"
#include "walk/list_files.h"

namespace {

constexpr char kListFile[] = "list.json";

// Owns a chain of records.
struct Chain {
  object_list* head = nullptr;
  Chain() = default;
  Chain(const Chain&) = delete;
  Chain& operator=(const Chain&) = delete;
  ~Chain() { free_object_list(head); }
};

}  // namespace

OR_FUZZ_TARGET(list_file) {
  fuzz::Bytes key_line;
  fuzz::Bytes list;
  fuzz::split(input, "\n", &key_line, &list);
  const std::string key(reinterpret_cast<const char*>(key_line.data()), key_line.size());
  fuzz::write_input(kListFile, list);
  for (const char* version : {"all", "latest"}) {
    Chain chain;
    get_object_info_in_list(key.c_str(), version, kListFile, &chain.head);
    sort_in_tape_order(&chain.head);
  }
}
