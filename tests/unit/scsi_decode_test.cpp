// Decoders of what a drive returns, on byte arrays: sense data, READ POSITION data, attribute
// lists (including cut lists and lengths that lie), log pages and INQUIRY data. Every array is
// allocated with exactly the bytes "received", so a read past them shows under AddressSanitizer.
#include "scsi/scsi_decode.h"
#include "scsi/tape_alert.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "spti_lib.h"

namespace {

std::vector<uint8_t> attribute(uint16_t id, const std::vector<uint8_t>& value, uint8_t flags = 0) {
  std::vector<uint8_t> a = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), flags,
                            static_cast<uint8_t>(value.size() >> 8),
                            static_cast<uint8_t>(value.size())};
  for (uint8_t b : value) a.push_back(b);
  return a;
}

// AVAILABLE DATA (the attributes' length unless `announced` says otherwise) and the attributes.
std::vector<uint8_t> list(std::initializer_list<std::vector<uint8_t>> attributes,
                          int64_t announced = -1) {
  std::vector<uint8_t> data(4, 0);
  for (const auto& a : attributes) data.insert(data.end(), a.begin(), a.end());
  const uint32_t n =
      announced >= 0 ? static_cast<uint32_t>(announced) : static_cast<uint32_t>(data.size() - 4);
  for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(n >> (24 - 8 * i));
  return data;
}

// The first `received` bytes of `data`, in a heap block of exactly that size.
struct Received {
  Received(const std::vector<uint8_t>& data, size_t received)
      : size(std::min(received, data.size())), bytes(new uint8_t[size == 0 ? 1 : size]) {
    if (size > 0) std::memcpy(bytes.get(), data.data(), size);
  }
  std::span<const uint8_t> span() const { return {bytes.get(), size}; }
  size_t size;
  std::unique_ptr<uint8_t[]> bytes;
};

TEST(SenseDecoding, Byte2E3hSetsFilemarkEomIliAndMediumError) {
  std::vector<uint8_t> raw(22, 0);
  raw[0] = 0x70;
  raw[2] = 0xE3;
  ST_SPTI_REQUEST_SENSE_RESPONSE s{};
  decode_sense_data(raw, &s);
  EXPECT_EQ(s.filemark, 1);
  EXPECT_EQ(s.eom, 1);
  EXPECT_EQ(s.ili, 1);
  EXPECT_EQ(s.sense_key, 3);
  EXPECT_STREQ(sense_key_description(s.sense_key), "Medium Error");
}

TEST(SenseDecoding, EveryFieldFromItsBytes) {
  const std::vector<uint8_t> raw = {0xF0, 0x00, 0x05, 0x12, 0x34, 0x56, 0x78, 0x0E,
                                    0xA1, 0xA2, 0xA3, 0xA4, 0x24, 0x07, 0x42, 0xCD,
                                    0x01, 0x02, 0x00, 0x00, 0x00, 0x08};
  ST_SPTI_REQUEST_SENSE_RESPONSE s{};
  s.segment_number = 9;  // decoding leaves the fields it does not fill alone
  s.scsi_status = 7;
  decode_sense_data(raw, &s);
  EXPECT_EQ(s.infomation, 0x12345678u);
  EXPECT_EQ(s.cmd_spec_info, 0xA1A2A3A4u);
  EXPECT_EQ(s.field_pointer, 0x0102);
  EXPECT_EQ(s.additional_sense_length, 0x0E);
  EXPECT_EQ(s.sense_key, 5);
  EXPECT_EQ(s.filemark + s.eom + s.ili, 0);
  EXPECT_EQ(s.asc, 0x24);
  EXPECT_EQ(s.ascq, 0x07);
  EXPECT_EQ(s.field_rep_unit_code, 0x42);
  EXPECT_EQ(s.sksv, 1);
  EXPECT_EQ(s.c_d, 1);
  EXPECT_EQ(s.bpv, 1);
  EXPECT_EQ(s.bit_pointer, 5);
  EXPECT_EQ(s.cln, 1);
  EXPECT_EQ(s.valid, 1);
  EXPECT_EQ(s.error_code, 0x70);
  EXPECT_EQ(s.segment_number, 9);
  EXPECT_EQ(s.scsi_status, 7);
}

