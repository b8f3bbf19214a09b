#include "Zr_ErrnoException.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

namespace {
bool g_no_text = false;
}

// strerror_r as GetString, inlined here, sees it: the C library's, or no
// text at all (null) while g_no_text.
extern "C" char* strerror_r(int num, char* buf, size_t size) noexcept {
  using Real = char* (*)(int, char*, size_t);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "strerror_r"));
  return g_no_text ? nullptr : real(num, buf, size);
}

namespace {

// GetString's text; it returns the buffer and leaves errno alone.
std::string Text(const Zr_ErrnoException& e, unsigned long size = 256) {
  char buf[256];
  memset(buf, 'x', sizeof buf);
  errno = 1234;
  EXPECT_EQ(e.GetString(buf, size), buf);
  EXPECT_EQ(errno, 1234);
  return std::string(buf);
}

std::string SystemText(int num) {
  char sys[128];
  return strerror_r(num, sys, sizeof sys);
}

TEST(ErrnoException, NumbersAndTexts) {
  const std::string exact(127, 'a'), longer(128, 'b'), huge(5000, 'c');
  // Number and message given; GetErrno and GetString then.
  const std::tuple<int, const char*, int, std::string> cases[] = {
      {EILSEQ, "Failed to read CRC value", EILSEQ, "Failed to read CRC value"},  // no errno text
      {ENODATA, nullptr, ENODATA, SystemText(ENODATA)},
      {EIO, "", EIO, SystemText(EIO)},
      {0, nullptr, EOVERFLOW, SystemText(0)},  // 0 reads as 75, but its text is for 0
      {EIO, exact.c_str(), EIO, exact},
      {EIO, longer.c_str(), EIO, longer.substr(0, 127)},
      {EIO, huge.c_str(), EIO, huge.substr(0, 127)},
  };
  for (const auto& [num, message, want_errno, want_text] : cases) {
    const Zr_ErrnoException e = message ? Zr_ErrnoException(num, message) : Zr_ErrnoException(num);
    EXPECT_EQ(e.GetErrno(), want_errno);
    EXPECT_EQ(Text(e), want_text);
  }
  for (int num : {4242, -1, 1 << 30}) {  // unknown: built in the 64-byte scratch buffer
    std::string t = Text(Zr_ErrnoException(num));
    EXPECT_LE(t.size(), 63u);
    EXPECT_NE(t.find("nknown"), std::string::npos) << t;
  }
}

TEST(ErrnoException, GetStringCutsToTheCallersBuffer) {
  Zr_ErrnoException m(EIO, "abcdef"), s(ENOENT);
  EXPECT_EQ(Text(m, 4), "abc");
  EXPECT_EQ(Text(m, 7), "abcdef");
  EXPECT_EQ(Text(m, 1), "");
  EXPECT_EQ(Text(s, 8), SystemText(ENOENT).substr(0, 7));
  // With no text at all the buffer becomes empty. A null buffer or size 0
  // receives nothing and is returned as given.
  g_no_text = true;
  EXPECT_EQ(Text(s, 8), "");
  char guard[4] = "ggg";
  EXPECT_EQ(m.GetString(guard, 0), guard);
  EXPECT_EQ(s.GetString(guard, 0), guard);
  EXPECT_STREQ(guard, "ggg");
  EXPECT_EQ(m.GetString(nullptr, 10), nullptr);
  EXPECT_EQ(s.GetString(nullptr, 10), nullptr);
  g_no_text = false;
  EXPECT_EQ(s.GetString(nullptr, 0), nullptr);
}

}  // namespace
