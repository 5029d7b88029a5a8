#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "faultfs/FaultRules.h"

namespace stratavon {
namespace {

FaultSetting Parsed(const std::string& szArgs) {
  FaultSetting setting;
  std::string szError;
  EXPECT_TRUE(ParseFaultSetting(szArgs, &setting, &szError)) << szArgs << ": " << szError;
  return setting;
}

std::string Refusal(const std::string& szArgs) {
  FaultSetting setting;
  std::string szError;
  EXPECT_FALSE(ParseFaultSetting(szArgs, &setting, &szError)) << szArgs;
  return szError;
}

TEST(FaultRulesTest, RulesTakeEveryKeyInAnyOrder) {
  FaultSetting setting = Parsed("error=EIO op=write name=KORVA25.DAT off=64K len=0x1000 skip=3 times=2");
  EXPECT_EQ(setting.op, EFaultOp::Write);
  EXPECT_EQ(setting.name, "KORVA25.DAT");
  EXPECT_EQ(setting.offset, 64u << 10);
  EXPECT_EQ(setting.length, 4096u);
  EXPECT_EQ(setting.skip, 3u);
  EXPECT_EQ(setting.times, 2u);
  EXPECT_EQ(setting.action, EFaultAction::Error);
  EXPECT_EQ(setting.error, EIO);
  EXPECT_EQ(setting.text, "error=EIO op=write name=KORVA25.DAT off=64K len=0x1000 skip=3 times=2");

  setting = Parsed("op=read error=ENOSPC");
  EXPECT_EQ(setting.op, EFaultOp::Read);
  EXPECT_EQ(setting.name, "") << "no name: every file";
  EXPECT_EQ(setting.offset, 0u);
  EXPECT_EQ(setting.length, 0u) << "to the end of the file";
  EXPECT_EQ(setting.skip, 0u);
  EXPECT_EQ(setting.times, kFaultForever);
  EXPECT_EQ(setting.error, ENOSPC);

  EXPECT_EQ(Parsed("op=read name=* error=EIO").name, "") << "* names every file";
  EXPECT_EQ(Parsed("op=read times=forever error=EIO").times, kFaultForever);
  EXPECT_EQ(Parsed("op=read error=61").error, 61) << "a number for an error without a name";
  EXPECT_EQ(Parsed("op=read error=4095").error, 4095);

  setting = Parsed("op=read short=1M");
  EXPECT_EQ(setting.action, EFaultAction::Short);
  EXPECT_EQ(setting.shortBytes, 1u << 20);
  EXPECT_EQ(Parsed("op=read short=0").shortBytes, 0u) << "a read that moves nothing";

  setting = Parsed("op=read corrupt");
  EXPECT_EQ(setting.action, EFaultAction::Corrupt);
  EXPECT_EQ(setting.xorMask, 0xFF) << "every bit, without a mask";
  EXPECT_EQ(Parsed("op=read corrupt=0x01").xorMask, 0x01);

  setting = Parsed("op=write stall=forever");
  EXPECT_EQ(setting.action, EFaultAction::Stall);
  EXPECT_EQ(setting.stallMs, 0u) << "0 holds until disarmed";
  EXPECT_EQ(Parsed("op=read stall=86400000").stallMs, 86400000u) << "a day is the longest";

  EXPECT_EQ(Parsed("op=write drop").action, EFaultAction::Drop);
  setting = Parsed("op=write moveto=2G");
  EXPECT_EQ(setting.action, EFaultAction::Move);
  EXPECT_EQ(setting.moveTo, 2ull << 30);
}

TEST(FaultRulesTest, NumbersTakeHexAndBinaryUnitsAndNothingElse) {
  const std::pair<const char*, uint64_t> good[] = {
      {"0", 0},          {"4096", 4096},      {"0x10", 16},
      {"1k", 1 << 10},   {"2K", 2 << 10},     {"3m", 3u << 20},      {"1g", 1ull << 30},
      {"0x10K", 16 << 10}, {"18446744073709551615", UINT64_MAX}, {"17179869183G", 17179869183ull << 30},
  };
  for (const auto& [szValue, qwWant] : good) {
    EXPECT_EQ(Parsed(std::string("op=read off=") + szValue + " error=EIO").offset, qwWant) << szValue;
  }
  for (const char* szValue : {"", "-1", "+1", "1KB", "1T", "0x", "x10", "1.5K", "18446744073709551616",
                              "17179869184G", "K"}) {
    const std::string szWord = std::string("off=") + szValue;
    EXPECT_EQ(Refusal("op=read " + szWord + " error=EIO"), "bad value in '" + szWord + "'") << szValue;
  }
}

TEST(FaultRulesTest, EveryMalformedRuleSaysWhatIsWrong) {
  const std::pair<const char*, const char*> cases[] = {
      {"op=read bogus=1 error=EIO", "unknown key 'bogus'"},
      {"op=read error=EIO extra", "unknown key 'extra'"},
      {"op=frob error=EIO", "bad value in 'op=frob'"},
      {"op error=EIO", "bad value in 'op'"},
      {"op=read error=EBOGUS", "bad value in 'error=EBOGUS'"},
      {"op=read error=0", "bad value in 'error=0'"},
      {"op=read error=4096", "bad value in 'error=4096'"},
      {"op=read error=eio", "bad value in 'error=eio'"},
      {"op=read times=0 error=EIO", "bad value in 'times=0'"},
      {"op=read corrupt=0", "bad value in 'corrupt=0'"},
      {"op=read corrupt=0x100", "bad value in 'corrupt=0x100'"},
      {"op=read corrupt=", "bad value in 'corrupt='"},
      {"op=read stall=0", "bad value in 'stall=0'"},
      {"op=read stall=86400001", "bad value in 'stall=86400001'"},
      {"op=read short=", "bad value in 'short='"},
      {"error=EIO", "op=read or op=write is missing"},
      {"", "op=read or op=write is missing"},
      {"op=read", "a rule needs exactly one of error=, short=, corrupt, stall=, drop, moveto=, wrap=, lie-flush"},
      {"op=read error=EIO short=5", "a rule needs exactly one of error=, short=, corrupt, stall=, drop, moveto=, wrap=, lie-flush"},
      {"op=read error=EIO error=EIO", "a rule needs exactly one of error=, short=, corrupt, stall=, drop, moveto=, wrap=, lie-flush"},
      {"op=read drop", "drop and moveto= apply to writes only"},
      {"op=read moveto=0", "drop and moveto= apply to writes only"},
      {"op=read wrap=0", "bad value in 'wrap=0'"},
      {"op=read off=0xFFFFFFFFFFFFFFFF len=1 error=EIO", "off+len overflows"},
  };
  for (const auto& [szArgs, szWant] : cases) EXPECT_EQ(Refusal(szArgs), szWant) << szArgs;
  // The last byte of the file may be named, and everything from there on.
  EXPECT_EQ(Parsed("op=read off=0xFFFFFFFFFFFFFFFE len=1 error=EIO").length, 1u);
  EXPECT_EQ(Parsed("op=read off=0xFFFFFFFFFFFFFFFF error=EIO").length, 0u);
}

// A control text is all applied or none of it; its refusals name the line.
TEST(FaultRulesTest, ControlTextIsAllOrNothingAndNamesTheBadLine) {
  CFaultTable table;
  std::string szError;
  EXPECT_TRUE(table.Apply("", &szError));
  EXPECT_TRUE(table.Apply("# only a comment\n\n   \n", &szError));
  const std::pair<const char*, const char*> bad[] = {
      {"add op=read error=EIO\nadd op=read bogus=1 error=EIO\n", "line 2: unknown key 'bogus'"},
      {"frobnicate\n", "line 1: unknown command 'frobnicate'"},
      {"disarm 0\n", "line 1: no rule 0"},
      {"add op=read error=EIO\ndisarm 1\n", "line 2: no rule 1"},
      {"disarm x\n", "line 1: no rule x"},
      {"disarm\n", "line 1: unknown command 'disarm'"},
      {"clear now\n", "line 1: unknown command 'clear now'"},
      {"add\n", "line 1: op=read or op=write is missing"},
  };
  for (const auto& [szText, szWant] : bad) {
    EXPECT_FALSE(table.Apply(szText, &szError)) << szText;
    EXPECT_EQ(szError, szWant) << szText;
  }
  EXPECT_EQ(table.Report(), "") << "a refused text leaves no rule behind";

  // A rule added earlier in the same text may be disarmed by it; a dry run
  // checks without adding.
  ASSERT_TRUE(table.Apply("add op=read error=EIO\ndisarm 0\n", &szError, true)) << szError;
  EXPECT_EQ(table.Report(), "");
  ASSERT_TRUE(table.Apply("# first\n  add   op=read name=A.DAT error=EIO  \r\nadd op=write drop\ndisarm 0\n", &szError))
      << szError;
  EXPECT_EQ(table.Report(),
            "0 armed=0 seen=0 hits=0 op=read name=A.DAT error=EIO\n"
            "1 armed=1 seen=0 hits=0 op=write drop\n");
  ASSERT_TRUE(table.Apply("clear\n", &szError));
  EXPECT_EQ(table.Report(),
            "0 armed=0 seen=0 hits=0 op=read name=A.DAT error=EIO\n"
            "1 armed=0 seen=0 hits=0 op=write drop\n")
      << "cleared rules keep their numbers";
}

// A rule sees the requests of its operation on files ending in its name
// that overlap its range; the first skip of those pass, the next times fire.
TEST(FaultRulesTest, RulesMatchByOperationNameAndOverlappingRange) {
  CFaultTable table;
  std::string szError;
  ASSERT_TRUE(table.Apply("add op=read name=A.DAT off=4K len=4K skip=1 times=2 error=EIO\n", &szError)) << szError;
  const auto Fails = [&](const char* szPath, EFaultOp op, uint64_t qwOffset, uint64_t qwSize) {
    return table.Consult(szPath, op, qwOffset, qwSize).error != 0;
  };
  EXPECT_FALSE(Fails("/t/A.DAT", EFaultOp::Read, 0, 4096)) << "ends where the range begins";
  EXPECT_FALSE(Fails("/t/A.DAT", EFaultOp::Read, 8192, 4096)) << "begins where the range ends";
  EXPECT_FALSE(Fails("/t/A.DAT", EFaultOp::Write, 4096, 4096)) << "another operation";
  EXPECT_FALSE(Fails("/t/B.DAT", EFaultOp::Read, 4096, 4096)) << "another file";
  EXPECT_FALSE(Fails("/t/A.DAT", EFaultOp::Read, 4096, 0)) << "a request of no bytes";
  EXPECT_FALSE(Fails("/t/A.DAT", EFaultOp::Read, 0, 4097)) << "skipped: overlaps by its last byte";
  EXPECT_TRUE(Fails("/t/KA.DAT", EFaultOp::Read, 8191, 1)) << "a path ending in the name, its range's last byte";
  EXPECT_TRUE(Fails("/t/A.DAT", EFaultOp::Read, 0, 1 << 20)) << "a request over the whole range";
  EXPECT_FALSE(Fails("/t/A.DAT", EFaultOp::Read, 4096, 4096)) << "fired twice, done";
  EXPECT_EQ(table.Report(), "0 armed=1 seen=4 hits=2 op=read name=A.DAT off=4K len=4K skip=1 times=2 error=EIO\n");

  // Without a length the range runs to the end of any file.
  ASSERT_TRUE(table.Apply("clear\nadd op=write off=1G error=EROFS\n", &szError)) << szError;
  EXPECT_FALSE(Fails("/t/A.DAT", EFaultOp::Write, 0, 1ull << 30));
  EXPECT_EQ(table.Consult("/t/A.DAT", EFaultOp::Write, UINT64_MAX - 4096, 4096).error, EROFS);
}

// Every armed rule that fires has its say: the first error, the shortest
// limit, every corruption.
TEST(FaultRulesTest, RulesThatFireTogetherCombine) {
  CFaultTable table;
  std::string szError;
  ASSERT_TRUE(table.Apply("add op=read short=8K\nadd op=read short=2K\nadd op=read error=ENXIO\n"
                          "add op=read error=EIO\nadd op=read off=16 len=4 corrupt=0x0F\nadd op=read off=100 corrupt\n",
                          &szError))
      << szError;
  FaultVerdict verdict = table.Consult("/t/A.DAT", EFaultOp::Read, 0, 64 << 10);
  EXPECT_EQ(verdict.error, ENXIO);
  EXPECT_EQ(verdict.limit, 2048u);
  ASSERT_EQ(verdict.corruptions.size(), 2u);
  EXPECT_FALSE(verdict.bDrop);
  EXPECT_EQ(verdict.moveTo, UINT64_MAX);

  // A buffer holding file bytes 12..111: bytes 16..19 and 100 onwards flip.
  std::vector<char> buffer(100, 0);
  ApplyCorruptions(verdict, 12, buffer.data(), buffer.size());
  for (size_t n = 0; n < buffer.size(); ++n) {
    const uint64_t qwAt = 12 + n;
    const char cWant = qwAt >= 16 && qwAt < 20 ? 0x0F : qwAt >= 100 ? static_cast<char>(0xFF) : 0;
    EXPECT_EQ(buffer[n], cWant) << "file byte " << qwAt;
  }
  buffer.assign(4, 0);
  ApplyCorruptions(verdict, 20, buffer.data(), buffer.size());
  EXPECT_EQ(buffer, std::vector<char>(4, 0)) << "between the two ranges";

  ASSERT_TRUE(table.Apply("clear\nadd op=write drop\nadd op=write moveto=1M\n", &szError)) << szError;
  verdict = table.Consult("/t/A.DAT", EFaultOp::Write, 0, 4096);
  EXPECT_TRUE(verdict.bDrop);
  EXPECT_EQ(verdict.moveTo, 1u << 20);
  EXPECT_EQ(verdict.error, 0);
  EXPECT_TRUE(table.Consult("/t/A.DAT", EFaultOp::Read, 0, 4096).corruptions.empty()) << "cleared";
}

}  // namespace
}  // namespace stratavon
