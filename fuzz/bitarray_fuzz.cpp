// Fuzzes the bit-array operations: on arbitrary runs, the fast compare must
// agree with the bit-at-a-time reference and with a direct model, matching
// with equality, the text form with the bits, and setting must change
// exactly the run's bits. Every run lives in a heap block of exactly the
// bytes that hold it, so the address sanitizer traps any byte read or written
// outside.
//
// Input: a offset, b offset, mode, two bytes of count, then the bytes that
// fill a and b (repeated as needed). Mode bit 0 copies a's run into b, so
// the fast paths see long equal stretches; bit 1 then flips the bit of b's run
// that bits 2..7 pick. Bit 2 also hands short runs to the bit-pointer forms
// as an unnormalised size (0 bytes and n bits).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <sstream>
#include <string>

#include "Zr_BitArray.h"
#include "Zr_Utils.h"
#include "fuzz_support.h"

namespace {

int Bit(const unsigned char* p, uint64_t i) { return (p[i / 8] >> (i % 8)) & 1; }

void Flip(unsigned char* p, uint64_t i) { p[i / 8] ^= static_cast<unsigned char>(1u << (i % 8)); }

std::unique_ptr<unsigned char[]> Fill(size_t bytes, const uint8_t* data, size_t size,
                                      size_t& next) {
  std::unique_ptr<unsigned char[]> block(new unsigned char[bytes]);
  for (size_t i = 0; i < bytes; ++i) block[i] = size ? data[next++ % size] : 0;
  return block;
}

using zr_fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const unsigned ao = data[0] % 64, bo = data[1] % 64, mode = data[2];
  const uint64_t n = (data[3] | (data[4] << 8)) % 6000;
  data += 5;
  size -= 5;
  size_t next = 0;
  const size_t a_bytes = Zr_BitsToBytes(ao + n) * (n != 0),
               b_bytes = Zr_BitsToBytes(bo + n) * (n != 0);
  auto a = Fill(a_bytes, data, size, next), b = Fill(b_bytes, data, size, next);
  if (mode & 1) {
    for (uint64_t i = 0; i < n; ++i)
      if (Bit(a.get(), ao + i) != Bit(b.get(), bo + i)) Flip(b.get(), bo + i);
    if ((mode & 2) && n != 0) Flip(b.get(), bo + (mode >> 2) * n / 64);
  }

  int model = 0;
  for (uint64_t i = n; i-- > 0 && model == 0;) model = Bit(a.get(), ao + i) - Bit(b.get(), bo + i);
  const char* ca = reinterpret_cast<const char*>(a.get());
  const char* cb = reinterpret_cast<const char*>(b.get());
  Check(Zr_BitArrayLittleEndianCompare(ca, ao, cb, bo, n) == model);
  Check(Zr_BitArrayLittleEndianCompare(cb, bo, ca, ao, n) == -model);
  Check(_Zr_BitArrayLittleEndianCompare(ca, ao, cb, bo, n) == model);
  Check(Zr_MatchBits(a.get(), b.get(), ao, bo, static_cast<unsigned>(n)) == (model == 0));
  const Zr_BitPointer pa(const_cast<char*>(ca), static_cast<uint8_t>(ao)),
      pb(const_cast<char*>(cb), static_cast<uint8_t>(bo));
  const Zr_BitSize bits = n < 256 && (mode & 4) ? Zr_BitSize(0, static_cast<uint8_t>(n))
                                                : Zr_BitSize(n / 8, static_cast<uint8_t>(n % 8));
  Check(Zr_BitArrayLittleEndianCompare(pa, pb, bits) == model);
  Check(_Zr_BitArrayLittleEndianCompare(pa, pb, bits) == model);

  std::ostringstream text;
  std::string want;
  for (uint64_t i = 0; i < n; ++i) want += static_cast<char>('0' + Bit(a.get(), ao + i));
  BitArrayToStream(pa, bits, text);
  Check(text.str() == want);

  std::unique_ptr<unsigned char[]> before(new unsigned char[a_bytes]);
  if (a_bytes) memcpy(before.get(), a.get(), a_bytes);
  const char value = mode >> 7;
  Zr_BitArraySet(reinterpret_cast<char*>(a.get()), ao, value, n);
  for (uint64_t i = 0; i < a_bytes * 8; ++i) {
    const bool in_run = i >= ao && i < ao + n;
    Check(Bit(a.get(), i) == (in_run ? value : Bit(before.get(), i)));
  }
  return 0;
}
