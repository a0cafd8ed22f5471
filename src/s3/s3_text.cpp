// Texts of the S3 protocol: digests, URI encoding, canonical queries and XML elements.
#include "s3/s3_text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "output_level.h"

namespace s3 {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kUpperHexDigits[] = "0123456789ABCDEF";
constexpr size_t kMd5Base64Length = 24;
constexpr size_t kMd5HexLength = 32;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '~';
}

// Finds the next start tag of `name` at or after `from`: "<name>", "<name ...>" or "<name/>".
// Returns the position of '<' and sets `content` to the first byte after the tag.
size_t find_start_tag(std::string_view xml, std::string_view name, size_t from, size_t* content,
                      bool* empty) {
  while ((from = xml.find('<', from)) != std::string_view::npos) {
    const size_t after = from + 1 + name.size();
    if (xml.substr(from + 1, name.size()) == name && after < xml.size() &&
        (xml[after] == '>' || xml[after] == ' ' || xml[after] == '/')) {
      const size_t close = xml.find('>', after);
      if (close == std::string_view::npos) return std::string_view::npos;
      *empty = xml[close - 1] == '/';
      *content = close + 1;
      return from;
    }
    ++from;
  }
  return std::string_view::npos;
}

}  // namespace

std::string base64_encode(std::span<const uint8_t> bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3), '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                      static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(written));
  return out;
}

std::optional<std::vector<uint8_t>> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const size_t padding = text.size() - text.find_last_not_of('=') - 1;
  if (padding > 2 || text.substr(0, text.size() - padding).find_first_not_of(kAlphabet) !=
                         std::string_view::npos) {
    return std::nullopt;
  }
  std::vector<uint8_t> out(3 * text.size() / 4);
  const int written =
      EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  if (written < 0) return std::nullopt;
  out.resize(static_cast<size_t>(written) - padding);
  return out;
}

std::string hex_encode(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve(2 * bytes.size());
  for (const uint8_t b : bytes) {
    out += kHexDigits[b >> 4];
    out += kHexDigits[b & 0x0f];
  }
  return out;
}

std::optional<Md5> parse_md5(std::string_view text) {
  Md5 digest{};
  if (text.size() == kMd5HexLength) {
    for (size_t i = 0; i < digest.size(); ++i) {
      const int high = hex_value(text[2 * i]);
      const int low = hex_value(text[2 * i + 1]);
      if (high < 0 || low < 0) return std::nullopt;
      digest[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return digest;
  }
  if (text.size() != kMd5Base64Length) return std::nullopt;
  const std::optional<std::vector<uint8_t>> bytes = base64_decode(text);
  if (!bytes || bytes->size() != digest.size()) return std::nullopt;
  std::copy(bytes->begin(), bytes->end(), digest.begin());
  return digest;
}

Md5Stream::Md5Stream() : context_(EVP_MD_CTX_new()) {
  if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_md5(), nullptr) != 1) {
    output_fatal(VL_MISC, "The MD5 digest could not be set up.\n");
  }
}

void Md5Stream::update(std::span<const uint8_t> bytes) {
  EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size());
}

Md5 Md5Stream::finish() {
  Md5 digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(context_.get(), digest.data(), &length);
  EVP_DigestInit_ex(context_.get(), EVP_md5(), nullptr);
  return digest;
}

Md5 md5_of(std::span<const uint8_t> bytes) {
  Md5Stream stream;
  stream.update(bytes);
  return stream.finish();
}

