#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "engine/Pattern.h"

namespace stratavon {
namespace {

// Restores the process-wide pattern state after each test.
class PatternTest : public ::testing::Test {
 protected:
  void TearDown() override {
    g_nPatternKind = kPatternByte;
    g_byPatternByte = 0xAA;
    g_pPatternFile = nullptr;
  }

  std::vector<uint8_t> Fill(size_t nSize, uint8_t* pbyClear = nullptr) {
    std::vector<uint8_t> buffer(nSize, 0xEE);
    uint8_t byClear = 0x5C;
    EXPECT_TRUE(FillPattern(buffer.data(), nSize, pbyClear != nullptr ? pbyClear : &byClear));
    return buffer;
  }
};

TEST_F(PatternTest, CrpatFillsWholeUnitsThenTheUnitsHead) {
  g_nPatternKind = kPatternCrpat;
  uint8_t byClear = 0x5C;
  std::vector<uint8_t> buffer = Fill(512, &byClear);
  const uint8_t unit[] = {0xBE, 0xD7, 0x23, 0x47, 0x6B, 0x8F, 0xB3, 0x14, 0x5E, 0xFB, 0x35, 0x59};
  for (size_t j = 0; j < 504; ++j) ASSERT_EQ(buffer[j], unit[j % 12]) << j;
  const std::vector<uint8_t> tail(buffer.begin() + 504, buffer.end());
  EXPECT_EQ(tail, (std::vector<uint8_t>{0xBE, 0xD7, 0x23, 0x47, 0x6B, 0x8F, 0xB3, 0x14}));
  EXPECT_EQ(byClear, 0x5C) << "only the typed-byte kinds choose a clear byte";
}

TEST_F(PatternTest, CjtpatUnitAndTail) {
  g_nPatternKind = kPatternCjtpat;
  std::vector<uint8_t> buffer = Fill(512);
  std::vector<uint8_t> unit(167, 0x7E);
  unit.insert(unit.end(), {0x74, 0x7E, 0xAB});
  unit.insert(unit.end(), 51, 0xB5);
  unit.insert(unit.end(), {0x5E, 0x4A, 0x7E, 0x7E, 0x7E, 0x7E, 0xFE});
  ASSERT_EQ(unit.size(), 228u);
  EXPECT_TRUE(std::equal(unit.begin(), unit.end(), buffer.begin()));
  EXPECT_TRUE(std::equal(unit.begin(), unit.end(), buffer.begin() + 228));
  for (size_t j = 456; j < 512; ++j) ASSERT_EQ(buffer[j], 0x7E) << j;
}

TEST_F(PatternTest, CspatIsAllSevenF) {
  g_nPatternKind = kPatternCspat;
  std::vector<uint8_t> buffer = Fill(4096 + 512);
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x7F), 4096 + 512);
}

TEST_F(PatternTest, DataFileUnitRepeatsAfterItsLabel) {
  std::vector<uint8_t> file(16 + 1000);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + 3);
  g_pPatternFile = &file;
  g_nPatternKind = kPatternFile;
  std::vector<uint8_t> buffer = Fill(4096);
  for (size_t j = 0; j < 4096; ++j) ASSERT_EQ(buffer[j], file[16 + j % 1000]) << j;
}

TEST_F(PatternTest, DataFileWithoutPatternBytesRefusesToFill) {
  g_nPatternKind = kPatternFile;
  std::vector<uint8_t> buffer(512);
  EXPECT_FALSE(FillPattern(buffer.data(), buffer.size(), nullptr)) << "no file imported";
  std::vector<uint8_t> labelOnly(16, 'x');
  g_pPatternFile = &labelOnly;
  EXPECT_FALSE(FillPattern(buffer.data(), buffer.size(), nullptr)) << "16 bytes hold only the label";
  labelOnly.push_back(0x42);
  EXPECT_TRUE(FillPattern(buffer.data(), buffer.size(), nullptr));
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x42), 512);
}

TEST_F(PatternTest, TypedByteChoosesADifferentClearByte) {
  for (uint32_t nKind : {0u, 3u, 6u, 99u}) {
    g_nPatternKind = nKind;
    g_byPatternByte = 0x00;
    uint8_t byClear = 0x5C;
    std::vector<uint8_t> buffer = Fill(1536, &byClear);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x00), 1536) << nKind;
    EXPECT_EQ(byClear, 0x11) << nKind;
    g_byPatternByte = 0x11;
    buffer = Fill(1536, &byClear);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x11), 1536) << nKind;
    EXPECT_EQ(byClear, 0x00) << nKind;
  }
}

TEST_F(PatternTest, RepeatedUnitMatchesTheByteRuleForAnyUnitAndSize) {
  std::mt19937 rng(7);
  for (int nCase = 0; nCase < 300; ++nCase) {
    std::vector<uint8_t> unit(1 + rng() % 700);
    for (uint8_t& by : unit) by = static_cast<uint8_t>(rng());
    const size_t nSize = rng() % 20000;
    std::vector<uint8_t> buffer(nSize + 1, 0xEE);
    FillWithUnit(buffer.data(), nSize, unit);
    for (size_t j = 0; j < nSize; ++j) ASSERT_EQ(buffer[j], unit[j % unit.size()]) << nCase << " @" << j;
    ASSERT_EQ(buffer[nSize], 0xEE) << "wrote past the end";
  }
}

TEST_F(PatternTest, TypedByteParsing) {
  struct Case {
    const char* szText;
    bool bValid;
    uint8_t byValue;
  } cases[] = {
      {"5A", true, 0x5A}, {"AA", true, 0xAA}, {"00", true, 0x00}, {"FF", true, 0xFF},
      {"5A7", true, 0x5A},  // only two characters are read
      {"A", false, 0x0A},   {"G1", false, 0x01}, {"1G", false, 0x01}, {"", false, 0x00},
      {"a5", false, 0x05},  // lower case is not a digit here
      {" 7", false, 0x07},
  };
  for (const Case& c : cases) {
    g_byPatternByte = 0x33;
    EXPECT_EQ(ParsePatternByte(c.szText), c.bValid) << c.szText;
    EXPECT_EQ(g_byPatternByte, c.byValue) << c.szText;
  }
}

TEST_F(PatternTest, NamedKindsSkipTheTypedByte) {
  g_nPatternKind = kPatternCrpat;
  g_byPatternByte = 0x33;
  EXPECT_TRUE(ParsePatternByte("zz"));
  EXPECT_EQ(g_byPatternByte, 0x33);
}

}  // namespace
}  // namespace stratavon
