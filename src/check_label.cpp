// VOL1 label and format label checks: the first two records of the reference partition, read
// from the marker file cache "reference_partition/". Reports use the label verbose string "v".
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "format_check_helpers.h"
#include "output_level.h"
#include "support/printable.h"
#include "vexa_format_checker.h"

// =============================================================================================
// VOL1 label
// =============================================================================================

namespace {

const std::string kVol1LabelFile = marker_cache_file(CACHE_VOL1_LABEL);
constexpr size_t kVol1LabelSize = 80;

// Field positions and lengths of the 80-byte VOL1 label.
struct Vol1Field {
  size_t offset;
  size_t length;
};
constexpr Vol1Field kLabelIdentifier{0, 3};
constexpr Vol1Field kLabelNumber{3, 1};
constexpr Vol1Field kVolumeIdentifier{4, 6};
constexpr Vol1Field kVolumeAccessibility{10, 1};
constexpr Vol1Field kReserved13{11, 13};
constexpr Vol1Field kImplementationName{24, 8};
constexpr Vol1Field kImplementationRest{32, 5};
constexpr Vol1Field kOwnerIdentifier{37, 14};
constexpr Vol1Field kReserved28{51, 28};
constexpr Vol1Field kLabelStandardVersion{79, 1};

// POSIX-locale classes on the byte taken as unsigned.
bool is_upper_or_digit(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool is_printable(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

// Compares one field with its required text; on a difference reports `what` with the field as
// found and the text expected.
int check_vol1_field(const char* label, Vol1Field field, std::string_view expected,
                     const char* what) {
  if (std::memcmp(label + field.offset, expected.data(), field.length) == 0) return 0;
  char* actual =
      str_substring(label, static_cast<int>(field.offset), static_cast<int>(field.length));
  const std::string expected_text(expected);
  const int ret =
      output_accdg_to_vl(LV_ERROR, VL_LABEL,
                         "%s format is not correct.\n%sActual format  :%s\n%sExpected "
                         "format:%s\n",
                         what, INDENT, printable(actual != nullptr ? actual : "").c_str(), INDENT,
                         expected_text.c_str());
  free_safely(&actual);
  return ret;
}

}  // namespace

int clf_vol1_label() {
  output_accdg_to_vl(LV_TRACE, VL_LABEL, "start:clf_vol1_label\n");
  FILE* fp = fmtcheck::open_from_start(kVol1LabelFile.c_str());
  uint8_t raw[kVol1LabelSize] = {};
  const size_t read_count = clf_read_file(raw, 1, kVol1LabelSize, fp);
  clf_check_read_data(read_count, kVol1LabelSize, "Vol1 Label", kVol1LabelFile.c_str());

  char label[kVol1LabelSize + 1] = {};
  std::memcpy(label, raw, kVol1LabelSize);
  const std::string spaces(kReserved28.length, ' ');

  int ret = 0;
  ret |= check_vol1_field(label, kLabelIdentifier, "VOL", "Label identifier");
  ret |= check_vol1_field(label, kLabelNumber, "1", "Label number");
  // The identifier scans stop once anything in the label has failed.
  for (size_t i = 0; i < kVolumeIdentifier.length; ++i) {
    const char c = label[kVolumeIdentifier.offset + i];
    if (!is_upper_or_digit(static_cast<unsigned char>(c))) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL,
                                "Volume identifier format is not correct.\n%sYou can not use "
                                "character '%s'.\n",
                                INDENT, printable(std::string_view(&c, 1)).c_str());
    }
    if (ret == 1) break;
  }
  ret |= check_vol1_field(label, kVolumeAccessibility, " ", "Volume accessibility");
  ret |= check_vol1_field(label, kReserved13, std::string_view(spaces).substr(0, 13),
                          "Reserved spaces");
  ret |= check_vol1_field(label, kImplementationName, "Quorrant", "Implementation identifier");
  ret |= check_vol1_field(label, kImplementationRest, std::string_view(spaces).substr(0, 5),
                          "Implementation identifier");
  for (size_t i = 0; i < kOwnerIdentifier.length; ++i) {
    const char c = label[kOwnerIdentifier.offset + i];
    if (!is_printable(static_cast<unsigned char>(c))) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL,
                                "Owner identifier format is not correct.\n%sYou can not use "
                                "character '%s'.\n",
                                INDENT, printable(std::string_view(&c, 1)).c_str());
    }
    if (ret == 1) break;
  }
  ret |= check_vol1_field(label, kReserved28, spaces, "Reserved spaces");
  ret |= check_vol1_field(label, kLabelStandardVersion, "4", "Label standard version");

  clf_close_file(fp);
  ret |= output_accdg_to_vl(LV_INFO, VL_LABEL, "%s\n", printable(label).c_str());
  output_accdg_to_vl(LV_TRACE, VL_LABEL, "end  :clf_vol1_label\n");
  return ret;
}

