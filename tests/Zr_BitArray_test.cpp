// Setting, comparing and matching bit runs against a model of single bits on
// random data. Each buffer is a heap block of exactly the bytes of its run,
// so AddressSanitizer flags any stray read or write.
#include "Zr_BitArray.h"
#include "Zr_Utils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

namespace {

// Packs `bits` into a heap block of exactly their bytes.
std::unique_ptr<char[]> Pack(const std::vector<bool>& bits) {
  std::unique_ptr<char[]> bytes(new char[bits.size() / 8]());
  for (size_t i = 0; i < bits.size(); ++i) bytes[i / 8] |= static_cast<char>(bits[i] << (i % 8));
  return bytes;
}

// Equal runs of n bits at offsets ao and bo amid random bits (all zero for
// even n, so the flips are the only differences and a search that skips a
// place cannot stumble on another one), then the run bits in `flips` (those
// below n) flipped in b: both compares and matching against the model, then
// setting a's run.
void CheckPair(std::mt19937_64& rng, size_t n, size_t ao, size_t bo, std::vector<size_t> flips) {
  std::vector<bool> a(n ? (ao + n + 7) / 8 * 8 : 0), b(n ? (bo + n + 7) / 8 * 8 : 0);
  for (auto* bits : {&a, &b})
    for (auto&& bit : *bits) bit = (rng() & 1) && n % 2;
  for (size_t i = 0; i < n; ++i) b[bo + i] = a[ao + i];
  for (size_t f : flips)
    if (f < n) b[bo + f] = !b[bo + f];
  int want = 0;
  for (size_t i = n; i-- > 0 && want == 0;) want = a[ao + i] - b[bo + i];
  SCOPED_TRACE(testing::Message() << "n=" << n << " offsets " << ao << "," << bo);
  const auto pa = Pack(a), pb = Pack(b);
  EXPECT_EQ(Zr_BitArrayLittleEndianCompare(pa.get(), ao, pb.get(), bo, n), want);
  EXPECT_EQ(_Zr_BitArrayLittleEndianCompare(pa.get(), ao, pb.get(), bo, n), want);
  const auto u = [](char* p) { return reinterpret_cast<unsigned char*>(p); };
  EXPECT_EQ(Zr_MatchBits(u(pa.get()), u(pb.get()), ao, bo, n), want == 0);
  const bool value = rng() & 1;
  Zr_BitArraySet(pa.get(), ao, value, n);
  for (size_t i = 0; i < a.size(); ++i)
    ASSERT_EQ((pa[i / 8] >> (i % 8)) & 1, i >= ao && i < ao + n ? value : a[i]) << i;
}

TEST(BitArrayModel, EveryLengthAndOffsetPairThenLongRuns) {
  std::mt19937_64 rng(20261206);
  for (size_t n = 0; n <= 300 && !HasFailure(); ++n)
    for (size_t ao = 0; ao < 8; ++ao)
      for (size_t bo = 0; bo < 8; ++bo)
        for (size_t f : {n, size_t(rng() % (n + 1)), n - 1, size_t(0)})
          CheckPair(rng, n, ao, bo, {f});
  // Offsets past the first byte and several differences, often near the top
  // where the many-bit steps start.
  for (int round = 0; round < 1500 && !HasFailure(); ++round) {
    const size_t n = 1 + rng() % 4000, ao = rng() % 70, bo = rng() % 70;
    const size_t top = n - 1 - rng() % std::min<size_t>(n, 300);  // or none
    CheckPair(rng, n, ao, bo, {rng() % (2 * n), rng() % (2 * n), round % 3 ? n : top});
  }
}

// The text form, then argument errors: EINVAL with an empty
// message, before any bit is touched. -1 as a value once set every bit of
// the bytes it touched.
TEST(BitArray, ExamplesAndArgumentErrors) {
  const auto text = [](void* start, uint8_t bit, Zr_BitSize size) {
    std::ostringstream out;
    out.width(20);  // no fill is written
    EXPECT_EQ(&BitArrayToStream(Zr_BitPointer(static_cast<char*>(start), bit), size, out), &out);
    return out.str();
  };
  unsigned char bytes[3] = {0x00, 0x40, 0x01};
  EXPECT_EQ(text(bytes, 14, Zr_BitSize(0, 3)), "101");  // m_bit above 7 counts as an offset
  EXPECT_EQ(text(bytes + 2, 0, Zr_BitSize(1, 0)), "10000000");
  EXPECT_EQ(text(nullptr, 0, Zr_BitSize()), "");
  std::vector<unsigned char> ones(200, 0xFF);  // longer than one block of text
  EXPECT_EQ(text(ones.data(), 3, Zr_BitSize(199, 5)), std::string(199 * 8 + 5, '1'));
  const auto expect_einval = [](auto call) {
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const Zr_ErrnoException& e) {
      char message[128];
      EXPECT_EQ(e.GetErrno(), EINVAL);
      EXPECT_STREQ(e.GetString(message, sizeof message), strerror(EINVAL));
    }
  };
  char byte = 0x5A;
  for (int value : {2, -1, -128, 127})
    for (char* array : {&byte, static_cast<char*>(nullptr)})
      for (unsigned long count : {0, 3})
        expect_einval([&] { Zr_BitArraySet(array, 4, static_cast<char>(value), count); });
  expect_einval([&] { Zr_BitArraySet(nullptr, 0, 1, 5); });
  Zr_BitArraySet(nullptr, 13, 1, 0);
  EXPECT_EQ(byte, 0x5A);
  using Compare = int (*)(char const*, unsigned long, char const*, unsigned long, unsigned long);
  for (Compare compare :
       {Compare(Zr_BitArrayLittleEndianCompare), _Zr_BitArrayLittleEndianCompare}) {
    EXPECT_EQ(compare(nullptr, 0, nullptr, 3, 0), 0);
    expect_einval([&] { compare(&byte, 0, nullptr, 0, 1); });
    expect_einval([&] { compare(nullptr, 0, &byte, 0, 1); });
  }
}

}  // namespace
