// Setting, comparing and matching bit runs, checked against a model of
// single bits on random data. Every buffer is a heap block of exactly the
// bytes that hold its run, so AddressSanitizer flags a read or write of any
// byte outside it.
#include "Zr_BitArray.h"
#include "Zr_Utils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

namespace {

size_t BytesFor(uint64_t offset, uint64_t n) { return n == 0 ? 0 : (offset + n + 7) / 8; }

// A heap block of random bytes with a model of each of its bits.
struct Block {
  Block(std::mt19937_64& rng, size_t size) : bytes(new unsigned char[size]), bits(size * 8) {
    for (size_t i = 0; i < size * 8; ++i) Set(i, rng() & 1);
  }
  void Set(size_t i, bool v) {
    bits[i] = v;
    const unsigned char mask = static_cast<unsigned char>(1u << (i % 8));
    bytes[i / 8] = v ? (bytes[i / 8] | mask) : (bytes[i / 8] & ~mask);
  }
  bool BytesMatchModel() const {
    for (size_t i = 0; i < bits.size(); ++i)
      if (((bytes[i / 8] >> (i % 8)) & 1) != bits[i]) return false;
    return true;
  }
  char* chars() { return reinterpret_cast<char*>(bytes.get()); }

  std::unique_ptr<unsigned char[]> bytes;
  std::vector<bool> bits;
};

int ModelCompare(const Block& a, size_t ao, const Block& b, size_t bo, size_t n) {
  for (size_t i = n; i-- > 0;)
    if (a.bits[ao + i] != b.bits[bo + i]) return a.bits[ao + i] ? 1 : -1;
  return 0;
}

// Runs of n bits at offsets ao and bo that hold the same bits, random bits
// around them, then `flips` (positions within the run) flipped in b.
void CheckPair(std::mt19937_64& rng, size_t n, size_t ao, size_t bo,
               const std::vector<size_t>& flips) {
  Block a(rng, BytesFor(ao, n)), b(rng, BytesFor(bo, n));
  for (size_t i = 0; i < n; ++i) b.Set(bo + i, a.bits[ao + i]);
  for (size_t f : flips) b.Set(bo + f, !b.bits[bo + f]);
  SCOPED_TRACE(testing::Message() << "n=" << n << " offsets " << ao << "," << bo);
  const int want = ModelCompare(a, ao, b, bo, n);
  EXPECT_EQ(Zr_BitArrayLittleEndianCompare(a.chars(), ao, b.chars(), bo, n), want);
  EXPECT_EQ(Zr_BitArrayLittleEndianCompare(b.chars(), bo, a.chars(), ao, n), -want);
  EXPECT_EQ(_Zr_BitArrayLittleEndianCompare(a.chars(), ao, b.chars(), bo, n), want);
  const Zr_BitSize size(n / 8, static_cast<uint8_t>(n % 8));
  EXPECT_EQ(Zr_BitArrayLittleEndianCompare(Zr_BitPointer(a.chars(), 0) + Zr_BitSize(0, ao),
                                           Zr_BitPointer(b.chars(), 0) + Zr_BitSize(0, bo), size),
            want);
  EXPECT_EQ(Zr_MatchBits(a.bytes.get(), b.bytes.get(), ao, bo, n), want == 0 ? 1 : 0);

  const bool value = rng() & 1;
  Zr_BitArraySet(a.chars(), ao, value, n);
  for (size_t i = 0; i < n; ++i) a.bits[ao + i] = value;
  EXPECT_TRUE(a.BytesMatchModel());
}

TEST(BitArrayModel, EveryLengthUpTo300AndEveryOffsetPair) {
  std::mt19937_64 rng(20261206);
  for (size_t n = 0; n <= 300; ++n) {
    for (size_t ao = 0; ao < 8; ++ao) {
      for (size_t bo = 0; bo < 8; ++bo) {
        CheckPair(rng, n, ao, bo, {});
        if (n == 0) continue;
        CheckPair(rng, n, ao, bo, {rng() % n});
        CheckPair(rng, n, ao, bo, {n - 1});
        CheckPair(rng, n, ao, bo, {0});
      }
      if (HasFailure()) return;  // one broken length is enough to read
    }
  }
}

// Longer runs and offsets past the first byte, with differences placed
// anywhere, including the edges of the many-bit steps.
TEST(BitArrayModel, LongRunsLargeOffsetsAndSeveralDifferences) {
  std::mt19937_64 rng(77);
  for (int round = 0; round < 1500 && !HasFailure(); ++round) {
    const size_t n = 1 + rng() % 4000, ao = rng() % 70, bo = rng() % 70;
    std::vector<size_t> flips;
    for (size_t k = rng() % 4; k-- > 0;) flips.push_back(rng() % n);
    if (round % 3 == 0) flips = {n - 1 - rng() % std::min<size_t>(n, 300)};
    CheckPair(rng, n, ao, bo, flips);
  }
}

TEST(BitArraySet, SetsAndClearsAcrossAByteBoundary) {
  std::unique_ptr<char[]> bytes(new char[2]());
  Zr_BitArraySet(bytes.get(), 3, 1, 10);
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xF8);
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0x1F);
  bytes[0] |= 0x07;
  bytes[1] |= static_cast<char>(0xE0);
  Zr_BitArraySet(bytes.get(), 3, 0, 10);
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0x07);  // bits 0-2 and 13-15 kept
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xE0);
}

