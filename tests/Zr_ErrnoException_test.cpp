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

TEST(ErrnoException, NumberAndMessage) {
  Zr_ErrnoException e(EILSEQ, "Failed to read CRC value");
  EXPECT_EQ(e.GetErrno(), EILSEQ);
  EXPECT_EQ(Text(e), "Failed to read CRC value");  // no errno text appended

  Zr_ErrnoException plain(ENODATA);
  EXPECT_EQ(plain.GetErrno(), ENODATA);
  char sys[128];
  EXPECT_EQ(Text(plain), std::string(strerror_r(ENODATA, sys, sizeof sys)));

  Zr_ErrnoException null_message(EIO, nullptr);
  EXPECT_EQ(Text(null_message), Text(Zr_ErrnoException(EIO)));
}

TEST(ErrnoException, ZeroIsReportedAsEoverflowButTextIsForZero) {
  Zr_ErrnoException e(0);
  EXPECT_EQ(e.GetErrno(), 75);
  EXPECT_EQ(e.GetErrno(), EOVERFLOW);
  char sys[128];
  EXPECT_EQ(Text(e), std::string(strerror_r(0, sys, sizeof sys)));
  EXPECT_NE(Text(e), Text(Zr_ErrnoException(EOVERFLOW)));
}

TEST(ErrnoException, MessageIsCutTo127Characters) {
  std::string exact(127, 'a'), longer(128, 'b'), huge(5000, 'c');
  EXPECT_EQ(Text(Zr_ErrnoException(EIO, exact.c_str())), exact);
  EXPECT_EQ(Text(Zr_ErrnoException(EIO, longer.c_str())), longer.substr(0, 127));
  EXPECT_EQ(Text(Zr_ErrnoException(EIO, huge.c_str())), huge.substr(0, 127));
}

TEST(ErrnoException, GetStringCutsToTheCallersBuffer) {
  Zr_ErrnoException m(EIO, "abcdef");
  EXPECT_EQ(Text(m, 4), "abc");
  EXPECT_EQ(Text(m, 7), "abcdef");
  EXPECT_EQ(Text(m, 1), "");
  Zr_ErrnoException s(ENOENT);
  EXPECT_EQ(Text(s, 8), std::string(strerror(ENOENT)).substr(0, 7));

  // A null buffer or size 0 receives nothing and is returned as given.
  char guard[4] = {'g', 'g', 'g', '\0'};
  EXPECT_EQ(m.GetString(guard, 0), guard);
  EXPECT_STREQ(guard, "ggg");
  EXPECT_EQ(m.GetString(nullptr, 10), nullptr);
  EXPECT_EQ(s.GetString(nullptr, 0), nullptr);
}

TEST(ErrnoException, UnknownNumberTextFitsTheScratchBuffer) {
  for (int num : {4242, -1, 1 << 30}) {
    std::string t = Text(Zr_ErrnoException(num));
    EXPECT_FALSE(t.empty());
    EXPECT_LE(t.size(), 63u) << t;
    EXPECT_NE(t.find("nknown"), std::string::npos) << t;
  }
}

TEST(ErrnoException, ThrownByValueCopiedMemberwiseAndPolymorphic) {
  try {
    throw Zr_ErrnoException(EBADF, "closed");
  } catch (const Zr_ErrnoException& e) {
    Zr_ErrnoException copy = e;
    EXPECT_EQ(copy.GetErrno(), EBADF);
    EXPECT_EQ(Text(copy), "closed");
  }
  Zr_ErrnoException* heap = new Zr_ErrnoException(EINVAL);
  delete heap;  // through the virtual destructor; ASan checks the size
  errno = 1234;
  Text(Zr_ErrnoException(EINVAL));
  Zr_ErrnoException(0).GetErrno();
  EXPECT_EQ(errno, 1234);  // neither operation touches errno
}

}  // namespace
