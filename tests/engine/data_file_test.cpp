#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/DataFile.h"
#include "engine/Pattern.h"
#include "support/TempDir.h"

namespace stratavon {
namespace {

using test::CTempDir;

class DataFileTest : public ::testing::Test {
 protected:
  void SetUp() override { g_nPatternKind = kPatternCrpat; }
  void TearDown() override {
    ReleaseDataFile();
    g_nPatternKind = kPatternByte;
  }

  std::string Write(const std::string& szName, const std::vector<uint8_t>& bytes) {
    const std::string szPath = m_dir.Path(szName);
    std::FILE* pFile = std::fopen(szPath.c_str(), "wb");
    EXPECT_NE(pFile, nullptr);
    if (pFile == nullptr) return szPath;
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), pFile);
    std::fclose(pFile);
    return szPath;
  }

  static std::vector<uint8_t> Bytes(const std::string& szText) { return {szText.begin(), szText.end()}; }

  CTempDir m_dir;
};

TEST_F(DataFileTest, LoadsTheWholeFileAndItsLabel) {
  std::vector<uint8_t> bytes = Bytes("SIXTEEN-CHARS-OK");
  bytes.push_back(0);
  for (int i = 0; i < 100; ++i) bytes.push_back(static_cast<uint8_t>(i));
  std::string szLabel = "before";
  ASSERT_EQ(ImportDataFile(Write("a.hvx", bytes), &szLabel), DataFileResult::kLoaded);
  EXPECT_EQ(szLabel, "SIXTEEN-CHARS-OK");
  EXPECT_EQ(g_nPatternKind, kPatternFile);
  ASSERT_NE(g_pPatternFile, nullptr);
  EXPECT_EQ(*g_pPatternFile, bytes);
  EXPECT_EQ(PatternUnit(kPatternFile).size(), bytes.size() - 16);

  // A file without a zero byte is all label.
  ASSERT_EQ(ImportDataFile(Write("short.hvx", Bytes("0123456789")), &szLabel), DataFileResult::kLoaded);
  EXPECT_EQ(szLabel, "0123456789");
  EXPECT_EQ(DataFileBytes(), 10u);
  EXPECT_TRUE(PatternUnit(kPatternFile).empty()) << "a file of 16 bytes or fewer has no pattern bytes";
}

TEST_F(DataFileTest, LargestFileWithAnEmptyLabel) {
  std::vector<uint8_t> bytes(kMaxDataFileBytes, 0x5A);
  bytes[0] = 0;
  std::string szLabel = "x";
  ASSERT_EQ(ImportDataFile(Write("big.hvx", bytes), &szLabel), DataFileResult::kLoaded);
  EXPECT_EQ(szLabel, "");
  EXPECT_EQ(DataFileBytes(), kMaxDataFileBytes);

  bytes.push_back(0x5A);
  EXPECT_EQ(ImportDataFile(Write("bigger.hvx", bytes), &szLabel), DataFileResult::kTooLarge);
  EXPECT_EQ(DataFileBytes(), kMaxDataFileBytes) << "the data loaded before stays";
  EXPECT_EQ(g_nPatternKind, kPatternFile);
}

TEST_F(DataFileTest, FilesPassedOverKeepWhatWasLoaded) {
  ASSERT_EQ(ImportDataFile(Write("good.hvx", Bytes("GOOD")), nullptr), DataFileResult::kLoaded);
  const std::vector<uint8_t>* pBefore = g_pPatternFile;
  EXPECT_EQ(ImportDataFile(Write("empty.hvx", {}), nullptr), DataFileResult::kEmpty);
  EXPECT_EQ(ImportDataFile(m_dir.Path("missing.hvx"), nullptr), DataFileResult::kCannotOpen);
  EXPECT_EQ(ImportDataFile(m_dir.Root(), nullptr), DataFileResult::kCannotOpen);
  // A FIFO with no writer is refused at once, not waited on.
  ASSERT_EQ(mkfifo(m_dir.Path("fifo.hvx").c_str(), 0600), 0);
  EXPECT_EQ(ImportDataFile(m_dir.Path("fifo.hvx"), nullptr), DataFileResult::kCannotOpen);
  EXPECT_EQ(g_pPatternFile, pBefore);
  EXPECT_EQ(DataFileBytes(), 4u);
}

TEST_F(DataFileTest, LongLabelIsInvalidAndDropsTheDataBefore) {
  ASSERT_EQ(ImportDataFile(Write("good.hvx", Bytes("GOOD")), nullptr), DataFileResult::kLoaded);
  g_nPatternKind = kPatternCjtpat;
  std::vector<uint8_t> bytes = Bytes("SEVENTEEN-CHARS-X");
  bytes.push_back(0);
  bytes.push_back(1);
  EXPECT_EQ(ImportDataFile(Write("long.hvx", bytes), nullptr), DataFileResult::kLabelTooLong);
  EXPECT_EQ(g_pPatternFile, nullptr);
  EXPECT_EQ(DataFileBytes(), 0u);
  // The kind names the data that is gone, so no run starts on another pattern
  // than the one shown; releasing gives back the pattern before.
  EXPECT_TRUE(DataFilePatternMissing());
  ReleaseDataFile();
  EXPECT_EQ(g_nPatternKind, kPatternCjtpat);
  EXPECT_FALSE(DataFilePatternMissing());
}

}  // namespace
}  // namespace stratavon