TEST(SenseDecoding, BytesNotReceivedCountAsZero) {
  const Received raw({0xF0, 0x00, 0x83, 0x00, 0x00, 0x00, 0x01, 0x0A, 0, 0, 0,
                      0,    0x11, 0x22, 0x33, 0xFF, 0xFF, 0xFF, 0,    0, 0, 0xFF},
                     13);
  ST_SPTI_REQUEST_SENSE_RESPONSE s{};
  decode_sense_data(raw.span(), &s);
  EXPECT_EQ(s.sense_key, 3);
  EXPECT_EQ(s.filemark, 1);
  EXPECT_EQ(s.infomation, 1u);
  EXPECT_EQ(s.asc, 0x11);
  EXPECT_EQ(s.ascq, 0);
  EXPECT_EQ(s.sksv, 0);
  EXPECT_EQ(s.cln, 0);
}

// Both formats give the same fields: key, ASC, ASCQ, the stream bits and INFORMATION, which is
// signed (a negative residue names a block longer than asked) and only taken with VALID set.
TEST(SenseDecoding, FixedAndDescriptorFormats) {
  const std::vector<uint8_t> info_descriptor = {0x00, 0x0A, 0x80, 0,    0xFF, 0xFF,
                                                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xCE};  // -50
  const auto descriptor = [](uint8_t code, uint8_t key, uint8_t asc, uint8_t ascq,
                             std::vector<std::vector<uint8_t>> descriptors) {
    std::vector<uint8_t> raw = {code, key, asc, ascq, 0, 0, 0, 0};
    for (const auto& d : descriptors) raw.insert(raw.end(), d.begin(), d.end());
    raw[7] = static_cast<uint8_t>(raw.size() - 8);
    return raw;
  };
  std::vector<uint8_t> fixed_ili(22, 0);
  fixed_ili[0] = 0xF0;
  fixed_ili[2] = 0x20;  // ILI, key 0
  fixed_ili[3] = fixed_ili[4] = fixed_ili[5] = 0xFF;
  fixed_ili[6] = 0xCE;
  std::vector<uint8_t> fixed_not_valid = fixed_ili;
  fixed_not_valid[0] = 0x70;
  std::vector<uint8_t> fixed_deferred(22, 0);
  fixed_deferred[0] = 0x71;
  fixed_deferred[2] = 0x03;
  fixed_deferred[12] = 0x0C;
  std::vector<uint8_t> cut = descriptor(0x72, 0, 0, 0, {info_descriptor});
  cut[7] = 8;  // the additional length ends inside the information descriptor
  const struct {
    const char* what;
    std::vector<uint8_t> raw;
    bool present, deferred, valid;
    int key, asc, ascq;
    bool filemark, eom, ili;
    int64_t information;
  } cases[] = {
      {"fixed, ILI, negative INFORMATION", fixed_ili, true, false, true, 0, 0, 0, false, false,
       true, -50},
      {"fixed without VALID", fixed_not_valid, true, false, false, 0, 0, 0, false, false, true, 0},
      {"fixed deferred", fixed_deferred, true, true, false, 3, 0x0C, 0, false, false, false, 0},
      {"descriptor, ILI, negative INFORMATION",
       descriptor(0x72, 0, 0, 0, {info_descriptor, {0x04, 0x02, 0, 0x20}}), true, false, true, 0, 0,
       0, false, false, true, -50},
      {"descriptor filemark, no information", descriptor(0x72, 0, 0, 1, {{0x04, 0x02, 0, 0x80}}),
       true, false, false, 0, 0, 1, true, false, false, 0},
      {"descriptor deferred", descriptor(0x73, 3, 0x0C, 0, {}), true, true, false, 3, 0x0C, 0,
       false, false, false, 0},
      {"descriptor cut by its additional length", cut, true, false, false, 0, 0, 0, false, false,
       false, 0},
      {"no sense data", {}, false, false, false, 0, 0, 0, false, false, false, 0},
      {"another response code",
       {0x7F, 0, 0x05},
       false,
       false,
       false,
       0,
       0,
       0,
       false,
       false,
       false,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Received raw(c.raw, c.raw.size());
    const scsi::SenseData s = scsi::parse_sense(raw.span());
    EXPECT_EQ(s.present, c.present);
    EXPECT_EQ(s.deferred, c.deferred);
    EXPECT_EQ(s.valid, c.valid);
    EXPECT_EQ(s.key, c.key);
    EXPECT_EQ(s.asc, c.asc);
    EXPECT_EQ(s.ascq, c.ascq);
    EXPECT_EQ(s.filemark, c.filemark);
    EXPECT_EQ(s.eom, c.eom);
    EXPECT_EQ(s.ili, c.ili);
    EXPECT_EQ(s.information, c.information);
    // The record of the command layer says the same.
    ST_SPTI_REQUEST_SENSE_RESPONSE r{};
    decode_sense_data(raw.span(), &r);
    EXPECT_EQ(r.sense_key, c.key);
    EXPECT_EQ(r.ili, c.ili ? 1 : 0);
    EXPECT_EQ(r.valid, c.valid ? 1 : 0);
    EXPECT_EQ(r.infomation, static_cast<uint32_t>(c.information));
  }
}

TEST(SenseDecoding, KeyDescriptions) {
  EXPECT_STREQ(sense_key_description(0), "No Sense");
  EXPECT_STREQ(sense_key_description(2), "Not Ready");
  EXPECT_STREQ(sense_key_description(5), "Illegal Request");
  EXPECT_STREQ(sense_key_description(8), "Blank Check");
  EXPECT_STREQ(sense_key_description(9), "");
  EXPECT_STREQ(sense_key_description(11), "Aborted Command");
  EXPECT_STREQ(sense_key_description(13), "Volume Overflow");
  EXPECT_STREQ(sense_key_description(15), "");
}

TEST(Btoui, BigEndianOfAnySize) {
  const unsigned char a[] = {0x01, 0x02};
  const unsigned char b[] = {0x00, 0x00, 0x10, 0x00};
  const unsigned char c[] = {0xFF, 0xEE, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(btoui(a, 2), 258u);
  EXPECT_EQ(btoui(b, 4), 4096u);
  EXPECT_EQ(btoui(a, 0), 0u);
  EXPECT_EQ(btoui(c, 10), 0x0102030405060708u);  // only the last 8 bytes count
}

TEST(PositionDecoding, FlagsPartitionObjectAndFile) {
  std::vector<uint8_t> data(32, 0);
  data[0] = 0x80;
  data[7] = 0x01;
  ST_SPTI_CMD_POSITIONDATA pos{};
  decode_position_data(data, &pos);
  EXPECT_EQ(pos.bop, 1);
  EXPECT_EQ(pos.eop, 0);
  EXPECT_EQ(pos.mpu, 0);
  EXPECT_EQ(pos.bpu, 0);
  EXPECT_EQ(pos.partitionNumber, 1u);

  data = {0x4C, 0, 0, 0, 0, 0, 0, 3, 0x01, 0, 0, 0, 0, 0, 0, 0x02,
          0,    0, 0, 0, 0, 0, 1, 0, 0,    0, 0, 0, 0, 0, 0, 0};
  decode_position_data(data, &pos);
  EXPECT_EQ(pos.bop, 0);
  EXPECT_EQ(pos.eop, 1);
  EXPECT_EQ(pos.mpu, 1);
  EXPECT_EQ(pos.bpu, 1);
  EXPECT_EQ(pos.partitionNumber, 3u);
  EXPECT_EQ(pos.blockNumber, 0x0100000000000002u);
  EXPECT_EQ(pos.fileNumber, 0x100u);
}

TEST(AttributeParsing, HostTypeListFillsOnlyItsFields) {
  const std::vector<uint8_t> data = list({attribute(0x0800, std::vector<uint8_t>(8, 'V')),
                                          attribute(0x0801, std::vector<uint8_t>(32, 'N')),
                                          attribute(0x080C, std::vector<uint8_t>(52, 0x5A))});
  const Received r(data, data.size());
  ST_SPTI_HOST_TYPE_ATTRIBUTE a{};
  set_drive_host_type_attribute(r.span(), &a);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(a.application_vendor), 8), "VVVVVVVV");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(a.application_name), 32), std::string(32, 'N'));
  EXPECT_EQ(a.volume_coherency_information[51], 0x5A);
  EXPECT_EQ(a.volume_coherency_information[52], 0);
  ST_SPTI_HOST_TYPE_ATTRIBUTE expected{};
  std::memcpy(expected.application_vendor, a.application_vendor, 8);
  std::memcpy(expected.application_name, a.application_name, 32);
  std::memcpy(expected.volume_coherency_information, a.volume_coherency_information, 70);
  EXPECT_EQ(std::memcmp(&a, &expected, sizeof(a)), 0);
}

