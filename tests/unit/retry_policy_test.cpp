// The rules by which no failed command counts as done: how a request ended (the kernel's
// transport statuses above all), the bounded retries of one command, and what a READ brought.
#include "scsi/retry_policy.h"

#include "scsi/command_table.h"
#include "scsi/readiness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <vector>

namespace {

using scsi::Ending;
using scsi::Outcome;
using scsi::ReadKind;
using scsi::Step;
using scsi::Why;

// The outcome of a request the kernel completed with `status`, `host`, `driver` and `sense`.
Outcome completed(uint8_t status, uint8_t host = 0, uint8_t driver = 0,
                  std::vector<uint8_t> sense = {}) {
  sg_io_hdr_t hdr{};
  hdr.status = status;
  hdr.host_status = host;
  hdr.driver_status = driver;
  hdr.mx_sb_len = 64;
  hdr.sb_len_wr = static_cast<unsigned char>(sense.size());
  return scsi::outcome_of(0, 0, hdr, sense.data());
}

// Fixed-format sense: key, ASC, ASCQ, the stream bits, and INFORMATION when `info` is given.
std::vector<uint8_t> sense(uint8_t key, uint8_t asc, uint8_t ascq, uint8_t bits = 0,
                           std::optional<int32_t> info = std::nullopt) {
  std::vector<uint8_t> s(22, 0);
  s[0] = info ? 0xF0 : 0x70;
  s[2] = static_cast<uint8_t>(bits | key);
  const uint32_t v = static_cast<uint32_t>(info.value_or(0));
  for (int i = 0; i < 4; ++i) s[3 + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
  s[12] = asc;
  s[13] = ascq;
  return s;
}

Outcome check(std::vector<uint8_t> s) { return completed(0x02, 0, 0x08, std::move(s)); }

Outcome ioctl_failed(int error) {
  sg_io_hdr_t hdr{};
  return scsi::outcome_of(-1, error, hdr, nullptr);
}

constexpr uint8_t kFilemark = 0x80;
constexpr uint8_t kIli = 0x20;

TEST(RequestOutcome, TheTransportIsLookedAtBeforeTheStatus) {
  // A timed-out command: the kernel's ioctl succeeds with status 0 and the failure in host_status.
  EXPECT_EQ(completed(0, 0x03).ending, Ending::transport);
  EXPECT_EQ(scsi::describe(completed(0, 0x03)), "timed out (host status 03h)");
  EXPECT_EQ(completed(0, 0, 0x06).ending, Ending::transport);  // the driver's own timeout
  EXPECT_EQ(scsi::describe(completed(0, 0, 0x06)), "timed out (driver status 06h)");
  EXPECT_EQ(completed(0, 0, 0x08).ending, Ending::good);  // "sense follows" is no failure
  EXPECT_EQ(check(sense(3, 0x11, 0)).ending, Ending::check_condition);
  EXPECT_EQ(completed(0x08).ending, Ending::busy);
  EXPECT_EQ(completed(0x28).ending, Ending::task_set_full);
  EXPECT_EQ(completed(0x18).ending, Ending::other_status);
  EXPECT_EQ(ioctl_failed(EINVAL).ending, Ending::ioctl_failed);
  EXPECT_EQ(scsi::describe(ioctl_failed(ENOMEM)), "Cannot allocate memory");
  // Transient: a second try may mend it; a drive that is gone will not come back.
  EXPECT_TRUE(scsi::transient(completed(0, 0x08)));
  EXPECT_TRUE(scsi::transient(ioctl_failed(ENOMEM)));
  EXPECT_FALSE(scsi::transient(completed(0, 0x01)));
  EXPECT_FALSE(scsi::transient(completed(0, 0x07)));
  EXPECT_FALSE(scsi::transient(ioctl_failed(EINVAL)));
}

TEST(RequestOutcome, SenseIsReadOnlyAsFarAsTheDriverWroteIt) {
  std::vector<uint8_t> s = sense(3, 0x11, 0);
  sg_io_hdr_t hdr{};
  hdr.status = 0x02;
  hdr.mx_sb_len = 64;
  hdr.sb_len_wr = 12;  // ASC and ASCQ (bytes 12 and 13) were not written
  const Outcome o = scsi::outcome_of(0, 0, hdr, s.data());
  EXPECT_EQ(o.sense.key, 3);
  EXPECT_EQ(o.sense.asc, 0);
}

// One command's answers, in order, with what the policy decides after each.
struct Answer {
  Outcome outcome;
  Step step;
  Why why;
};

void expect_decisions(bool moves_tape, const std::vector<Answer>& answers) {
  scsi::RetryPolicy policy(moves_tape);
  for (size_t i = 0; i < answers.size(); ++i) {
    const scsi::Decision d = policy.decide(answers[i].outcome);
    EXPECT_EQ(d.step, answers[i].step) << "answer " << i;
    EXPECT_EQ(d.why, answers[i].why) << "answer " << i;
  }
}

TEST(RetryPolicy, EachKindOfRetryIsBounded) {
  const Outcome busy = completed(0x08);
  const Outcome full = completed(0x28);
  expect_decisions(false, {{busy, Step::retry, Why::busy},
                           {full, Step::retry, Why::busy},
                           {busy, Step::retry, Why::busy},
                           {busy, Step::retry, Why::busy},
                           {full, Step::retry, Why::busy},
                           {busy, Step::done, Why::busy}});
  const Outcome reset = check(sense(6, 0x29, 0));
  expect_decisions(true, {{reset, Step::retry, Why::unit_attention},
                          {reset, Step::retry, Why::unit_attention},
                          {reset, Step::retry, Why::unit_attention},
                          {reset, Step::done, Why::unit_attention}});
  std::vector<uint8_t> deferred = sense(3, 0x0C, 0);
  deferred[0] = 0x71;
  expect_decisions(true, {{check(deferred), Step::retry, Why::deferred},
                          {check(deferred), Step::done, Why::deferred}});
  // No memory for the request: three more tries, each after twice the pause; a command that
  // moves the tape goes back at once to its caller, which checks the position first.
  {
    scsi::RetryPolicy policy(false);
    for (const uint32_t pause : {200u, 400u, 800u}) {
      const scsi::Decision d = policy.decide(ioctl_failed(ENOMEM));
      EXPECT_EQ(d.step, Step::retry);
      EXPECT_EQ(d.pause_ms, pause);
    }
    EXPECT_EQ(policy.decide(ioctl_failed(ENOMEM)).step, Step::give_up);
  }
  expect_decisions(true, {{ioctl_failed(ENOMEM), Step::give_up, Why::no_memory}});
  // TASK ABORTED and ACA ACTIVE (another initiator's trouble): as a transport failure.
  expect_decisions(false, {{completed(0x40), Step::retry, Why::transport},
                           {completed(0x30), Step::give_up, Why::transport}});
  expect_decisions(true, {{completed(0x40), Step::give_up, Why::transport}});
  // A transport failure: sent once more where the tape does not matter; handed back at once
  // where only the caller knows where the tape must stand.
  expect_decisions(false, {{completed(0, 0x03), Step::retry, Why::transport},
                           {completed(0, 0x03), Step::give_up, Why::transport}});
  expect_decisions(true, {{completed(0, 0x03), Step::give_up, Why::transport}});
  expect_decisions(false, {{completed(0, 0x01), Step::give_up, Why::transport}});
  expect_decisions(false, {{ioctl_failed(EINVAL), Step::give_up, Why::none}});
}

TEST(RetryPolicy, AnswersThatNeedNoRetry) {
  expect_decisions(true, {{completed(0), Step::done, Why::none}});
  expect_decisions(true, {{check(sense(1, 0x17, 0x01)), Step::recovered, Why::recovered}});
  expect_decisions(true, {{check(sense(0, 0, 1, kFilemark)), Step::done, Why::none}});
  expect_decisions(true, {{check(sense(3, 0x11, 0)), Step::done, Why::none}});
  // A cleaning request on a command that succeeded, by 0/82/82 or by the CLN bit: good.
  std::vector<uint8_t> cln = sense(0, 0, 0);
  cln[21] = 0x08;
  expect_decisions(true, {{check(sense(0, 0x82, 0x82)), Step::recovered, Why::cleaning}});
  expect_decisions(true, {{check(cln), Step::recovered, Why::cleaning}});
  // ... but not one that came with a filemark: that READ brought no data.
  cln[2] |= kFilemark;
  expect_decisions(true, {{check(cln), Step::done, Why::none}});
  // The pause before a BUSY retry is a second.
  scsi::RetryPolicy policy(false);
  EXPECT_EQ(policy.decide(completed(0x08)).pause_ms, 1000u);
}

TEST(ReadClassification, EveryResultOfOneRead) {
  std::vector<uint8_t> deferred = sense(3, 0x0C, 0);
  deferred[0] = 0x71;
  const struct {
    const char* what;
    Outcome outcome;
    uint32_t received;  // by the residue
    ReadKind kind;
    uint32_t length;
    uint64_t block_length;
    bool disagree;
  } cases[] = {
      {"a whole block", completed(0), 4096, ReadKind::block, 4096, 0, false},
      {"a short block (SILI)", completed(0), 100, ReadKind::block, 100, 0, false},
      {"a filemark by its bit", check(sense(0, 0, 0, kFilemark)), 0, ReadKind::filemark, 0, 0,
       false},
      {"a filemark by 0/00/01", check(sense(0, 0, 1)), 0, ReadKind::filemark, 0, 0, false},
      {"end of data", check(sense(8, 0, 5)), 0, ReadKind::end_of_data, 0, 0, false},
      {"a medium error", check(sense(3, 0x11, 0)), 0, ReadKind::medium_error, 0, 0, false},
      {"a short block by ILI", check(sense(0, 0, 0, kIli, 96)), 4000, ReadKind::block, 4000, 0,
       false},
      {"ILI and a residue that disagree", check(sense(0, 0, 0, kIli, 96)), 4096, ReadKind::block,
       4000, 0, true},
      {"a block longer than the buffer", check(sense(0, 0, 0, kIli, -30)), 4096,
       ReadKind::too_long, 0, 4126, false},
      {"ILI without INFORMATION, buffer not filled", check(sense(0, 0, 0, kIli)), 300,
       ReadKind::block, 300, 0, false},
      {"ILI without INFORMATION, buffer filled", check(sense(0, 0, 0, kIli)), 4096,
       ReadKind::too_long, 0, 0, false},
      {"a recovered error", check(sense(1, 0x17, 1)), 4096, ReadKind::block, 4096, 0, false},
      {"a unit attention left", check(sense(6, 0x29, 0)), 0, ReadKind::failed, 0, 0, false},
      {"a deferred error left", check(deferred), 0, ReadKind::failed, 0, 0, false},
      {"an illegal request", check(sense(5, 0x24, 0)), 0, ReadKind::failed, 0, 0, false},
      {"a transport failure", completed(0, 0x03), 0, ReadKind::failed, 0, 0, false},
      {"BUSY left", completed(0x08), 0, ReadKind::failed, 0, 0, false},
      {"end of data not found: damage", check(sense(8, 0x14, 3)), 0, ReadKind::medium_error, 0,
       0, false},
      {"encrypted, no key", check(sense(7, 0x74, 1)), 0, ReadKind::encrypted, 0, 0, false},
      {"a hardware error", check(sense(4, 0x44, 0)), 0, ReadKind::hardware, 0, 0, false},
      {"the cartridge is gone", check(sense(2, 0x3A, 0)), 0, ReadKind::no_medium, 0, 0, false},
      {"write protected: not encryption", check(sense(7, 0x27, 0)), 0, ReadKind::failed, 0, 0,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const scsi::ReadResult r = scsi::classify_read(c.outcome, 4096, c.received);
    EXPECT_EQ(r.kind, c.kind);
    EXPECT_EQ(r.length, c.length);
    EXPECT_EQ(r.block_length, c.block_length);
    EXPECT_EQ(r.lengths_disagree, c.disagree);
  }
}

// What the readiness wait makes of TEST UNIT READY's answers: waiting for a load (a first load's
// calibration included), or ending at once with the drive's words.
TEST(Readiness, EachAnswerOfTestUnitReady) {
  using scsi::Readiness;
  const struct {
    Outcome outcome;
    Readiness readiness;
  } cases[] = {
      {completed(0), Readiness::ready},
      {check(sense(2, 0x04, 0x01)), Readiness::loading},
      {check(sense(2, 0x04, 0x07)), Readiness::loading},  // operation in progress
      {check(sense(6, 0x29, 0x00)), Readiness::loading},
      {check(sense(2, 0x04, 0x02)), Readiness::not_loaded},
      {check(sense(2, 0x3A, 0x00)), Readiness::no_medium},
      {check(sense(2, 0x30, 0x03)), Readiness::other_sense},  // a cleaning cartridge
      {completed(0x08), Readiness::no_sense},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(scsi::readiness_of(c.outcome), c.readiness) << scsi::describe(c.outcome);
  }
  EXPECT_EQ(scsi::sense_text(2, 0x30, 0x03), "2/30/03 (a cleaning cartridge is loaded)");
  EXPECT_EQ(scsi::sense_text(8, 0x14, 0x03), "8/14/03 (end of data not found)");
}

}  // namespace
