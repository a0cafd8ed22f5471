// What an operator sees: the status line on a terminal, the summary after the completion message,
// and the JSON report of a run.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <regex>
#include <sstream>
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

// The process identifier of a process that ran and is gone.
pid_t ended_process() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// A tape with objects written, one whose file exists (same metadata as the one before), one
// refused (an absolute key), one whose metadata does not parse and objects lost to a block that
// cannot be read, in a quiet run at the highest verbosity: the console shows the problems and the
// summary only; the summary and the report count each outcome exactly; the report and the message
// log carry every message shown, in UTC and without the console's indentation; a report temporary
// of a killed run is removed, one of a live process kept.
TEST_F(OperatorTest, SummaryReportAndMessageLogOfAQuietRun) {
  vtape::Description d = vtape::sample_description();
  d.objects[1].key = "/absolute";
  d.objects[6].metadata = "{\"MetadataVersion\":1,\"Key\":\"broken\",";
  d.objects[14].metadata = vtape::plan_cartridge(d).objects[13].metadata;
  const vtape::Layout plan = vtape::plan_cartridge(d);
  vtape::Deviations damage;
  damage.unreadable.push_back({1, plan.objects[20].meta_block});
  build(d, damage);
  const std::string report = tmp_ / "report.json";
  const std::string log = tmp_ / "messages.jsonl";
  const std::string orphan = report + ".tmp." + std::to_string(ended_process()) + ".0";
  const std::string live = report + ".tmp." + std::to_string(getpid()) + ".0";
  testutil::write_file(orphan, "{");
  testutil::write_file(live, "{");
  const RunResult r =
      reader({"-f", "-q", "-v", "vvvvvv", "--report", report, "--log-json", log});
  ASSERT_EQ(r.status, 2) << r.err;
  EXPECT_FALSE(testutil::exists(orphan));
  EXPECT_TRUE(testutil::exists(live));
  const std::string out = testutil::strip_headers(r.out);
  EXPECT_EQ(testutil::count(out, "\n"), 4u) << out;
  EXPECT_NE(out.find("[INFO   ] [COMMON] Asked: every object; found 27 ("), std::string::npos);
  EXPECT_EQ(out.rfind("[INFO   ] [COMMON] Objects: ", 0), 0u) << out;
  EXPECT_NE(out.find(" written, 1 already there, 1 refused, 1 not readable, "), std::string::npos)
      << out;
  EXPECT_EQ(testutil::count(r.err, "[INFO   ]") + testutil::count(r.err, "[DEBUG  ]"), 0u);

  std::unique_ptr<json_object, void (*)(json_object*)> doc(
      json_object_from_file(report.c_str()), [](json_object* o) { json_object_put(o); });
  ASSERT_NE(doc, nullptr) << testutil::read_file(report);
  auto member = [&](json_object* o, const char* name) {
    json_object* m = nullptr;
    EXPECT_TRUE(json_object_object_get_ex(o, name, &m)) << name;
    return m;
  };
  auto text = [&](json_object* o, const char* name) {
    const char* t = json_object_get_string(member(o, name));
    return std::string(t == nullptr ? "" : t);
  };
  EXPECT_EQ(json_object_get_int(member(doc.get(), "exit_status")), 2);
  EXPECT_EQ(json_object_get_int(member(doc.get(), "schema_version")), 2);
  EXPECT_EQ(text(doc.get(), "job"), "full_dump");
  const std::regex utc(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z)");
  EXPECT_TRUE(std::regex_match(text(doc.get(), "started"), utc));
  EXPECT_TRUE(std::regex_match(text(doc.get(), "ended"), utc));
  json_object* drive = member(doc.get(), "drive");
  EXPECT_EQ(text(drive, "vendor"), "VIRTUAL");
  EXPECT_EQ(text(drive, "product"), "VIRTUAL LTO");
  EXPECT_EQ(text(drive, "tape_id"), tape_id_);
  json_object* memory = member(doc.get(), "cartridge_memory");
  EXPECT_EQ(text(memory, "barcode"), layout_.barcode);
  EXPECT_EQ(json_object_get_type(member(memory, "partition_1_last_rcm_block")), json_type_int);
  EXPECT_EQ(json_object_get_uint64(member(memory, "partition_1_last_rcm_block")),
            layout_.partitions[1].last_rcm.block);

  // Each object's outcome; a lost object with its size from the packed object's directory.
  json_object* objects = member(doc.get(), "objects");
  ASSERT_EQ(json_object_array_length(objects), d.objects.size());
  std::map<std::string, int> outcomes;
  uint64_t lost_bytes = 0;
  for (size_t i = 0; i < d.objects.size(); ++i) {
    json_object* object = json_object_array_get_idx(objects, i);
    const std::string outcome = text(object, "outcome");
    ++outcomes[outcome];
    if (outcome != "lost") continue;
    EXPECT_EQ(json_object_get_uint64(member(object, "size")), plan.objects[i].data_size) << i;
    EXPECT_EQ(text(object, "key"), plan.objects[i].key);
    lost_bytes += plan.objects[i].data_size;
  }
  EXPECT_EQ(text(json_object_array_get_idx(objects, 1), "outcome"), "refused");
  EXPECT_EQ(text(json_object_array_get_idx(objects, 6), "outcome"), "not_readable");
  EXPECT_EQ(text(json_object_array_get_idx(objects, 14), "outcome"), "already_there");
  json_object* totals = member(doc.get(), "totals");
  EXPECT_GT(outcomes["lost"], 0);
  EXPECT_EQ(json_object_get_int(member(totals, "lost")), outcomes["lost"]);
  EXPECT_EQ(json_object_get_uint64(member(totals, "lost_bytes")), lost_bytes);
  EXPECT_EQ(json_object_get_int(member(totals, "written")), outcomes["written"]);
  EXPECT_EQ(json_object_get_int(member(totals, "already_there")), 1);

  // The messages shown, in the report and in the log alike: plain texts, continuation lines
  // included.
  json_object* messages = member(doc.get(), "messages");
  const size_t shown = testutil::count(r.out + r.err, "] [");
  ASSERT_EQ(json_object_array_length(messages), shown);
  std::istringstream lines(testutil::read_file(log));
  size_t n = 0;
  size_t summary = 0;  // INFO lines: the summary's alone
  bool continued = false;
  for (std::string line; std::getline(lines, line); ++n) {
    std::unique_ptr<json_object, void (*)(json_object*)> logged(
        json_tokener_parse(line.c_str()), [](json_object* o) { json_object_put(o); });
    ASSERT_NE(logged, nullptr) << line;
    ASSERT_LT(n, shown);
    json_object* message = json_object_array_get_idx(messages, n);
    const std::string message_text = text(message, "text");
    EXPECT_EQ(text(logged.get(), "text"), message_text);
    EXPECT_EQ(text(logged.get(), "level"), text(message, "level"));
    EXPECT_EQ(text(logged.get(), "tag"), text(message, "tag"));
    EXPECT_TRUE(std::regex_match(text(logged.get(), "time"), utc)) << line;
    summary += text(message, "level") == "INFO";
    EXPECT_FALSE(message_text.ends_with("\n")) << message_text;
    EXPECT_EQ(message_text.find(std::string("\n") + INDENT), std::string::npos) << message_text;
    continued = continued || message_text.find(":\n" + plan.objects[20].bucket_name + "/" +
                                               plan.objects[20].key) != std::string::npos;
  }
  EXPECT_EQ(n, shown);
  EXPECT_EQ(summary, 4u);
  EXPECT_TRUE(continued) << testutil::read_file(log);
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
