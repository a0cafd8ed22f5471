// JSON helpers: member extraction, bucket names, metadata fields and the object identifier, which
// must stay equal to the digest that `echo -n "<metadata>" | md5sum` has always given.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/test_util.h"
#include "output_level.h"
#include "vexa_format_checker.h"

namespace {

class JsonHelpersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_vl(verbosity_);
    ASSERT_NE(getcwd(old_cwd_, sizeof(old_cwd_)), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(chdir(old_cwd_), 0); }

  // The digest the shell pipeline prints for the metadata placed in double quotes.
  static std::string shell_md5(const std::string& meta) {
    const testutil::RunResult result =
        testutil::run({"/bin/sh", "-c", "echo -n \"" + meta + "\" | md5sum"});
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out.substr(0, 32);
  }
  static std::string hash_of(const std::string& meta) {
    char hash[33] = "";
    EXPECT_EQ(get_hash(meta, hash), 0);
    return hash;
  }

  testutil::TempDir dir_;
  char old_cwd_[4096] = "";
  char verbosity_[1] = "";
};

TEST_F(JsonHelpersTest, HashEqualsShellPipelineOnOrdinaryMetadata) {
  const std::string samples[] = {
      R"({"Key":"photos/2020/img_001.jpg","Size":1234,"LastModifiedTime":"2020-01-01T00:00:00.000000Z","Version":"v1","VendorHalveronMetadata":{"Owner":"ops"}})",
      R"({"Key":"a   b","User  Meta":"x   y"})",
      "{\"Key\":\"tab\there\",\"V\":\"two\t\ttabs and  blanks \t mixed\"}",
      R"({"Key":"  leading","V":"trailing   ","W":"   ","X":" "})",
      R"({"Key":"","Empty":"","Size":0})",
      "{\n  \"Key\": \"pretty printed\",\n\t\"Size\": 5,\n  \"Nested\": {\"A\": [1, 2, \"x  "
      "y\"]}\n}",
      R"({"Key":"dir/sub dir/file-name_1.2%+=@,^:{}!.txt"})",
  };
  for (const std::string& meta : samples) {
    EXPECT_EQ(hash_of(meta), shell_md5(meta)) << meta;
  }
}

TEST_F(JsonHelpersTest, HashIsLowerCaseHexOfThirtyTwoCharacters) {
  // Every double quote is removed: a text made of two quotes hashes like the empty text.
  EXPECT_EQ(hash_of("\"\""), "d41d8cd98f00b204e9800998ecf8427e");
  const std::string hash = hash_of(R"({"Key":"x"})");
  EXPECT_EQ(hash.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(hash.size(), 32U);
}

TEST_F(JsonHelpersTest, ShellSpecialMetadataIsHashedNeverRun) {
  const std::string meta = R"({"Key":"$(touch pwned) `touch pwned2` * ?"})";
  // The rule's text: quotes removed, the string's contents as they are but for the blanks.
  const testutil::RunResult expected = testutil::run(
      {"/bin/sh", "-c", "printf '%s' '{Key:$(touch pwned) `touch pwned2` * ?}' | md5sum"});
  EXPECT_EQ(hash_of(meta), expected.out.substr(0, 32));
  EXPECT_FALSE(testutil::exists(dir_ / "pwned"));
  EXPECT_FALSE(testutil::exists(dir_ / "pwned2"));
}

TEST_F(JsonHelpersTest, BlanksCollapseOnlyInsideStrings) {
  // Outside strings the text is kept as it stands; inside, a run of blanks, tabs and line feeds
  // becomes one blank.
  EXPECT_EQ(hash_of("{ \"a \t\n b\" :  1}"), hash_of("{ \"a b\" :  1}"));
  EXPECT_NE(hash_of("{ \"a\" :  1}"), hash_of("{ \"a\" : 1}"));
}

TEST_F(JsonHelpersTest, MetadataFieldsAreTaken) {
  const std::string meta =
      R"({"Key":"dir/file.txt","Size":4096,"LastModifiedTime":"2021-03-04T05:06:07.000008Z",)"
      R"("Version":"ver-1","ContentMd5":"abc","VendorHalveronMetadata":{"x":1}})";
  uint64_t size = 0;
  std::string key, id, modified, version, md5 = "untouched";
  EXPECT_EQ(get_element_from_metadata(meta.c_str(), &size, &key, &id, &modified, &version, &md5),
            0);
  EXPECT_EQ(size, 4096U);
  EXPECT_EQ(key, "dir/file.txt");
  EXPECT_EQ(id, hash_of(meta));
  EXPECT_EQ(modified, "2021-03-04T05:06:07.000008Z");
  EXPECT_EQ(version, "ver-1");
  EXPECT_EQ(md5, "untouched");
  // Null out-parameters are skipped.
  EXPECT_EQ(
      get_element_from_metadata(meta.c_str(), nullptr, &key, nullptr, nullptr, nullptr, nullptr),
      0);
}

TEST_F(JsonHelpersTest, MetadataWithoutVendorMemberGetsEmptyIdentifier) {
  std::string key, id = "stale";
  EXPECT_EQ(get_element_from_metadata(R"({"Key":"k","Size":1})", nullptr, &key, &id, nullptr,
                                      nullptr, nullptr),
            0);
  EXPECT_EQ(key, "k");
  EXPECT_EQ(id, "");
}

TEST_F(JsonHelpersTest, ApostrophesAndEscapedQuotesInMetadataParse) {
  // Guards against the older reading alone (double quotes replaced by apostrophes), which lost
  // every object whose key or value holds an apostrophe.
  std::string key, version;
  EXPECT_EQ(get_element_from_metadata(R"({"Key":"John's notes.txt","Version":"it's v2"})", nullptr,
                                      &key, nullptr, nullptr, &version, nullptr),
            0);
  EXPECT_EQ(key, "John's notes.txt");
  EXPECT_EQ(version, "it's v2");
  EXPECT_EQ(get_element_from_metadata(R"({"Key":"say \"hi\""})", nullptr, &key, nullptr, nullptr,
                                      nullptr, nullptr),
            0);
  EXPECT_EQ(key, "say \"hi\"");
}

