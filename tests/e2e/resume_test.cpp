// Runs that can be trusted: a dump interrupted anywhere (a killed process, a signal, a full disk)
// and resumed leaves exactly one whole copy of every object; a resume keeps to its dump's save
// path.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "e2e/reader_fixture.h"

namespace {

namespace fs = std::filesystem;
using e2e::has_line;
using testutil::RunResult;

class ResumeTest : public e2e::ReaderTest {
 protected:
  // The objects below `root` by bucket, key, object identifier and suffix (the numbered
  // directories may differ from an uninterrupted dump's), each once: a second copy of one, or a
  // file under a temporary name, is a failure.
  static std::map<std::string, std::string> objects_below(const std::string& root,
                                                          const std::string& skip) {
    std::map<std::string, std::string> objects;
    for (const auto& [path, content] : e2e::files_below(root, skip)) {
      EXPECT_EQ(path.find(".tmp."), std::string::npos) << path << " left behind";
      const size_t first = path.find('/');
      const std::string identity = path.substr(0, first) + path.substr(first + 10);
      EXPECT_TRUE(objects.emplace(identity, content).second) << identity << " stored twice";
    }
    return objects;
  }

  void expect_whole_dump(const std::string& root) const {
    std::map<std::string, std::string> want;
    for (const auto& [path, content] : e2e::expected_dump(desc_, layout_)) {
      const size_t first = path.find('/');
      want[path.substr(0, first) + path.substr(first + 10)] = content;
    }
    e2e::expect_same_files(objects_below(root, tape_id_), want);
  }
};

// A resume writes into the save path of its dump, or not at all.
TEST_F(ResumeTest, AResumeKeepsToTheSavePathOfItsDump) {
  build(vtape::sample_description());
  ASSERT_EQ(reader({"-f"}).status, 0);
  testutil::write_file(work() + "/history.log", [&] {
    std::string h = testutil::read_file(work() + "/history.log");
    h.replace(h.find("Complete=1"), 10, "Complete=0");
    return h;
  }());
  const std::string other = tmp_ / "other";
  fs::create_directories(other);
  const RunResult r = testutil::run(
      {testutil::bin("object_reader"), "-d", cart(), "-F", "-s", other, "-r"}, work());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has_line(r.err, "was made into " + fs::canonical(save()).string() +
                                  ". Resume it with -s " + fs::canonical(save()).string()))
      << r.err;
  EXPECT_TRUE(fs::is_empty(other));
}

// A save path on a file system that fills up: the dump stops, space is freed, the resume makes
// progress until the dump is whole.
TEST_F(ResumeTest, AFullDiskThenAResumeAfterSpaceIsFreedCompletesTheDump) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  vtape::Description d = vtape::sample_description();
  for (vtape::ObjectEntry& o : d.objects) o.data = vtape::ObjectData::pattern(40000, o.key.size());
  build(d);
  fs::create_directories(save());
  if (mount("tmpfs", save().c_str(), "tmpfs", 0, "size=1600k") != 0) {
    GTEST_SKIP() << "no tmpfs here";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{save()};
  testutil::write_file(save() + "/filler", std::string(700 * 1024, 'f'));
  const RunResult full = reader({"-f"});
  EXPECT_EQ(full.status, 1);
  EXPECT_TRUE(has_line(full.err, "Disk space is likely to insufficient")) << full.err;
  fs::remove(save() + "/filler");
  const RunResult resumed = reader({"-r"});
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(resumed.err, "");
  expect_whole_dump(save());
}

}  // namespace
