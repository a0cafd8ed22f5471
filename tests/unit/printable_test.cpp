// Texts from a tape as messages show them: control characters and bytes that are not UTF-8 are
// escaped, printable UTF-8 passes.
#include "support/printable.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Printable, EscapesWhatATerminalWouldActOn) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain key/with spaces.txt", "plain key/with spaces.txt"},
      {"\x1b[2K\r", "\\x1b[2K\\x0d"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"line\nfeed\x7f", "line\\x0afeed\\x7f"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xbc", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xbc"},
      {"\xc2\x9b"
       "31m",
       "\\xc2\\x9b31m"},                    // C1 control sequence introducer
      {"\xff\xc3", "\\xff\\xc3"},           // not UTF-8, cut short
      {"\xc0\xaf", "\\xc0\\xaf"},           // overlong "/"
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},  // surrogate
  };
  for (const auto& c : cases) EXPECT_EQ(printable(c.in), c.out) << c.in;
}

// Fixed-length fields lose the blanks and zero bytes that pad their end, nothing else.
TEST(Printable, UnpaddedCutsTheEndsPaddingOnly) {
  using namespace std::string_literals;
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"VIRTUAL ", "VIRTUAL"},
      {"ABC123L8"s + std::string(24, ' '), "ABC123L8"},
      {"name\0\0 \0"s, "name"},
      {" inner  blanks", " inner  blanks"},
      {"   \0"s, ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(unpadded(c.in), c.out) << c.in;
}

}  // namespace
