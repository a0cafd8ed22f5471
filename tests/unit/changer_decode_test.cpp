// The command layer's changer commands on bytes: the CDBs built, and the decoders of element
// status, the element address assignment page and the unit serial number fed contradicting,
// cut and well-formed data.
#include <gtest/gtest.h>

#include "scsi/changer.h"

namespace {

using namespace scsi::changer;
using Bytes = std::vector<uint8_t>;

TEST(ChangerCdbTest, CommandsAreBuiltAsTheStandardsLayThemOut) {
  const auto inventory = read_element_status_cdb(ElementQuery{}, 0x12345);
  EXPECT_EQ(Bytes(inventory.begin(), inventory.end()),
            (Bytes{0xB8, 0x10, 0, 0, 0xFF, 0xFF, 0x01, 0x01, 0x23, 0x45, 0, 0}));
  const ElementQuery slots{ElementType::storage, 0x1002, 3, false, false};
  EXPECT_EQ(read_element_status_cdb(slots, 1u << 30)[1], 0x02);
  EXPECT_EQ(read_element_status_cdb(slots, 1u << 30)[7], 0xFF);  // at most the 3-byte field
  const auto move = move_medium_cdb(0, 0x1001, 0x0100);
  EXPECT_EQ(Bytes(move.begin(), move.end()),
            (Bytes{0xA5, 0, 0, 0, 0x10, 0x01, 0x01, 0, 0, 0, 0, 0}));
  EXPECT_EQ(load_unload_cdb(false)[4], 0x00);
  EXPECT_EQ(load_unload_cdb(true)[4], 0x01);
  const auto vpd = inquiry_vpd_cdb(0x80, 255);
  EXPECT_EQ(Bytes(vpd.begin(), vpd.end()), (Bytes{0x12, 0x01, 0x80, 0x00, 0xFF, 0}));
}

// A report of one page of `type` with descriptors of `length` bytes, each from `fill`.
Bytes report(uint8_t type, uint8_t flags, size_t length, std::vector<Bytes> descriptors) {
  Bytes page = {type, flags, 0, static_cast<uint8_t>(length), 0, 0, 0, 0};
  for (Bytes d : descriptors) {
    d.resize(length, ' ');
    page.insert(page.end(), d.begin(), d.end());
  }
  const size_t bytes = page.size() - 8;
  page[6] = static_cast<uint8_t>(bytes >> 8);
  page[7] = static_cast<uint8_t>(bytes);
  Bytes data = {0x10,
                0x00,
                0,
                static_cast<uint8_t>(descriptors.size()),
                0,
                0,
                static_cast<uint8_t>(page.size() >> 8),
                static_cast<uint8_t>(page.size())};
  data.insert(data.end(), page.begin(), page.end());
  return data;
}

// A storage descriptor: address, FULL and ACCESS, SVALID from 0100h, then its volume tag.
Bytes slot(uint16_t address, const std::string& tag) {
  Bytes d = {static_cast<uint8_t>(address >> 8),
             static_cast<uint8_t>(address),
             0x09,
             0,
             0,
             0,
             0,
             0,
             0,
             0x80,
             0x01,
             0x00};
  for (const char c : tag) d.push_back(static_cast<uint8_t>(c));
  return d;
}

TEST(ElementStatusDecodeTest, WellFormedCutAndContradictingReports) {
  const Bytes good = report(2, 0x80, 48, {slot(0x1000, "ABC123L8"), slot(0x1001, "")});
  std::string error;
  const auto r = decode_element_status(good, &error);
  ASSERT_TRUE(r) << error;
  EXPECT_TRUE(r->complete);
  ASSERT_EQ(r->elements.size(), 2u);
  EXPECT_EQ(r->elements[0].volume_tag, "ABC123L8");
  EXPECT_EQ(r->elements[1].volume_tag, "");
  EXPECT_TRUE(r->elements[0].full && r->elements[0].access && !r->elements[0].except);
  EXPECT_EQ(r->elements[0].source, 0x0100);

  // Cut by the allocation length: the descriptors that arrived whole, the report incomplete.
  const auto cut = decode_element_status(Bytes(good.begin(), good.end() - 10), &error);
  ASSERT_TRUE(cut);
  EXPECT_FALSE(cut->complete);
  EXPECT_EQ(cut->elements.size(), 1u);

  // A drive's identifier, and one whose length runs past its descriptor.
  Bytes drive = {0x01, 0x00, 0x08, 0, 0, 0,   0,   0,   0,   0,   0,
                 0,    2,    0,    0, 6, 'd', 'r', 'i', 'v', 'e', '0'};
  EXPECT_EQ(decode_element_status(report(4, 0, 22, {drive}), &error)->elements[0].identifier,
            "drive0");
  drive[15] = 7;
  EXPECT_FALSE(decode_element_status(report(4, 0, 22, {drive}), &error));
  EXPECT_EQ(error, "the identifier of element 256 (7 bytes) runs past its descriptor");

  const struct {
    Bytes data;
    const char* error;
  } bad[] = {
      {Bytes(7, 0), "the element status header is cut short (7 bytes)"},
      {report(2, 0x80, 40, {slot(0x1000, "A")}),
       "descriptors of 40 bytes, shorter than their fields (48)"},
      {report(9, 0, 12, {slot(0x1000, "")}), "a page of element type 9, which is no element type"},
      {[] {
         Bytes b = report(2, 0, 12, {slot(0x1000, "")});
         b[15] = 13;  // the page announces more than the report holds
         return b;
       }(),
       "a page of 13 bytes, which is no whole number of 12-byte descriptors within the report"},
  };
  for (const auto& c : bad) {
    EXPECT_FALSE(decode_element_status(c.data, &error));
    EXPECT_EQ(error, c.error);
  }
}

TEST(ElementAssignmentDecodeTest, FoundBehindABlockDescriptorAndRefusedWhenCut) {
  Bytes data = {0,    0,    0, 8, 0, 0, 0,    0, 0, 0,  0, 0,  // header, an 8-byte block descriptor
                0x1D, 0x12, 0, 0, 0, 1, 0x10, 0, 0, 40, 0, 0x10, 0, 2, 1, 0, 0, 3, 0, 0};
  data[0] = static_cast<uint8_t>(data.size() - 1);
  const auto a = decode_element_assignment(data);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->storage.first, 0x1000);
  EXPECT_EQ(a->storage.count, 40);
  EXPECT_EQ(a->import_export.count, 2);
  EXPECT_EQ(a->drive.first, 0x0100);
  EXPECT_EQ(a->drive.count, 3);
  EXPECT_FALSE(decode_element_assignment(Bytes(data.begin(), data.end() - 3)));
  data[0] = 20;  // the mode data length ends inside the page
  EXPECT_FALSE(decode_element_assignment(data));
}

TEST(UnitSerialDecodeTest, TheSerialWithinItsLength) {
  EXPECT_EQ(decode_unit_serial(Bytes{1, 0x80, 0, 6, ' ', 'S', 'N', '1', ' ', ' '}), "SN1");
  EXPECT_FALSE(decode_unit_serial(Bytes{1, 0x80, 0, 7, 'S', 'N', '1'}));  // runs past the data
  EXPECT_FALSE(decode_unit_serial(Bytes{1, 0x83, 0, 1, 'S'}));            // another page
  EXPECT_FALSE(decode_unit_serial(Bytes{1, 0x80}));
}

}  // namespace
