// Byte-order helpers: big- and little-endian conversion of 16-, 32- and 64-bit values.
#include "endian_utils.h"

namespace {

bool valid(Endian endian) { return endian == BIG || endian == LITTLE; }

template <typename T>
size_t decode(Endian endian, const uint8_t* from, T* to, size_t count) {
  if (!valid(endian)) return 0;
  constexpr size_t kWidth = sizeof(T);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* b = from + i * kWidth;
    T value = 0;
    for (size_t k = 0; k < kWidth; ++k) {
      const size_t index = endian == BIG ? k : kWidth - 1 - k;
      value = static_cast<T>((value << 8) | static_cast<T>(b[index]));
    }
    to[i] = value;
  }
  return count;
}

template <typename T>
size_t encode(Endian endian, const T* from, uint8_t* to, size_t count) {
  if (!valid(endian)) return 0;
  constexpr size_t kWidth = sizeof(T);
  for (size_t i = 0; i < count; ++i) {
    T value = from[i];
    uint8_t* b = to + i * kWidth;
    for (size_t k = 0; k < kWidth; ++k) {
      const size_t index = endian == BIG ? kWidth - 1 - k : k;
      b[index] = static_cast<uint8_t>(value & 0xFF);
      value = static_cast<T>(value >> 8);
    }
  }
  return count;
}

template <typename T>
size_t read_stream(Endian endian, T* buffer, size_t count, FILE* fp) {
  size_t done = 0;
  for (; done < count; ++done) {
    uint8_t bytes[sizeof(T)];
    if (std::fread(bytes, sizeof(T), 1, fp) != 1) break;
    if (decode(endian, bytes, &buffer[done], 1) != 1) break;
  }
  return done;
}

template <typename T>
size_t write_stream(Endian endian, const T* buffer, size_t count, FILE* fp) {
  size_t done = 0;
  for (; done < count; ++done) {
    uint8_t bytes[sizeof(T)];
    if (encode(endian, &buffer[done], bytes, 1) != 1) break;
    if (std::fwrite(bytes, sizeof(T), 1, fp) != 1) break;
  }
  return done;
}

}  // namespace

Endian get_my_endian() {
  const int one = 1;
  return *reinterpret_cast<const unsigned char*>(&one) != 0 ? LITTLE : BIG;
}

size_t r16(const Endian e, const uint8_t* from, uint16_t* to, const size_t n) {
  return decode(e, from, to, n);
}
size_t r32(const Endian e, const uint8_t* from, uint32_t* to, const size_t n) {
  return decode(e, from, to, n);
}
size_t r64(const Endian e, const uint8_t* from, uint64_t* to, const size_t n) {
  return decode(e, from, to, n);
}
size_t w16(const Endian e, const uint16_t* from, uint8_t* to, const size_t n) {
  return encode(e, from, to, n);
}
size_t w32(const Endian e, const uint32_t* from, uint8_t* to, const size_t n) {
  return encode(e, from, to, n);
}
size_t w64(const Endian e, const uint64_t* from, uint8_t* to, const size_t n) {
  return encode(e, from, to, n);
}

size_t fread16(Endian e, uint16_t* b, size_t n, FILE* fp) { return read_stream(e, b, n, fp); }
size_t fread32(Endian e, uint32_t* b, size_t n, FILE* fp) { return read_stream(e, b, n, fp); }
size_t fread64(Endian e, uint64_t* b, size_t n, FILE* fp) { return read_stream(e, b, n, fp); }
size_t fwrite16(Endian e, uint16_t* b, size_t n, FILE* fp) { return write_stream(e, b, n, fp); }
size_t fwrite32(Endian e, uint32_t* b, size_t n, FILE* fp) { return write_stream(e, b, n, fp); }
size_t fwrite64(Endian e, uint64_t* b, size_t n, FILE* fp) { return write_stream(e, b, n, fp); }
