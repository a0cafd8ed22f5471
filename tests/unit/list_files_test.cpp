// List files: the writer's exact text, completion, and the reader's selection of versions by key
// and "latest", "all" or an object identifier, within one file and across the files of a bucket.
#include "walk/list_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "object_reader.h"
#include "output_level.h"
#include "support/file_helpers.h"
#include "vexa_format_checker.h"

namespace {

struct Entry {
  std::string key;
  std::string modified;
  std::string id;
  uint64_t size = 10;
  std::string version = "v";
  uint64_t block = 100;
  uint64_t offset = 32;
  uint64_t meta_size = 200;
};

std::string entry_text(const Entry& e) {
  std::string text;
  make_key_str_value_pairs(text, "object_key", e.key.c_str());
  make_key_ulong_int_value_pairs(text, "size", e.size);
  make_key_str_value_pairs(text, "last_modified", e.modified.c_str());
  make_key_str_value_pairs(text, "version_id", e.version.c_str());
  make_key_str_value_pairs(text, "content_md5", "");
  make_key_str_value_pairs(text, "object_id", e.id.c_str());
  make_key_ulong_int_value_pairs(text, "block_address", e.block);
  make_key_ulong_int_value_pairs(text, "offset", e.offset);
  make_key_ulong_int_value_pairs(text, "meta_size", e.meta_size);
  return text;
}

std::string at(const char* hhmmss) { return std::string("2022-05-06T") + hhmmss + ".000000Z"; }

class ListFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_vl(verbosity_);
    ASSERT_NE(getcwd(old_cwd_, sizeof(old_cwd_)), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  }
  void TearDown() override {
    free_object_list(objects_);
    ASSERT_EQ(chdir(old_cwd_), 0);
  }

  // Writes the entries as a list run does into "<dir>/b_0001.lst", then completes the directory's
  // list files unless told not to.
  std::string write_list(const std::string& dir, const std::vector<Entry>& entries,
                         bool complete = true) {
    const std::string path = dir + "/b_0001.lst";
    mk_a_dir(dir.c_str());
    bool first = true;
    for (const Entry& e : entries) {
      FILE* list = std::fopen(path.c_str(), "a");
      EXPECT_NE(list, nullptr);
      EXPECT_EQ(add_key_value_pairs_to_array_in_json_file(first ? 1 : 0, list, path.c_str(),
                                                          entry_text(e)),
                0);
      std::fclose(list);
      first = false;
    }
    if (complete) {
      EXPECT_EQ(comlete_list_files((dir + "/").c_str()), 0);
    }
    return path;
  }

  std::vector<std::string> chosen() const {
    std::vector<std::string> ids;
    for (const object_list* o = objects_; o != nullptr; o = o->next) ids.emplace_back(o->id);
    return ids;
  }

  void read(const std::string& key, const std::string& id, const std::string& path) {
    ASSERT_EQ(get_object_info_in_list(key.c_str(), id.c_str(), path.c_str(), &objects_), 0);
  }

  testutil::TempDir dir_;
  object_list* objects_ = nullptr;
  char old_cwd_[4096] = "";
  char verbosity_[1] = "";
};

TEST_F(ListFilesTest, TwoEntriesAreWrittenExactly) {
  const std::string path = write_list(
      "one",
      {{"a/b.txt", at("10:00:00"), "0123456789abcdef0123456789abcdef", 5, "v1", 7, 1048608, 300},
       {"c", at("11:00:00"), "fedcba9876543210fedcba9876543210", 0, "v2", 9, 64, 150}});
  EXPECT_EQ(testutil::read_file(path),
            "{\n\"ObjectList\":[\n{\n"
            "\"object_key\":\"a/b.txt\",\n\"size\":5,\n"
            "\"last_modified\":\"2022-05-06T10:00:00.000000Z\",\n\"version_id\":\"v1\",\n"
            "\"content_md5\":\"\",\n\"object_id\":\"0123456789abcdef0123456789abcdef\",\n"
            "\"block_address\":7,\n\"offset\":1048608,\n\"meta_size\":300\n}\n"
            ",\n{\n"
            "\"object_key\":\"c\",\n\"size\":0,\n"
            "\"last_modified\":\"2022-05-06T11:00:00.000000Z\",\n\"version_id\":\"v2\",\n"
            "\"content_md5\":\"\",\n\"object_id\":\"fedcba9876543210fedcba9876543210\",\n"
            "\"block_address\":9,\n\"offset\":64,\n\"meta_size\":150\n}\n"
            "]\n}");
}

