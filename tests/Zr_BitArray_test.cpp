// Setting, comparing and matching bit runs, checked against a model of
// single bits on random data. Every buffer is a heap block of exactly the
// bytes that hold its run, so AddressSanitizer flags a read or write of any
// byte outside it.
#include "Zr_BitArray.h"
#include "Zr_Utils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

namespace {

// A heap block of `size` random bytes with a model of each of its bits.
struct Block {
  Block(std::mt19937_64& rng, size_t size) : bytes(new unsigned char[size]), bits(size * 8) {
    for (size_t i = 0; i < size * 8; ++i) Set(i, rng() & 1);
  }
  void Set(size_t i, bool v) {
    bits[i] = v;
    bytes[i / 8] = static_cast<unsigned char>((bytes[i / 8] & ~(1u << (i % 8))) | (v << (i % 8)));
  }
  bool Bit(size_t i) const { return (bytes[i / 8] >> (i % 8)) & 1; }
  char* chars() { return reinterpret_cast<char*>(bytes.get()); }

  std::unique_ptr<unsigned char[]> bytes;
  std::vector<bool> bits;
};

size_t BytesFor(size_t offset, size_t n) { return n == 0 ? 0 : (offset + n + 7) / 8; }

// Runs of n bits at offsets ao and bo that hold the same bits, random bits
// around them, then the run positions in `flips` flipped in b. Checks both
// compares and matching against the model, then setting a's run.
void CheckPair(std::mt19937_64& rng, size_t n, size_t ao, size_t bo,
               const std::vector<size_t>& flips) {
  Block a(rng, BytesFor(ao, n)), b(rng, BytesFor(bo, n));
  for (size_t i = 0; i < n; ++i) b.Set(bo + i, a.bits[ao + i]);
  for (size_t f : flips) b.Set(bo + f, !b.bits[bo + f]);
  int want = 0;
  for (size_t i = n; i-- > 0 && want == 0;) want = a.bits[ao + i] - b.bits[bo + i];
  SCOPED_TRACE(testing::Message() << "n=" << n << " offsets " << ao << "," << bo);
  EXPECT_EQ(Zr_BitArrayLittleEndianCompare(a.chars(), ao, b.chars(), bo, n), want);
  EXPECT_EQ(_Zr_BitArrayLittleEndianCompare(a.chars(), ao, b.chars(), bo, n), want);
  EXPECT_EQ(Zr_MatchBits(a.bytes.get(), b.bytes.get(), ao, bo, n), want == 0 ? 1 : 0);

  const bool value = rng() & 1;
  Zr_BitArraySet(a.chars(), ao, value, n);
  for (size_t i = 0; i < a.bits.size(); ++i)
    ASSERT_EQ(a.Bit(i), i >= ao && i < ao + n ? value : a.bits[i]) << "bit " << i;
}

TEST(BitArrayModel, EveryLengthUpTo300AndEveryOffsetPair) {
  std::mt19937_64 rng(20261206);
  for (size_t n = 0; n <= 300 && !HasFailure(); ++n) {
    for (size_t ao = 0; ao < 8; ++ao) {
      for (size_t bo = 0; bo < 8; ++bo) {
        CheckPair(rng, n, ao, bo, {});
        if (n == 0) continue;
        CheckPair(rng, n, ao, bo, {rng() % n});
        CheckPair(rng, n, ao, bo, {n - 1});
        CheckPair(rng, n, ao, bo, {0});
      }
    }
  }
}

// Longer runs, offsets past the first byte, and several differences placed
// anywhere, including near the top where the many-bit steps start.
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
  std::unique_ptr<unsigned char[]> bytes(new unsigned char[2]());
  Zr_BitArraySet(reinterpret_cast<char*>(bytes.get()), 3, 1, 10);
  EXPECT_EQ(bytes[0], 0xF8);
  EXPECT_EQ(bytes[1], 0x1F);
  bytes[0] = 0xFF, bytes[1] = 0xFF;
  Zr_BitArraySet(reinterpret_cast<char*>(bytes.get()), 3, 0, 10);
  EXPECT_EQ(bytes[0], 0x07);  // bits 0-2 and 13-15 kept
  EXPECT_EQ(bytes[1], 0xE0);
}

// Every argument error is EINVAL without a message of its own, raised
// before any bit is touched. Only 0 and 1 are values: -1 would once have set
// every bit of the bytes it touched.
TEST(BitArrayErrors, NullArraysAndBadValuesThrowEinval) {
  const auto expect_einval = [](const std::function<void()>& call) {
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const Zr_ErrnoException& e) {
      char text[128];
      EXPECT_EQ(e.GetErrno(), EINVAL);
      EXPECT_STREQ(e.GetString(text, sizeof text), strerror(EINVAL));
    }
  };
  char byte = 0x5A;
  for (int value : {2, -1, -128, 127})
    for (char* array : {&byte, static_cast<char*>(nullptr)})
      for (unsigned long count : {0, 3})
        expect_einval([&] { Zr_BitArraySet(array, 4, static_cast<char>(value), count); });
  expect_einval([&] { Zr_BitArraySet(nullptr, 0, 1, 5); });
  Zr_BitArraySet(nullptr, 0, 1, 0);
  EXPECT_EQ(byte, 0x5A);
  using Compare = int (*)(char const*, unsigned long, char const*, unsigned long, unsigned long);
  for (Compare compare :
       {Compare(Zr_BitArrayLittleEndianCompare), Compare(_Zr_BitArrayLittleEndianCompare)}) {
    EXPECT_EQ(compare(nullptr, 0, nullptr, 3, 0), 0);
    expect_einval([&] { compare(&byte, 0, nullptr, 0, 1); });
    expect_einval([&] { compare(nullptr, 0, &byte, 0, 1); });
  }
}

TEST(BitArrayToStream, WritesLeastSignificantBitFirst) {
  const auto text = [](const void* start, uint8_t bit, Zr_BitSize size) {
    std::ostringstream out;
    out.width(20);  // no fill is written
    char* p = static_cast<char*>(const_cast<void*>(start));
    EXPECT_EQ(&BitArrayToStream(Zr_BitPointer(p, bit), size, out), &out);
    return out.str();
  };
  const unsigned char bytes[2] = {0x40, 0x01};
  EXPECT_EQ(text(bytes, 6, Zr_BitSize(0, 3)), "101");
  EXPECT_EQ(text(nullptr, 0, Zr_BitSize()), "");
  EXPECT_EQ(text(bytes + 1, 0, Zr_BitSize(1, 0)), "10000000");
  EXPECT_EQ(text(bytes, 14, Zr_BitSize(0, 2)), "00");  // bit 14 is bit 6 of byte 1
  const std::vector<unsigned char> ones(200, 0xFF);    // longer than one block of text
  EXPECT_EQ(text(ones.data(), 3, Zr_BitSize(199, 5)), std::string(199 * 8 + 5, '1'));
}

}  // namespace
