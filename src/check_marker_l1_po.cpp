// Packed object info (Level1 without its identifier and object data) and the object metadata
// (Level 0) it carries: the header, the object directory with its closing entry, and the JSON
// metadata of every object. Positions count from the first byte of the PO info.
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "format_check_helpers.h"
#include "marker_layout.h"
#include "output_level.h"
#include "support/printable.h"
#include "vexa_format_checker.h"

using fmtcheck::add_sat;
using fmtcheck::bytes_left;
using fmtcheck::mul_sat;
using fmtcheck::read_be64;

namespace {

using marker_layout::kObjectEntrySize;
constexpr uint64_t kPoHeaderSize = marker_layout::kPoInfoHeaderSize;
constexpr uint64_t kMaxPackedObjectSize = 5497558138880;  // 5 TiB
constexpr size_t kMaxKeyBytes = 1024;
constexpr char kUuidV4Expected[] =
    "Complying with UUID v4 format such as RRRRRRRR-RRRR-4RRR-rRRR-RRRRRRRRRRRR.";

// Number of directory entries a PO info declares: its objects and the closing entry.
uint64_t declared_entries(uint64_t num_of_obj) { return add_sat(num_of_obj, 1); }

bool is_text_key(const char* key) {
  static constexpr const char* kTextKeys[] = {"ContentEncoding",
                                              "ContentType",
                                              "ContentMd5",
                                              "ContentLanguage",
                                              "CreationTime",
                                              "ServerSideCompression",
                                              "ServerSideEncryption",
                                              "ServerSideEncryptionKeyId",
                                              "ServerSideEncryptionCustomer",
                                              "Version"};
  for (const char* text_key : kTextKeys) {
    if (std::strcmp(key, text_key) == 0) return true;
  }
  return false;
}

bool is_required_key(const char* key) {
  return std::strcmp(key, "MetadataVersion") == 0 || std::strcmp(key, "Key") == 0 ||
         std::strcmp(key, "Size") == 0 || std::strcmp(key, "LastModifiedTime") == 0;
}

// The values of the four required members as found, for the summary line.
struct MetadataSummary {
  int metadata_version = 0;
  std::string key;
  int64_t size = 0;
  std::string last_modified_time;
};

// The required members of one object's metadata (each reports its own messages).
int check_required_members(json_object* metadata, int number, MetadataSummary* summary) {
  int ret = 0;
  json_object* value = nullptr;

  if (!json_object_object_get_ex(metadata, "MetadataVersion", &value)) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                              "\"MetadataVersion\" was not found(Number %d Object).\n", number);
  } else {
    summary->metadata_version = json_object_get_int(value);
    if (!json_object_is_type(value, json_type_int)) {
      ret |=
          output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                             "\"MetadataVersion\" is not an integer(Number %d Object).\n", number);
    } else if (json_object_get_int64(value) != 1) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                "\"MetadataVersion\" is not 1(Number %d Object).\n", number);
    }
  }

  if (!json_object_object_get_ex(metadata, "Key", &value)) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "\"Key\" was not found(Number %d Object).\n",
                              number);
  } else {
    summary->key = fmtcheck::json_text(value);
    if (summary->key.size() > kMaxKeyBytes) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                "\"Key\" format is not correct(Number %d Object).\n", number);
    }
  }

  // "Size" is a 64-bit value: objects of 2 GiB and more are ordinary.
  if (!json_object_object_get_ex(metadata, "Size", &value)) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "\"Size\" was not found(Number %d Object).\n",
                              number);
  } else {
    summary->size = json_object_get_int64(value);
    if (!json_object_is_type(value, json_type_int)) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                "\"Size\" is not an integer(Number %d Object).\n", number);
    } else if (summary->size < 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                "\"Size\" is less than 0(Number %d Object).\n", number);
    }
  }

  if (!json_object_object_get_ex(metadata, "LastModifiedTime", &value)) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                              "\"LastModifiedTime\" was not found(Number %d Object).\n", number);
  } else {
    summary->last_modified_time = fmtcheck::json_text(value);
    if (check_utc_format(summary->last_modified_time.c_str()) != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                "\"LastModifiedTime\" format is not correct(Number %d Object).\n",
                                number);
    }
  }
  return ret;
}

