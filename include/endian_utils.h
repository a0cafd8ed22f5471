// Byte-order helpers: every multi-byte number on tape and in the cartridge memory is big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Order of the bytes in an external byte array (or, for get_my_endian, of the host).
enum Endian { BIG = 0, LITTLE = 1 };

Endian get_my_endian();

// Each converts `count` consecutive values and returns `count`; 0 (and nothing stored) when
// `endian` is neither BIG nor LITTLE.
size_t r16(const Endian endian, const uint8_t* from, uint16_t* to, const size_t count);
size_t r32(const Endian endian, const uint8_t* from, uint32_t* to, const size_t count);
size_t r64(const Endian endian, const uint8_t* from, uint64_t* to, const size_t count);
size_t w16(const Endian endian, const uint16_t* from, uint8_t* to, const size_t count);
size_t w32(const Endian endian, const uint32_t* from, uint8_t* to, const size_t count);
size_t w64(const Endian endian, const uint64_t* from, uint8_t* to, const size_t count);

// Stream variants: return the number of whole values read or written.
size_t fread16(Endian endian, uint16_t* buffer, size_t count, FILE* fp);
size_t fread32(Endian endian, uint32_t* buffer, size_t count, FILE* fp);
size_t fread64(Endian endian, uint64_t* buffer, size_t count, FILE* fp);
size_t fwrite16(Endian endian, uint16_t* buffer, size_t count, FILE* fp);
size_t fwrite32(Endian endian, uint32_t* buffer, size_t count, FILE* fp);
size_t fwrite64(Endian endian, uint64_t* buffer, size_t count, FILE* fp);

// Convenience for one big-endian value at p (the caller guarantees the bytes are there).
inline uint64_t be64(const uint8_t* p) {
  uint64_t v = 0;
  r64(BIG, p, &v, 1);
  return v;
}
inline uint32_t be32(const uint8_t* p) {
  uint32_t v = 0;
  r32(BIG, p, &v, 1);
  return v;
}
inline uint16_t be16(const uint8_t* p) {
  uint16_t v = 0;
  r16(BIG, p, &v, 1);
  return v;
}
