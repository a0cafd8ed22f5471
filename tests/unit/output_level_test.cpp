// Leveled output: routing of levels to streams, ranks, tags, the header and the fatal stop.
#include "output_level.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

class OutputLevelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_vl(verbosity_);
    set_top_verbose(nullptr);
  }
  void TearDown() override { set_top_verbose(nullptr); }
  void verbosity(const char* v) { std::snprintf(verbosity_, sizeof(verbosity_), "%s", v); }
  char verbosity_[16] = "";
};

TEST_F(OutputLevelTest, RanksCompareWholeTexts) {
  EXPECT_EQ(get_verbose_rank(""), 0);
  EXPECT_EQ(get_verbose_rank("v"), 1);
  EXPECT_EQ(get_verbose_rank("vvvvvv"), 6);
  EXPECT_EQ(get_verbose_rank("vvvvvvv"), 0);
  EXPECT_EQ(get_verbose_rank("V"), 0);
  EXPECT_EQ(get_verbose_rank("3"), 0);
}

TEST_F(OutputLevelTest, InfoShownOnlyWhenRankReached) {
  verbosity("vvv");
  testing::internal::CaptureStdout();
  EXPECT_EQ(output_accdg_to_vl(LV_INFO, "vvvv", "hidden\n"), 0);
  EXPECT_EQ(output_accdg_to_vl(LV_INFO, "vvv", "shown\n"), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("hidden"), std::string::npos);
  EXPECT_NE(out.find("[INFO   ] [PR    ] shown\n"), std::string::npos);
}

TEST_F(OutputLevelTest, ErrorsAndWarningsGoToStderrAtAnyVerbosity) {
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  EXPECT_EQ(output_accdg_to_vl(LV_ERROR, VL_MISC, "bad %d\n", 7), 1);
  EXPECT_EQ(output_accdg_to_vl(LV_WARNING, VL_MISC, "careful\n"), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(out.empty());
  EXPECT_NE(err.find("[ERROR  ] [MISC  ] bad 7\n"), std::string::npos);
  EXPECT_NE(err.find("[WARNING] [MISC  ] careful\n"), std::string::npos);
}

TEST_F(OutputLevelTest, NoVerbosityShowsOnlyCommonMessages) {
  testing::internal::CaptureStdout();
  output_accdg_to_vl(LV_INFO, "", "common\n");
  output_accdg_to_vl(LV_INFO, "v", "label\n");
  output_accdg_to_vl(LV_TRACE, "whatever", "unknown tag\n");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[INFO   ] [COMMON] common\n"), std::string::npos);
  EXPECT_EQ(out.find("label"), std::string::npos);
  EXPECT_NE(out.find("[TRACE  ] [UNKNOWN] unknown tag\n"), std::string::npos);
}

TEST_F(OutputLevelTest, DefaultStandsForTopVerbose) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  output_accdg_to_vl(LV_INFO, VL_DEFAULT, "before any checker\n");
  char rcm[] = "vv";
  set_top_verbose(rcm);
  output_accdg_to_vl(LV_ERROR, VL_DEFAULT, "in rcm\n");
  char reset[] = "default";
  set_top_verbose(reset);
  output_accdg_to_vl(LV_INFO, VL_DEFAULT, "after reset\n");
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("[INFO   ] [UNKNOWN] before any checker\n"), std::string::npos);
  EXPECT_NE(err.find("[ERROR  ] [RCM   ] in rcm\n"), std::string::npos);
  EXPECT_NE(out.find("[INFO   ] [UNKNOWN] after reset\n"), std::string::npos);
}

TEST_F(OutputLevelTest, HeaderHasZeroPaddedMilliseconds) {
  testing::internal::CaptureStdout();
  print_header(stdout, LV_INFO, "vvvvv");
  const std::string out = testing::internal::GetCapturedStdout();
  const std::regex header(
      R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[INFO   \] \[POINFO\] $)");
  EXPECT_TRUE(std::regex_match(out, header)) << out;
}

TEST_F(OutputLevelTest, UnknownLogLevelPrintsNothing) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(output_accdg_to_vl("[NOTICE ] ", "", "x\n"), 0);
  EXPECT_TRUE(testing::internal::GetCapturedStdout().empty());
  EXPECT_TRUE(testing::internal::GetCapturedStderr().empty());
}

// Only output_fatal ends the run: it prints its line, then throws RunEnded with status 1. Printing
// an ERROR or a SYS_ERR returns 1 and the run goes on.
TEST_F(OutputLevelTest, OnlyOutputFatalEndsTheRun) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(output_accdg_to_vl(LV_SYS_ERR, VL_MISC, "system\n"), 1);
  EXPECT_EQ(output_accdg_to_vl(LV_ERROR, VL_MISC, "error\n"), 1);
  int status = -1;
  try {
    output_fatal(VL_MISC, "fatal\n");
  } catch (const RunEnded& ended) {
    status = ended.status();
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 1);
  EXPECT_NE(err.find("[SYS_ERR] [MISC  ] system\n"), std::string::npos);
  EXPECT_NE(err.find("[ERROR  ] [MISC  ] error\n"), std::string::npos);
  EXPECT_NE(err.find("[SYS_ERR] [MISC  ] fatal\n"), std::string::npos);
}

}  // namespace
