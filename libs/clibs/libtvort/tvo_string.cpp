// Bounded string copy.
#include <tvo/revision.h>
#include <tvo/tvo_string.h>

#include <cstring>

TVO_REVISION_IDENT();

extern "C" char* tvostrcpy(char* dst, const char* src, size_t capacity) {
  if (dst == nullptr || capacity == 0) return dst;
  if (src == nullptr) src = "";
  // strnlen: never read past the part of `src` that fits.
  size_t n = ::strnlen(src, capacity - 1);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
  return dst;
}
