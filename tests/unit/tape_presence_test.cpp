// Presence of a SCSI tape device, decided from a fake sysfs tree: the node's device number must be
// listed by the SCSI generic or SCSI tape class, and its SCSI device must be sequential-access.
// An st node is replaced by the sg node of the same SCSI device.
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
  // directory elsewhere in the tree, linked as "device" as sysfs does; `scsi_id` names it when
  // two class devices share it) has the peripheral `type`.
  void add_class_device(const std::string& cls, const std::string& name, const std::string& dev,
                        const std::string& type, const std::string& scsi_id = "") {
    const fs::path scsi_device =
        fs::path(sysfs_.path()) / "devices" / (scsi_id.empty() ? "0:0:0:" + name : scsi_id);
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

TEST_F(TapePresence, AnStNodeIsReplacedByTheGenericNodeOfItsDrive) {
  add_class_device("scsi_tape", "nst0", null_dev_, "1", "2:0:3:0");
  add_class_device("scsi_generic", "sg1", "21:1", "1");  // another drive
  add_class_device("scsi_generic", "sg7", "21:7", "1", "2:0:3:0");
  const TapeNode node = find_tape_node("/dev/null", sysfs_.path());
  EXPECT_EQ(node.kind, TapeNode::Kind::st);
  EXPECT_EQ(node.generic_name, "sg7");
  testing::internal::CaptureStdout();
  EXPECT_EQ(tape_node_to_open("/dev/null", sysfs_.path(), "/devices"), "/devices/sg7");
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "/dev/null is a node of the st tape driver: the program uses the drive's SCSI "
                "generic node /devices/sg7 instead.\n"),
            std::string::npos);
}

TEST_F(TapePresence, AGenericNodeIsOpenedAsGiven) {
  add_class_device("scsi_generic", "sg3", null_dev_, "1");
  EXPECT_EQ(tape_node_to_open("/dev/null", sysfs_.path()), "/dev/null");
}

TEST_F(TapePresence, NoTapeOrAnStNodeWithoutGenericNodeEndsTheRun) {
  EXPECT_EXIT(RUN_ENDS(tape_node_to_open("/dev/null", sysfs_.path())), testing::ExitedWithCode(1),
              "\\[SYS_ERR\\] \\[MISC  \\] Can't find tape device\\(/dev/null\\).\n +Check option "
              "'-d': it is a character device of no SCSI tape or SCSI generic driver.\n");
  add_class_device("scsi_tape", "st0", null_dev_, "1");
  EXPECT_EXIT(RUN_ENDS(tape_node_to_open("/dev/null", sysfs_.path())), testing::ExitedWithCode(1),
              "/dev/null is a node of the st tape driver, and its drive has no SCSI generic "
              "node.\n +Load the sg driver \\(modprobe sg\\) and give the drive's node /dev/sgN "
              "with -d");
}

TEST_F(TapePresence, NoSysfsAtAll) {
  EXPECT_FALSE(is_tape_device_node("/dev/null", sysfs_ / "nothing"));
}

}  // namespace