TEST_F(ListFilesTest, WriterCreatesTheListDirectory) {
  mk_a_dir("save");
  FILE* list = std::fopen("entry.tmp", "a");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(add_key_value_pairs_to_array_in_json_file(1, list, "save/TAPE02L8/b_0001.lst",
                                                      "\"object_key\":\"k\""),
            0);
  std::fclose(list);
  EXPECT_TRUE(testutil::exists("save/TAPE02L8"));
}

TEST_F(ListFilesTest, DuplicateMemberIsReportedAndWrittenAnyway) {
  std::string text;
  EXPECT_EQ(make_key_str_value_pairs(text, "object_key", "\"size\":"), 0);  // a value only
  EXPECT_EQ(make_key_ulong_int_value_pairs(text, "size", 1), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(make_key_ulong_int_value_pairs(text, "size", 2), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("The key(size) is duplicated.\n"),
            std::string::npos);
  // Text values are JSON strings: a key cannot end its entry or line early.
  EXPECT_EQ(text, "\"object_key\":\"\\\"size\\\":\",\n\"size\":1,\n\"size\":2");
}

// Keys that held quotes, line feeds, brackets and backslashes broke the list files or forged
// entries: they are escaped when written and read back as they were, beside an entry written by
// the earlier version with its key as plain text.
TEST_F(ListFilesTest, EscapedKeysReadBackAndPlainOldEntriesStillRead) {
  const std::string hostile = "a\"\n]}\\x/b\x1b[2J";
  std::string entry;
  make_key_str_value_pairs(entry, "object_key", hostile.c_str());
  make_key_str_value_pairs(entry, "object_id", "id1");
  make_key_ulong_int_value_pairs(entry, "block_address", 7);
  const std::string old_entry =
      "\"object_key\":\"old\"key\",\n\"object_id\":\"id2\",\n\"block_address\":9";
  testutil::write_file(
      "l.lst", "{\n\"ObjectList\":[\n{\n" + entry + "\n}\n,\n{\n" + old_entry + "\n}\n]\n}");
  EXPECT_EQ(std::count(entry.begin(), entry.end(), '\n'), 2);  // one member per line
  object_list* found = nullptr;
  get_object_info_in_list(hostile.c_str(), "all", "l.lst", &found);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->block_address, 7u);
  EXPECT_EQ(found->next, nullptr);
  free_object_list(found);
  found = nullptr;
  get_object_info_in_list("old\"key", "id2", "l.lst", &found);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->block_address, 9u);
  free_object_list(found);
}

TEST_F(ListFilesTest, CompletionClosesEveryListFileOnly) {
  mk_a_dir("TAPE01L8");
  testutil::write_file("TAPE01L8/a_0001.lst", "x");
  testutil::write_file("TAPE01L8/a_0002.lst", "y");
  testutil::write_file("TAPE01L8/notes.txt", "z");
  EXPECT_EQ(comlete_list_files("TAPE01L8/"), 0);
  EXPECT_EQ(testutil::read_file("TAPE01L8/a_0001.lst"), "x]\n}");
  EXPECT_EQ(testutil::read_file("TAPE01L8/a_0002.lst"), "y]\n}");
  EXPECT_EQ(testutil::read_file("TAPE01L8/notes.txt"), "z");
  EXPECT_EQ(comlete_list_files("missing/"), 0);
}