// Every member of one object's metadata, in stored order.
int check_metadata_members(json_object* metadata, int number) {
  int ret = 0;
  json_object_object_foreach(metadata, key, value) {
    if (std::strcmp(key, "IsDeleted") == 0) {
      if (!json_object_is_type(value, json_type_boolean)) {
        ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                  "\"IsDeleted\" is not a boolean(Number %d Object).\n", number);
      }
    } else if (std::strcmp(key, "UserMetadata") == 0) {
      if (!json_object_is_type(value, json_type_object)) {
        ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                  "\"UserMetadata\" is not an object(Number %d Object).\n", number);
        continue;
      }
      json_object_object_foreach(value, user_key, user_value) {
        if (!json_object_is_type(user_value, json_type_string)) {
          ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                    "\"%s\" is not a string(Number %d Object).\n",
                                    printable(user_key).c_str(), number);
        }
      }
    } else if (is_text_key(key)) {
      if (!json_object_is_type(value, json_type_string)) {
        ret |=
            output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "\"%s\" is not a string(Number %d Object).\n",
                               printable(key).c_str(), number);
      }
    } else if (is_required_key(key) || std::strncmp(key, "Vendor", 6) == 0) {
      // Checked above, or free for the vendor.
    } else {
      ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                "The key(\"%s\") is unusable(Number %d Object).\n",
                                printable(key).c_str(), number);
    }
  }
  return ret;
}

// The directory entry of one object against the rules of its offsets: only the first broken rule
// is reported. `next` is the entry after it (the closing entry after the last object), null when
// the directory ends before it.
int check_object_entry(const VEXAObject& current, const VEXAObject* next) {
  if (check_uuid_format(current.object_id, "Object", "Object Directory") != 0) {
    return output_accdg_to_vl(LV_ERROR, VL_POINFO,
                              "Object ID is not correct.\n%sActual value  : %s\n%sExpected value: "
                              "%s\n",
                              INDENT, current.object_id, INDENT, kUuidV4Expected);
  }
  if (current.object_data_offset <= current.meta_data_offset) {
    return output_accdg_to_vl(LV_ERROR, VL_POINFO,
                              "Object/Meta Data Offset is not correct.\n%sActual value  : Object "
                              "Data Offset = %lu, Meta Data Offset = %lu\n%sExpected value: %s\n",
                              INDENT, current.object_data_offset, current.meta_data_offset, INDENT,
                              "Object Data Offset should be greater than Meta Data Offset.");
  }
  if (next != nullptr && next->meta_data_offset < current.object_data_offset) {
    return output_accdg_to_vl(
        LV_ERROR, VL_POINFO,
        "Object/Meta Data Offset is not correct.\n%sActual value  : Next Meta "
        "Data Offset = %lu, Current Object Data Offset = %lu\n%sExpected "
        "value: %s\n",
        INDENT, next->meta_data_offset, current.object_data_offset, INDENT,
        "Meta Data Offset should be equal or greater than Object Data Offset.");
  }
  if (next != nullptr && next->object_data_offset < current.object_data_offset) {
    return output_accdg_to_vl(LV_ERROR, VL_POINFO,
                              "Object Data Offset is not correct.\n%sActual value  : Current = "
                              "%lu, Next = %lu\n%sExpected value: %s\n",
                              INDENT, current.object_data_offset, next->object_data_offset, INDENT,
                              "Any Offset should increase in the order.");
  }
  return 0;
}

// The closing entry of the directory: a nil object ID and both offsets at the last data offset,
// which bounds the packed object's size. Only the first broken rule is reported.
int check_closing_entry(const VEXAObject& last) {
  if (strcasecmp(last.object_id, NIL_UUID) != 0) {
    return output_accdg_to_vl(LV_ERROR, VL_POINFO,
                              "Object ID of the last Objects Directory is not correct.\n%sActual "
                              "value  : %s\n%sExpected value: %s\n",
                              INDENT, last.object_id, INDENT, NIL_UUID);
  }
  if (last.object_data_offset != last.meta_data_offset) {
    return output_accdg_to_vl(LV_ERROR, VL_POINFO,
                              "Both Data Offset of the last Objects Directory are not "
                              "correct.\n%sActual value  : Object Data Offset = %lu, Meta Data "
                              "Offset = %lu\n%sExpected value: %s\n",
                              INDENT, last.object_data_offset, last.meta_data_offset, INDENT,
                              "Object Data Offset = Meta Data Offset = Last Data Offset.");
  }
  if (last.object_data_offset > kMaxPackedObjectSize) {
    return output_accdg_to_vl(LV_ERROR, VL_POINFO,
                              "Packed Object size is not correct.\n%sActual value  : Packed Object "
                              "size = %lu\n%sExpected value: %s\n",
                              INDENT, last.object_data_offset, INDENT,
                              "Packed Object size should be <= 5 TiB.");
  }
  return 0;
}

}  // namespace

