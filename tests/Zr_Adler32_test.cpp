#include "Zr_Adler32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "test_support.h"

namespace {

// Every available path (whole and continued from a random split) and the
// dispatcher agree with zlib, which is given the start value reduced.
void ExpectAllAgree(std::mt19937& rng, const std::vector<unsigned char>& data, uint32_t start) {
  const unsigned char* p = data.data();
  const size_t len = data.size(), cut = rng() % (len + 1);
  const uint32_t reduced = ((start >> 16) % 65521) << 16 | ((start & 0xffff) % 65521);
  // zlib answers 1 for a null buffer whatever the start value.
  const uint32_t want = len == 0 ? reduced : adler32(reduced, p, static_cast<uInt>(len));
  for (auto path = ZR_ADLER32_PORTABLE; path < ZR_ADLER32_NR_PATHS;
       path = zr_adler32_path_t(path + 1)) {
    if (!Zr_Adler32PathAvailable(path)) continue;
    SCOPED_TRACE(std::string(Zr_Adler32PathName(path)) + " len " + std::to_string(len));
    ASSERT_EQ(Zr_Adler32Path(path, start, p, len), want);
    ASSERT_EQ(Zr_Adler32Path(path, Zr_Adler32Path(path, start, p, cut), p + cut, len - cut), want)
        << "cut " << cut;
  }
  ASSERT_EQ(Zr_Adler32(start, p, len), want);
}

TEST(Adler32, PathsMatchZlibOnRandomAndWorstCaseData) {
  std::mt19937 rng(1950);
  std::vector<size_t> lengths = {1 << 20};
  size_t wide = 1;  // the length from which Zr_Adler32 takes a wider path, if it does
  while (wide < 65536 && Zr_Adler32PathFor(wide) == Zr_Adler32PathFor(0)) ++wide;
  for (size_t n = 0; n <= (wide < 65536 ? 2 * wide : 300); ++n) lengths.push_back(n);
  for (size_t n = 5552 - 140; n <= 5552 + 140; ++n) lengths.push_back(n);
  for (size_t n = 65536 - 130; n <= 65536 + 130; n += 3) lengths.push_back(n);
  for (size_t n : lengths) {
    std::vector<unsigned char> data(n);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    ExpectAllAgree(rng, data, (rng() % 65521) << 16 | (rng() % 65521));
  }
  // All-0xff data from the largest start value gives the largest sums between
  // reductions; an off-by-one in a run length shows up here first.
  for (size_t n : {5440, 5503, 5504, 5505, 5536, 5552, 5553, 10816, 11104, 11105, 200000})
    ExpectAllAgree(rng, std::vector<unsigned char>(n, 0xff), 65520u << 16 | 65520u);
  // Start values with halves at or above the modulus are reduced first, which
  // only the result for no data shows directly.
  for (uint32_t start : {0xffffffffu, 0xfff1fff1u, 0xfff20001u})
    for (size_t n : {0, 5552}) ExpectAllAgree(rng, std::vector<unsigned char>(n, 0xff), start);
}

TEST(Adler32, PathChoiceAndMisuse) {
  auto best = ZR_ADLER32_PORTABLE;
  for (int p = 1; p < ZR_ADLER32_NR_PATHS; ++p)
    if (Zr_Adler32PathAvailable(zr_adler32_path_t(p))) best = zr_adler32_path_t(p);
  EXPECT_EQ(Zr_Adler32ChoosePath(nullptr), best);
  // Names outside the enumeration read "unknown" and choose the best path.
  for (int p = -1; p <= ZR_ADLER32_NR_PATHS; ++p) {
    const auto path = zr_adler32_path_t(p);
    EXPECT_EQ(std::string(Zr_Adler32PathName(path)) == "unknown",
              p < 0 || p == ZR_ADLER32_NR_PATHS);
    EXPECT_EQ(Zr_Adler32ChoosePath(Zr_Adler32PathName(path)),
              Zr_Adler32PathAvailable(path) ? path : best);
  }
  // ctest runs this binary with and without ZR_SIMD and ZR_ADLER32_PATH set.
  const char* ceiling = getenv("ZR_SIMD") ? getenv("ZR_SIMD") : getenv("ZR_ADLER32_PATH");
  EXPECT_EQ(Zr_Adler32ActivePath(), Zr_Adler32ChoosePath(ceiling));

  // An unavailable path is reported and still computes the value; block
  // bookkeeping that could never advance, or is past its block, is reported.
  zr_test::AssertRecorder recorder;
  const unsigned char abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(Zr_Adler32Path(zr_adler32_path_t(9), 1, abc, 3), 0x024d0127u);
  uint32_t crc = 1;
  std::deque<uint32_t> crcs;
  for (unsigned long left : {0ul, 9ul}) Zr_Adler32Blocks(8, left, crc, crcs, abc, 3);
  EXPECT_TRUE(crcs.empty());
  EXPECT_EQ(recorder.Exprs(),
            (std::vector<std::string>{"Zr_Adler32PathAvailable(path)",
                                      "block_left > 0 && block_left <= block_size",
                                      "block_left > 0 && block_left <= block_size"}));
}

}  // namespace
