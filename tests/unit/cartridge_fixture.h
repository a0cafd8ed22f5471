// Hand-made virtual cartridges for the tests of the command layer and the virtual drive: a fresh
// directory, partition files written object by object, a manifest, and raw SG_IO requests.
#pragma once

#include <gtest/gtest.h>
#include <scsi/sg.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cartridge/cartridge_writer.h"
#include "common/test_util.h"
#include "output_level.h"
#include "scsi_util.h"
#include "spti_lib.h"
#include "tape_device.h"

namespace cartridge_test {

// One object of a partition: a record of `size` bytes (filled with a byte pattern derived from
// `tag`), a filemark, or an unreadable record.
struct Obj {
  enum Kind { kRecord, kFilemark, kUnreadable } kind = kRecord;
  uint32_t size = 0;
  uint8_t tag = 0;
};
inline Obj rec(uint32_t size, uint8_t tag = 0) { return Obj{Obj::kRecord, size, tag}; }
inline Obj fm() { return Obj{Obj::kFilemark, 0, 0}; }
inline Obj bad(uint32_t size) { return Obj{Obj::kUnreadable, size, 0}; }

inline std::vector<uint8_t> pattern(uint32_t size, uint8_t tag) {
  std::vector<uint8_t> data(size);
  for (uint32_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(tag + i * 7);
  return data;
}

inline void write_partition(const std::string& path, const std::vector<Obj>& objects) {
  vtape::PartitionWriter writer(path);
  for (const Obj& o : objects) {
    if (o.kind == Obj::kFilemark) {
      writer.filemark();
    } else {
      writer.record(pattern(o.size, o.tag), o.kind == Obj::kUnreadable);
    }
  }
  writer.close();
}

// Result of one raw request.
struct Response {
  int rc = 0;
  int err = 0;
  sg_io_hdr_t hdr{};
  std::vector<uint8_t> sense;
  std::vector<uint8_t> data;  // the bytes received
};

// Sends `cdb` to `fd`; data requests get a buffer of `dxfer_len` bytes filled with AAh first, so
// that bytes written beyond the count received would show.
inline Response send(int fd, std::vector<uint8_t> cdb, unsigned dxfer_len = 0,
                     int direction = SG_DXFER_FROM_DEV, unsigned char mx_sb_len = 64) {
  Response r;
  std::vector<uint8_t> buffer(dxfer_len, 0xAA);
  std::vector<uint8_t> sense(255, 0);
  r.hdr.interface_id = 'S';
  r.hdr.dxfer_direction = dxfer_len == 0 ? SG_DXFER_NONE : direction;
  r.hdr.cmd_len = static_cast<unsigned char>(cdb.size());
  r.hdr.cmdp = cdb.data();
  r.hdr.dxfer_len = dxfer_len;
  r.hdr.dxferp = dxfer_len == 0 ? nullptr : buffer.data();
  r.hdr.mx_sb_len = mx_sb_len;
  r.hdr.sbp = sense.data();
  r.rc = tape_device_sg_io(fd, &r.hdr);
  r.err = r.rc < 0 ? errno : 0;
  r.sense.assign(sense.begin(), sense.begin() + r.hdr.sb_len_wr);
  const unsigned received = r.rc == 0 ? dxfer_len - static_cast<unsigned>(r.hdr.resid) : 0;
  r.data.assign(buffer.begin(), buffer.begin() + received);
  for (size_t i = received; i < buffer.size(); ++i) {
    if (buffer[i] != 0xAA) ADD_FAILURE() << "byte " << i << " written past the count received";
  }
  r.hdr.cmdp = nullptr;
  r.hdr.dxferp = nullptr;
  r.hdr.sbp = nullptr;
  return r;
}

// A fresh cartridge directory with two partitions; tests fill them and open the drive.
class CartridgeTest : public ::testing::Test {
 protected:
  void SetUp() override { set_vl(verbosity_); }
  void TearDown() override {
    for (int fd : open_) tape_device_close(fd);
  }
  std::string path() const { return dir_.path(); }
  std::string file(const std::string& name) const { return dir_ / name; }

  void make(const std::vector<Obj>& p0, const std::vector<Obj>& p1 = {}) {
    write_partition(file("p0.tap"), p0);
    write_partition(file("p1.tap"), p1);
    vtape::write_manifest(manifest, path());
  }
  int open_drive() {
    const int fd = tape_device_open(path().c_str());
    if (fd >= 0) open_.push_back(fd);
    return fd;
  }
  // The drive as the program owns it: the object closes its node.
  std::unique_ptr<TapeDrive> open_tape_drive() {
    const int fd = tape_device_open(path().c_str());
    return fd >= 0 ? std::make_unique<TapeDrive>(fd) : nullptr;
  }
  void close_drive(int fd) {
    std::erase(open_, fd);
    tape_device_close(fd);
  }
  void verbosity(const char* v) { std::snprintf(verbosity_, sizeof(verbosity_), "%s", v); }

  vtape::Manifest manifest;
  testutil::TempDir dir_;
  std::vector<int> open_;
  char verbosity_[16] = "";
};

}  // namespace cartridge_test
