// Every Adler-32 path this CPU runs must agree with the portable one, for
// any start value, any data and any split of it.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "Zr_Adler32.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  uint32_t start;
  memcpy(&start, data, 4);
  const size_t cut_seed = static_cast<size_t>(data[4]) << 8 | data[5];
  data += 6;
  size -= 6;
  const size_t cut = size == 0 ? 0 : cut_seed % (size + 1);
  const uint32_t want = Zr_Adler32Path(ZR_ADLER32_PORTABLE, start, data, size);
  for (int p = 0; p < ZR_ADLER32_NR_PATHS; ++p) {
    auto path = static_cast<zr_adler32_path_t>(p);
    if (!Zr_Adler32PathAvailable(path)) continue;
    if (Zr_Adler32Path(path, start, data, size) != want) abort();
    uint32_t split =
        Zr_Adler32Path(path, Zr_Adler32Path(path, start, data, cut), data + cut, size - cut);
    if (split != want) abort();
  }
  if (Zr_Adler32(start, data, size) != want) abort();
  return 0;
}