// =============================================================================================
// Format label
// =============================================================================================

namespace {

const std::string kFormatLabelFile = marker_cache_file(CACHE_FORMAT_LABEL);
constexpr size_t kFormatLabelMaxBytes = 1048576;
constexpr char kFormatVersion[] = "2.0.0";
constexpr size_t kCreatorMaxBytes = 1024;
constexpr size_t kMamTextCompare = 8;  // vendor and version fields of the cartridge memory
constexpr int32_t kMinBlockSize = 4096;

// An owned copy of a text in a block from clf_allocate_memory (released by destroy_vexa_label).
char* copy_text(const char* text, const char* what) {
  const size_t length = std::strlen(text);
  char* copy = static_cast<char*>(clf_allocate_memory(length + 1, what));
  std::memcpy(copy, text, length + 1);
  return copy;
}

bool is_alnum(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

int check_label_version(const char* value, const MamHta* mamhta) {
  int ret = 0;
  if (std::strcmp(value, kFormatVersion) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL,
                              "Version format is not correct.\n%sActual format  :%s\n%sExpected "
                              "format:%s\n",
                              INDENT, printable(value).c_str(), INDENT, kFormatVersion);
  }
  if (mamhta->is_valid == 0) return ret;
  const char* field = mamhta->Data.application_version;
  const std::string application_version =
      fmtcheck::field_text(field, sizeof(mamhta->Data.application_version));
  const size_t length = std::strlen(value);
  const size_t n = std::min(length, kMamTextCompare);
  if (std::strncmp(value, application_version.c_str(), n) != 0) {
    ret |= output_accdg_to_vl(
        LV_WARNING, VL_LABEL,
        "Version in Quorrant Label is different from Application version in "
        "MAM Host-type Attributes.\n%sVersion in the Label:  %s\n%sApplication "
        "version in MAM HTA: %s\n",
        INDENT, printable(value).c_str(), INDENT, printable(application_version).c_str());
  }
  // The rest of the cartridge memory's 8-byte field must be blank padding.
  for (size_t pos = length; pos < kMamTextCompare; ++pos) {
    if (field[pos] != ' ') {
      ret |= output_accdg_to_vl(LV_WARNING, VL_LABEL,
                                "Application version \"%s\" should be padded by space from offset "
                                "%d and later.\n",
                                printable(application_version).c_str(), static_cast<int>(length));
      break;
    }
  }
  return ret;
}

int check_label_creator(const char* value, const MamHta* mamhta) {
  int ret = 0;
  const size_t length = std::strlen(value);
  if (length > kCreatorMaxBytes) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL,
                              "Creator of Quorrant Label whose length is longer than 1024 "
                              "bytes.\n%sCreator of Quorrant Label: %s\n",
                              INDENT, printable(value).c_str());
  }
  if (mamhta->is_valid == 0) return ret;
  const std::string vendor = fmtcheck::field_text(mamhta->Data.application_vendor,
                                                  sizeof(mamhta->Data.application_vendor));
  if (std::strncmp(value, vendor.c_str(), std::min(length, kMamTextCompare)) != 0) {
    ret |=
        output_accdg_to_vl(LV_WARNING, VL_LABEL,
                           "Creator of Quorrant Label is different from APPLICATION VENDOR in MAM "
                           "Host-type Attributes.\n%sCreator of Quorrant Label: %s\n%sAPPLICATION "
                           "VENDOR in MAM: %s\n",
                           INDENT, printable(value).c_str(), INDENT, printable(vendor).c_str());
  }
  return ret;
}