TEST_F(ListFilesTest, LatestAllAndIdentifierInOneFile) {
  const std::string path = write_list("one", {{"a", at("10:00:00"), "id10"},
                                              {"other", at("13:00:00"), "idother"},
                                              {"a", at("12:00:00"), "id12"},
                                              {"a", at("11:00:00"), "id11"}});
  read("a", "latest", path);
  EXPECT_EQ(chosen(), std::vector<std::string>{"id12"});
  free_object_list(objects_);
  objects_ = nullptr;
  read("a", "all", path);
  EXPECT_EQ(chosen(), (std::vector<std::string>{"id10", "id12", "id11"}));
  free_object_list(objects_);
  objects_ = nullptr;
  read("a", "id11", path);
  EXPECT_EQ(chosen(), std::vector<std::string>{"id11"});
  EXPECT_STREQ(objects_->last_mod_date, "2022-05-06T11:00:00.000000Z");
}

TEST_F(ListFilesTest, EqualTimesKeepTheFirstListed) {
  const std::string path = write_list(
      "one", {{"a", at("10:00:00"), "first"}, {"a", "2022-05-06T10:00:00.999999Z", "second"}});
  read("a", "latest", path);
  EXPECT_EQ(chosen(), std::vector<std::string>{"first"});
}

TEST_F(ListFilesTest, UnfinishedListKeepsEveryVersion) {
  const std::string path = write_list(
      "b_0001.lst", {{"a", at("10:00:00"), "id10"}, {"a", at("12:00:00"), "id12"}}, false);
  read("a", "latest", path);
  EXPECT_EQ(chosen(), (std::vector<std::string>{"id10", "id12"}));
}

TEST_F(ListFilesTest, RecordTakesEveryField) {
  const std::string path =
      write_list("one", {{"k", at("10:00:00"), "0123456789abcdef0123456789abcdef",
                          UINT64_C(0xFFFFFFFFFFFFFFFF), "ver", 77, 2097200, 512}});
  read("k", "latest", path);
  ASSERT_NE(objects_, nullptr);
  EXPECT_STREQ(objects_->key, "k");
  EXPECT_STREQ(objects_->id, "0123456789abcdef0123456789abcdef");
  EXPECT_STREQ(objects_->verson_id, "ver");
  EXPECT_STREQ(objects_->md5, "");
  EXPECT_EQ(objects_->size, UINT64_C(0xFFFFFFFFFFFFFFFF));  // written as -1, read back whole
  EXPECT_EQ(objects_->block_address, 77U);
  EXPECT_EQ(objects_->meta_offset, 2097200U);
  EXPECT_EQ(objects_->data_offset, 2097200U);
  EXPECT_EQ(objects_->metadata_size, 512U);
  EXPECT_EQ(objects_->next, nullptr);
}

TEST_F(ListFilesTest, LongKeyIsFound) {
  // Guards against lines read in 255-character pieces, which lost objects with long keys.
  const std::string key(1024, 'k');
  const std::string path =
      write_list("one", {{key, at("10:00:00"), "idlong"}, {"k", at("11:00:00"), "idk"}});
  read(key, "latest", path);
  ASSERT_EQ(chosen(), std::vector<std::string>{"idlong"});
  EXPECT_EQ(std::string(objects_->key), key);
}

TEST_F(ListFilesTest, CommaRulesOfMemberLines) {
  // A value that itself ends with a comma or a quote loses only the line's own comma and quote.
  mk_a_dir("TAPE01L8");
  testutil::write_file(
      "TAPE01L8/b_0001.lst",
      "{\n\"ObjectList\":[\n{\n\"object_key\":\"k,\",\n\"size\":45,\n"
      "\"version_id\":\"v\"\",\n\"object_id\":\"id\",\n\"meta_size\":123\n}\n]\n}");
  read("k,", "all", "TAPE01L8/b_0001.lst");
  ASSERT_NE(objects_, nullptr);
  EXPECT_EQ(objects_->size, 45U);
  EXPECT_EQ(objects_->metadata_size, 123U);
  EXPECT_STREQ(objects_->verson_id, "v\"");
}

TEST_F(ListFilesTest, KeyMatchWithIdMismatchYieldsNothing) {
  const std::string path =
      write_list("one", {{"a", at("10:00:00"), "ida"}, {"b", at("10:00:00"), "wanted"}});
  read("a", "wanted", path);
  EXPECT_EQ(objects_, nullptr);
}

