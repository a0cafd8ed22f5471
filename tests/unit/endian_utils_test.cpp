// Byte-order helpers: both orders, every width, streams and invalid orders.
#include "endian_utils.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

namespace {

TEST(EndianUtils, DecodesBothOrders) {
  const uint8_t two[] = {0x12, 0x34};
  uint16_t v16 = 0;
  EXPECT_EQ(r16(BIG, two, &v16, 1), 1u);
  EXPECT_EQ(v16, 0x1234);
  EXPECT_EQ(r16(LITTLE, two, &v16, 1), 1u);
  EXPECT_EQ(v16, 0x3412);

  const uint8_t four[] = {0x80, 0x00, 0x00, 0x01};
  uint32_t v32 = 0;
  r32(BIG, four, &v32, 1);
  EXPECT_EQ(v32, 0x80000001u);

  // A high byte never spreads ones into the bytes above it.
  const uint8_t eight[] = {0xFF, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00};
  uint64_t v64 = 0;
  r64(BIG, eight, &v64, 1);
  EXPECT_EQ(v64, 0xFF00000080000000ULL);
  r64(LITTLE, eight, &v64, 1);
  EXPECT_EQ(v64, 0x00000080000000FFULL);
}

TEST(EndianUtils, ConsecutiveValuesAndZeroCount) {
  const uint8_t bytes[] = {0, 1, 0, 2, 0, 3};
  uint16_t values[3] = {};
  EXPECT_EQ(r16(BIG, bytes, values, 3), 3u);
  EXPECT_EQ(values[0], 1);
  EXPECT_EQ(values[2], 3);
  EXPECT_EQ(r16(BIG, bytes, values, 0), 0u);
}

TEST(EndianUtils, InvalidOrderConvertsNothing) {
  const auto bad = static_cast<Endian>(2);
  uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint16_t v16 = 7;
  uint32_t v32 = 7;
  uint64_t v64 = 7;
  EXPECT_EQ(r16(bad, bytes, &v16, 1), 0u);
  EXPECT_EQ(r32(bad, bytes, &v32, 1), 0u);
  EXPECT_EQ(r64(bad, bytes, &v64, 1), 0u);
  EXPECT_EQ(v16 + v32 + v64, 21u);
  EXPECT_EQ(w16(bad, &v16, bytes, 1), 0u);
  EXPECT_EQ(w32(bad, &v32, bytes, 1), 0u);
  EXPECT_EQ(w64(bad, &v64, bytes, 1), 0u);
  EXPECT_EQ(bytes[0], 1);
}

TEST(EndianUtils, RoundTripsEveryWidthAndOrder) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < 1000; ++i) {
    const uint64_t value = rng();
    for (Endian e : {BIG, LITTLE}) {
      uint8_t buf[8];
      uint64_t back64 = 0;
      w64(e, &value, buf, 1);
      r64(e, buf, &back64, 1);
      EXPECT_EQ(back64, value);
      const auto v32 = static_cast<uint32_t>(value);
      uint32_t back32 = 0;
      w32(e, &v32, buf, 1);
      r32(e, buf, &back32, 1);
      EXPECT_EQ(back32, v32);
      const auto v16 = static_cast<uint16_t>(value);
      uint16_t back16 = 0;
      w16(e, &v16, buf, 1);
      r16(e, buf, &back16, 1);
      EXPECT_EQ(back16, v16);
    }
  }
  const uint64_t known = 0x0102030405060708ULL;
  uint8_t big[8];
  w64(BIG, &known, big, 1);
  EXPECT_EQ(big[0], 1);
  EXPECT_EQ(big[7], 8);
}

TEST(EndianUtils, StreamReadStopsAtPartialValue) {
  FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  const uint8_t bytes[10] = {0, 0, 0, 1, 0, 0, 0, 2, 0xAA, 0xBB};
  std::fwrite(bytes, 1, sizeof(bytes), f);
  std::rewind(f);
  uint32_t values[3] = {0, 0, 99};
  EXPECT_EQ(fread32(BIG, values, 3, f), 2u);
  EXPECT_EQ(values[0], 1u);
  EXPECT_EQ(values[1], 2u);
  EXPECT_EQ(values[2], 99u);
  std::fclose(f);
}

TEST(EndianUtils, StreamWriteThenRead) {
  FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  uint64_t out[2] = {0x1122334455667788ULL, 42};
  EXPECT_EQ(fwrite64(BIG, out, 2, f), 2u);
  std::rewind(f);
  uint8_t raw[16];
  ASSERT_EQ(std::fread(raw, 1, 16, f), 16u);
  EXPECT_EQ(raw[0], 0x11);
  EXPECT_EQ(raw[15], 42);
  std::rewind(f);
  uint64_t in[2] = {};
  EXPECT_EQ(fread64(BIG, in, 2, f), 2u);
  EXPECT_EQ(in[0], out[0]);
  std::fclose(f);
}

TEST(EndianUtils, HostOrderIsLittleOnThisMachine) { EXPECT_EQ(get_my_endian(), LITTLE); }

}  // namespace
