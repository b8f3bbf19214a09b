#include "Zr_ErrnoException.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Text(const Zr_ErrnoException& e, unsigned long size = 256) {
  char buf[256];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(e.GetString(buf, size), buf);
  return std::string(buf);
}

std::string SystemText(int num) {
  char sys[128];
  return strerror_r(num, sys, sizeof sys);
}

TEST(ErrnoException, NumbersAndTexts) {
  const std::string exact(127, 'a'), longer(128, 'b'), huge(5000, 'c');
  struct Case {
    int num;
    const char* message;
    int want_errno;
    std::string want_text;
  } cases[] = {
      {EILSEQ, "Failed to read CRC value", EILSEQ, "Failed to read CRC value"},  // no errno text
      {ENODATA, nullptr, ENODATA, SystemText(ENODATA)},
      {EIO, "", EIO, SystemText(EIO)},
      {0, nullptr, EOVERFLOW, SystemText(0)},  // 0 reads as 75, but its text is for 0
      {EIO, exact.c_str(), EIO, exact},
      {EIO, longer.c_str(), EIO, longer.substr(0, 127)},
      {EIO, huge.c_str(), EIO, huge.substr(0, 127)},
  };
  for (const Case& c : cases) {
    Zr_ErrnoException e =
        c.message ? Zr_ErrnoException(c.num, c.message) : Zr_ErrnoException(c.num);
    EXPECT_EQ(e.GetErrno(), c.want_errno);
    EXPECT_EQ(Text(e), c.want_text);
  }
  EXPECT_EQ(Zr_ErrnoException(0).GetErrno(), 75);
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
  // A null buffer or size 0 receives nothing and is returned as given.
  char guard[4] = "ggg";
  EXPECT_EQ(m.GetString(guard, 0), guard);
  EXPECT_EQ(s.GetString(guard, 0), guard);
  EXPECT_STREQ(guard, "ggg");
  EXPECT_EQ(m.GetString(nullptr, 10), nullptr);
  EXPECT_EQ(s.GetString(nullptr, 0), nullptr);
}

TEST(ErrnoException, ThrownByValueAndLeavesErrnoAlone) {
  try {
    throw Zr_ErrnoException(EBADF, "closed");
  } catch (const Zr_ErrnoException& e) {
    Zr_ErrnoException copy = e;
    EXPECT_EQ(copy.GetErrno(), EBADF);
    EXPECT_EQ(Text(copy), "closed");
  }
  errno = 1234;
  Text(Zr_ErrnoException(EINVAL));
  Zr_ErrnoException(0).GetErrno();
  EXPECT_EQ(errno, 1234);
}

}  // namespace