int cpof_po_header(std::span<const uint8_t> data_buf, uint64_t* current_position,
                   uint64_t* out_num_of_obj, uint64_t* po_header_length) {
  output_accdg_to_vl(LV_TRACE, VL_POINFO, "start:cpof_po_header\n");
  if (current_position == nullptr || out_num_of_obj == nullptr || po_header_length == nullptr) {
    output_fatal(VL_MISC, "Null pointer is detected at cpof_po_header");
  }
  uint8_t raw[kPoHeaderSize];
  const size_t present = fmtcheck::copy_bytes(data_buf, *current_position, raw, sizeof(raw));
  *current_position = add_sat(*current_position, kPoHeaderSize);
  const std::span<const uint8_t> header(raw, sizeof(raw));
  const uint64_t directory_offset = read_be64(header, 0);
  const uint64_t data_offset = read_be64(header, marker_layout::kPoInfoDataOffset);
  const uint64_t num_of_obj = read_be64(header, marker_layout::kPoInfoObjectCount);
  char pack_id[37];
  char bucket_id[37];
  char system_id[37];
  fmtcheck::unparse_uuid_at(header, marker_layout::kPoInfoPackId, pack_id);
  fmtcheck::unparse_uuid_at(header, marker_layout::kPoInfoBucketId, bucket_id);
  fmtcheck::unparse_uuid_at(header, marker_layout::kPoInfoSystemId, system_id);
  const uint64_t expected_data_offset =
      add_sat(kPoHeaderSize, mul_sat(declared_entries(num_of_obj), kObjectEntrySize));

  int ret = 0;
  // Only the first broken rule is reported.
  if (present < kPoHeaderSize) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_POINFO,
                              "PO Header is shorter than its format.\n%sActual size   : "
                              "%zu\n%sExpected size : %lu\n",
                              INDENT, present, INDENT, kPoHeaderSize);
  } else if (directory_offset != kPoHeaderSize) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_POINFO,
                              "Data length of Directory Offset is not correct.\n%sActual value  : "
                              "%lu\n%sExpected value: %lu\n",
                              INDENT, directory_offset, INDENT, kPoHeaderSize);
  } else if (data_offset != expected_data_offset) {
    ret |= output_accdg_to_vl(
        LV_ERROR, VL_POINFO,
        "Length of Data Offset is not correct.\n%sActual value  : %lu\n%sExpected value: Length of "
        "Data Offset is corresponding to (PO Header + Objects Directory)\n%s              : where, "
        "PO Header should be %lu bytes,\n%s              : Objects Directory should be (Number of "
        "Objects + 1) * %lu bytes\n",
        INDENT, data_offset, INDENT, INDENT, kPoHeaderSize, INDENT, kObjectEntrySize);
  } else if (num_of_obj == 0) {
    ret |=
        output_accdg_to_vl(LV_ERROR, VL_POINFO,
                           "Number of Objects is not correct.\n%sActual value  : %lu\n%sExpected "
                           "value: %s\n",
                           INDENT, num_of_obj, INDENT, "Objects number should be greater than 0.");
  } else if (check_uuid_format(pack_id, "Packed Object", "PO Header") != 0) {
    ret |=
        output_accdg_to_vl(LV_ERROR, VL_POINFO,
                           "Pack ID is not correct.\n%sActual value  : %s\n%sExpected value: %s\n",
                           INDENT, pack_id, INDENT, kUuidV4Expected);
  } else if (check_uuid_format(bucket_id, "Bucket", "PO Header") != 0) {
    ret |= output_accdg_to_vl(
        LV_ERROR, VL_POINFO,
        "Bucket ID is not correct.\n%sActual value  : %s\n%sExpected value: %s\n", INDENT,
        bucket_id, INDENT, kUuidV4Expected);
  } else if (check_uuid_format(system_id, "System ID", "PO Header") != 0) {
    ret |= output_accdg_to_vl(
        LV_ERROR, VL_POINFO,
        "SYSTEM ID is not correct.\n%sActual value  : %s\n%sExpected value: %s\n", INDENT,
        system_id, INDENT, kUuidV4Expected);
  } else {
    ret |=
        output_accdg_to_vl(LV_INFO, VL_POINFO,
                           "PO Header is correct.\n%sDirectory offset  : %lu\n%sData offset       "
                           ": %lu\n%sNumber of Objects : %lu\n%sPack ID           : %s\n%sBucket "
                           "ID         : %s\n%sSYSTEM ID         : %s\n",
                           INDENT, directory_offset, INDENT, data_offset, INDENT, num_of_obj,
                           INDENT, pack_id, INDENT, bucket_id, INDENT, system_id);
  }
  output_accdg_to_vl(LV_TRACE, VL_POINFO, "end  :cpof_po_header\n");
  *out_num_of_obj = num_of_obj;
  *po_header_length = directory_offset;
  return ret;
}

