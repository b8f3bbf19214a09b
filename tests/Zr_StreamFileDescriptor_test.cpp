// The stdio stream descriptor: what its open flags make of the stream, its
// own Seek result, its buffered output (also under signals), and Disconnect
// handing the stream back.
#include "Zr_StreamFileDescriptor.h"

#include <gtest/gtest.h>

#include "fileio_test_util.h"
#include "test_support.h"

using namespace zr_test;

namespace {

// Each open reads two bytes from a file holding "0123", then writes "XY":
// the bytes read, then the file, marked "!" when the write was refused, and
// where stdio then puts the stream (an appending one: at the end). O_WRONLY
// alone does not truncate.
TEST(Stream, OpenFlagsChooseTheStdioModeAndOwnResults) {
  TempDir dir;
  const std::string f = dir.File("f");
  const int flags[] = {
      O_RDONLY,           O_WRONLY,           O_RDWR, O_WRONLY | O_APPEND, O_RDWR | O_APPEND,
      O_WRONLY | O_TRUNC, O_RDONLY | O_APPEND};
  const char* expected[] = {"01|!0123@2",  "|XY23@2", "01|01XY@4", "|0123XY@6",
                            "01|0123XY@6", "|XY@2",   "01|!0123@2"};
  for (int i = 0; i < 7; ++i) {
    auto fd = OpenWith<Zr_StreamFileDescriptor>(f, "0123", flags[i]);
    char buf[2];
    const std::string seen = fd->Read(buf, 2) == 2 ? std::string(buf, 2) : "";
    EXPECT_EQ(fd->Seek(0, SEEK_CUR), 0);  // stdio wants it between a read and a write
    const bool wrote = fd->Write("XY", 2) == 2;
    const std::string at = "@" + std::to_string(ftello(fd->GetFile()));  // "XY" pending
    fd->Close();
    EXPECT_EQ(seen + "|" + (wrote ? "" : "!") + ReadFileContents(f) + at, expected[i]) << i;
  }
  // Its own results, and output that waits in the stream's buffer.
  auto fd = OpenWith<Zr_StreamFileDescriptor>(f, "0123456789", O_RDWR);
  EXPECT_EQ(fd->Seek(0, SEEK_END), 0);  // success, not the offset
  EXPECT_EQ(fd->Write("ab", 2), 2);
  EXPECT_EQ(fd->Sync(), 0);  // flushes the stream first
  // Disconnect hands the stream back neither flushed nor closed.
  FILE* file = fd->GetFile();
  EXPECT_EQ(fd->Write("c", 1), 1);
  EXPECT_EQ(fd->Disconnect(), file);
  fd.reset();
  EXPECT_EQ(ReadFileContents(f), "0123456789ab");
  EXPECT_EQ(fclose(file), 0);
  EXPECT_EQ(ReadFileContents(f), "0123456789abc");
}

// Close reports the failed flush, not what fclose says after it (here its
// own close fails with EIO), and releases the stream either way.
TEST(Stream, CloseReportsTheFailedFlushAndReleasesTheStream) {
  cookie_io_functions_t io = {};
  io.write = [](void*, const char*, size_t) -> ssize_t {
    errno = ENOSPC;
    return -1;
  };
  io.close = [](void*) {
    errno = EIO;
    return -1;
  };
  Zr_StreamFileDescriptor fd(fopencookie(nullptr, "w", io));
  EXPECT_EQ(fd.Write("x", 1), 1);  // waits in the stream's buffer
  EXPECT_EQ(ErrnoOf(fd.Close()), ENOSPC);
  EXPECT_FALSE(fd.IsOpen());
}

// Every byte Write accepted reaches a slow reader once and in order, through
// stdio's own flushes, Flush, a Seek (which flushes, then fails on a pipe)
// and Close (with 47,576 bytes in a 64 KiB buffer), while a SIGTERM that has
// a handler keeps interrupting the writer.
TEST(Stream, AcceptedOutputSurvivesSignals) {
  const std::string data = Pattern(1 << 20);
  std::string got, buffer(1 << 16, '\0');
  ThroughPipeUnderSignals(
      [&](int out) {
        Zr_StreamFileDescriptor fd(fdopen(out, "w"));
        setvbuf(fd.GetFile(), &buffer[0], _IOFBF, buffer.size());
        for (size_t off = 0; off < data.size(); off += 1000) {
          const size_t n = std::min<size_t>(1000, data.size() - off);
          ASSERT_EQ(fd.Write(data.data() + off, n), int64_t(n)) << off;  // the destructor closes
          if (off % 100000 != 0) continue;
          const bool seek = off % 200000 != 0;  // else Flush
          ASSERT_EQ(seek ? ErrnoOf(fd.Seek(0, SEEK_CUR)) : ErrnoOf(fd.Flush()),
                    seek ? ESPIPE : kSucceeded)
              << off;
        }
        EXPECT_EQ(fd.Close(), 0);
      },
      [&](int in) { got = ReadSlowly(in), close(in); }, SIGTERM);
  EXPECT_TRUE(got == data) << got.size();
}

}  // namespace
