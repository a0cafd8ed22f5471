// Texts of the S3 client: digests as the metadata writes them, the encodings request signing
// depends on, the XML of the store's answers, and how an answer is judged.
#include "s3/s3_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "s3/transfer_engine.h"

namespace {

constexpr char kEmptyMd5Hex[] = "d41d8cd98f00b204e9800998ecf8427e";

TEST(S3TextTest, Md5IsReadInBase64OrHexadecimalOnly) {
  const struct {
    const char* text;
    bool valid;
  } cases[] = {
      {"1B2M2Y8AsgTpgAmY7PhCfg==", true},           // base64, as S3 sends it
      {"d41d8cd98f00b204e9800998ecf8427e", true},   // hexadecimal
      {"D41D8CD98F00B204E9800998ECF8427E", true},   // either case
      {"d41d8cd98f00b204e9800998ecf8427", false},   // one digit short
      {"d41d8cd98f00b204e9800998ecf8427g", false},  // not a digit
      {"1B2M2Y8AsgTpgAmY7PhCf===", false},          // too much padding
      {"1B2M2Y8AsgTpgAmY7PhC.g==", false},          // outside the alphabet
      {"AAAAAAAAAAAAAAAAAAAAAAAA", false},          // 18 bytes, not 16
      {"", false},
  };
  for (const auto& c : cases) {
    const std::optional<s3::Md5> md5 = s3::parse_md5(c.text);
    ASSERT_EQ(md5.has_value(), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(s3::hex_encode(*md5), kEmptyMd5Hex) << c.text;
    }
  }
  EXPECT_EQ(s3::hex_encode(s3::md5_of(std::string_view())), kEmptyMd5Hex);
  EXPECT_EQ(s3::base64_encode(s3::md5_of(std::string_view())), "1B2M2Y8AsgTpgAmY7PhCfg==");
}

TEST(S3TextTest, Md5StreamEqualsDigestOfTheWhole) {
  const std::string text = "a body handed over in pieces of any size";
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  s3::Md5Stream stream;
  stream.update({bytes, 5});
  stream.update({bytes + 5, 0});
  stream.update({bytes + 5, text.size() - 5});
  EXPECT_EQ(stream.finish(), s3::md5_of({bytes, text.size()}));
}

TEST(S3TextTest, UriEncodingKeepsOnlyUnreservedBytes) {
  const struct {
    const char* text;
    bool keep_slash;
    const char* encoded;
  } cases[] = {
      {"AZaz09-_.~", false, "AZaz09-_.~"},     {"dir/a b+c", true, "dir/a%20b%2Bc"},
      {"dir/a b+c", false, "dir%2Fa%20b%2Bc"}, {"=&?%#", false, "%3D%26%3F%25%23"},
      {"\xc3\xa9\x01", true, "%C3%A9%01"},
  };
  for (const auto& c : cases) EXPECT_EQ(s3::uri_encode(c.text, c.keep_slash), c.encoded);
}

TEST(S3TextTest, CanonicalQueryIsSortedAndEncoded) {
  // Signing covers the query as sent; libcurl signs it as given, so it must be canonical.
  EXPECT_EQ(s3::canonical_query({{"versions", ""},
                                 {"prefix", "a b/c"},
                                 {"version-id-marker", "17.5"},
                                 {"max-keys", "2"},
                                 {"key-marker", "k&1"}}),
            "key-marker=k%261&max-keys=2&prefix=a%20b%2Fc&version-id-marker=17.5&versions=");
  EXPECT_EQ(s3::canonical_query({{"uploadId", "x y"}, {"partNumber", "10"}}),
            "partNumber=10&uploadId=x%20y");
}

TEST(S3TextTest, ListingEntriesAreFoundInDocumentOrder) {
  // As the store writes a listing: markers and versions interleaved, tags that share a prefix.
  const std::string listing =
      "<?xml version='1.0' encoding='UTF-8'?><ListVersionsResult><Prefix/><IsTruncated>true"
      "</IsTruncated><DeleteMarker><Key>a&amp;b</Key><VersionId>3</VersionId><IsLatest>true"
      "</IsLatest></DeleteMarker><Version><Key>a&amp;b</Key><VersionId>2</VersionId>"
      "</Version><Version><Key>caf&#233; &#x1F600; &lt;x&gt;</Key><VersionId>1</VersionId>"
      "</Version></ListVersionsResult>";
  const std::vector<s3::XmlElement> entries =
      s3::xml_elements(listing, {"Version", "DeleteMarker"});
  ASSERT_EQ(entries.size(), 3U);
  const char* names[] = {"DeleteMarker", "Version", "Version"};
  const char* keys[] = {"a&b", "a&b", "caf\xc3\xa9 \xf0\x9f\x98\x80 <x>"};
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].name, names[i]);
    EXPECT_EQ(s3::xml_text(entries[i].inner, "Key"), keys[i]);
    EXPECT_EQ(s3::xml_text(entries[i].inner, "VersionId"), std::to_string(3 - i));
  }
  EXPECT_EQ(s3::xml_text(listing, "IsTruncated"), "true");
  EXPECT_EQ(s3::xml_text(listing, "Prefix"), "");
  EXPECT_EQ(s3::xml_text(listing, "NextKeyMarker"), "");
  EXPECT_EQ(s3::xml_unescape(s3::xml_escape("<a href=\"x\">'&amp;'</a>")),
            "<a href=\"x\">'&amp;'</a>");
}

TEST(S3TextTest, AnswersAreJudgedByStatusTransferAndBody) {
  const std::string error_body =
      "<Error><Code>SlowDown</Code><Message>Please reduce your request rate.</Message></Error>";
  const struct {
    CURLcode code;
    long status;
    std::string body;
    bool ok;
    bool transient;
    const char* described;
  } cases[] = {
      {CURLE_OK, 200, "", true, false, "HTTP 200"},
      {CURLE_OK, 503, error_body, false, true,
       "HTTP 503 SlowDown (Please reduce your request rate.)"},
      {CURLE_OK, 404, "", false, false, "HTTP 404"},
      // A multipart completion reports its failure in a 200 answer.
      {CURLE_OK, 200, error_body, false, false,
       "HTTP 200 SlowDown (Please reduce your request rate.)"},
      {CURLE_COULDNT_CONNECT, 0, "", false, true, "no answer (refused)"},
      {CURLE_OPERATION_TIMEDOUT, 200, "", false, true, "HTTP 200, then refused"},
      {CURLE_RECV_ERROR, 0, "", false, true, "no answer (refused)"},
      {CURLE_COULDNT_RESOLVE_HOST, 0, "", false, false, "no answer (refused)"},
  };
  for (const auto& c : cases) {
    s3::Response response;
    response.curl_code = c.code;
    response.curl_error = c.code == CURLE_OK ? "" : "refused";
    response.status = c.status;
    response.body = c.body;
    EXPECT_EQ(response.ok(), c.ok) << c.described;
    EXPECT_EQ(response.transient(), c.transient) << c.described;
    EXPECT_EQ(response.describe(), c.described);
  }
}

}  // namespace
