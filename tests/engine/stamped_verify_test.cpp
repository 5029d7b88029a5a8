#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "engine/StampedPattern.h"
#include "engine/StampedScan.h"
#include "support/TempDir.h"

namespace stratavon {
namespace {

constexpr uint32_t kUnit = 512;
constexpr uint32_t kUnits = 16;
constexpr StampIdentity kOwner{0x0123456789ABCDEFull, 27, kUnit};

using Units = std::vector<uint8_t>;

// kUnits units of the owner's, stamped as a writer lays them down: pass
// dwPass up to unit nPassEnd (all of them unless given), the pass before after it.
Units StampedFile(uint32_t dwPass, uint32_t nPassEnd = kUnits, const StampIdentity& id = kOwner) {
  Units units(size_t{kUnits} * kUnit, 0xAA);
  StampUnits(units.data(), size_t{nPassEnd} * kUnit, 0, dwPass, id);
  if (nPassEnd < kUnits) {
    StampUnits(units.data() + size_t{nPassEnd} * kUnit, size_t{kUnits - nPassEnd} * kUnit, uint64_t{nPassEnd} * kUnit,
               dwPass - 1, id);
  }
  return units;
}

// Unit u as another writer would have stamped it there.
void Restamp(Units& units, uint32_t u, uint64_t qwOffset, uint32_t dwPass, const StampIdentity& id = kOwner) {
  StampUnits(units.data() + size_t{u} * kUnit, kUnit, qwOffset, dwPass, id);
}

class StampedVerifyTest : public testing::Test {
 protected:
  std::string Write(const Units& units, const std::string& szName = "KORVA27.DAT") {
    const std::string szPath = m_dir.Path(szName);
    const int hFile = open(szPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(hFile, 0);
    EXPECT_EQ(write(hFile, units.data(), units.size()), static_cast<ssize_t>(units.size()));
    close(hFile);
    return szPath;
  }
  // What the file's worker records when it ends.
  static void Record(const std::string& szPath, uint32_t dwPass, uint64_t qwPassEnd = 0,
                     uint64_t qwBytes = uint64_t{kUnits} * kUnit) {
    AppendStampRecord(StampRecord{kOwner.qwRunId, dwPass, qwBytes, kOwner.dwSlot, kUnit, szPath, qwPassEnd});
  }

  test::CStateHome m_home;
  test::CTempDir m_dir;
};

// Each kind of damage is counted in its class, named at its place, and
// fails the file; an untouched file passes, judged by its record's pass.
TEST_F(StampedVerifyTest, UnitClassesAndVerdict) {
  const StampIdentity other{0x1111222233334444ull, 27, kUnit};
  struct Case {
    const char* szName;
    std::function<void(Units&)> damage;
    UnitState state;  // of unit 5, the one damaged
  } cases[] = {
      {"untouched", [](Units&) {}, UnitState::kGood},
      {"flipped bit", [](Units& u) { u[5 * kUnit + 200] ^= 0x10; }, UnitState::kCorrupt},
      {"written at another offset", [](Units& u) { Restamp(u, 5, 9 * kUnit, 3); }, UnitState::kMisdirected},
      {"another slot's unit", [](Units& u) { Restamp(u, 5, 5 * kUnit, 3, {kOwner.qwRunId, 26, kUnit}); },
       UnitState::kMisdirected},
      {"an older pass", [](Units& u) { Restamp(u, 5, 5 * kUnit, 2); }, UnitState::kStale},
      {"a newer pass", [](Units& u) { Restamp(u, 5, 5 * kUnit, 4); }, UnitState::kCorrupt},
      {"another run's unit", [&](Units& u) { Restamp(u, 5, 5 * kUnit, 3, other); }, UnitState::kForeign},
      {"not stamped at all", [](Units& u) { std::fill_n(&u[5 * kUnit], kUnit, uint8_t{0}); }, UnitState::kForeign},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.szName);
    Units units = StampedFile(3);
    c.damage(units);
    const std::string szPath = Write(units);
    Record(szPath, 3);
    const FileVerdict verdict = VerifyStampedFile(szPath, 0);
    EXPECT_EQ(verdict.nPassFrom, PassSource::kRecorded);
    EXPECT_EQ(verdict.scan.dwPass, 3u);
    const bool bGood = c.state == UnitState::kGood;
    EXPECT_EQ(verdict.Good(), bGood);
    EXPECT_EQ(verdict.scan.aqwUnits[0], bGood ? kUnits : kUnits - 1);
    if (bGood) continue;
    EXPECT_EQ(verdict.scan.aqwUnits[static_cast<int>(c.state)], 1u);
    ASSERT_EQ(verdict.scan.bad.size(), 1u);
    EXPECT_EQ(verdict.scan.bad[0].qwOffset, 5u * kUnit);
    EXPECT_EQ(verdict.scan.bad[0].qwBytes, kUnit);
    EXPECT_EQ(verdict.scan.bad[0].first.state, c.state);
  }
}

// The pass to judge: the one given, else the record's when its worker
// ended, else the newest among the file's own units.
TEST_F(StampedVerifyTest, PassComesFromTheCallerTheRecordOrTheUnits) {
  const std::string szPath = Write(StampedFile(3));
  FileVerdict verdict = VerifyStampedFile(szPath, 0);
  EXPECT_EQ(verdict.nPassFrom, PassSource::kNewestFound) << "no record";
  EXPECT_EQ(verdict.scan.dwPass, 3u);
  EXPECT_TRUE(verdict.Good());

  Record(szPath, 0);  // created, never ended
  verdict = VerifyStampedFile(szPath, 0);
  EXPECT_EQ(verdict.nPassFrom, PassSource::kNewestFound);
  EXPECT_TRUE(verdict.Good());

  Record(szPath, 4);  // the last line counts: pass 4 never reached the file
  verdict = VerifyStampedFile(szPath, 0);
  EXPECT_EQ(verdict.nPassFrom, PassSource::kRecorded);
  EXPECT_FALSE(verdict.Good());
  EXPECT_EQ(verdict.scan.aqwUnits[static_cast<int>(UnitState::kStale)], kUnits);

  verdict = VerifyStampedFile(szPath, 3);
  EXPECT_EQ(verdict.nPassFrom, PassSource::kGiven);
  EXPECT_TRUE(verdict.Good());
}

// A pass that stopped part way: the units it had not reached hold the pass
// before and pass; a first pass that stopped leaves a shorter file, which
// is whole. The stop is honoured only for the pass it was recorded with.
TEST_F(StampedVerifyTest, PassThatStoppedPartWay) {
  const std::string szPath = Write(StampedFile(3, 6));
  Record(szPath, 3, 6 * kUnit);
  FileVerdict verdict = VerifyStampedFile(szPath, 0);
  EXPECT_TRUE(verdict.Good());
  EXPECT_EQ(verdict.scan.qwPassEnd, 6u * kUnit);
  EXPECT_EQ(verdict.scan.PassAt(5 * kUnit), 3u);
  EXPECT_EQ(verdict.scan.PassAt(6 * kUnit), 2u);

  verdict = VerifyStampedFile(szPath, 2);
  EXPECT_FALSE(verdict.Good()) << "judged as pass 2 throughout";
  EXPECT_EQ(verdict.scan.qwPassEnd, 0u);
  EXPECT_EQ(verdict.scan.aqwUnits[static_cast<int>(UnitState::kCorrupt)], 6u) << "pass 3 is newer than 2";

  Units first = StampedFile(1);
  first.resize(size_t{6} * kUnit);
  const std::string szFirst = Write(first, "KORVA28.DAT");
  Record(szFirst, 1, 6 * kUnit);
  verdict = VerifyStampedFile(szFirst, 0);
  EXPECT_TRUE(verdict.Good());
  EXPECT_EQ(verdict.scan.qwExpectedBytes, 6u * kUnit);
}

// A file shorter than its record says, or unreadable, or with nothing of
// ours in it fails; the record is found under the file's real path too;
// one bad file fails them all.
TEST_F(StampedVerifyTest, WholenessAndTheVerdictOverFiles) {
  Units units = StampedFile(2);
  units.resize(size_t{10} * kUnit + 100);
  const std::string szShort = Write(units, "short.DAT");
  Record(szShort, 2);
  FileVerdict verdict = VerifyStampedFile(szShort, 0);
  EXPECT_FALSE(verdict.Good());
  EXPECT_EQ(verdict.scan.aqwUnits[0], 10u);
  EXPECT_EQ(verdict.scan.qwMissingBytes, uint64_t{kUnits} * kUnit - (10 * kUnit + 100));

  const FileVerdict missing = VerifyStampedFile(m_dir.Path("gone.DAT"), 0);
  EXPECT_FALSE(missing.Good());
  EXPECT_FALSE(missing.scan.szError.empty());

  const FileVerdict plain = VerifyStampedFile(Write(Units(size_t{kUnits} * kUnit, 0xAA), "plain.DAT"), 0);
  EXPECT_FALSE(plain.Good());
  EXPECT_FALSE(plain.scan.bIdentityKnown);

  // The record names the real path; the file is given through a link.
  const std::string szGood = Write(StampedFile(2), "good.DAT");
  Record(std::filesystem::canonical(szGood).string(), 5);
  std::filesystem::create_directory_symlink(m_dir.Root(), m_dir.Path("link"));
  verdict = VerifyStampedFile(m_dir.Path("link/good.DAT"), 0);
  EXPECT_EQ(verdict.nPassFrom, PassSource::kRecorded) << "found under its real path";
  EXPECT_FALSE(verdict.Good()) << "the record's pass 5 is judged";

  const FileVerdict good = VerifyStampedFile(szGood, 2);
  EXPECT_TRUE(good.Good());
  EXPECT_TRUE(EveryFileGood({good, good}));
  EXPECT_FALSE(EveryFileGood({good, plain}));
}

}  // namespace
}  // namespace stratavon
