// Every job of the program end to end on builder cartridges: the completion messages and exit
// statuses, the retrieval of one object by key and version across the list files of a bucket,
// and the packed object copied whole at structure level 1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e/reader_fixture.h"
#include "support/unique_fd.h"

namespace {

namespace fs = std::filesystem;
using e2e::has_line;
using testutil::RunResult;

class JobsTest : public e2e::ReaderTest {
 protected:
  // The sample tape with its lists made.
  void build_listed(const vtape::Description& d, const vtape::Deviations& deviations = {}) {
    build(d, deviations);
    fs::create_directories(save());
    const RunResult r = reader({"-l"});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  // Indexes of the objects with this key, in tape order.
  std::vector<size_t> versions(const std::string& key) const {
    std::vector<size_t> found;
    for (size_t i = 0; i < layout_.objects.size(); ++i) {
      if (layout_.objects[i].key == key) found.push_back(i);
    }
    return found;
  }

  // The files a retrieval writes for these objects (directory numbers 0000/0000).
  std::map<std::string, std::string> retrieved(const std::vector<size_t>& objects) const {
    std::map<std::string, std::string> files;
    for (const size_t i : objects) {
      const vtape::ObjectLayout& o = layout_.objects[i];
      const std::string base = o.bucket_name + "/0000/0000/" + o.key + "/" + o.list_id;
      files[base + ".meta"] = o.metadata;
      const std::vector<uint8_t> data = desc_.objects[i].data.read_all();
      files[base + ".data"] = std::string(data.begin(), data.end());
    }
    return files;
  }

  // The object files under the save path, list files and pack files left out.
  std::map<std::string, std::string> saved_objects() const {
    std::map<std::string, std::string> files;
    for (const auto& [path, content] : saved()) {
      if (!path.ends_with(".pack")) files[path] = content;
    }
    return files;
  }

  std::string list_path(const std::string& bucket, int n) const {
    char name[16];
    std::snprintf(name, sizeof(name), "_%04d.lst", n);
    return tape_dir() + "/" + bucket + name;
  }

  std::string pack_path(size_t po) const {
    return save() + "/" + vtape::uuid_text(layout_.pos[po].pack_id) + ".pack";
  }
};

TEST_F(JobsTest, EachJobEndsWithItsMessageAndStatus) {
  build(vtape::sample_description());
  fs::create_directories(save());
  // The completion message first, then only the summary's lines.
  auto only_info = [](const RunResult& r, const std::string& message) {
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string out = testutil::strip_headers(r.out);
    EXPECT_EQ(out.rfind("[INFO   ] [COMMON] " + message + "\n", 0), 0u) << out;
    EXPECT_EQ(testutil::count(out, "[INFO   ] [COMMON] "), testutil::count(out, "\n")) << out;
  };
  only_info(reader({"-f"}), "Full dump is complete.");
  // A resume of a dump that completed says so and writes nothing.
  RunResult resumed = reader({"-r"});
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(testutil::strip_headers(resumed.out),
            "[INFO   ] [COMMON] The dump of the tape " + tape_id_ + " into " +
                fs::canonical(save()).string() +
                " is complete: there is nothing to resume.\n[INFO   ] [COMMON] Resume dump is "
                "complete.\n");
  only_info(reader({"-l"}), "Making and output the list file is complete.");
  only_info(reader({"-b", "logs.2024", "-o", "versioned.txt"}),
            "All of the processes are complete.");
  // A list run followed by a retrieval.
  fs::remove_all(save() + "/logs.2024/0000");
  const RunResult r = reader({"-l", "-b", "logs.2024", "-o", "versioned.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string out = testutil::strip_headers(r.out);
  const size_t listed =
      out.find("[INFO   ] [COMMON] Making and output the list file is complete.\n");
  const size_t next = out.find(
      "[INFO   ] [COMMON] Continue to read the specified object from the tape.\n"
      "[INFO   ] [COMMON] All of the processes are complete.\n"
      "[INFO   ] [COMMON] Written: ");
  EXPECT_EQ(listed, 0u) << out;
  EXPECT_NE(next, std::string::npos) << out;
  const size_t latest = versions("versioned.txt").back();
  std::map<std::string, std::string> want;
  for (const auto& [path, content] : retrieved({latest})) want[path.substr(15)] = content;
  e2e::expect_same_files(e2e::files_below(save() + "/logs.2024/0000"), want);

  // A dump creates its save path, one level.
  const std::string deep = tmp_ / "missing/save";
  const RunResult failed =
      testutil::run({testutil::bin("object_reader"), "-d", cart(), "-F", "-s", deep, "-f"}, work());
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(testutil::strip_headers(failed.err),
            "[SYS_ERR] [MISC  ] Failed to make directory.\n" + e2e::kIndent + deep +
                ": No such file or directory. The save path is made one level deep: its parent "
                "directory must exist.\n");
  EXPECT_FALSE(fs::exists(tmp_ / "missing"));
}

TEST_F(JobsTest, RetrievesTheLatestAllOrOneVersion) {
  vtape::Description d = vtape::sample_description();
  // A key of nearly 1000 characters makes list lines far longer than 255 characters.
  d.objects[0].key = std::string(199, 'a') + "/" + std::string(199, 'b') + "/" +
                     std::string(199, 'c') + "/" + std::string(199, 'd') + "/" +
                     std::string(199, 'e');
  d.objects[2].key = "John's notes.txt";
  e2e::pad_metadata(d, 6, d.block_size + 100);  // metadata across a block boundary
  build_listed(d);
  const std::vector<size_t> v = versions("versioned.txt");
  ASSERT_EQ(v.size(), 3u);  // an hour apart, the last the latest
  struct Case {
    std::vector<std::string> args;
    std::vector<size_t> objects;
  };
  const std::vector<Case> cases = {
      {{}, {v[2]}},
      {{"-O", "latest"}, {v[2]}},
      {{"-O", "all"}, v},
      {{"-O", layout_.objects[v[1]].list_id}, {v[1]}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "default" : c.args.back());
    fs::remove_all(save() + "/logs.2024");
    std::vector<std::string> args = {"-b", "logs.2024", "-o", "versioned.txt"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = reader(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    e2e::expect_same_files(saved_objects(), retrieved(c.objects));
  }
  // Objects of many blocks and of none, with a long key and an apostrophe.
  fs::remove_all(save() + "/logs.2024");
  for (const size_t i : {size_t{0}, size_t{2}, size_t{6}}) {
    const RunResult r =
        reader({"-b", layout_.objects[i].bucket_name, "-o", layout_.objects[i].key});
    EXPECT_EQ(r.status, 0) << r.err;
  }
  e2e::expect_same_files(saved_objects(), retrieved({0, 2, 6}));
}

// A bucket of more than 1,000,000 objects has several list files; the lookup reads them all in
// order. The second list file here is made by moving the latest version into it.
TEST_F(JobsTest, RetrievalAcrossTwoListFilesOfABucket) {
  build_listed(vtape::sample_description());
  const std::vector<size_t> v = versions("versioned.txt");
  std::vector<size_t> first;
  for (size_t i = 0; i < layout_.objects.size(); ++i) {
    if (layout_.objects[i].bucket_name == "logs.2024" && i != v[2]) first.push_back(i);
  }
  ASSERT_EQ(testutil::read_file(list_path("logs.2024", 1)), e2e::list_file(layout_, [&] {
              std::vector<size_t> all = first;
              all.push_back(v[2]);
              return all;
            }()));
  testutil::write_file(list_path("logs.2024", 1), e2e::list_file(layout_, first));
  testutil::write_file(list_path("logs.2024", 2), e2e::list_file(layout_, {v[2]}));
  struct Case {
    std::string version;
    std::vector<size_t> objects;
  };
  const std::vector<Case> cases = {
      {"latest", {v[2]}},
      {"all", v},
      {layout_.objects[v[2]].list_id, {v[2]}},
      {layout_.objects[v[0]].list_id, {v[0]}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    fs::remove_all(save() + "/logs.2024");
    const RunResult r = reader({"-b", "logs.2024", "-o", "versioned.txt", "-O", c.version});
    EXPECT_EQ(r.status, 0) << r.err;
    e2e::expect_same_files(saved_objects(), retrieved(c.objects));
  }
  // Nothing found: the message names the last list file that exists.
  fs::remove_all(save() + "/logs.2024");
  const RunResult r =
      reader({"-b", "logs.2024", "-o", "versioned.txt", "-O", std::string(32, '0')});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(testutil::strip_headers(r.err),
            "[SYS_ERR] [MISC  ] The object you specified was not found in the list(" +
                list_path("logs.2024", 2) + ").\n");
  EXPECT_TRUE(saved_objects().empty());
}

TEST_F(JobsTest, RetrievalWithoutListsOrMatchEndsWithStatusOne) {
  build(vtape::sample_description());
  fs::create_directories(save());
  RunResult r = reader({"-b", "logs.2024", "-o", "versioned.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(testutil::strip_headers(r.err),
            "[SYS_ERR] [COMMON] Specify \"--list\" option if you did not make a list before.\n" +
                e2e::kIndent + "If already done it, the bucket you specified is not found.\n" +
                e2e::kIndent + "No list of the tape " + tape_id_ + " was made into " + save() +
                ": make it first (-l).\n");
  // Into a save path that does not exist: said so.
  r = testutil::run({testutil::bin("object_reader"), "-d", cart(), "-s", save() + "/nowhere", "-b",
                     "logs.2024", "-o", "versioned.txt"},
                    work());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.find("The save path " + save() + "/nowhere does not exist: give the one the "
                         "list run wrote into.") != std::string::npos)
      << r.err;
  ASSERT_EQ(reader({"-l"}).status, 0);
  r = reader({"-b", "nosuchbucket", "-o", "versioned.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Specify \"--list\" option"), std::string::npos);
  r = reader({"-b", "logs.2024", "-o", "no-such-key"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(testutil::strip_headers(r.err),
            "[SYS_ERR] [MISC  ] The object you specified was not found in the list(" +
                list_path("logs.2024", 1) + ").\n");
  EXPECT_TRUE(saved_objects().empty());
}

TEST_F(JobsTest, RetrievalOfFilesAlreadyThereWarnsAndWritesNeither) {
  build_listed(vtape::sample_description());
  const size_t i = versions("versioned.txt")[2];
  const std::vector<std::string> args = {"-b", "logs.2024", "-o", "versioned.txt"};
  ASSERT_EQ(reader(args).status, 0);
  const std::string base =
      save() + "/logs.2024/0000/0000/versioned.txt/" + layout_.objects[i].list_id;
  testutil::write_file(base + ".data", "kept");
  RunResult r = reader(args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::report_lines(r.err),
            std::vector<std::string>{"[WARNING] [COMMON] The object file (" + base +
                                     ".meta) already exists. The object is not written."});
  EXPECT_EQ(testutil::read_file(base + ".data"), "kept");
  // With only the data file there, no metadata file appears either.
  fs::remove(base + ".meta");
  r = reader(args);
  EXPECT_EQ(e2e::report_lines(r.err),
            std::vector<std::string>{"[WARNING] [COMMON] The object file (" + base +
                                     ".data) already exists. The object is not written."});
  EXPECT_FALSE(fs::exists(base + ".meta"));
  EXPECT_EQ(testutil::read_file(base + ".data"), "kept");
}

TEST_F(JobsTest, RetrievalThatReportsAnErrorEndsWithStatusOne) {
  vtape::Description d = vtape::sample_description();
  d.objects[1].key = "../up";
  build_listed(d);
  const RunResult r = reader({"-b", "photos", "-o", "../up"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has_line(r.err,
                       "The object key (../up) of bucket (photos) would be written outside "
                       "the save path."))
      << r.err;
  EXPECT_TRUE(has_line(r.err, "[ERROR  ] [MISC  ] Some error has occurred at check_integrity."));
  EXPECT_NE(r.out.find("All of the processes are complete."), std::string::npos);
  EXPECT_TRUE(saved_objects().empty());
}

// The list run reports errors (a commit marker differs on the data partition) but does not
// count them in the status of the retrieval that follows it.
TEST_F(JobsTest, ListRunErrorsDoNotCountInTheFollowingRetrieval) {
  vtape::Deviations deviations;
  deviations.patches.push_back({{vtape::MarkerKind::ocm, 0}, vtape::kDataCopy, 60, {0xFF}});
  build(vtape::sample_description(), deviations);
  fs::create_directories(save());
  const RunResult r = reader({"-l", "-b", "logs.2024", "-o", "versioned.txt", "-O", "all"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_line(r.err, "Some error has occurred at check_integrity."));
  e2e::expect_same_files(saved_objects(), retrieved(versions("versioned.txt")));
}

// ---------------------------------------------------------------------------------------------
// Structure level 1: the whole packed object

TEST_F(JobsTest, PackFileIsThePackedObjectByteForByte) {
  build_listed(vtape::sample_description());
  const size_t i = versions("versioned.txt")[1];
  const size_t po = layout_.objects[i].po;
  const std::vector<std::string> args = {
      "-b", "logs.2024", "-o", "versioned.txt", "-O", layout_.objects[i].list_id, "-L", "1"};
  RunResult r = reader(args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(testutil::read_file(pack_path(po)), e2e::packed_object_bytes(cart(), layout_, po));
  e2e::expect_same_files(saved_objects(), retrieved({i}));
  // The pack file is named with the object's files, and the summary follows.
  EXPECT_NE(r.out.find("[INFO   ] [COMMON] Written: " + pack_path(po) + "\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("[COMMON] Objects: 1 written, "), std::string::npos) << r.out;
  // An existing pack file is left as it is.
  testutil::write_file(pack_path(po), "kept");
  fs::remove_all(save() + "/logs.2024");
  r = reader(args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testutil::read_file(pack_path(po)), "kept");
  for (const auto& [path, content] : saved()) {
    EXPECT_FALSE(path.ends_with(".tmp")) << path;
  }
}

// Packed objects of exactly two blocks and of two blocks and one byte, at a small block size
// and at 1 MiB (the extraction reads blocks of the format label's size).
TEST_F(JobsTest, PackFilesOfTwoBlocksAndOneByteMore) {
  for (const uint32_t bs : {4096u, 1048576u}) {
    for (const uint64_t extra : {uint64_t{0}, uint64_t{1}}) {
      SCOPED_TRACE(std::to_string(bs) + " + " + std::to_string(extra));
      vtape::Description d;
      d.block_size = bs;
      d.buckets = {{"packs", {}}};
      vtape::ObjectEntry o;
      o.key = "two-blocks";
      o.data = vtape::ObjectData::pattern(2 * bs - 1000, 9);
      d.objects.push_back(o);
      const vtape::Layout plan = vtape::plan_cartridge(d);
      d.objects[0].data =
          vtape::ObjectData::pattern(2 * bs + extra - 32 - plan.objects[0].data_offset, 9);
      ASSERT_EQ(vtape::plan_cartridge(d).pos[0].place.length, 2 * bs + extra);
      build_listed(d);
      const RunResult r = reader({"-b", "packs", "-o", "two-blocks", "-L", "1"});
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(testutil::read_file(pack_path(0)), e2e::packed_object_bytes(cart(), layout_, 0));
      e2e::expect_same_files(saved_objects(), retrieved({0}));
      fs::remove_all(cart());
      fs::remove_all(save());
    }
  }
}

// The closing directory entry of a packed object of 124 objects starts 24 bytes before the end
// of the first block: it is put together from two blocks.
TEST_F(JobsTest, PackFileWhoseClosingDirectoryEntryCrossesABlock) {
  vtape::Description d;
  d.block_size = 4096;
  d.buckets = {{"many", {}}};
  d.grouping = {124, 1, 1};
  for (int i = 0; i < 124; ++i) {
    vtape::ObjectEntry o;
    o.key = std::string("o").append(std::to_string(i));
    o.data = vtape::ObjectData::pattern(static_cast<uint64_t>(i) * 7, 100 + i);
    d.objects.push_back(std::move(o));
  }
  build_listed(d);
  ASSERT_EQ(layout_.pos.size(), 1u);
  const uint64_t from = 32 * 124 + 104;
  ASSERT_LT(from, 4096u);
  ASSERT_GT(from + 32, 4096u);
  const RunResult r = reader({"-b", "many", "-o", "o123", "-L", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testutil::read_file(pack_path(0)), e2e::packed_object_bytes(cart(), layout_, 0));
}

// A packed object that says it holds no objects: its closing entry is the first one, and the
// pack ends where that entry's data offset says.
TEST_F(JobsTest, PackFileOfAPackedObjectWithoutObjects) {
  vtape::Description d = vtape::sample_description();
  const vtape::Layout plan = vtape::plan_cartridge(d);
  const size_t po = plan.objects[1].po;
  vtape::Deviations deviations;
  deviations.patches.push_back(
      vtape::u64_patch({vtape::MarkerKind::po, po}, vtape::kDataCopy, 48, 0));
  build_listed(d, deviations);
  const RunResult r = reader({"-b", "photos", "-o", layout_.objects[1].key, "-L", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  const uint64_t first_x = layout_.objects[layout_.pos[po].first_object].data_offset;
  EXPECT_EQ(testutil::read_file(pack_path(po)),
            e2e::packed_object_bytes(cart(), layout_, po).substr(0, first_x + 32));
}

// A block of the packed object that cannot be read ends the run; no part of a pack file is
// left behind. (The list is written by hand: a list run would stop at the same block.)
TEST_F(JobsTest, UnreadablePackedObjectLeavesNoPartOfAPackFile) {
  const vtape::Description d = vtape::sample_description();
  const vtape::Layout plan = vtape::plan_cartridge(d);
  const vtape::ObjectLayout& o = plan.objects[6];
  vtape::Deviations deviations;
  deviations.unreadable.push_back({1, o.meta_block + 1});
  build(d, deviations);
  std::vector<size_t> listed;
  for (size_t i = 0; i < layout_.objects.size(); ++i) {
    if (layout_.objects[i].bucket_name == layout_.objects[5].bucket_name) listed.push_back(i);
  }
  fs::create_directories(tape_dir());
  testutil::write_file(list_path(layout_.objects[5].bucket_name, 1),
                       e2e::list_file(layout_, listed));
  const RunResult r =
      reader({"-b", layout_.objects[5].bucket_name, "-o", layout_.objects[5].key, "-L", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has_line(r.err, "[SYS_ERR] [UNKNOWN] Failed to read data from tape.")) << r.err;
  // The object itself was read whole before the packed object was copied.
  std::map<std::string, std::string> files = saved();
  e2e::expect_same_files(files, retrieved({5}));
}

// List files go under the tape identifier the walk names them with (volume identifier and
// generation) even when the barcode says otherwise; the saved marker cache stays under the
// barcode.
TEST_F(JobsTest, ListsFollowTheVolumeIdentifierWhenTheBarcodeDiffers) {
  vtape::Description d = vtape::sample_description();
  d.barcode = "BARCODE9";
  build_listed(d);
  EXPECT_TRUE(fs::exists(list_path("logs.2024", 1)));
  EXPECT_FALSE(fs::exists(save() + "/BARCODE9/logs.2024_0001.lst"));
  const RunResult r = reader({"-b", "logs.2024", "-o", "versioned.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  e2e::expect_same_files(saved_objects(), retrieved({versions("versioned.txt").back()}));
  ASSERT_EQ(reader({"-f"}).status, 0);
  EXPECT_TRUE(fs::exists(save() + "/BARCODE9/reference_partition/QRTLabel"));
}

}  // namespace

// A second dump into a save path is refused while another dump holds it. Objects whose files are
// already there are named once, then counted: four twins (one key, one object ID) give one file.
TEST_F(JobsTest, SavePathOfADumpIsItsOwnAndFilesAlreadyThereAreCounted) {
  vtape::Description d = vtape::sample_description();
  d.objects.resize(4);
  const vtape::Uuid id = vtape::plan_cartridge(d).objects[0].uuid;
  for (vtape::ObjectEntry& o : d.objects) {
    o = d.objects[0];
    o.uuid = id;
  }
  build(d);
  fs::create_directories(save());
  {
    const support::UniqueFd held(open(save().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_EQ(flock(held.get(), LOCK_EX | LOCK_NB), 0);
    const RunResult r = reader({"-f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(e2e::report_lines(r.err),
              std::vector<std::string>{"[SYS_ERR] [COMMON] The save path (" + save() +
                                       ") is in use by another dump."});
  }
  const RunResult r = reader({"-f"});
  const std::vector<std::string> lines = e2e::report_lines(r.err);
  ASSERT_EQ(lines.size(), 2u) << r.err;
  EXPECT_NE(lines[0].find(") already exists. The object is not written."), std::string::npos);
  EXPECT_EQ(lines[1],
            "[WARNING] [COMMON] 3 objects already there: their files were found in the save path "
            "and are not written again.");
  EXPECT_NE(r.out.find("Objects: 1 written, 3 already there"), std::string::npos) << r.out;
}
