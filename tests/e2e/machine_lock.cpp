// The program clears and fills the one directory /tmp/object_reader/ of the machine, so
// end-to-end test processes take turns machine-wide (also those of other checkouts and builds),
// not only within one test run. The lock is taken when the tests start running (not when they are
// only listed) and released when the process ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

class MachineLock : public ::testing::Environment {
 public:
  void SetUp() override {
    fd_ = open("/tmp/object_reader.e2e-tests.lock", O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

[[maybe_unused]] ::testing::Environment* const kMachineLock =
    ::testing::AddGlobalTestEnvironment(new MachineLock);

}  // namespace