// One member of the "QuorrantLabel" object.
int check_label_member(const char* key, json_object* value, const MamVci* mamvci,
                       const MamHta* mamhta, uint32_t* block_size, VEXALabel* label) {
  int ret = 0;
  const char* text = fmtcheck::json_text(value);
  if (std::strcmp(key, "Version") == 0) {
    free_safely(&label->vexa_version);
    label->vexa_version = copy_text(text, "Version in Quorrant Label");
    label->exists_vexa_version = True;
    ret |= check_label_version(label->vexa_version, mamhta);
  } else if (std::strcmp(key, "FormatTime") == 0) {
    free_safely(&label->format_time);
    label->format_time = copy_text(text, "Format Time in Quorrant Label");
    if (check_utc_format(label->format_time) != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL,
                                "UTC format is not correct.\n%sActual format  :%s\n%sExpected "
                                "format:YYYY-MM-DDThh:mm:ss.mmmmmmZ\n",
                                INDENT, printable(label->format_time).c_str(), INDENT);
    }
    label->exists_format_time = True;
  } else if (std::strcmp(key, "VolumeUuid") == 0) {
    std::memset(label->volume_uuid, 0, sizeof(label->volume_uuid));
    std::strncpy(label->volume_uuid, text, sizeof(label->volume_uuid) - 1);
    if (check_uuid_format(label->volume_uuid, "Volume", "QuorrantLabel") != 0) {
      ret |=
          output_accdg_to_vl(LV_ERROR, VL_LABEL,
                             "VolumeUuid of Quorrant Label is not correct.\n%sActual format  :%s\n",
                             INDENT, printable(label->volume_uuid).c_str());
    }
    if (mamvci->is_valid != 0) {
      const std::string mam_uuid =
          fmtcheck::field_text(mamvci->Data.uuid, sizeof(mamvci->Data.uuid));
      if (strcasecmp(label->volume_uuid, mam_uuid.c_str()) != 0) {
        ret |= output_accdg_to_vl(
            LV_WARNING, VL_LABEL,
            "VolumeUuid of Quorrant Label is not same as the MAM data.\n%sActual "
            "format(Label) :%s\n%sActual format(MAM)   :%s\n",
            INDENT, printable(label->volume_uuid).c_str(), INDENT, mam_uuid.c_str());
      }
    }
    label->exists_volume_uuid = True;
  } else if (std::strcmp(key, "Creator") == 0) {
    free_safely(&label->creator);
    label->creator = copy_text(text, "Creator in Quorrant Label");
    label->exists_creator = True;
    ret |= check_label_creator(label->creator, mamhta);
  } else if (std::strcmp(key, "Compression") == 0) {
    if (!json_object_is_type(value, json_type_boolean)) {
      ret |= output_accdg_to_vl(
          LV_ERROR, VL_LABEL,
          "Compression of Quorrant Label is not correct.\n%sExpected format:%s\n", INDENT,
          "Boolean (true or false)");
    }
  } else if (std::strcmp(key, "BlockSize") == 0) {
    char* block_size_text = copy_text(text, "BlockSize in Quorrant Label");
    ret |= check_block_size(block_size_text, block_size);
    free_safely(&block_size_text);
  } else if (std::strncmp(key, "Vendor", 6) == 0) {
    ret |= output_accdg_to_vl(
        LV_INFO, VL_LABEL,
        "Vendor defined KEY and VALUE are found.\n%sKEY    : %s\n%sVALUE  : %s\n", INDENT,
        printable(key).c_str(), INDENT, printable(text).c_str());
    for (const char* p = key; *p != '\0'; ++p) {
      const auto c = static_cast<unsigned char>(*p);
      if (!is_alnum(c)) {
        ret |=
            output_accdg_to_vl(LV_ERROR, VL_LABEL,
                               "Vendor defined KEY of Quorrant Label is including an invalid "
                               "character(s).\n%sActual format  : 0x%02X\n%sExpected format: %s\n",
                               INDENT, c, INDENT, "Digits or Alphabets");
        break;
      }
    }
  } else {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL,
                              "Undefined KEY and VALUE are found.\n%sKEY    : %s\n%sVALUE  : %s\n",
                              INDENT, printable(key).c_str(), INDENT, printable(text).c_str());
  }
  return ret;
}

}  // namespace

int initialize_vexa_label(VEXALabel* label) {
  if (label == nullptr) return 1;
  *label = VEXALabel{};
  label->exists_vexa_version = False;
  label->exists_format_time = False;
  label->exists_volume_uuid = False;
  label->exists_creator = False;
  return 0;
}

int destroy_vexa_label(VEXALabel* label) {
  if (label == nullptr) return 0;
  free_safely(&label->vexa_version);
  free_safely(&label->format_time);
  free_safely(&label->creator);
  return 0;
}

