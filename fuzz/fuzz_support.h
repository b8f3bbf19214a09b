// Shared by the fuzz targets: turning every broken expectation (and every
// assertion report of the library) into a crash that libFuzzer records with
// its input, a reader for the fields of an input, an in-memory descriptor,
// and a byte-at-a-time Adler-32 to check the library's against.
#ifndef ZR_FUZZ_SUPPORT_H
#define ZR_FUZZ_SUPPORT_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tvo/tvo_assert.h>

#include <algorithm>
#include <string>

#include "Zr_ErrnoException.h"
#include "Zr_FileDescriptor.h"

// For the targets' own loops over every byte: their branches say nothing
// about the library, and traced they cost more than the library's work.
// Kept out of line, since inlined into a traced caller they would be traced.
#define ZR_FUZZ_UNTRACED __attribute__((no_sanitize("coverage"), noinline))

namespace zr_fuzz {

inline void Check(bool ok) {
  if (!ok) abort();
}

// The library reports misuse and broken invariants and then carries on; no
// target misuses it on purpose, so every report is a finding.
inline void AbortOnAssert(const char* expr, const char* file, int line, const char* function) {
  fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, function, expr);
  abort();
}
inline const tvo_assert_handler_t kDefaultAssertHandler = tvo_set_assert_handler(AbortOnAssert);

// Fields are taken from the front of the input, little-endian; past its end
// every field reads 0, so any input decodes.
struct Input {
  const uint8_t* p;
  size_t n;

  uint32_t Take(unsigned bytes) {
    uint32_t v = 0;
    for (unsigned i = 0; i < bytes && n > 0; ++i, ++p, --n) v |= static_cast<uint32_t>(*p) << 8 * i;
    return v;
  }
};

// Adler-32 (RFC 1950) as its definition reads: s1 is 1 plus the sum of the
// bytes, s2 the sum of the successive s1 values, both modulo 65521. The sums
// are kept whole in 64 bits (no overflow below 2^28 bytes), so nothing
// depends on where a reduction happens. A start value's halves stand in for
// the initial 1 and 0, reduced first as the library's contract says.
ZR_FUZZ_UNTRACED inline uint32_t ModelAdler32(uint32_t start, const uint8_t* data, size_t len) {
  uint64_t s1 = (start & 0xffff) % 65521, s2 = (start >> 16) % 65521;
  for (size_t i = 0; i < len; ++i) {
    s1 += data[i];
    s2 += s1;
  }
  return static_cast<uint32_t>(s2 % 65521 << 16 | s1 % 65521);
}

// A descriptor over a byte string: Write appends, Read consumes from `pos`
// and comes up short only at the end. Read or Write call number `fail_at`
// (counting both from 1; 0 for none) fails with EINTR and moves nothing, as
// an interrupted system call would.
class MemoryFd : public Zr_FileDescriptor {
 public:
  std::string data;
  size_t pos = 0;
  unsigned long fail_at = 0;

  bool IsOpen() override { return true; }
  int64_t Write(void const* buffer, unsigned long count) override {
    if (Interrupted()) return -1;
    data.append(static_cast<const char*>(buffer), count);
    return static_cast<int64_t>(count);
  }
  int64_t Read(void* buffer, unsigned long count) override {
    if (Interrupted()) return -1;
    const size_t n = std::min<size_t>(count, data.size() - pos);
    if (n != 0) memcpy(buffer, data.data() + pos, n);
    pos += n;
    return static_cast<int64_t>(n);
  }

 private:
  unsigned long calls_ = 0;
  bool Interrupted() {
    if (++calls_ != fail_at) return false;
    errno = EINTR;
    return true;
  }
};

inline bool Is(const Zr_ErrnoException& e, int err, const char* message) {
  char text[128];
  return e.GetErrno() == err && strcmp(e.GetString(text, sizeof text), message) == 0;
}

}  // namespace zr_fuzz

#endif  // ZR_FUZZ_SUPPORT_H
