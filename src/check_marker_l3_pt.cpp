// Partial reference (Level3) and the OCM infos it carries. A cached partial reference file is
// read strictly in sequence: header, OCM directory, then each OCM info with its packed object
// infos. A file shorter than its own header and directory say ends the run (read failure).
#include <cstdint>
#include <cstdio>

#include "format_check_helpers.h"
#include "marker_layout.h"
#include "output_level.h"
#include "vexa_format_checker.h"

namespace {

constexpr size_t kPartialReferenceHeaderSize = marker_layout::kPrHeaderSize;
constexpr uint64_t kOcmDirectoryEntrySize = marker_layout::kLevel32EntrySize;

// Reads `count` bytes of the partial reference into a new block. Bytes that the file does not
// hold end the run with the read-failure report before anything is allocated for them.
fmtcheck::Owned<uint8_t> read_part(FILE* fp, uint64_t count, const char* what,
                                   const char* allocation, const char* filename) {
  const uint64_t left = fmtcheck::stream_bytes_left(fp);
  if (count > left) clf_check_read_data(left, count, what, filename);
  auto block = fmtcheck::allocate_array<uint8_t>(count, allocation);
  const size_t read_count = clf_read_file(block.get(), 1, count, fp);
  clf_check_read_data(read_count, count, what, filename);
  return block;
}

}  // namespace

int check_ocm_info(std::span<const uint8_t> buffer, uint64_t* current_position, uint64_t length,
                   int ocm_info_num) {
  output_accdg_to_vl(LV_TRACE, VL_PR, "start:check_ocm_info: OCM Info %d\n", ocm_info_num);
  if (current_position == nullptr) {
    output_fatal(VL_MISC, "Null pointer is detected at check_ocm_info");
  }
  int ret = 0;
  const uint64_t start = *current_position;
  uint64_t num_of_po = 0;
  uint64_t unused_data_length = 0;
  // The header and directory checks report as the partial reference they lie in (top verbose
  // "vvv"); the OCM info's own findings below are shown with the object commit markers.
  if (clf_header(LEVEL2_IDENTIFIER, buffer, nullptr, 1, current_position, &num_of_po,
                 &unused_data_length) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_OCM, "OCM header format is not correct.\n");
  }

  const uint64_t entries =
      directory_entries_present(LEVEL2_IDENTIFIER, buffer, *current_position, num_of_po);
  auto po_block_offset = fmtcheck::allocate_array<uint64_t>(entries, "PO Block Offset");
  auto po_info_length = fmtcheck::allocate_array<uint64_t>(entries, "PO Info Length");
  if (clf_directory(LEVEL2_IDENTIFIER, buffer, current_position, num_of_po,
                    {po_info_length.get(), entries}, {po_block_offset.get(), entries}) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_OCM, "OCM directory format is not correct.\n");
  }
  po_block_offset.reset();

  uint64_t sum = 0;
  for (uint64_t i = 0; i < entries; ++i) sum = fmtcheck::add_sat(sum, po_info_length[i]);
  const uint64_t header_and_directory = *current_position - start;
  if (fmtcheck::add_sat(header_and_directory, sum) != length) {
    ret |=
        output_accdg_to_vl(LV_ERROR, VL_OCM,
                           "OCM Info length is not correct.\n%s(Data offset:%lu) + (Sum of packed "
                           "object info length:%lu) = (OCM Info length:%lu)\n",
                           INDENT, header_and_directory, sum, length);
  }
  for (uint64_t i = 0; i < entries; ++i) {
    ret |= clf_packed_objects_info("", buffer, current_position, po_info_length[i]);
  }
  po_info_length.reset();
  output_accdg_to_vl(LV_TRACE, VL_PR, "end  :check_ocm_info: OCM Info %d\n", ocm_info_num);
  return ret;
}

int check_partial_reference(const char* filename) {
  output_accdg_to_vl(LV_TRACE, VL_PR, "start:check_partial_reference: %s\n",
                     filename != nullptr ? filename : "");
  set_top_verbose(VL_PR);
  if (filename == nullptr) {
    output_fatal(VL_MISC, "Null pointer is detected at check_partial_reference");
  }
  FILE* fp = fmtcheck::open_from_start(filename);
  int ret = 0;

  uint8_t header[kPartialReferenceHeaderSize] = {};
  const size_t read_count = clf_read_file(header, 1, sizeof(header), fp);
  clf_check_read_data(read_count, sizeof(header), "Partial Reference Header", filename);
  uint64_t position = 0;
  uint64_t num_of_ocm = 0;
  uint64_t unused_data_length = 0;
  if (clf_header(LEVEL3_IDENTIFIER, header, nullptr, 0, &position, &num_of_ocm,
                 &unused_data_length) != 0) {
    ret |= output_accdg_to_vl(LV_ERROR, VL_PR, "Partial reference header format is not correct.\n");
  }

  // The directory lies right after the header, whatever offsets the header gives.
  const uint64_t directory_bytes = fmtcheck::mul_sat(num_of_ocm, kOcmDirectoryEntrySize);
  auto ocm_info_length = fmtcheck::Owned<uint64_t>();
  {
    auto directory = read_part(fp, directory_bytes, "OCM Directory", "OCM directory", filename);
    ocm_info_length = fmtcheck::allocate_array<uint64_t>(num_of_ocm, "OCM Info Length");
    auto block_offset = fmtcheck::allocate_array<uint64_t>(num_of_ocm, "Block Offset");
    uint64_t directory_position = 0;
    if (clf_directory(LEVEL3_IDENTIFIER, {directory.get(), directory_bytes}, &directory_position,
                      num_of_ocm, {ocm_info_length.get(), num_of_ocm},
                      {block_offset.get(), num_of_ocm}) != 0) {
      ret |= output_accdg_to_vl(LV_ERROR, VL_PR,
                                "Object commit marker directory format is not correct.\n");
    }
  }

  for (uint64_t i = 0; i < num_of_ocm; ++i) {
    const uint64_t length = ocm_info_length[i];
    auto info = read_part(fp, length, "OCM Info", "OCM Info", filename);
    uint64_t info_position = 0;
    ret |= check_ocm_info({info.get(), length}, &info_position, length, static_cast<int>(i));
  }

  clf_close_file(fp);
  set_top_verbose(VL_DEFAULT);
  output_accdg_to_vl(LV_TRACE, VL_PR, "end  :check_partial_reference: %s\n", filename);
  return ret;
}