uint64_t po_directory_entries_present(std::span<const uint8_t> data_buf, uint64_t current_position,
                                      uint64_t num_of_obj) {
  return std::min(declared_entries(num_of_obj),
                  bytes_left(data_buf, current_position) / kObjectEntrySize);
}

int cpof_object_directory(std::span<const uint8_t> data_buf, uint64_t* current_position,
                          uint64_t poid_length, uint64_t po_header_length, uint64_t num_of_obj,
                          std::span<VEXAObject> objects) {
  output_accdg_to_vl(LV_TRACE, VL_POINFO, "start:cpof_object_directory\n");
  const uint64_t declared = declared_entries(num_of_obj);
  const uint64_t present =
      current_position != nullptr
          ? po_directory_entries_present(data_buf, *current_position, num_of_obj)
          : 0;
  if (current_position == nullptr || objects.size() < present) {
    output_fatal(VL_MISC,
                 "Invalid arguments at cpof_object_directory: current_position = %p, room "
                 "for %zu entries, %lu entries to read\n",
                 static_cast<void*>(current_position), objects.size(), present);
  }
  int ret = 0;
  if (present < declared) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_POINFO,
                              "Objects Directory is shorter than its number of objects.\n%sNumber "
                              "of entries         : %lu\n%sNumber of entries present : %lu\n",
                              INDENT, declared, INDENT, present);
  }
  const uint64_t directory_bytes = mul_sat(declared, kObjectEntrySize);
  for (uint64_t i = 0; i < present; ++i) {
    const uint64_t entry = *current_position + i * kObjectEntrySize;
    fmtcheck::unparse_uuid_at(data_buf, entry, objects[i].object_id);
    objects[i].meta_data_offset =
        read_be64(data_buf, entry + marker_layout::kObjectEntryMetaOffset);
    objects[i].object_data_offset =
        read_be64(data_buf, entry + marker_layout::kObjectEntryDataOffset);
  }
  *current_position = add_sat(*current_position, directory_bytes);

  // Per object, only the first broken rule; the closing entry follows the last object.
  uint64_t byte_size = add_sat(directory_bytes, po_header_length);
  const uint64_t objects_present = std::min(num_of_obj, present);
  for (uint64_t i = 0; i < objects_present; ++i) {
    const VEXAObject& current = objects[i];
    ret |= check_object_entry(current, i + 1 < present ? &objects[i + 1] : nullptr);
    // Metadata size as declared (modulo 2^64 when the offsets are reversed: already reported).
    byte_size += current.object_data_offset - current.meta_data_offset;
  }

  if (byte_size != poid_length) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_POINFO,
                              "Byte size of Packed Object Info is not correct.\n%sActual value  : "
                              "%lu\n%sExpected value: %lu\n%s              : It should be the same "
                              "as [Packed Object Info Length] described in [Packed Object Info "
                              "Directory].\n",
                              INDENT, byte_size, INDENT, poid_length, INDENT);
  }

  if (num_of_obj < present) {
    const VEXAObject& last = objects[num_of_obj];
    ret |= check_closing_entry(last);
    if (ret == 0) {
      ret |= output_accdg_to_vl(LV_INFO, VL_POINFO,
                                "Objects Directory is correct.\n%sLast Data Offset  : %lu\n",
                                INDENT, last.object_data_offset);
    }
  }
  return ret;
}