TEST(AttributeParsing, NumbersAndSkippedIdentifiers) {
  const std::vector<uint8_t> data = list(
      {attribute(0x0007, {0x01, 0x02}), attribute(0x080B, {9, 9, 9}),
       attribute(0x0009, {0, 0, 0x12, 0x34}), attribute(0x0220, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10})});
  const Received r(data, data.size());
  ST_SPTI_DEVICE_TYPE_ATTRIBUTE a{};
  set_drive_attribute(r.span(), &a);
  EXPECT_EQ(a.initialization_count, 258);
  EXPECT_EQ(a.volume_change_reference, 0x1234u);
  EXPECT_EQ(a.totalbytes_written_medium_life, 0x030405060708090Au);
}

TEST(AttributeParsing, NumbersKeepTheLowOrderBitsThatFit) {
  const std::vector<uint8_t> data =
      list({attribute(0x0006, {0x12, 0x34}), attribute(0x0007, {0xAB, 0xCD, 0xEF}),
            attribute(0x0000, {})});
  const Received r(data, data.size());
  ST_SPTI_DEVICE_TYPE_ATTRIBUTE a{};
  a.remaining_capacity = 99;
  set_drive_attribute(r.span(), &a);
  EXPECT_EQ(a.formatted_density_code, 0x34);
  EXPECT_EQ(a.initialization_count, 0xCDEF);
  EXPECT_EQ(a.remaining_capacity, 0u);
}

