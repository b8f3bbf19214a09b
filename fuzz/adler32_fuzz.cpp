// Every Adler-32 path this CPU runs must give the byte-at-a-time value of
// RFC 1950, for any start value, any data and any split of it, and the block
// bookkeeping of the checksummed streams must checksum each block alone.
//
// Input: 4 bytes start value, 2 bytes cut, 1 byte repeat, 2 bytes block
// size, then the data, which is repeated 1 + repeat % 16 times so that long
// runs (past the 5552-byte reduction interval of the vector paths) come from
// small inputs.
#include <deque>
#include <string>

#include "Zr_Adler32.h"
#include "fuzz_support.h"

using zr_fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t input_size) {
  zr_fuzz::Input in{input, input_size};
  const uint32_t start = in.Take(4), cut_seed = in.Take(2), repeat = 1 + in.Take(1) % 16;
  const unsigned long block = 1 + in.Take(2) % 6000;
  std::string bytes;
  for (uint32_t i = 0; i < repeat; ++i) bytes.append(reinterpret_cast<const char*>(in.p), in.n);
  const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t size = bytes.size(), cut = cut_seed * repeat % (size + 1);

  const uint32_t want = zr_fuzz::ModelAdler32(start, data, size);
  for (int p = 0; p < ZR_ADLER32_NR_PATHS; ++p) {
    auto path = static_cast<zr_adler32_path_t>(p);
    if (!Zr_Adler32PathAvailable(path)) continue;
    Check(Zr_Adler32Path(path, start, data, size) == want);
    Check(Zr_Adler32Path(path, Zr_Adler32Path(path, start, data, cut), data + cut, size - cut) ==
          want);
  }
  Check(Zr_Adler32(start, data, size) == want);

  // Fed in two pieces split at `cut`, the blocks come out as if whole.
  unsigned long left = block;
  uint32_t crc = ZR_ADLER32_INIT;
  std::deque<uint32_t> crcs;
  Zr_Adler32Blocks(block, left, crc, crcs, data, cut);
  Zr_Adler32Blocks(block, left, crc, crcs, data + cut, size - cut);
  Check(crcs.size() == size / block && left == block - size % block);
  for (size_t i = 0; i < crcs.size(); ++i)
    Check(crcs[i] == zr_fuzz::ModelAdler32(ZR_ADLER32_INIT, data + i * block, block));
  Check(crc == zr_fuzz::ModelAdler32(ZR_ADLER32_INIT, data + crcs.size() * block, size % block));
  return 0;
}
