// The targets of an object's data: the MD5 check they share, and the two files of a dump.
#include "walk/object_sink.h"

#include <cerrno>
#include <json-c/json.h>

#include "output_level.h"
#include "support/printable.h"
#include "support/file_failure.h"

namespace walk {

namespace {

// The metadata's "ContentMd5" text, "" when it has none (or the metadata does not parse: the walk
// has reported that already).
std::string content_md5_member(std::string_view metadata) {
  json_tokener* tokener = json_tokener_new();
  if (tokener == nullptr) return "";
  json_object* root =
      json_tokener_parse_ex(tokener, metadata.data(), static_cast<int>(metadata.size()));
  json_tokener_free(tokener);
  json_object* member = nullptr;
  std::string text;
  if (json_object_object_get_ex(root, "ContentMd5", &member) &&
      json_object_is_type(member, json_type_string)) {
    text.assign(json_object_get_string(member),
                static_cast<size_t>(json_object_get_string_len(member)));
  }
  json_object_put(root);
  return text;
}

[[noreturn]] void output_failed(const std::string& final_path) {
  output_write_failed(final_path, errno);
}

}  // namespace

ObjectTarget::ObjectTarget(const run_record::Object& object, std::string_view metadata,
                           Digest digest, const char* published_as)
    : object_(object),
      content_md5_(content_md5_member(metadata)),
      digesting_(digest == Digest::always || !content_md5_.empty()),
      published_as_(published_as) {}

void ObjectTarget::write(std::span<const uint8_t> bytes) {
  if (digesting_) md5_.update(bytes);
  put(bytes);
}

Published ObjectTarget::finish() {
  const s3::Md5 md5 = digesting_ ? md5_.finish() : s3::Md5{};
  if (const int error = check_content_md5(md5)) return Published::with_errors(error);
  return publish(md5);
}

int ObjectTarget::check_content_md5(const s3::Md5& md5) const {
  if (content_md5_.empty()) return 0;
  const std::string name =
      run_record::object_name(object_.bucket, object_.key, object_.version, object_.object_id);
  const std::optional<s3::Md5> expected = s3::parse_md5(content_md5_);
  if (!expected) {
    output_accdg_to_vl(LV_WARNING, VL_COMMON,
                       "The \"ContentMd5\" (%s) of the object (%s) is no MD5 digest in base64 or "
                       "hexadecimal. Its data is not checked.\n",
                       printable(content_md5_).c_str(), name.c_str());
    return 0;
  }
  if (*expected == md5) return 0;
  // The digest read, written as the metadata writes its own.
  const bool hexadecimal = content_md5_.size() == 2 * md5.size();
  const std::string read = hexadecimal ? s3::hex_encode(md5) : s3::base64_encode(md5);
  return output_accdg_to_vl(LV_ERROR, VL_COMMON,
                            "The data of the object (%s) does not match its \"ContentMd5\" (%s): "
                            "its MD5 is %s. The object is not %s.\n",
                            name.c_str(), printable(content_md5_).c_str(), read.c_str(),
                            published_as_);
}

FileTarget::FileTarget(const run_record::Object& object, std::string_view metadata)
    : ObjectTarget(object, metadata, Digest::when_expected, "written"), metadata_(metadata) {}

void FileTarget::open(const SafeDir& dir, const std::string& meta_name,
                      const std::string& data_name) {
  for (AtomicFile* file : {&meta_, &data_}) {
    const std::string& name = file == &meta_ ? meta_name : data_name;
    if (!file->open(dir, name)) output_open_failed(temporary_name_prefix(dir.path() + name), errno);
  }
  if (!meta_.write(
          std::span(reinterpret_cast<const uint8_t*>(metadata_.data()), metadata_.size()))) {
    output_failed(meta_.final_path());
  }
}

void FileTarget::put(std::span<const uint8_t> bytes) {
  if (!data_.write(bytes)) output_failed(data_.final_path());
}

Published FileTarget::publish(const s3::Md5& /*md5*/) {
  if (!data_.commit()) output_failed(data_.final_path());
  if (!meta_.commit()) output_failed(meta_.final_path());
  return Published::as(run_record::Outcome::written, {meta_.final_path(), data_.final_path()});
}

}  // namespace walk
