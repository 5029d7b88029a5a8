#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine/Crc32.h"
#include "support/ReferenceCrc.h"

namespace stratavon {
namespace {

using test::ReferenceCrc;

TEST(Crc32Test, CheckValues) {
  EXPECT_EQ(CCrc32::Compute("123456789", 9), 0x0376E6E7u);
  EXPECT_EQ(ReferenceCrc(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x0376E6E7u);
  EXPECT_EQ(CCrc32::Compute(nullptr, 0), 0xFFFFFFFFu);
}

TEST(Crc32Test, AgreesWithTheByteTableOnRandomBuffers) {
  std::mt19937 rng(12345);
  std::vector<uint8_t> data(1 << 20);
  for (uint8_t& by : data) by = static_cast<uint8_t>(rng());
  // Lengths around the kernels' block sizes and odd lengths at odd offsets.
  std::vector<size_t> lengths = {1, 2, 3, 7, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 255, 256, 257,
                                 511, 512, 513, 4095, 4096, 4097, 65536, 1 << 20};
  for (int i = 0; i < 200; ++i) lengths.push_back(rng() % 70000);
  for (size_t nLength : lengths) {
    const size_t nOffset = nLength < data.size() ? rng() % (data.size() - nLength + 1) % 61 : 0;
    ASSERT_EQ(CCrc32::Compute(data.data() + nOffset, nLength), ReferenceCrc(data.data() + nOffset, nLength))
        << "length " << nLength << " offset " << nOffset;
  }
}

TEST(Crc32Test, StoreAndCheck) {
  std::vector<uint8_t> buffer(1 << 16, 0xAA);
  CCrc32 crc;
  const uint32_t dwStored = crc.Store(buffer.data(), buffer.size());
  EXPECT_EQ(dwStored, ReferenceCrc(buffer.data(), buffer.size()));
  EXPECT_TRUE(crc.Check(buffer.data(), buffer.size()));
  // Any single flipped bit anywhere must be seen.
  for (size_t nAt : {size_t{0}, size_t{1}, buffer.size() / 2, buffer.size() - 1}) {
    buffer[nAt] ^= 0x01;
    EXPECT_FALSE(crc.Check(buffer.data(), buffer.size())) << nAt;
    buffer[nAt] ^= 0x01;
  }
  // An empty range checks only against the empty checksum.
  EXPECT_FALSE(crc.Check(buffer.data(), 0));
  crc.Store(buffer.data(), 0);
  EXPECT_TRUE(crc.Check(nullptr, 0));
}

}  // namespace
}  // namespace stratavon
