// The marker file cache "reference_partition/" in the working directory: the flag that it came
// from a copy saved under the save path, its emptying, and that copy, "<save path>/<barcode>/
// reference_partition/": restored when it holds this tape's own bytes, saved after a walk that read
// the tape afresh.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "endian_utils.h"
#include "marker_layout.h"
#include "output_level.h"
#include "support/atomic_file.h"
#include "support/printable.h"
#include "support/safe_dir.h"
#include "walk/walk.h"

void set_marker_file_flg(Walk& w, int mf_flg) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:set_marker_file_flg\n");
  w.cache.marker_file_flg = mf_flg;
}

int get_marker_file_flg(Walk& w) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:get_marker_file_flg\n");
  return w.cache.marker_file_flg;
}

int delete_files_in_directory(const char* directory_path, const char* ext) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:delete_files_in_directory\n");
  // The directory is opened without following a link (trailing slashes would make the last
  // component resolve, so they are dropped), and only a directory of the running user is
  // emptied: a link, or a directory of somebody else in a shared place, is never touched.
  std::string dir_name(directory_path);
  while (dir_name.size() > 1 && dir_name.back() == '/') dir_name.pop_back();
  const int dir_fd = open(dir_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir_fd < 0 && errno == ENOENT) return 0;
  struct stat dir_status {};
  if (dir_fd < 0 || fstat(dir_fd, &dir_status) != 0 || dir_status.st_uid != geteuid()) {
    if (dir_fd >= 0) close(dir_fd);
    return output_accdg_to_vl(LV_ERROR, VL_MISC, "Failed to open directory(%s).\n", directory_path);
  }
  DIR* dir = fdopendir(dir_fd);
  if (dir == nullptr) {
    close(dir_fd);
    return output_accdg_to_vl(LV_ERROR, VL_MISC, "Failed to open directory(%s).\n", directory_path);
  }
  const size_t ext_length = ext == nullptr ? 0 : std::strlen(ext);
  for (const dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (ext != nullptr &&
        (name.size() < ext_length || name.substr(name.size() - ext_length) != ext)) {
      continue;
    }
    struct stat status {};
    if (fstatat(dir_fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(status.st_mode)) continue;  // only plain files are removed
    if (unlinkat(dir_fd, entry->d_name, 0) != 0) {
      closedir(dir);
      output_fatal(VL_MISC, "Failed to remove file(%s%s).\n", directory_path, entry->d_name);
    }
  }
  closedir(dir);
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :delete_files_in_directory\n");
  return 0;
}

// A cache directory that holds anything but plain files (a link planted there, a directory) is
// not used: the run ends.
void require_plain_cache(const SafeDir& dir) {
  std::string other;
  if (!holds_only_plain_files(dir, &other)) {
    output_fatal(VL_COMMON,
                 "The marker cache directory (%s) holds something that is not a plain file (%s). "
                 "It is not used.\n",
                 dir.path().c_str(), printable(other).c_str());
  }
}

int initialize_marker_files(Walk& w) {
  output_accdg_to_vl(LV_TRACE, VL_MISC, "start:initialize_marker_files\n");
  if (get_marker_file_flg(w) == 0 && delete_files_in_directory(MARKER_CACHE_DIR, nullptr) != 0) {
    // Stale cache files would be compared against: the walk cannot go on.
    output_fatal(VL_MISC, "Marker files could not be deleted at %s.\n", MARKER_CACHE_DIR);
  }
  require_plain_cache(SafeDir::root(".").enter(MARKER_CACHE_DIR, true));
  w.cache.files.changed();
  output_accdg_to_vl(LV_TRACE, VL_MISC, "end  :initialize_marker_files\n");
  return 0;
}