int check_block_size(const char* str_block_size, uint32_t* block_size) {
  output_accdg_to_vl(LV_TRACE, VL_LABEL, "start:check_block_size\n");
  const std::string_view text(str_block_size != nullptr ? str_block_size : "");
  // Digits only, and a value that a signed 32-bit integer holds: a longer run of digits is
  // rejected rather than cut to some unrelated smaller value.
  bool accepted = !text.empty();
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      accepted = false;
      break;
    }
    value = value * 10 + (c - '0');
    if (value > INT32_MAX) {
      accepted = false;
      break;
    }
  }
  accepted = accepted && value >= kMinBlockSize;
  int ret = 0;
  if (accepted) {
    if (block_size != nullptr) *block_size = static_cast<uint32_t>(value);
  } else {
    const std::string shown(text);
    ret |=
        output_accdg_to_vl(LV_ERROR, VL_LABEL,
                           "BlockSize of Quorrant Label is not correct.\n%sActual format  : "
                           "%s\n%sExpected format: %s\n",
                           INDENT, printable(shown).c_str(), INDENT, "Integer (4096 or greater)");
  }
  output_accdg_to_vl(LV_TRACE, VL_LABEL, "end  :check_block_size\n");
  return ret;
}

int clf_vexa_label(const MamVci* mamvci, const MamHta* mamhta, uint32_t* block_size) {
  output_accdg_to_vl(LV_TRACE, VL_LABEL, "start:clf_vexa_label\n");
  if (mamvci == nullptr || mamhta == nullptr) {
    output_fatal(VL_LABEL, "Null pointer is detected at clf_vexa_label");
  }
  FILE* fp = fmtcheck::open_from_start(kFormatLabelFile.c_str());
  auto text = fmtcheck::allocate_array<char>(kFormatLabelMaxBytes + 1, "Quorrant label");
  const size_t read_count = clf_read_file(text.get(), 1, kFormatLabelMaxBytes, fp);
  text[read_count] = '\0';
  // The label is JSON: it is parsed as it stands, and only a text that does not parse is tried
  // again with its double quotes turned into apostrophes. A value holding an apostrophe (a
  // creator such as O'Brien) no longer makes a sound label unreadable.
  fmtcheck::JsonPtr parsed(json_tokener_parse(text.get()));
  if (!json_object_is_type(parsed.get(), json_type_object)) {
    auto reformed = fmtcheck::allocate_array<char>(read_count + 1, "Quorrant label");
    str_replace(text.get(), "\"", "'", reformed.get());
    parsed.reset(json_tokener_parse(reformed.get()));
  }
  text.reset();

  VEXALabel label;
  initialize_vexa_label(&label);
  int ret = 0;
  if (!json_object_is_type(parsed.get(), json_type_object)) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL,
                              "Quorrant Label is not complying with JSON format.\n");
  } else {
    json_object_object_foreach(parsed.get(), key, value) {
      ret |= output_accdg_to_vl(LV_INFO, VL_LABEL, "%s\n", printable(key).c_str());
      if (std::strcmp(key, "QuorrantLabel") != 0) {
        ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL,
                                  "First layer key of Quorrant Label is invalid.\n%sActual format  "
                                  ":%s\n%sExpected format:%s\n",
                                  INDENT, printable(key).c_str(), INDENT, "QuorrantLabel");
      }
      ret |= output_accdg_to_vl(LV_INFO, VL_LABEL, "%s\n", json_object_to_json_string(value));
      if (!json_object_is_type(value, json_type_object)) {
        ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL,
                                  "Value of \"%s\" in Quorrant Label is not a JSON object.\n",
                                  printable(key).c_str());
        continue;
      }
      json_object_object_foreach(value, member_key, member_value) {
        ret |= check_label_member(member_key, member_value, mamvci, mamhta, block_size, &label);
      }
    }
  }
  parsed.reset();
  if (!label.exists_vexa_version || !label.exists_format_time || !label.exists_volume_uuid ||
      !label.exists_creator) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_LABEL,
                              "At least one of required elements is not described in Quorrant "
                              "Label.\n");
  }
  destroy_vexa_label(&label);
  clf_close_file(fp);
  output_accdg_to_vl(LV_TRACE, VL_LABEL, "end  :clf_vexa_label\n");
  return ret;
}
