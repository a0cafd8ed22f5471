// Escaping of texts from a tape for messages.
#include "support/printable.h"

#include <cstdint>
#include <cstdio>

namespace {

void escape_byte(std::string& out, uint8_t byte) {
  char text[5];
  std::snprintf(text, sizeof(text), "\\x%02x", byte);
  out += text;
}

// The length of the valid UTF-8 sequence of a printable character at the start of `text`, or 0.
size_t printable_sequence(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(0);
  if (lead >= 0x20 && lead < 0x7f) return 1;
  size_t length = 0;
  uint32_t code = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    code = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    code = lead & 0x0f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3f);
  }
  const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool overlong = code < least[length];
  const bool surrogate = code >= 0xd800 && code <= 0xdfff;
  const bool c1_control = code >= 0x80 && code <= 0x9f;
  if (overlong || surrogate || c1_control || code > 0x10ffff) return 0;
  return length;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const size_t length = printable_sequence(text);
    if (length == 0) {
      escape_byte(out, static_cast<uint8_t>(text[0]));
      text.remove_prefix(1);
    } else {
      out.append(text.substr(0, length));
      text.remove_prefix(length);
    }
  }
  return out;
}

std::string printable_lines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const size_t end = text.find_first_of("\n\t");
    out += printable(text.substr(0, end));
    if (end == std::string_view::npos) break;
    out += text[end];
    text.remove_prefix(end + 1);
  }
  return out;
}

std::string_view unpadded(std::string_view text) {
  const size_t last = text.find_last_not_of(std::string_view(" \0", 2));
  return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}