namespace {

// The saved marker cache of this tape under the save path: "<barcode>/reference_partition/",
// entered without following a link (the barcode comes from the tape's cartridge memory). Invalid
// when it does not exist and `create` is false.
SafeDir saved_cache_directory(const Walk& w, const char* barcode_id, bool create) {
  const std::string& save_path = w.setup().save_path;
  const SafeDir root = create ? SafeDir::root(save_path) : SafeDir::existing_root(save_path);
  if (!root.valid()) return root;
  return root.enter(std::string(barcode_id) + "/" + MARKER_CACHE_DIR, create);
}

// The names of the cache files of a tape with `prs` partial references.
std::vector<std::string> cache_file_names(uint64_t prs) {
  std::vector<std::string> names = {CACHE_VOL1_LABEL, CACHE_FIRST_RCM, CACHE_LAST_RCM};
  for (uint64_t n = 0; n < prs; ++n) names.push_back(CACHE_PR_PREFIX + std::to_string(n));
  names.push_back(CACHE_FORMAT_LABEL);  // the presence mark of a saved cache: last
  return names;
}

// Copies the plain file `name` from `from` into `to`; a failure ends the run. A file that `from`
// does not hold is passed over when it is `optional`.
void copy_cache_file(const SafeDir& from, const SafeDir& to, const std::string& name,
                     bool optional = false) {
  struct stat status {};
  if (optional && fstatat(from.fd(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return;
  // A partial reference of a large tape runs to hundreds of megabytes: it is copied a piece at
  // a time.
  AtomicFile copy;
  if (!copy.open(to, name) ||
      !stream_plain_file(from, name,
                         [&copy](std::span<const uint8_t> piece) { return copy.write(piece); }) ||
      !copy.commit()) {
    output_fatal(VL_MISC, "Failed to copy (%s) to (%s).\n", (from.path() + name).c_str(),
                 to.path().c_str());
  }
}

// The marker at the current tape position, up to its filemark (at most `limit` bytes kept).
std::string read_marker_from_tape(Walk& w, size_t limit) {
  std::string bytes;
  TapeCursor& cursor = w.cursor();
  uint32_t count = 0;
  while (cursor.read(w.tape.block_size, &count) == 0) {
    if (bytes.size() < limit) {
      bytes.append(reinterpret_cast<const char*>(cursor.block().data()), count);
    }
  }
  return bytes;
}

// A saved cache is a candidate only when its VOL1 label and last reference commit marker are the
// bytes on this tape's reference partition, and every file it must hold is a plain file. The rest
// of it is compared with the tape as the run reads the reference partition (see
// write_markers_to_file). Returns the number of partial references, or nothing.
std::optional<uint64_t> saved_cache_matches_tape(Walk& w, const SafeDir& dir) {
  std::string vol1;
  std::string rcm;
  if (!read_plain_file(dir, CACHE_VOL1_LABEL, &vol1) ||
      !read_plain_file(dir, CACHE_LAST_RCM, &rcm) || vol1.empty() ||
      rcm.size() < marker_layout::kRcmMarkerCount + marker_layout::kFieldSize) {
    return std::nullopt;
  }
  // The number of partial references of the last reference commit marker; a count beyond the
  // files present stops at the first one missing.
  const uint64_t prs =
      be64(reinterpret_cast<const uint8_t*>(rcm.data()) + marker_layout::kRcmMarkerCount);
  for (uint64_t n = 0; n <= prs; ++n) {
    const std::string name = n < prs ? CACHE_PR_PREFIX + std::to_string(n) : CACHE_FIRST_RCM;
    struct stat status {};
    if (fstatat(dir.fd(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode)) {
      return std::nullopt;
    }
  }
  TapeCursor& cursor = w.cursor();
  cursor.head(0);
  const std::string tape_vol1 = read_marker_from_tape(w, vol1.size() + 1);
  cursor.head(0);
  cursor.space(SPACE_END_OF_DATA, 0);
  cursor.space(SPACE_FILEMARKS, static_cast<uint32_t>(-2));
  cursor.space(SPACE_FILEMARKS, 1);
  const std::string tape_rcm = read_marker_from_tape(w, rcm.size() + 1);
  if (vol1 != tape_vol1 || rcm != tape_rcm) return std::nullopt;
  return prs;
}

void report_unused_cache(const SafeDir& saved) {
  output_accdg_to_vl(LV_WARNING, VL_COMMON,
                     "The saved reference partition (%s) does not match this tape. It is not "
                     "used.\n",
                     saved.path().c_str());
}

// Restores the saved marker cache of this tape into the working cache, when there is one that
// may be this tape's: only the files of its names, and only plain files.
}  // namespace

void restore_marker_cache(Walk& w, const char* barcode_id) {
  const SafeDir saved = saved_cache_directory(w, barcode_id, false);
  struct stat status {};
  if (!saved.valid() || fstatat(saved.fd(), CACHE_FORMAT_LABEL, &status, 0) != 0) return;
  require_plain_cache(saved);
  const std::optional<uint64_t> prs = saved_cache_matches_tape(w, saved);
  if (!prs) {
    report_unused_cache(saved);
    return;
  }
  set_marker_file_flg(w, 1);
  const SafeDir working = SafeDir::root(".").enter(MARKER_CACHE_DIR, true);
  // Files of another tape left in the working cache must not stand beside the restored ones.
  std::string other;
  if (!remove_plain_files(working, &other)) {
    output_fatal(VL_MISC, "Marker files could not be deleted at %s.\n", MARKER_CACHE_DIR);
  }
  for (const std::string& name : cache_file_names(*prs)) copy_cache_file(saved, working, name);
  w.cache.files.changed();
}

void drop_differing_cache(Walk& w, const char* barcode_id) {
  if (get_marker_file_flg(w) == 0 || !w.cache.restored_differs) return;
  report_unused_cache(saved_cache_directory(w, barcode_id, false));
  set_marker_file_flg(w, 0);
}

// Saves the working marker cache under the save path for later runs on this tape. Whatever stood
// there is not a cache of this tape (it would have been restored): it is emptied first. The
// format label, by which a later run recognises a saved cache, is copied last, so that a save cut
// short is not taken for a whole one.
int save_marker_cache(Walk& w, const char* barcode_id) {
  if (get_marker_file_flg(w) != 0) return 0;
  const SafeDir saved = saved_cache_directory(w, barcode_id, true);
  std::string other;
  if (!remove_plain_files(saved, &other)) {
    output_fatal(VL_COMMON,
                 "The saved reference partition (%s) could not be emptied (%s). The marker cache "
                 "is not saved there.\n",
                 saved.path().c_str(), printable(other).c_str());
  }
  uint64_t prs = 0;
  get_pr_num(w, &prs);
  const SafeDir working = SafeDir::root(".").enter(MARKER_CACHE_DIR, true);
  for (const std::string& name : cache_file_names(prs)) {
    copy_cache_file(working, saved, name, true);
  }
  return 0;
}