TEST(AttributeParsing, ZeroAvailableDataParsesNothing) {
  const std::vector<uint8_t> data = list({attribute(0x0800, {'A'})}, 0);
  const Received r(data, data.size());
  ST_SPTI_HOST_TYPE_ATTRIBUTE a{};
  set_drive_host_type_attribute(r.span(), &a);
  EXPECT_EQ(a.application_vendor[0], 0);
}

TEST(AttributeParsing, ValueLongerThanItsFieldIsCutToTheField) {
  const std::vector<uint8_t> data =
      list({attribute(0x0800, std::vector<uint8_t>(300, 'X')), attribute(0x0802, {'1', '.', '0'})});
  const Received r(data, data.size());
  ST_SPTI_HOST_TYPE_ATTRIBUTE a{};
  set_drive_host_type_attribute(r.span(), &a);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(a.application_vendor), 8), "XXXXXXXX");
  EXPECT_EQ(a.application_name[0], 0);  // the neighbouring field is untouched
  EXPECT_EQ(std::string(reinterpret_cast<char*>(a.application_version)), "1.0");
}

TEST(AttributeParsing, CutListKeepsWholeAttributesOnly) {
  // The drive announces the whole list but sends only what the allocation length took: the
  // second attribute arrives with half its value and must not be used.
  const std::vector<uint8_t> data =
      list({attribute(0x0800, {'V', 'E', 'N'}), attribute(0x0806, std::vector<uint8_t>(32, 'B')),
            attribute(0x0801, {'N'})});
  const Received r(data, 4 + 8 + 5 + 16);
  ST_SPTI_HOST_TYPE_ATTRIBUTE a{};
  set_drive_host_type_attribute(r.span(), &a);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(a.application_vendor)), "VEN");
  EXPECT_EQ(a.barcode[0], 0);
  EXPECT_EQ(a.application_name[0], 0);
}

