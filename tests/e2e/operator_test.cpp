// What an operator sees: the status line on a terminal, the summary after the completion message,
// and the JSON report of a run.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e/reader_fixture.h"

namespace {

namespace fs = std::filesystem;
using testutil::RunResult;

class OperatorTest : public e2e::ReaderTest {
 protected:
  // The program run with a pseudo-terminal as its standard error (and output): what a terminal
  // receives.
  std::string on_terminal(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {
        testutil::bin("object_reader"), "-d", cart(), "-F", "-s", save()};
    argv.insert(argv.end(), args.begin(), args.end());
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      if (chdir(work().c_str()) != 0) _exit(126);
      std::vector<char*> raw;
      for (const std::string& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
      raw.push_back(nullptr);
      execv(raw[0], raw.data());
      _exit(127);
    }
    std::string screen;
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof(buffer))) > 0;) screen.append(buffer, n);
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    return screen;
  }
};

TEST_F(OperatorTest, TheStatusLineAppearsOnATerminalAndLeavesAClearScreen) {
  build(vtape::sample_description());
  const std::string screen = on_terminal({"-f"});
  const size_t drawn = screen.find("\r" + std::to_string(1) + "/27 objects, ");
  EXPECT_NE(drawn, std::string::npos) << screen;
  // Cleared before the completion message, and not drawn again after it.
  const size_t done = screen.find("Full dump is complete.");
  ASSERT_NE(done, std::string::npos);
  const size_t cleared = screen.rfind("\r\033[K", done);
  EXPECT_NE(cleared, std::string::npos);
  EXPECT_EQ(screen.find(" objects, ", cleared), std::string::npos);
  // Not on a pipe.
  const RunResult piped = reader({"-f"});
  EXPECT_EQ(piped.err.find(" objects, "), std::string::npos);
}

// A tape with objects written, one whose file exists (same metadata as the one before), one
// refused (an absolute key) and one whose metadata does not parse: the summary and the report
// count each exactly, and the report carries every message and object.
TEST_F(OperatorTest, SummaryAndReportCountEveryOutcome) {
  vtape::Description d = vtape::sample_description();
  d.objects[1].key = "/absolute";
  d.objects[6].metadata = "{\"MetadataVersion\":1,\"Key\":\"broken\",";
  d.objects[14].metadata = vtape::plan_cartridge(d).objects[13].metadata;
  build(d);
  const std::string report = tmp_ / "report.json";
  const RunResult r = reader({"-f", "--report", report});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string out = testutil::strip_headers(r.out);
  EXPECT_NE(out.find("Objects: 24 written, 1 already there, 1 refused, 1 not readable; "),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Messages: " + std::to_string(testutil::count(r.err, "[ERROR  ]")) +
                     " errors, 1 warnings.\n"),
            std::string::npos)
      << out;

  std::unique_ptr<json_object, void (*)(json_object*)> doc(
      json_object_from_file(report.c_str()), [](json_object* o) { json_object_put(o); });
  ASSERT_NE(doc, nullptr) << testutil::read_file(report);
  auto member = [&](json_object* o, const char* name) {
    json_object* m = nullptr;
    EXPECT_TRUE(json_object_object_get_ex(o, name, &m)) << name;
    return m;
  };
  EXPECT_EQ(json_object_get_int(member(doc.get(), "exit_status")), 0);
  EXPECT_EQ(json_object_array_length(member(doc.get(), "objects")), d.objects.size());
  EXPECT_EQ(json_object_array_length(member(doc.get(), "messages")),
            static_cast<size_t>(testutil::count(r.err, "\n") + testutil::count(r.out, "\n")));
  json_object* totals = member(doc.get(), "totals");
  EXPECT_EQ(json_object_get_int(member(totals, "written")), 24);
  EXPECT_EQ(json_object_get_int(member(totals, "refused")), 1);
  EXPECT_STREQ(json_object_get_string(member(member(doc.get(), "drive"), "tape_id")),
               tape_id_.c_str());
  json_object* refused = json_object_array_get_idx(member(doc.get(), "objects"), 1);
  EXPECT_STREQ(json_object_get_string(member(refused, "key")), "/absolute");
  EXPECT_STREQ(json_object_get_string(member(refused, "outcome")), "refused");
}

// A run that stops on a fatal report still leaves its report, with the failure and status 1.
TEST_F(OperatorTest, AFatalStopStillWritesTheReport) {
  build(vtape::sample_description());
  const std::string report = tmp_ / "report.json";
  const RunResult r = reader({"-r", "--report", report});
  ASSERT_EQ(r.status, 1);
  const std::string text = testutil::read_file(report);
  EXPECT_NE(text.find("\"exit_status\":1}"), std::string::npos) << text;
  EXPECT_NE(text.find("There is no history file."), std::string::npos) << text;
}

}  // namespace
