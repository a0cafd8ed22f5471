// Presence of a SCSI tape device, decided from a fake sysfs tree: the node's device number must be
// listed by the SCSI generic or SCSI tape class, and its SCSI device must be sequential-access.
#include "support/tape_presence.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <string>

#include "common/test_util.h"

namespace fs = std::filesystem;

namespace {

// "major:minor" of a device node, as sysfs writes it into a class device's "dev" file.
std::string device_number(const char* node) {
  struct stat st {};
  if (stat(node, &st) != 0) return "";
  return std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
}

class TapePresence : public ::testing::Test {
 protected:
  // Lists a class device `cls`/`name` with the device number `dev`, whose SCSI device (a
  // directory elsewhere in the tree, linked as "device" as sysfs does) has the peripheral `type`.
  void add_class_device(const std::string& cls, const std::string& name, const std::string& dev,
                        const std::string& type) {
    const fs::path scsi_device = fs::path(sysfs_.path()) / "devices" / ("0:0:0:" + name);
    fs::create_directories(scsi_device);
    testutil::write_file(scsi_device / "type", type + "\n");
    const fs::path entry = fs::path(sysfs_.path()) / "class" / cls / name;
    fs::create_directories(entry);
    testutil::write_file(entry / "dev", dev + "\n");
    fs::create_directory_symlink(scsi_device, entry / "device");
  }
  bool present(const char* node) const { return is_tape_device_node(node, sysfs_.path()); }

  testutil::TempDir sysfs_;
  const std::string null_dev_ = device_number("/dev/null");
};

TEST_F(TapePresence, SequentialAccessDeviceOfTheGenericClass) {
  ASSERT_FALSE(null_dev_.empty());
  add_class_device("scsi_generic", "sg3", null_dev_, "1");
  EXPECT_TRUE(present("/dev/null"));
}

TEST_F(TapePresence, DeviceOfTheTapeClass) {
  add_class_device("scsi_tape", "nst0", null_dev_, "1");
  EXPECT_TRUE(present("/dev/null"));
}

TEST_F(TapePresence, OtherPeripheralTypesAreNoTapes) {
  add_class_device("scsi_generic", "sg0", "8:0", "1");      // another node is the tape
  add_class_device("scsi_generic", "sg1", null_dev_, "8");  // medium changer
  EXPECT_FALSE(present("/dev/null"));
}

TEST_F(TapePresence, NodesThatAreNotListedOrNotDevices) {
  add_class_device("scsi_generic", "sg0", "21:7", "1");
  EXPECT_FALSE(present("/dev/null"));  // not listed
  testutil::TempDir dir;
  testutil::write_file(dir / "sg0", "");
  EXPECT_FALSE(present((dir / "sg0").c_str()));  // a regular file
  EXPECT_FALSE(present(dir.path().c_str()));     // a directory
  EXPECT_FALSE(present((dir / "missing").c_str()));
  EXPECT_FALSE(present(""));
  EXPECT_FALSE(present(nullptr));
}

TEST_F(TapePresence, NoSysfsAtAll) {
  EXPECT_FALSE(is_tape_device_node("/dev/null", sysfs_ / "nothing"));
}

}  // namespace