TEST(AttributeParsing, LengthsThatLieNeverLeadPastTheBytesReceived) {
  std::vector<uint8_t> data = list({attribute(0x0800, {'A', 'B'})}, 0xFFFFFFFF);
  data[7] = 0xFF;  // the attribute claims 65535 value bytes
  data[8] = 0xFF;
  ST_SPTI_HOST_TYPE_ATTRIBUTE a{};
  for (size_t received = 0; received <= data.size(); ++received) {
    const Received r(data, received);
    set_drive_host_type_attribute(r.span(), &a);
  }
  EXPECT_EQ(a.application_vendor[0], 0);
  // AVAILABLE DATA smaller than the attributes received limits the list.
  const std::vector<uint8_t> small = list({attribute(0x0800, {'A'}), attribute(0x0801, {'B'})}, 6);
  const Received r(small, small.size());
  set_drive_host_type_attribute(r.span(), &a);
  EXPECT_EQ(a.application_vendor[0], 'A');
  EXPECT_EQ(a.application_name[0], 0);
}

TEST(AttributeParsing, RandomBytesNeverReadOrWriteOutOfBounds) {
  std::mt19937 random(7);
  for (int i = 0; i < 3000; ++i) {
    std::vector<uint8_t> data(random() % 200);
    for (uint8_t& b : data) b = static_cast<uint8_t>(random() % 4 == 0 ? random() : random() % 16);
    const Received r(data, data.size());
    ST_SPTI_HOST_TYPE_ATTRIBUTE host{};
    ST_SPTI_DEVICE_TYPE_ATTRIBUTE device{};
    set_drive_host_type_attribute(r.span(), &host);
    set_drive_attribute(r.span(), &device);
    size_t offset = 4;
    MamAttributeView view;
    while (next_attribute(r.span(), &offset, &view)) {
      ASSERT_LE(offset, r.size);
      ASSERT_EQ(view.value.size(), view.length);
    }
  }
}

TEST(LogPage, FindsAParameterByItsCode) {
  const std::vector<uint8_t> page = {0x17, 0,    0,    17,   0x00, 0x40, 0x03, 0x02, 'x', 'y',
                                     0x00, 0x45, 0x03, 0x05, 'L',  'T',  'O',  'M',  '8'};
  const Received r(page, page.size());
  const std::span<const uint8_t> value = find_log_parameter(r.span(), 0x0045);
  EXPECT_EQ(std::string(value.begin(), value.end()), "LTOM8");
  EXPECT_TRUE(find_log_parameter(r.span(), 0x0046).empty());
  // Cut in the middle of the value: what arrived of it.
  const Received cut(page, 16);
  const std::span<const uint8_t> part = find_log_parameter(cut.span(), 0x0045);
  EXPECT_EQ(std::string(part.begin(), part.end()), "LT");
  const Received tiny(page, 3);
  EXPECT_TRUE(find_log_parameter(tiny.span(), 0x0045).empty());
}

TEST(LogPage, PageLengthLimitsTheParameters) {
  const std::vector<uint8_t> page = {0x17, 0,    0,    4,    0x00, 0x40, 0x03,
                                     0x00, 0x00, 0x45, 0x03, 0x01, 'Z'};
  const Received r(page, page.size());
  EXPECT_TRUE(find_log_parameter(r.span(), 0x0045).empty());
}

// TapeAlert: a flag counts when its parameter is one of 01h..40h, its value arrived within the
// page's length and its bit 0 is set.
TEST(LogPage, TapeAlertFlagsSetAndWithinTheBytes) {
  const std::vector<uint8_t> page = {
      0x2E, 0,    0,    25,                        // header: 25 bytes of parameters
      0x00, 0x03, 0x00, 0x01, 0x01,                // 03h set
      0x00, 0x04, 0x00, 0x01, 0x00,                // 04h clear
      0x00, 0x14, 0x00, 0x01, 0x81,                // 14h set (bit 0)
      0x00, 0x2B, 0x00, 0x01, 0x01,                // 2Bh set, no name
      0x00, 0x41, 0x00, 0x01, 0x01,                // 41h: no TapeAlert flag
      0x00, 0x05, 0x00, 0x01, 0x01,                // 05h: beyond the page's length
  };
  const Received r(page, page.size());
  const std::vector<scsi::TapeAlert> alerts = scsi::tape_alerts(r.span());
  ASSERT_EQ(alerts.size(), 3u);
  EXPECT_EQ(alerts[0].flag, 0x03);
  EXPECT_EQ(alerts[0].words, "hard error: a read or write failed");
  EXPECT_FALSE(alerts[0].critical);
  EXPECT_EQ(alerts[1].words, "clean now: the drive needs cleaning");
  EXPECT_TRUE(alerts[1].critical);
  EXPECT_EQ(alerts[2].words, "flag 2Bh");
  // Cut inside the second flag's value: the first alone.
  EXPECT_EQ(scsi::tape_alerts(Received(page, 18).span()).size(), 1u);
  EXPECT_TRUE(scsi::tape_alerts(Received(page, 3).span()).empty());
}

