// Byte and text forms of the records of a Quorrant tape and of its cartridge memory.
#include "cartridge/cartridge_format.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace vtape {

namespace {

uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

bool is_lower_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The IPv4 form of the bucket name rules: four dot-separated parts (empty parts ignored) of one
// to three digits, each at most 255.
bool looks_like_ipv4(std::string_view name) {
  int parts = 0;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('.', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (!part.empty()) {
      if (part.size() > 3 || !std::all_of(part.begin(), part.end(), is_digit)) return false;
      int value = 0;
      for (char c : part) value = value * 10 + (c - '0');
      if (value > 255) return false;
      ++parts;
    }
    start = end + 1;
  }
  return parts == 4;
}

std::string padded(std::string_view text, size_t width) {
  std::string out(text.substr(0, width));
  out.resize(width, ' ');
  return out;
}

}  // namespace

std::string uuid_text(const Uuid& uuid) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (size_t i = 0; i < uuid.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kDigits[uuid[i] >> 4]);
    text.push_back(kDigits[uuid[i] & 0x0F]);
  }
  return text;
}

bool is_nil(const Uuid& uuid) {
  return std::all_of(uuid.begin(), uuid.end(), [](uint8_t b) { return b == 0; });
}

Uuid derived_uuid(uint64_t seed, UuidDomain domain, uint64_t index) {
  const uint64_t base = mix64(seed + 0x9E3779B97F4A7C15ULL);
  const uint64_t key = mix64(base ^ mix64(static_cast<uint64_t>(domain) * 0xD1B54A32D192ED03ULL) ^
                             (index * 0x9E3779B97F4A7C15ULL));
  const uint64_t hi = mix64(key + 1);
  const uint64_t lo = mix64(key + 2);
  Uuid uuid{};
  for (int i = 0; i < 8; ++i) {
    uuid[i] = static_cast<uint8_t>(hi >> (56 - 8 * i));
    uuid[8 + i] = static_cast<uint8_t>(lo >> (56 - 8 * i));
  }
  uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0F) | 0x40);
  uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3F) | 0x80);
  return uuid;
}

std::string utc_text(int64_t seconds, uint32_t microseconds) {
  const time_t t = static_cast<time_t>(seconds);
  tm utc{};
  if (gmtime_r(&t, &utc) == nullptr || utc.tm_year + 1900 < 0 || utc.tm_year + 1900 > 9999 ||
      microseconds > 999999) {
    throw std::invalid_argument("time out of range: " + std::to_string(seconds));
  }
  char text[96];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%06uZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, microseconds);
  return text;
}

bool is_utc_text(std::string_view text) {
  static constexpr std::string_view kForm = "dddd-dd-ddTdd:dd:dd.ddddddZ";
  if (text.size() != kForm.size()) return false;
  for (size_t i = 0; i < kForm.size(); ++i) {
    if (kForm[i] == 'd' ? !is_digit(text[i]) : text[i] != kForm[i]) return false;
  }
  return true;
}

std::string tape_generation(std::string_view personality) {
  if (personality.size() >= 9 && personality.substr(0, 8) == "Ultrium-") {
    return std::string("L") + personality[8];
  }
  if (personality.size() >= 5 && personality.substr(0, 3) == "LTO") {
    return std::string(personality.substr(3, 2));
  }
  return "L8";
}

bool valid_bucket_name(std::string_view name) {
  if (name.size() < 3 || name.size() > 63) return false;
  if (!is_lower_alnum(name.front()) || !is_lower_alnum(name.back())) return false;
  if (name.find("..") != std::string_view::npos || name.find(".-") != std::string_view::npos ||
      name.find("-.") != std::string_view::npos) {
    return false;
  }
  if (!std::all_of(name.begin(), name.end(),
                   [](char c) { return is_lower_alnum(c) || c == '-' || c == '.'; })) {
    return false;
  }
  return !looks_like_ipv4(name);
}

bool valid_volume_id(std::string_view id) {
  return id.size() == 6 && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || is_digit(c);
         });
}

std::string json_string(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

std::string vol1_label(std::string_view volume_id, std::string_view owner) {
  std::string label = "VOL1";
  label += padded(volume_id, 6);
  label += ' ';                   // volume accessibility
  label += std::string(13, ' ');  // reserved
  label += "Quorrant";            // implementation identifier
  label += std::string(5, ' ');
  label += padded(owner, 14);     // owner identifier
  label += std::string(28, ' ');  // reserved
  label += '4';                   // label standard version
  return label;
}

std::string list_object_id(std::string_view metadata) {
  std::string text;
  text.reserve(metadata.size());
  for (char c : metadata) {
    if (c != '"') text.push_back(c);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1) {
    throw std::runtime_error("MD5 digest failed");
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kDigits[digest[i] >> 4]);
    hex.push_back(kDigits[digest[i] & 0x0F]);
  }
  return hex;
}

std::vector<uint8_t> vci_value(uint64_t volume_change_reference, uint64_t pr_count,
                               uint64_t rcm_block, const Uuid& volume_uuid,
                               std::string_view acsi_id, uint8_t acsi_version) {
  std::vector<uint8_t> value;
  value.reserve(kVciSize);
  value.push_back(8);
  append_u64(value, volume_change_reference);
  append_u64(value, pr_count);
  append_u64(value, rcm_block);
  value.push_back(0);
  value.push_back(25);  // application client specific information length
  append_bytes(value, padded(acsi_id, 8));
  value.push_back(acsi_version);
  append_bytes(value, std::span<const uint8_t>(volume_uuid));
  return value;
}

void append_u64(std::vector<uint8_t>& out, uint64_t value) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void append_bytes(std::vector<uint8_t>& out, std::string_view bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void append_bytes(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void store_u64(uint8_t* at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(value >> (56 - 8 * i));
}

void fill_pattern(uint64_t seed, uint64_t position, std::span<uint8_t> out) {
  const uint64_t base = mix64(seed ^ 0x5851F42D4C957F2DULL);
  size_t i = 0;
  while (i < out.size()) {
    const uint64_t word_index = (position + i) / 8;
    const uint64_t word = mix64(base + word_index * 0x9E3779B97F4A7C15ULL);
    for (uint64_t byte = (position + i) % 8; byte < 8 && i < out.size(); ++byte, ++i) {
      out[i] = static_cast<uint8_t>(word >> (8 * byte));
    }
  }
}

}  // namespace vtape
