// The stdio stream descriptor: what its open flags make of the stream, its
// own Seek/Truncate/SetFlags results, adopting and handing back streams, and
// failures that only show when the stream's buffer is flushed.
#include "Zr_StreamFileDescriptor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fileio_test_util.h"
#include "test_support.h"

using zr_test::ErrnoOf;
using zr_test::ReadFileContents;
using zr_test::WriteFile;

namespace {

class Stream : public ::testing::Test {
 protected:
  zr_test::TempDir dir;
  std::string path = dir.File("f");
};

// What a stream opened with `flags` on a file holding "0123" makes of a
// two-byte read followed by a write of "XY": the bytes read (empty when
// reading is refused), then the file, marked "!" when the write was refused.
std::string ReadThenWrite(const std::string& path, int flags) {
  WriteFile(path, "0123");
  Zr_StreamFileDescriptor fd;
  EXPECT_GE(fd.Open(path.c_str(), flags), 0);
  std::string seen;
  char buf[2];
  if (fd.Read(buf, 2) == 2) seen.assign(buf, 2);
  fd.Seek(0, SEEK_CUR);  // stdio wants a positioning call between read and write
  const bool wrote = fd.Write("XY", 2) == 2 && fd.Flush() == 0;
  fd.Close();
  return seen + "|" + (wrote ? "" : "!") + ReadFileContents(path);
}

TEST_F(Stream, OpenFlagsChooseTheStdioMode) {
  EXPECT_EQ(ReadThenWrite(path, O_RDONLY), "01|!0123");            // "rb"
  EXPECT_EQ(ReadThenWrite(path, O_WRONLY), "|XY23");               // "wb", no truncation
  EXPECT_EQ(ReadThenWrite(path, O_RDWR), "01|01XY");               // "r+b"
  EXPECT_EQ(ReadThenWrite(path, O_WRONLY | O_APPEND), "|0123XY");  // "ab"
  EXPECT_EQ(ReadThenWrite(path, O_RDWR | O_APPEND), "01|0123XY");  // "a+b"
  EXPECT_EQ(ReadThenWrite(path, O_WRONLY | O_TRUNC), "|XY");       // the flags truncate
}

TEST_F(Stream, OwnResultsForSeekTruncateAndSetFlags) {
  WriteFile(path, "0123456789");
  Zr_StreamFileDescriptor fd;
  const int number = fd.Open(path.c_str(), O_RDWR);
  ASSERT_GE(number, 0);
  EXPECT_EQ(number, fileno(fd.GetFile()));
  EXPECT_EQ(fd.GetFileDescriptor(), number);
  EXPECT_EQ(fd.Seek(0, SEEK_END), 0);  // success, not the offset
  EXPECT_EQ(ftello(fd.GetFile()), 10);
  EXPECT_EQ(ErrnoOf(fd.Seek(-20, SEEK_CUR)), EINVAL);
  EXPECT_EQ(ErrnoOf(fd.Truncate(0)), ENOSYS);
  EXPECT_EQ(ErrnoOf(fd.SetFlags(O_NONBLOCK)), ENOSYS);
  EXPECT_EQ(fd.GetFlags() & O_ACCMODE, O_RDWR);
  struct stat st;
  EXPECT_EQ(fd.Stat(&st), 0);
  EXPECT_EQ(st.st_size, 10);
  EXPECT_EQ(ReadFileContents(path), "0123456789");
}

TEST_F(Stream, OutputWaitsInTheStreamUntilFlushOrSync) {
  Zr_StreamFileDescriptor fd;
  ASSERT_GE(fd.Open(path.c_str(), O_WRONLY | O_CREAT, 0600), 0);
  EXPECT_EQ(fd.Write("abc", 3), 3);
  EXPECT_EQ(ReadFileContents(path), "");
  EXPECT_EQ(fd.Flush(), 0);
  EXPECT_EQ(ReadFileContents(path), "abc");
  EXPECT_EQ(fd.Write("def", 3), 3);
  EXPECT_EQ(fd.Sync(), 0);
  EXPECT_EQ(ReadFileContents(path), "abcdef");
  EXPECT_EQ(fd.Write("g", 1), 1);
  EXPECT_EQ(fd.DataSync(), 0);
  EXPECT_EQ(ReadFileContents(path), "abcdefg");
  EXPECT_EQ(fd.Close(), 0);
  EXPECT_EQ(ErrnoOf(fd.Flush()), EBADF);
}

TEST_F(Stream, AdoptedStreamIsOwnedAndDisconnectHandsItBack) {
  FILE* f = fopen(path.c_str(), "w+b");
  ASSERT_NE(f, nullptr);
  const int number = fileno(f);
  {
    Zr_StreamFileDescriptor fd(f);
    EXPECT_TRUE(fd.IsOpen());
    EXPECT_EQ(fd.GetFile(), f);
    EXPECT_EQ(fd.Write("one", 3), 3);
  }
  EXPECT_EQ(fcntl(number, F_GETFD), -1);  // closed by the destructor
  EXPECT_EQ(ReadFileContents(path), "one");

  f = fopen(path.c_str(), "ab");
  ASSERT_NE(f, nullptr);
  {
    Zr_StreamFileDescriptor fd(f);
    EXPECT_EQ(fd.Write("two", 3), 3);
    EXPECT_EQ(fd.Disconnect(), f);
    EXPECT_FALSE(fd.IsOpen());
    EXPECT_EQ(fd.GetFile(), nullptr);
    EXPECT_EQ(ErrnoOf(fd.Write("x", 1)), EBADF);
    EXPECT_EQ(fd.Disconnect(), nullptr);
  }
  EXPECT_EQ(ReadFileContents(path), "one");  // neither flushed nor closed
  EXPECT_EQ(fputs("!", f), 1);
  EXPECT_EQ(fclose(f), 0);
  EXPECT_EQ(ReadFileContents(path), "onetwo!");

  Zr_StreamFileDescriptor none(nullptr);
  EXPECT_FALSE(none.IsOpen());
}

TEST_F(Stream, FailuresShowWhenTheStreamIsFlushed) {
  Zr_StreamFileDescriptor fd;
  ASSERT_GE(fd.Open("/dev/full", O_WRONLY), 0);
  EXPECT_EQ(fd.Write("x", 1), 1);  // still in the stream's buffer
  EXPECT_EQ(ErrnoOf(fd.Flush()), ENOSPC);
  EXPECT_EQ(fd.Write("y", 1), 1);
  EXPECT_EQ(ErrnoOf(fd.Sync()), ENOSPC);  // Sync flushes the stream first
  const int number = fd.GetFileDescriptor();
  fd.Close();  // whether stdio still reports the lost byte is its own affair
  EXPECT_FALSE(fd.IsOpen());
  EXPECT_EQ(fcntl(number, F_GETFD), -1);
  EXPECT_EQ(ErrnoOf(fd.Close()), EBADF);
}

}  // namespace