TEST(InquiryDecoding, FieldsAsReceivedAndCutWhereTheDataEnds) {
  std::vector<uint8_t> data(36, 0);
  const std::string texts = "VENDOR  PRODUCT NAME    0123";
  std::copy(texts.begin(), texts.end(), data.begin() + 8);
  data[0] = 0x21;  // qualifier 1, type 01h
  data[2] = 0x06;
  const InquiryIdentity whole = decode_inquiry(Received(data, data.size()).span());
  EXPECT_EQ(whole.device_type, 0x01);
  EXPECT_STREQ(device_type_name(whole.device_type), "sequential-access device");
  EXPECT_STREQ(version_name(whole.version), "SPC-4");
  EXPECT_STREQ(version_name(0x7F), "");
  EXPECT_EQ(decode_inquiry(Received(data, 1).span()).version, 0);
  EXPECT_EQ(whole.vendor, "VENDOR  ");
  EXPECT_EQ(whole.product, "PRODUCT NAME    ");
  EXPECT_EQ(whole.revision, "0123");
  const InquiryIdentity cut = decode_inquiry(Received(data, 20).span());
  EXPECT_EQ(cut.vendor, "VENDOR  ");
  EXPECT_EQ(cut.product, "PROD");
  EXPECT_EQ(cut.revision, "");
}

// The header's write protection and the first block descriptor's density, blocks and block
// length; a descriptor cut short, not announced, or beyond the mode data length is not taken.
TEST(ModeSenseDecoding, HeaderAndBlockDescriptor) {
  const std::vector<uint8_t> whole = {11,   0x00, 0x80, 8,    0x5E, 0x00, 0x00,
                                      0x10, 0,    0x04, 0x00, 0x00, 0x3F, 0x00};  // then a page
  std::vector<uint8_t> unannounced = whole;
  unannounced[2] = 0x10;  // buffered mode 1, not write protected
  unannounced[3] = 0;
  std::vector<uint8_t> short_header = whole;
  short_header[0] = 10;  // the mode data ends one byte inside the descriptor
  const struct {
    const char* what;
    const std::vector<uint8_t>& data;
    size_t received;
    bool write_protected, descriptor;
    uint8_t density;
    uint32_t blocks, block_length;
  } cases[] = {
      {"whole", whole, whole.size(), true, true, 0x5E, 16, 0x040000},
      {"cut to the descriptor", whole, 12, true, true, 0x5E, 16, 0x040000},
      {"cut inside the descriptor", whole, 11, true, false, 0, 0, 0},
      {"no descriptor announced", unannounced, unannounced.size(), false, false, 0, 0, 0},
      {"mode data length too short", short_header, short_header.size(), true, false, 0, 0, 0},
      {"header only", whole, 4, true, false, 0, 0, 0},
      {"nothing", whole, 0, false, false, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ModeSense6Data d = decode_mode_sense6(Received(c.data, c.received).span());
    EXPECT_EQ(d.write_protected, c.write_protected);
    EXPECT_EQ(d.has_block_descriptor, c.descriptor);
    EXPECT_EQ(d.density_code, c.density);
    EXPECT_EQ(d.blocks, c.blocks);
    EXPECT_EQ(d.block_length, c.block_length);
  }
  EXPECT_STREQ(density_name(0x60), "LTO-9");
  EXPECT_STREQ(density_name(0x5E), "LTO-8");
  EXPECT_STREQ(density_name(0x61), "");
  // The generation a density names, as a tape identifier carries it.
  EXPECT_STREQ(density_generation(0x60), "L9");
  EXPECT_STREQ(density_generation(0x5D), "M8");
  EXPECT_STREQ(density_generation(0x00), "");
  EXPECT_STREQ(density_generation(0x61), "");
}

}  // namespace
