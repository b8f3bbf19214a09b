#include "Zr_Adler32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "test_support.h"

namespace {

std::vector<zr_adler32_path_t> AvailablePaths() {
  std::vector<zr_adler32_path_t> paths;
  for (int p = 0; p < ZR_ADLER32_NR_PATHS; ++p) {
    auto path = static_cast<zr_adler32_path_t>(p);
    if (Zr_Adler32PathAvailable(path)) paths.push_back(path);
  }
  return paths;
}

// zlib answers 1 for a null buffer whatever the start value; ours continues
// the start value, as zlib does for any other empty buffer.
uint32_t Zlib(uint32_t adler, const unsigned char* data, size_t len) {
  if (len == 0) return adler;
  return static_cast<uint32_t>(adler32(adler, data, static_cast<uInt>(len)));
}

std::vector<unsigned char> RandomBytes(std::mt19937& rng, size_t len) {
  std::vector<unsigned char> v(len);
  for (auto& b : v) b = static_cast<unsigned char>(rng());
  return v;
}

// Every available path, the dispatcher and zlib agree on one buffer, whole
// and continued from a random split point and a random reduced start value.
void ExpectAllAgree(std::mt19937& rng, const std::vector<unsigned char>& data) {
  const unsigned char* p = data.data();
  const size_t len = data.size();
  const uint32_t start = (rng() % 65521) << 16 | (rng() % 65521);
  const uint32_t want = Zlib(start, p, len);
  const size_t cut = len == 0 ? 0 : rng() % (len + 1);
  for (zr_adler32_path_t path : AvailablePaths()) {
    SCOPED_TRACE(Zr_Adler32PathName(path));
    ASSERT_EQ(Zr_Adler32Path(path, start, p, len), want) << "len " << len;
    ASSERT_EQ(Zr_Adler32Path(path, Zr_Adler32Path(path, start, p, cut), p + cut, len - cut), want)
        << "len " << len << " cut " << cut;
  }
  ASSERT_EQ(Zr_Adler32(start, p, len), want);
}

TEST(Adler32, PathsMatchZlibOnEveryShortLengthAndAroundRunLimits) {
  std::mt19937 rng(1950);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (size_t n = 5552 - 140; n <= 5552 + 140; ++n) lengths.push_back(n);
  for (size_t n = 65536 - 130; n <= 65536 + 130; n += 3) lengths.push_back(n);
  lengths.push_back(1 << 20);
  for (size_t n : lengths) ExpectAllAgree(rng, RandomBytes(rng, n));
}

TEST(Adler32, WorstCaseBytesAndStartValuesNeverOverflow) {
  // All-0xff data with both halves at 65520 gives the largest sums between
  // reductions; an off-by-one in a run length shows up here first.
  std::mt19937 rng(65521);
  for (size_t n : {5503, 5504, 5505, 5536, 5552, 5553, 11104, 11105, 200000}) {
    std::vector<unsigned char> ff(n, 0xff);
    const uint32_t start = 65520u << 16 | 65520u;
    for (zr_adler32_path_t path : AvailablePaths()) {
      SCOPED_TRACE(Zr_Adler32PathName(path));
      EXPECT_EQ(Zr_Adler32Path(path, start, ff.data(), n), Zlib(start, ff.data(), n)) << n;
    }
    ExpectAllAgree(rng, ff);
  }
}

TEST(Adler32, UnreducedStartValueIsReducedFirst) {
  std::mt19937 rng(7);
  auto data = RandomBytes(rng, 1000);
  for (uint32_t start : {0xffffffffu, 0xfff1fff1u, 0x0000fff1u, 0xfff20001u}) {
    uint32_t reduced = ((start >> 16) % 65521) << 16 | ((start & 0xffff) % 65521);
    for (zr_adler32_path_t path : AvailablePaths()) {
      EXPECT_EQ(Zr_Adler32Path(path, start, data.data(), data.size()),
                Zlib(reduced, data.data(), data.size()))
          << Zr_Adler32PathName(path) << " " << std::hex << start;
    }
  }
  EXPECT_EQ(Zr_Adler32(0xffffffffu, nullptr, 0), 14u << 16 | 14u);  // 65535 % 65521
}

TEST(Adler32, RandomSplitsAcrossMixedPathsGiveTheWholeValue) {
  std::mt19937 rng(42);
  auto paths = AvailablePaths();
  for (int round = 0; round < 200; ++round) {
    auto data = RandomBytes(rng, rng() % 20000);
    uint32_t a = ZR_ADLER32_INIT;
    size_t at = 0;
    while (at < data.size()) {
      size_t n = std::min<size_t>(data.size() - at, rng() % 700);
      a = Zr_Adler32Path(paths[rng() % paths.size()], a, data.data() + at, n);
      at += n;
    }
    ASSERT_EQ(a, Zlib(1, data.data(), data.size())) << "round " << round;
  }
}

TEST(Adler32, PathChoiceNamesAndMisuse) {
  auto paths = AvailablePaths();
  const zr_adler32_path_t best = paths.back();
  EXPECT_EQ(paths.front(), ZR_ADLER32_PORTABLE);
  EXPECT_EQ(Zr_Adler32ChoosePath(nullptr), best);
  EXPECT_EQ(Zr_Adler32ChoosePath("portable"), ZR_ADLER32_PORTABLE);
  EXPECT_EQ(Zr_Adler32ChoosePath("no-such-path"), best);
  EXPECT_EQ(Zr_Adler32ChoosePath(""), best);
  for (int p = 0; p < ZR_ADLER32_NR_PATHS; ++p) {
    auto path = static_cast<zr_adler32_path_t>(p);
    EXPECT_EQ(Zr_Adler32ChoosePath(Zr_Adler32PathName(path)),
              Zr_Adler32PathAvailable(path) ? path : best);
  }
  EXPECT_STREQ(Zr_Adler32PathName(ZR_ADLER32_AVX512), "avx512");
  EXPECT_STREQ(Zr_Adler32PathName(static_cast<zr_adler32_path_t>(9)), "unknown");
  // ZR_ADLER32_PATH is read once; the test runs both with and without it.
  EXPECT_EQ(Zr_Adler32ActivePath(), Zr_Adler32ChoosePath(getenv("ZR_ADLER32_PATH")));

  // An unavailable path is reported and the value still comes out right.
  zr_test::AssertRecorder recorder;
  const unsigned char abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(Zr_Adler32Path(static_cast<zr_adler32_path_t>(9), 1, abc, 3), 0x024d0127u);
  auto reports = recorder.Take();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].expr, "Zr_Adler32PathAvailable(path)");
}

