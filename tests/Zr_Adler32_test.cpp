#include "Zr_Adler32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "test_support.h"

namespace {

std::vector<zr_adler32_path_t> AvailablePaths() {
  std::vector<zr_adler32_path_t> paths;
  for (int p = 0; p < ZR_ADLER32_NR_PATHS; ++p) {
    if (Zr_Adler32PathAvailable(static_cast<zr_adler32_path_t>(p))) {
      paths.push_back(static_cast<zr_adler32_path_t>(p));
    }
  }
  return paths;
}

// zlib answers 1 for a null buffer whatever the start value; ours continues
// the start value, as zlib does for any other empty buffer.
uint32_t Zlib(uint32_t adler, const unsigned char* data, size_t len) {
  return len == 0 ? adler : static_cast<uint32_t>(adler32(adler, data, static_cast<uInt>(len)));
}

// Every available path, the dispatcher and zlib agree on one buffer, whole
// and continued from a random split point, from the given start value (a
// random reduced one by default).
void ExpectAllAgree(std::mt19937& rng, const std::vector<unsigned char>& data, uint32_t start = 0) {
  const unsigned char* p = data.data();
  const size_t len = data.size();
  if (start == 0) start = (rng() % 65521) << 16 | (rng() % 65521);
  const uint32_t want = Zlib(start, p, len);
  const size_t cut = rng() % (len + 1);
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
  for (size_t n : lengths) {
    std::vector<unsigned char> data(n);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    ExpectAllAgree(rng, data);
  }
}

// All-0xff data from the largest start value gives the largest sums between
// reductions; an off-by-one in a run length shows up here first.
TEST(Adler32, WorstCaseBytesNeverOverflowAndStartValuesAreReduced) {
  std::mt19937 rng(65521);
  for (size_t n : {5503, 5504, 5505, 5536, 5552, 5553, 11104, 11105, 200000}) {
    ExpectAllAgree(rng, std::vector<unsigned char>(n, 0xff), 65520u << 16 | 65520u);
  }
  const std::vector<unsigned char> data(1000, 0xa5);
  for (uint32_t start : {0xffffffffu, 0xfff1fff1u, 0xfff20001u}) {
    uint32_t reduced = ((start >> 16) % 65521) << 16 | ((start & 0xffff) % 65521);
    for (zr_adler32_path_t path : AvailablePaths()) {
      EXPECT_EQ(Zr_Adler32Path(path, start, data.data(), data.size()),
                Zlib(reduced, data.data(), data.size()))
          << Zr_Adler32PathName(path) << " " << std::hex << start;
    }
  }
}

TEST(Adler32, PathChoiceAndMisuse) {
  const zr_adler32_path_t best = AvailablePaths().back();
  EXPECT_EQ(Zr_Adler32ChoosePath(nullptr), best);
  EXPECT_EQ(Zr_Adler32ChoosePath("no-such-path"), best);
  for (int p = 0; p < ZR_ADLER32_NR_PATHS; ++p) {
    auto path = static_cast<zr_adler32_path_t>(p);
    EXPECT_EQ(Zr_Adler32ChoosePath(Zr_Adler32PathName(path)),
              Zr_Adler32PathAvailable(path) ? path : best);
  }
  EXPECT_STREQ(Zr_Adler32PathName(static_cast<zr_adler32_path_t>(9)), "unknown");
  // ctest runs this binary with and without ZR_ADLER32_PATH=portable.
  EXPECT_EQ(Zr_Adler32ActivePath(), Zr_Adler32ChoosePath(getenv("ZR_ADLER32_PATH")));

  // An unavailable path is reported and the value still comes out right; a
  // block bookkeeping that could never advance is reported, not spun on.
  zr_test::AssertRecorder recorder;
  const unsigned char abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(Zr_Adler32Path(static_cast<zr_adler32_path_t>(9), 1, abc, 3), 0x024d0127u);
  unsigned long left = 0;
  uint32_t crc = 1;
  std::deque<uint32_t> crcs;
  Zr_Adler32Blocks(8, left, crc, crcs, abc, 3);
  EXPECT_TRUE(crcs.empty());
  EXPECT_EQ(recorder.Exprs(),
            (std::vector<std::string>{"Zr_Adler32PathAvailable(path)",
                                      "block_left > 0 && block_left <= block_size"}));
}

}  // namespace