// Only 0 and 1 are values. A negative value is refused like 2 (as -1 it
// would once have set every bit of the bytes it touched).
TEST(BitArraySet, RejectsNullArraysAndBadValuesBeforeTouchingABit) {
  Zr_BitArraySet(nullptr, 0, 1, 0);
  const auto errno_of = [](char* array, char value, unsigned long count) {
    try {
      Zr_BitArraySet(array, 4, value, count);
    } catch (const Zr_ErrnoException& e) {
      char text[128];
      EXPECT_STREQ(e.GetString(text, sizeof text), strerror(EINVAL));  // no message of its own
      return e.GetErrno();
    }
    return 0;
  };
  char byte = 0x5A;
  EXPECT_EQ(errno_of(nullptr, 1, 5), EINVAL);
  EXPECT_EQ(errno_of(nullptr, 2, 0), EINVAL);
  for (char bad : {static_cast<char>(2), static_cast<char>(-1), static_cast<char>(-128),
                   static_cast<char>(127)}) {
    EXPECT_EQ(errno_of(&byte, bad, 3), EINVAL) << int(bad);
    EXPECT_EQ(errno_of(&byte, bad, 0), EINVAL) << int(bad);
  }
  EXPECT_EQ(byte, 0x5A);
}

TEST(BitArrayToStream, WritesLeastSignificantBitFirst) {
  const auto text = [](char* start, uint8_t bit, Zr_BitSize size) {
    std::ostringstream out;
    out.width(20);  // no fill is written
    EXPECT_EQ(&BitArrayToStream(Zr_BitPointer(start, bit), size, out), &out);
    return out.str();
  };
  std::unique_ptr<char[]> bytes(new char[2]{0x40, 0x01});
  EXPECT_EQ(text(bytes.get(), 6, Zr_BitSize(0, 3)), "101");
  EXPECT_EQ(text(bytes.get(), 0, Zr_BitSize(0, 0)), "");
  EXPECT_EQ(text(nullptr, 0, Zr_BitSize()), "");
  bytes[0] = 0x01;
  EXPECT_EQ(text(bytes.get(), 0, Zr_BitSize(1, 0)), "10000000");
  EXPECT_EQ(text(bytes.get(), 14, Zr_BitSize(0, 2)), "00");  // bit 14 is bit 6 of byte 1

  std::mt19937_64 rng(5);  // longer than one internal block of text
  const size_t n = 5000;
  Block block(rng, BytesFor(3, n));
  std::string want;
  for (size_t i = 0; i < n; ++i) want += block.bits[3 + i] ? '1' : '0';
  EXPECT_EQ(text(block.chars(), 3, Zr_BitSize(n / 8, n % 8)), want);
}

}  // namespace