TEST_F(JsonHelpersTest, UnparsableMetadataReturnsOneAndClearsFields) {
  uint64_t size = 7;
  std::string key = "previous object";
  for (const char* meta : {R"({"Key":"cut)", "", "[1,2]", "\"just a string\"", "{{{{"}) {
    EXPECT_EQ(get_element_from_metadata(meta, &size, &key, nullptr, nullptr, nullptr, nullptr), 1)
        << meta;
    EXPECT_EQ(size, 0U);
    EXPECT_EQ(key, "");
  }
}

TEST_F(JsonHelpersTest, ExtractJsonElementSerialisesTheLastMemberCompactly) {
  std::string element;
  extract_json_element(R"({"A":1,"B":{"x": "y/z",  "n":[1, 2]},"A":"second"})", "B", element);
  EXPECT_EQ(element, R"({"x":"y\/z","n":[1,2]})");
  element.clear();
  extract_json_element(R"({"A":1,"A":"second"})", "A", element);
  EXPECT_EQ(element, "\"second\"");
  element = "unchanged";
  extract_json_element(R"({"A":1})", "Missing", element);
  EXPECT_EQ(element, "unchanged");
  extract_json_element("not json", "A", element);
  EXPECT_EQ(element, "unchanged");
}

TEST_F(JsonHelpersTest, BucketNameIsFoundByIdentifier) {
  const char* list =
      R"([{"BucketID":"11111111-1111-4111-8111-111111111111","BucketName":"alpha"},)"
      R"({"BucketID":"22222222-2222-4222-8222-222222222222","BucketName":"beta.bucket"}])";
  std::string name;
  get_bucket_name(list, "22222222-2222-4222-8222-222222222222", name);
  EXPECT_EQ(name, "beta.bucket");
  get_bucket_name(list, "11111111-1111-4111-8111-111111111111", name);
  EXPECT_EQ(name, "alpha");
  name = "unchanged";
  get_bucket_name(list, "33333333-3333-4333-8333-333333333333", name);
  EXPECT_EQ(name, "unchanged");
  // A part of an identifier is not the identifier.
  get_bucket_name(list, "22222222", name);
  EXPECT_EQ(name, "unchanged");
}

TEST_F(JsonHelpersTest, MalformedBucketListsEndWithoutResult) {
  std::string name = "unchanged";
  for (const char* list : {R"([{"BucketID":"a","BucketName":"x")", "{{{{{", "}}}", "[", "",
                           R"([{"BucketID":"a"}, 5, "s", [{"BucketID":"a","BucketName":"y"}]])"}) {
    get_bucket_name(list, "a", name);
    EXPECT_EQ(name, "unchanged") << list;
  }
}

}  // namespace
