// A dump checks each object's data against the "ContentMd5" of its metadata (base64 or
// hexadecimal, either case): an object whose data differs is reported and not written, so that a
// damaged body is never taken for the object; a "ContentMd5" that is no digest is said so.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "e2e/reader_fixture.h"
#include "s3/s3_text.h"

namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

class ContentMd5Test : public e2e::ReaderTest {};

TEST_F(ContentMd5Test, ADumpWritesOnlyTheObjectsWhoseDataMatchesTheirContentMd5) {
  vtape::Description d;
  d.block_size = 4096;
  d.buckets = {{"photos"}};
  const auto add = [&](const std::string& key, vtape::ObjectData data, const std::string& md5) {
    vtape::ObjectEntry o;
    o.key = key;
    o.data = data;
    o.members = {{"ContentMd5", quoted(md5)}};
    d.objects.push_back(o);
  };
  const vtape::ObjectData blocks = vtape::ObjectData::pattern(3 * 4096 + 5, 3);
  add("base64.txt", vtape::ObjectData::text("alpha"), s3::base64_encode(s3::md5_of("alpha")));
  add("hex.txt", vtape::ObjectData::text("beta"), upper(s3::hex_encode(s3::md5_of("beta"))));
  add("blocks.bin", blocks, s3::hex_encode(s3::md5_of(blocks.read_all())));
  add("damaged.txt", vtape::ObjectData::text("gamma"), s3::base64_encode(s3::md5_of("other")));
  add("odd.txt", vtape::ObjectData::text("delta"), "not a digest");
  d.grouping = {.objects_per_po = 2, .pos_per_ocm = 1, .ocms_per_pr = 2};
  build(d);

  const testutil::RunResult r = reader({"-f"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string damaged = "photos/damaged.txt (object id " + layout_.objects[3].list_id + ")";
  const std::string odd = "photos/odd.txt (object id " + layout_.objects[4].list_id + ")";
  EXPECT_EQ(e2e::report_lines(r.err),
            (std::vector<std::string>{
                "[ERROR  ] [COMMON] The data of the object (" + damaged +
                    ") does not match its \"ContentMd5\" (" +
                    s3::base64_encode(s3::md5_of("other")) + "): its MD5 is " +
                    s3::base64_encode(s3::md5_of("gamma")) + ". The object is not written.",
                "[WARNING] [COMMON] The \"ContentMd5\" (not a digest) of the object (" + odd +
                    ") is no MD5 digest in base64 or hexadecimal. Its data is not checked.",
                "[ERROR  ] [MISC  ] Some error has occurred at check_integrity."}));
  EXPECT_NE(testutil::strip_headers(r.out).find(
                "Objects: 4 written, 0 already there, 0 refused, 1 not readable, 0 lost; "),
            std::string::npos)
      << r.out;
  // Every other object whole, nothing of the damaged one, not even under a temporary name.
  std::map<std::string, std::string> want = e2e::expected_dump(d, layout_);
  std::erase_if(want,
                [](const auto& file) { return file.first.find("damaged") != std::string::npos; });
  e2e::expect_same_files(saved(), want);
}

}  // namespace
