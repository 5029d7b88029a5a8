#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "run/RunWire.h"

namespace stratavon {
namespace {

using namespace std::string_literals;

RankResult Sample() {
  RankResult rank;
  rank.szEventLog = "/var/lib/stratavon/events.log";
  rank.szText = "/mnt/a/  PASS\0line two\n"s;  // a NUL and a newline travel as they are
  rank.szJson = "{\"verdict\": \"PASS\"}";
  rank.szVerdict = "";
  rank.bPassed = true;
  rank.qwBytes = 0x0123456789ABCDEFull;
  rank.qwIos = UINT64_MAX;
  rank.dElapsedSeconds = 12.375;
  rank.nFailures = 7;
  return rank;
}

// Every field the sender fills comes back bit for bit; rank, host and loss
// are the receiver's and stay as it set them.
TEST(RunWireTest, PackedPartComesBackWhole) {
  const RankResult sent = Sample();
  RankResult got;
  got.nRank = 3;
  got.szHost = "node3";
  ASSERT_TRUE(UnpackRankResult(PackRankResult(sent), got));
  EXPECT_EQ(got.szEventLog, sent.szEventLog);
  EXPECT_EQ(got.szText, sent.szText);
  EXPECT_EQ(got.szJson, sent.szJson);
  EXPECT_EQ(got.szVerdict, sent.szVerdict);
  EXPECT_EQ(got.bPassed, sent.bPassed);
  EXPECT_EQ(got.qwBytes, sent.qwBytes);
  EXPECT_EQ(got.qwIos, sent.qwIos);
  EXPECT_EQ(std::memcmp(&got.dElapsedSeconds, &sent.dElapsedSeconds, sizeof(double)), 0);
  EXPECT_EQ(got.nFailures, sent.nFailures);
  EXPECT_EQ(got.nRank, 3);
  EXPECT_EQ(got.szHost, "node3");
  EXPECT_FALSE(got.bLost);

  RankResult failed = sent;
  failed.bPassed = false;
  failed.nFailures = 0;
  ASSERT_TRUE(UnpackRankResult(PackRankResult(failed), got));
  EXPECT_FALSE(got.bPassed);
  EXPECT_EQ(got.nFailures, 0);
}

TEST(RunWireTest, RefusesBytesThatAreNotOneWholePart) {
  const std::string szBytes = PackRankResult(Sample());
  RankResult got;
  for (size_t n = 0; n < szBytes.size(); ++n) {
    EXPECT_FALSE(UnpackRankResult(szBytes.substr(0, n), got)) << "cut to " << n << " bytes";
  }
  EXPECT_FALSE(UnpackRankResult(szBytes + '\0', got)) << "a byte too many";
  EXPECT_FALSE(UnpackRankResult(szBytes + szBytes, got)) << "two parts are not one";

  // A text's length that runs past the end, or wraps around it.
  for (uint64_t qwLength : {uint64_t{szBytes.size()}, UINT64_MAX, UINT64_MAX - 7}) {
    std::string szGarbled = szBytes;
    std::memcpy(szGarbled.data(), &qwLength, sizeof qwLength);
    EXPECT_FALSE(UnpackRankResult(szGarbled, got)) << qwLength;
  }
}

TEST(RunWireTest, TotalsAddWhatAnsweredAndPassOnlyWhenEveryPartPassed) {
  RankResult fast;
  fast.bPassed = true;
  fast.qwBytes = 100ull << 20;
  fast.qwIos = 400;
  fast.dElapsedSeconds = 2.0;
  RankResult slow = fast;
  slow.qwBytes = 30ull << 20;
  slow.qwIos = 90;
  slow.dElapsedSeconds = 3.0;
  slow.nFailures = 2;
  RankResult lost;
  lost.bLost = true;
  lost.qwBytes = 1ull << 40;  // whatever a lost part holds is not counted
  lost.qwIos = 1;
  lost.dElapsedSeconds = 100;
  lost.nFailures = 5;

  RankTotals totals = SumRanks({fast, slow});
  EXPECT_EQ(totals.qwBytes, 130ull << 20);
  EXPECT_EQ(totals.qwIos, 490u);
  EXPECT_DOUBLE_EQ(totals.dMbPerSecond, 50.0 + 10.0) << "each part's own average, added";
  EXPECT_DOUBLE_EQ(totals.dIops, 200.0 + 30.0);
  EXPECT_DOUBLE_EQ(totals.dElapsedSeconds, 3.0) << "the longest";
  EXPECT_EQ(totals.nFailures, 2);
  EXPECT_EQ(totals.nLost, 0);
  EXPECT_TRUE(totals.bPassed) << "failures are the parts' own verdicts to give";

  slow.bPassed = false;
  EXPECT_FALSE(SumRanks({fast, slow}).bPassed);

  totals = SumRanks({fast, lost});
  EXPECT_EQ(totals.qwBytes, fast.qwBytes);
  EXPECT_EQ(totals.qwIos, fast.qwIos);
  EXPECT_DOUBLE_EQ(totals.dElapsedSeconds, 2.0);
  EXPECT_EQ(totals.nFailures, 0);
  EXPECT_EQ(totals.nLost, 1);
  EXPECT_FALSE(totals.bPassed);

  RankResult idle;  // no time elapsed: no rate, rather than a division by zero
  idle.bPassed = true;
  idle.qwBytes = 4096;
  totals = SumRanks({idle});
  EXPECT_EQ(totals.dMbPerSecond, 0.0);
  EXPECT_EQ(totals.dIops, 0.0);

  EXPECT_FALSE(SumRanks({}).bPassed) << "no part answered";
}

// A part counts what its targets moved and fails for a stalled worker as
// for a failed one.
TEST(RunWireTest, PartOfAResultAddsItsTargetsAndCountsStallsAsFailures) {
  RunResult result;
  result.dElapsedSeconds = 4.5;
  result.nFailures = 1;
  result.stalls = {"KORVA25.DAT inside a write", "KORVA26.DAT inside a write"};
  for (uint64_t qw : {1000u, 24u}) {
    TargetResult target;
    target.target = FolderTarget("/mnt/" + std::to_string(qw) + "/");
    target.szStatus = "RUN";
    target.qwBytes = qw * 4096;
    target.qwIos = qw;
    target.bMoved = true;
    result.targets.push_back(target);
  }
  RankResult rank = DescribeRank(result, "/state/events.log");
  EXPECT_EQ(rank.szEventLog, "/state/events.log");
  EXPECT_EQ(rank.qwBytes, 1024u * 4096);
  EXPECT_EQ(rank.qwIos, 1024u);
  EXPECT_DOUBLE_EQ(rank.dElapsedSeconds, 4.5);
  EXPECT_EQ(rank.nFailures, 3);
  EXPECT_FALSE(rank.bPassed);
  ASSERT_FALSE(rank.szJson.empty());
  EXPECT_EQ(rank.szJson.back(), '}') << "one object, without the line's end";

  result.nFailures = 0;
  result.stalls.clear();
  EXPECT_TRUE(DescribeRank(result, "").bPassed);
}

// A tick's standing comes back as the supervisor renders it: the same
// result text and JSON, and the calls with their requests; cut or garbled
// bytes (a count past what they could hold, a call on no target) are
// refused whole.
TEST(RunWireTest, ProgressComesBackAsItRendersAndGarbledBytesAreRefused) {
  RunProgress sent;
  sent.result.dElapsedSeconds = 3.25;
  sent.result.dStartupSeconds = 0.5;
  sent.result.nFailures = 1;
  sent.result.qwStampRunId = 0xFEEDu;
  sent.result.stalls = {"a stall"};
  for (int t = 0; t < 2; ++t) {
    TargetResult target;
    target.target = t == 0 ? FolderTarget("/mnt/a/") : DeviceTarget("/dev/loop7");
    target.target.qwSizeBytes = 1u << 30;
    target.target.nRotational = 0;
    target.szStatus = t == 0 ? "RUN" : "FAIL";
    target.szError = t == 0 ? "NONE" : "READ API";
    target.qwBytes = 4096u * (t + 1);
    target.qwIos = 7u + t;
    target.qwIoErrors = t;
    target.szFirstIoError = t == 0 ? "" : "Input/output error";
    target.bMoved = true;
    sent.result.targets.push_back(target);
  }
  sent.calls = {{1, 26, "/dev/loop7", kCallWrite, std::chrono::milliseconds(2500), 1u << 20, 65536}};
  const std::string szBytes = PackRunProgress(sent);
  RunProgress got;
  ASSERT_TRUE(UnpackRunProgress(szBytes, got));
  EXPECT_EQ(RunResultText(got.result), RunResultText(sent.result));
  EXPECT_EQ(RunResultJson(got.result), RunResultJson(sent.result));
  ASSERT_EQ(got.calls.size(), 1u);
  EXPECT_EQ(DescribeCall(got.calls[0]), DescribeCall(sent.calls[0]));
  EXPECT_EQ(got.calls[0].nTarget, 1);
  EXPECT_EQ(got.calls[0].nSlot, 26);

  for (size_t n = 0; n < szBytes.size(); n += 7) EXPECT_FALSE(UnpackRunProgress(szBytes.substr(0, n), got)) << n;
  EXPECT_FALSE(UnpackRunProgress(szBytes + '\0', got));
  RunProgress stray = sent;
  stray.calls[0].nTarget = 2;
  EXPECT_FALSE(UnpackRunProgress(PackRunProgress(stray), got)) << "a call on a target the run does not have";
  std::string szHuge = PackRunProgress(RunProgress{});
  const uint64_t qwMany = UINT64_MAX / 2;
  std::memcpy(szHuge.data() + 2 * sizeof(double) + 2 * sizeof(uint64_t) + sizeof(uint64_t), &qwMany, sizeof qwMany);
  EXPECT_FALSE(UnpackRunProgress(szHuge, got)) << "a count no bytes could hold";
}

}  // namespace
}  // namespace stratavon
