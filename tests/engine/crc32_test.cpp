#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "workers/BackgroundCheck.h"
#include "engine/Crc32.h"
#include "platform/CrcKernel.h"
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
    // The portable kernel, which the Windows build uses, on the same data.
    ASSERT_EQ(CrcMpeg2UpdatePortable(0xFFFFFFFFu, data.data() + nOffset, nLength),
              ReferenceCrc(data.data() + nOffset, nLength))
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

// The background check hands verdicts back one buffer at a time; two
// buffers alternate as the read engine uses them, one of them bad now and then.
TEST(BackgroundCheckTest, VerdictsFollowTheBuffersPosted) {
  std::vector<uint8_t> good(kOverlapCheckBytes, 0x5A);
  std::vector<uint8_t> other(good);
  CCrc32 crc;
  crc.Store(good.data(), good.size());
  CBackgroundCheck check;
  ASSERT_TRUE(check.Start(crc));
  EXPECT_TRUE(check.Take()) << "nothing posted: nothing to find";
  for (int i = 0; i < 2000; ++i) {
    const bool bSpoil = i % 7 == 3;
    std::vector<uint8_t>& buffer = i % 2 == 0 ? good : other;
    if (bSpoil) buffer[static_cast<size_t>(i) * 97 % buffer.size()] ^= 0x10;
    check.Post(buffer.data(), buffer.size());
    EXPECT_TRUE(check.Pending());
    ASSERT_EQ(check.Take(), !bSpoil) << "post " << i;
    EXPECT_FALSE(check.Pending());
    if (bSpoil) buffer[static_cast<size_t>(i) * 97 % buffer.size()] ^= 0x10;
  }
  // Stopping with a buffer posted waits for that check and ends the thread.
  check.Post(good.data(), good.size());
  check.Stop();
  EXPECT_FALSE(check.Running());
  EXPECT_FALSE(check.Pending());
  // And it can run again.
  ASSERT_TRUE(check.Start(crc));
  check.Post(other.data(), other.size());
  EXPECT_TRUE(check.Take());
}

}  // namespace
}  // namespace stratavon