Md5 md5_of(std::string_view text) {
  return md5_of({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

std::string content_md5_header(const Md5& md5) { return "Content-MD5: " + base64_encode(md5); }

std::string uri_encode(std::string_view text, bool keep_slash) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (unreserved(byte) || (keep_slash && c == '/')) {
      out += c;
    } else {
      out += '%';
      out += kUpperHexDigits[byte >> 4];
      out += kUpperHexDigits[byte & 0x0f];
    }
  }
  return out;
}

namespace {

// Whether a path below a bucket holds a segment a normalisation folds: empty (a leading "/" or a
// "//"), "." or "..".
bool has_foldable_segment(std::string_view key) {
  size_t start = 0;
  for (;;) {
    const size_t end = key.find('/', start);
    const std::string_view segment =
        key.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (end != std::string_view::npos && segment.empty()) return true;
    if (segment == "." || segment == "..") return true;
    if (end == std::string_view::npos) return false;
    start = end + 1;
  }
}

}  // namespace

std::string wire_path(std::string_view canonical_path) {
  const size_t key_start = canonical_path.find('/', 1);
  if (key_start == std::string_view::npos) return std::string(canonical_path);
  const std::string_view key = canonical_path.substr(key_start + 1);
  if (!has_foldable_segment(key)) return std::string(canonical_path);
  std::string path(canonical_path.substr(0, key_start + 1));
  for (const char c : key) path += c == '/' ? std::string("%2F") : std::string(1, c);
  return path;
}

std::string authority_of(std::string_view endpoint) {
  const size_t scheme = endpoint.find("://");
  if (scheme != std::string_view::npos) endpoint.remove_prefix(scheme + 3);
  return std::string(endpoint.substr(0, endpoint.find('/')));
}

std::string canonical_query(QueryParams params) {
  for (auto& [name, value] : params) {
    name = uri_encode(name, false);
    value = uri_encode(value, false);
  }
  std::sort(params.begin(), params.end());
  std::string out;
  for (const auto& [name, value] : params) {
    if (!out.empty()) out += '&';
    out += name + "=" + value;
  }
  return out;
}

std::vector<XmlElement> xml_elements(std::string_view xml,
                                     std::initializer_list<std::string_view> names) {
  std::vector<XmlElement> found;
  size_t from = 0;
  for (;;) {
    size_t best = std::string_view::npos, best_content = 0;
    bool best_empty = false;
    std::string_view best_name;
    for (const std::string_view name : names) {
      size_t content = 0;
      bool empty = false;
      const size_t at = find_start_tag(xml, name, from, &content, &empty);
      if (at < best) {
        best = at;
        best_content = content;
        best_empty = empty;
        best_name = name;
      }
    }
    if (best == std::string_view::npos) return found;
    if (best_empty) {
      found.push_back({best_name, {}});
      from = best_content;
      continue;
    }
    const std::string end_tag = "</" + std::string(best_name) + ">";
    const size_t end = xml.find(end_tag, best_content);
    if (end == std::string_view::npos) return found;
    found.push_back({best_name, xml.substr(best_content, end - best_content)});
    from = end + end_tag.size();
  }
}

std::string xml_text(std::string_view xml, std::string_view name) {
  const std::vector<XmlElement> found = xml_elements(xml, {name});
  return found.empty() ? std::string() : xml_unescape(found.front().inner);
}

std::string xml_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

namespace {

// The UTF-8 bytes of a code point.
void append_utf8(std::string* out, unsigned long code) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xc0 | (code >> 6));
    *out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xe0 | (code >> 12));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    *out += static_cast<char>(0xf0 | (code >> 18));
    *out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

// Decodes the entity at text[0] ('&'); returns the bytes consumed, 0 when it is none.
size_t decode_entity(std::string_view text, std::string* out) {
  static constexpr std::pair<std::string_view, char> kNamed[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  for (const auto& [entity, c] : kNamed) {
    if (text.substr(0, entity.size()) == entity) {
      *out += c;
      return entity.size();
    }
  }
  const size_t semicolon = text.find(';');
  if (text.size() < 4 || text[1] != '#' || semicolon == std::string_view::npos) return 0;
  const bool hex = text[2] == 'x';
  const std::string digits(text.substr(hex ? 3 : 2, semicolon - (hex ? 3 : 2)));
  char* end = nullptr;
  const unsigned long code = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
  if (digits.empty() || *end != '\0' || code > 0x10ffff) return 0;
  append_utf8(out, code);
  return semicolon + 1;
}

}  // namespace

std::string xml_unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t used = text[i] == '&' ? decode_entity(text.substr(i), &out) : 0;
    if (used == 0) out += text[i++];
    i += used;
  }
  return out;
}

}  // namespace s3