// A model of the per-block bookkeeping: one zlib value per block of the
// concatenated data, in order.
TEST(Adler32, BlocksMatchPerBlockModelOverRandomSplits) {
  std::mt19937 rng(3);
  for (unsigned long block : {1ul, 2ul, 3ul, 16ul, 63ul, 64ul, 4096ul, 5553ul, 70000ul}) {
    for (int round = 0; round < 20; ++round) {
      auto data = RandomBytes(rng, rng() % (3 * block + 100));
      unsigned long left = block;
      uint32_t crc = ZR_ADLER32_INIT;
      std::deque<uint32_t> crcs;
      size_t at = 0;
      while (at < data.size()) {
        size_t n = std::min<size_t>(data.size() - at, rng() % (block + 50));
        Zr_Adler32Blocks(block, left, crc, crcs, data.data() + at, n);
        at += n;
      }
      std::deque<uint32_t> want;
      size_t full = data.size() / block;
      for (size_t i = 0; i < full; ++i) want.push_back(Zlib(1, data.data() + i * block, block));
      ASSERT_EQ(crcs, want) << "block " << block;
      size_t tail = data.size() % block;
      EXPECT_EQ(left, block - tail);
      EXPECT_EQ(crc, Zlib(1, data.data() + full * block, tail));
    }
  }
}

TEST(Adler32, BlocksRefuseABlockLeftOfZeroInsteadOfSpinning) {
  zr_test::AssertRecorder recorder;
  unsigned long left = 0;
  uint32_t crc = 1;
  std::deque<uint32_t> crcs;
  const unsigned char x = 'x';
  Zr_Adler32Blocks(8, left, crc, crcs, &x, 1);
  EXPECT_EQ(recorder.Count(), 1u);
  EXPECT_TRUE(crcs.empty());
  EXPECT_EQ(crc, 1u);
}

}  // namespace
