// From one object version's metadata to what the S3 store is sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "s3/object_mapping.h"
#include "s3/s3_config.h"

namespace {

using Headers = std::vector<s3::Header>;

std::string with(const std::string& members) {
  return R"({"MetadataVersion":1,"Key":"dir/k","Size":3,"LastModifiedTime":"2021-01-02T03:04:05Z")" +
         members + "}";
}

TEST(S3MappingTest, MembersBecomeHeadersInAFixedOrder) {
  const s3::ObjectRequest request = s3::map_object_metadata(
      with(R"(,"Version":"v9","ContentType":"text/plain","ContentEncoding":"gzip",)"
           R"("ContentLanguage":"en","ContentMd5":"1B2M2Y8AsgTpgAmY7PhCfg==",)"
           R"("UserMetadata":{"Owner":"ops","note":"caf\u00e9"},"IsDeleted":false})"),
      "0123abcd");
  ASSERT_EQ(request.error, "");
  EXPECT_EQ(request.key, "dir/k");
  EXPECT_EQ(request.size, 3U);
  EXPECT_FALSE(request.delete_marker);
  EXPECT_EQ(request.last_modified, "2021-01-02T03:04:05Z");
  EXPECT_EQ(request.version, "v9");
  EXPECT_EQ(request.expected_md5, s3::parse_md5("d41d8cd98f00b204e9800998ecf8427e"));
  const Headers expected = {
      {"content-type", "text/plain"},
      {"content-encoding", "gzip"},
      {"content-language", "en"},
      {"x-amz-meta-owner", "ops"},
      {"x-amz-meta-note", s3::header_value("caf\xc3\xa9")},
      {"x-amz-meta-qrt-last-modified", "2021-01-02T03:04:05Z"},
      {"x-amz-meta-qrt-version-id", "v9"},
      {"x-amz-meta-qrt-object-id", "0123abcd"},
  };
  EXPECT_EQ(request.headers, expected);
}

TEST(S3MappingTest, ObjectsThatCannotBeStoredSayWhy) {
  const std::string long_key(s3::kMaxKeyBytes + 1, 'k');
  const struct {
    std::string metadata;
    const char* error;
  } cases[] = {
      {"not json", "the metadata is not a JSON object"},
      {"[1,2]", "the metadata is not a JSON object"},
      {R"({"Size":1})", "the metadata has no \"Key\""},
      {R"({"Key":"","Size":1})", "the metadata has no \"Key\""},
      {R"({"Key":7,"Size":1})", "\"Key\" is not a string"},
      {R"({"Key":")" + long_key + R"(","Size":1})", "the key is longer than 1024 bytes"},
      {R"({"Key":"a\u0000b","Size":1})", "the key holds a zero byte"},
      {R"({"Key":"k"})", "\"Size\" is not a number of bytes"},
      {R"({"Key":"k","Size":-1})", "\"Size\" is not a number of bytes"},
      {R"({"Key":"k","Size":1,"IsDeleted":"yes"})", "\"IsDeleted\" is not a boolean"},
      {with(R"(,"ContentType":5)"), "\"ContentType\" is not a string"},
      {with(R"(,"UserMetadata":"x")"), "\"UserMetadata\" is not an object"},
      {with(R"(,"UserMetadata":{"a b":"x"})"), "the user metadata name \"a b\" cannot be a header"},
      {with(R"(,"UserMetadata":{"n\u00e4me":"x"})"),
       "the user metadata name \"n\xc3\xa4me\" cannot be a header"},
      {with(R"(,"UserMetadata":{"n":1})"), "the user metadata \"n\" is not a string"},
      {with(R"(,"UserMetadata":{"QRT-Object-Id":"x"})"),
       "the user metadata name \"QRT-Object-Id\" is taken"},
      {with(R"(,"UserMetadata":{"Tag":"x","tag":"y"})"), "the user metadata name \"tag\" is taken"},
  };
  for (const auto& c : cases) {
    const s3::ObjectRequest request = s3::map_object_metadata(c.metadata, "id");
    EXPECT_EQ(request.error, c.error) << c.metadata.substr(0, 80);
    EXPECT_TRUE(request.headers.empty()) << c.metadata.substr(0, 80);
  }
  // A "ContentMd5" that is no digest checks nothing, and stops nothing.
  const s3::ObjectRequest unchecked = s3::map_object_metadata(with(R"(,"ContentMd5":"abc")"), "id");
  EXPECT_EQ(unchecked.error, "");
  EXPECT_FALSE(unchecked.expected_md5.has_value());
  const std::string longest(s3::kMaxKeyBytes, 'k');
  EXPECT_EQ(s3::map_object_metadata(R"({"Key":")" + longest + R"(","Size":1})", "id").error, "");
}

TEST(S3MappingTest, DeletedVersionIsAMarkerWithoutHeaders) {
  // A marker needs no size; its time still orders it among the versions of its key.
  const s3::ObjectRequest request = s3::map_object_metadata(
      R"({"Key":"k","LastModifiedTime":"2020-05-05T00:00:00Z","Version":"v2","IsDeleted":true,)"
      R"("ContentType":5})",
      "id");
  EXPECT_EQ(request.error, "");
  EXPECT_TRUE(request.delete_marker);
  EXPECT_EQ(request.last_modified, "2020-05-05T00:00:00Z");
  EXPECT_EQ(request.version, "v2");
  EXPECT_TRUE(request.headers.empty());
}

TEST(S3MappingTest, TimesOrderAsTimesWhateverTheirFraction) {
  // Earliest first.
  const char* times[] = {"2020-01-01T00:00:05Z", "2020-01-01T00:00:05.000001Z",
                         "2020-01-01T00:00:05.5Z", "2020-01-01T00:00:05.50001Z",
                         "2020-01-01T00:00:06Z"};
  for (size_t i = 1; i < std::size(times); ++i) {
    EXPECT_LT(s3::time_order_key(times[i - 1]), s3::time_order_key(times[i])) << times[i];
  }
  EXPECT_EQ(s3::time_order_key("2020-01-01T00:00:05.5Z"), "2020-01-01T00:00:05.500000000");
  for (const char* other : {"", "yesterday", "2020-01-01T00:00:05+01:00",
                            "2020-01-01T00:00:05.1234567890Z", "2020-01-01T00:00:05,5Z"}) {
    EXPECT_EQ(s3::time_order_key(other), other);
  }
}

TEST(S3MappingTest, HeaderValuesOutsidePrintableAsciiAreEncodedWords) {
  const struct {
    const char* text;
    const char* sent;
  } cases[] = {
      {"plain text; a=b", "plain text; a=b"},
      {"", ""},
      {"h\xc3\xa9llo", "=?UTF-8?B?aMOpbGxv?="},
      {" padded", "=?UTF-8?B?IHBhZGRlZA==?="},
      {"trailing ", "=?UTF-8?B?dHJhaWxpbmcg?="},
      {"line\r\nbreak", "=?UTF-8?B?bGluZQ0KYnJlYWs=?="},
      {"=?UTF-8?B?eA==?=", "=?UTF-8?B?PT9VVEYtOD9CP2VBPT0/PQ==?="},  // looks encoded already
  };
  for (const auto& c : cases) EXPECT_EQ(s3::header_value(c.text), c.sent) << c.text;
}

}  // namespace