int cpof_only_meta(std::span<const uint8_t> data_buf, uint64_t* current_position,
                   uint64_t num_of_obj, std::span<const VEXAObject> objects) {
  output_accdg_to_vl(LV_TRACE, VL_DEFAULT, "start:cpof_only_meta\n");
  if (current_position == nullptr) {
    output_fatal(VL_MISC, "Null pointer is detected at cpof_only_meta");
  }
  int ret = 0;
  ret |= output_accdg_to_vl(LV_INFO, VL_DEFAULT, "LEVEL 0\n");
  // Objects whose directory entry is missing were reported with the directory.
  const uint64_t count = std::min<uint64_t>(num_of_obj, objects.size());
  for (uint64_t i = 0; i < count; ++i) {
    const int number = static_cast<int>(i);
    const VEXAObject& object = objects[i];
    int object_ret = 0;

    // The metadata size as declared, checked against the bytes actually present before anything
    // is copied: a negative size is an error, and a size past the end takes only what is there.
    const bool negative = object.object_data_offset < object.meta_data_offset;
    const uint64_t declared = negative ? 0 : object.object_data_offset - object.meta_data_offset;
    const int64_t shown_size =
        negative ? -static_cast<int64_t>(std::min<uint64_t>(
                       object.meta_data_offset - object.object_data_offset, INT64_MAX))
                 : static_cast<int64_t>(std::min<uint64_t>(declared, INT64_MAX));
    output_accdg_to_vl(LV_DEBUG, VL_DEFAULT,
                       "metadata_size=%ld, data_offset=%lu, metadata_offset=%lu\n", shown_size,
                       object.object_data_offset, object.meta_data_offset);
    const uint64_t left = bytes_left(data_buf, *current_position);
    if (negative) {
      object_ret |=
          output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                             "Meta data size is less than 0(Number %d Object).\n%sMeta data "
                             "size : %ld\n",
                             number, INDENT, shown_size);
    } else if (declared > left) {
      object_ret |=
          output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                             "Meta data is shorter than its size(Number %d Object).\n%sMeta "
                             "data size    : %lu\n%sBytes present     : %lu\n",
                             number, INDENT, declared, INDENT, left);
    }
    const uint64_t copy_size = std::min(declared, left);
    auto text = fmtcheck::allocate_array<char>(copy_size + 1, "metadata");
    if (copy_size > 0) std::memcpy(text.get(), data_buf.data() + *current_position, copy_size);
    *current_position = add_sat(*current_position, declared);

    fmtcheck::JsonPtr metadata(json_tokener_parse(text.get()));
    const bool is_object = json_object_is_type(metadata.get(), json_type_object);
    if (!is_object) {
      object_ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                                       "Meta data in Number %d Object is not complying with JSON "
                                       "format.\n",
                                       number);
    }
    MetadataSummary summary;
    object_ret |= check_required_members(is_object ? metadata.get() : nullptr, number, &summary);
    if (is_object) object_ret |= check_metadata_members(metadata.get(), number);

    ret |= object_ret;
    ret |= output_accdg_to_vl(
        LV_INFO, VL_DEFAULT,
        "Object Meta data is %scorrect.\n%sSequence ID : %d\n%sMetadataVersion "
        " : %d\n%sKey  : %s\n%sSize  : %ld\n%sLastModifiedTime  : %s\n",
        object_ret != 0 ? "not " : "", INDENT, number + 1, INDENT, summary.metadata_version, INDENT,
        printable(summary.key).c_str(), INDENT, summary.size, INDENT,
        printable(summary.last_modified_time).c_str());
  }
  output_accdg_to_vl(LV_TRACE, VL_DEFAULT, "end  :cpof_only_meta\n");
  return ret;
}

int clf_packed_objects_info(const char* unpackedobjpath, std::span<const uint8_t> data_buf,
                            uint64_t* current_position, uint64_t po_info_length) {
  output_accdg_to_vl(LV_TRACE, VL_DEFAULT, "start:clf_packed_objects_info\n");
  if (unpackedobjpath == nullptr || (data_buf.data() == nullptr && !data_buf.empty()) ||
      current_position == nullptr) {
    output_fatal(VL_MISC, "Null pointer is detected at clf_packed_objects_info");
  }
  int ret = 0;
  ret |= output_accdg_to_vl(LV_INFO, VL_DEFAULT, "LEVEL 2\n");
  uint64_t num_of_obj = 0;
  uint64_t po_header_length = 0;
  if (cpof_po_header(data_buf, current_position, &num_of_obj, &po_header_length) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "PO header format is not correct.\n");
  }
  // Records for the directory entries the PO info holds, never for more.
  const uint64_t entries = po_directory_entries_present(data_buf, *current_position, num_of_obj);
  auto objects = fmtcheck::allocate_array<VEXAObject>(entries, "Objects");
  const std::span<VEXAObject> records(objects.get(), entries);
  if (cpof_object_directory(data_buf, current_position, po_info_length, po_header_length,
                            num_of_obj, records) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "Objects Directory format is not correct.\n");
  }
  if (cpof_only_meta(data_buf, current_position, num_of_obj, records) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_DEFAULT,
                              "At least one of Objects has an invalid Meta data.\n");
  }
  output_accdg_to_vl(LV_TRACE, VL_DEFAULT, "end  :clf_packed_objects_info\n");
  return ret;
}
