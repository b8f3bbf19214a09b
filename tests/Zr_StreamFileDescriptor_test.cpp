// The stdio stream descriptor: what its open flags make of the stream, its
// own Seek/Truncate/SetFlags results, its buffered output, and adopting and
// handing back streams.
#include "Zr_StreamFileDescriptor.h"

#include <gtest/gtest.h>

#include "fileio_test_util.h"
#include "test_support.h"

using zr_test::ErrnoOf;
using zr_test::ReadFileContents;
using zr_test::WriteFile;

namespace {

// What a stream opened with `flags` on a file holding "0123" makes of a
// two-byte read followed by a write of "XY": the bytes read, then the file,
// marked "!" when the write was refused.
std::string ReadThenWrite(const std::string& path, int flags) {
  WriteFile(path, "0123");
  Zr_StreamFileDescriptor fd;
  EXPECT_GE(fd.Open(path.c_str(), flags), 0);
  char buf[2];
  std::string seen = fd.Read(buf, 2) == 2 ? std::string(buf, 2) : "";
  EXPECT_EQ(fd.Seek(0, SEEK_CUR), 0);  // stdio wants it between a read and a write
  const bool wrote = fd.Write("XY", 2) == 2 && fd.Flush() == 0;
  fd.Close();
  return seen + "|" + (wrote ? "" : "!") + ReadFileContents(path);
}

TEST(Stream, OpenFlagsChooseTheStdioMode) {
  zr_test::TempDir dir;
  const std::string f = dir.File("f");
  EXPECT_EQ(ReadThenWrite(f, O_RDONLY), "01|!0123");            // "rb"
  EXPECT_EQ(ReadThenWrite(f, O_WRONLY), "|XY23");               // "wb" does not truncate
  EXPECT_EQ(ReadThenWrite(f, O_RDWR), "01|01XY");               // "r+b"
  EXPECT_EQ(ReadThenWrite(f, O_WRONLY | O_APPEND), "|0123XY");  // "ab"
  EXPECT_EQ(ReadThenWrite(f, O_RDWR | O_APPEND), "01|0123XY");  // "a+b"
  EXPECT_EQ(ReadThenWrite(f, O_WRONLY | O_TRUNC), "|XY");       // the flags truncate
}

TEST(Stream, OwnResultsBufferedOutputAndSyncs) {
  zr_test::TempDir dir;
  const std::string f = dir.File("f");
  WriteFile(f, "0123456789");
  Zr_StreamFileDescriptor fd;
  const int number = fd.Open(f.c_str(), O_RDWR);
  ASSERT_GE(number, 0);
  EXPECT_EQ(number, fileno(fd.GetFile()));
  EXPECT_EQ(fd.Seek(0, SEEK_END), 0);  // success, not the offset
  EXPECT_EQ(ftello(fd.GetFile()), 10);
  EXPECT_EQ(ErrnoOf(fd.Truncate(0)), ENOSYS);
  EXPECT_EQ(ErrnoOf(fd.SetFlags(O_NONBLOCK)), ENOSYS);
  EXPECT_EQ(fd.GetFlags() & O_ACCMODE, O_RDWR);
  EXPECT_EQ(fd.Write("ab", 2), 2);
  struct stat st;
  EXPECT_EQ(fd.Stat(&st), 0);
  EXPECT_EQ(st.st_size, 10);  // the output still sits in the stream
  EXPECT_EQ(fd.Sync(), 0);    // which Sync flushes first
  EXPECT_EQ(ReadFileContents(f), "0123456789ab");
  EXPECT_EQ(fd.Write("c", 1), 1);
  EXPECT_EQ(fd.DataSync(), 0);
  EXPECT_EQ(ReadFileContents(f), "0123456789abc");
}

TEST(Stream, AdoptedStreamIsOwnedAndDisconnectHandsItBack) {
  zr_test::TempDir dir;
  const std::string f = dir.File("f");
  FILE* file = fopen(f.c_str(), "wb");
  const int number = fileno(file);
  {
    Zr_StreamFileDescriptor fd(file);
    EXPECT_EQ(fd.Write("one", 3), 3);
  }
  EXPECT_EQ(fcntl(number, F_GETFD), -1);  // closed by the destructor
  EXPECT_EQ(ReadFileContents(f), "one");

  file = fopen(f.c_str(), "ab");
  {
    Zr_StreamFileDescriptor fd(file);
    EXPECT_EQ(fd.Write("two", 3), 3);
    EXPECT_EQ(fd.Disconnect(), file);
    EXPECT_EQ(ErrnoOf(fd.Write("x", 1)), EBADF);
    EXPECT_EQ(fd.Disconnect(), nullptr);
  }
  EXPECT_EQ(ReadFileContents(f), "one");  // neither flushed nor closed
  EXPECT_EQ(fclose(file), 0);
  EXPECT_EQ(ReadFileContents(f), "onetwo");
}

}  // namespace