TEST_F(ListFilesTest, IdentifierYieldsItsFirstOccurrencePerFile) {
  const std::vector<Entry> entries = {{"a", at("10:00:00"), "same", 1},
                                      {"a", at("11:00:00"), "same", 2}};
  const std::string first = write_list("one", entries);
  const std::string second = write_list("two", entries);
  read("a", "same", first);
  read("a", "same", second);
  ASSERT_EQ(chosen(), (std::vector<std::string>{"same", "same"}));
  EXPECT_EQ(objects_->size, 1U);
  EXPECT_EQ(objects_->next->size, 1U);
}

TEST_F(ListFilesTest, SelectionAcrossTheFilesOfABucket) {
  const std::string first =
      write_list("one", {{"a", at("10:00:00"), "f1a"}, {"a", at("12:00:00"), "f1b"}});
  const std::string second =
      write_list("two", {{"a", at("11:00:00"), "f2a"}, {"a", at("09:00:00"), "f2b"}});
  read("a", "latest", first);
  read("a", "latest", second);
  EXPECT_EQ(chosen(), std::vector<std::string>{"f1b"});
  free_object_list(objects_);
  objects_ = nullptr;
  read("a", "all", first);
  read("a", "all", second);
  EXPECT_EQ(chosen(), (std::vector<std::string>{"f1a", "f1b", "f2a", "f2b"}));
  free_object_list(objects_);
  objects_ = nullptr;
  // A later file with no version of the key still reduces what earlier unfinished files left.
  const std::string unfinished =
      write_list("three", {{"a", at("10:00:00"), "u1"}, {"a", at("12:00:00"), "u2"}}, false);
  const std::string none = write_list("four", {{"z", at("23:00:00"), "z"}});
  read("a", "latest", unfinished);
  read("a", "latest", none);
  EXPECT_EQ(chosen(), std::vector<std::string>{"u2"});
}

TEST_F(ListFilesTest, HostileLinesAreCutToTheRecordFields) {
  mk_a_dir("TAPE01L8");
  const std::string long_text(5000, 'x');
  testutil::write_file("TAPE01L8/b_0001.lst",
                       "garbage before\n{\n\"ObjectList\":[\n{\n\"object_key\":\"" + long_text +
                           "\",\n\"size\":99999999999999999999999,\n\"last_modified\":\"" +
                           long_text + "\",\n\"version_id\":\"" + long_text +
                           "\",\n\"content_md5\":\"" + long_text + "\",\n\"object_id\":\"" +
                           long_text +
                           "\",\n\"block_address\":12abc,\n\"offset\":-,\n"
                           "\"meta_size\":\n\"object_key\":\n}\n]\n}");
  // The last "object_key" line (too short for a value) reads as the empty key.
  read("", "all", "TAPE01L8/b_0001.lst");
  ASSERT_NE(objects_, nullptr);
  EXPECT_EQ(std::string(objects_->key), "");
  EXPECT_EQ(std::string(objects_->id), std::string(36, 'x'));
  EXPECT_EQ(std::string(objects_->verson_id), std::string(36, 'x'));
  EXPECT_EQ(std::string(objects_->last_mod_date), std::string(27, 'x'));
  EXPECT_EQ(std::string(objects_->md5), std::string(32, 'x'));
  EXPECT_EQ(objects_->size, 0U);
  EXPECT_EQ(objects_->block_address, 0U);
  EXPECT_EQ(objects_->meta_offset, 0U);
  EXPECT_EQ(objects_->metadata_size, 0U);
}

TEST_F(ListFilesTest, MissingListFile) {
  EXPECT_EQ(check_file("absent.lst"), 1);
  testutil::write_file("present.lst", "");
  EXPECT_EQ(check_file("present.lst"), 0);
  EXPECT_EXIT(RUN_ENDS(get_object_info_in_list("a", "latest", "absent.lst", &objects_)),
              ::testing::ExitedWithCode(1), "Failed to open file. path=absent.lst, error=");
  EXPECT_EXIT(RUN_ENDS(check_file(nullptr)), ::testing::ExitedWithCode(1),
              "Invalid argument at check_file. filename 0 is NULL.");
}

}  // namespace
