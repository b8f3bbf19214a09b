// The buffered descriptor observed from outside: file contents through a
// second descriptor, the descriptor's own offset through lseek, failures
// injected with /dev/full, pipes and read-only descriptors, and a
// differential run against the plain descriptor.
#include "Zr_BufferedFileDescriptor.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>

#include "fileio_test_util.h"
#include "test_support.h"

using zr_test::ErrnoOf;
using zr_test::Pattern;
using zr_test::ReadFileContents;
using zr_test::WriteFile;

namespace {

class Buffered : public ::testing::Test {
 protected:
  // A descriptor with a `size`-byte buffer open on file "f" holding `contents`.
  std::unique_ptr<Zr_BufferedFileDescriptor> OpenWith(const std::string& contents,
                                                      unsigned long size = 0x10000,
                                                      int flags = O_RDWR) {
    WriteFile(path, contents);
    auto fd = std::make_unique<Zr_BufferedFileDescriptor>(size);
    EXPECT_GE(fd->Open(path.c_str(), flags), 0);
    return fd;
  }
  std::string Contents() { return ReadFileContents(path); }
  zr_test::TempDir dir;
  std::string path = dir.File("f");
};

int ThrownErrno(void (*make)(char*)) {
  try {
    make(nullptr);
  } catch (const Zr_ErrnoException& e) {
    return e.GetErrno();
  }
  return 0;
}

TEST(BufferedConstruction, BufferSizesAndRefusedBuffers) {
  EXPECT_EQ(Zr_BufferedFileDescriptor().GetBufferSize(), 65536u);
  EXPECT_EQ(ThrownErrno([](char*) { Zr_BufferedFileDescriptor fd(0ul); }), EINVAL);
  EXPECT_EQ(ThrownErrno([](char* p) { Zr_BufferedFileDescriptor fd(p, 100, false); }), EINVAL);
  // A refused buffer stays the caller's even when ownership was offered
  // (else ASan reports a double free); an accepted one is released (else
  // LSan reports a leak).
  static char* offered = new char[16];
  EXPECT_EQ(ThrownErrno([](char*) { Zr_BufferedFileDescriptor fd(offered, 0, true); }), EINVAL);
  delete[] offered;
  Zr_BufferedFileDescriptor owned(new char[8], 8, true);
}

TEST_F(Buffered, OutputWaitsForFullBuffersAndReadAheadForRequests) {
  auto fd = OpenWith("", 4);
  EXPECT_EQ(fd->Write("0123456789", 10), 10);
  EXPECT_EQ(Contents(), "01234567");  // two full buffers, two bytes pending
  EXPECT_EQ(fd->Write("ab", 2), 2);   // fills the buffer exactly: written
  EXPECT_FALSE(fd->IsDirty());
  EXPECT_EQ(fd->Write("c", 1), 1);
  struct stat st;
  EXPECT_EQ(fd->Stat(&st), 0);  // flushes first, so the size counts "c"
  EXPECT_EQ(st.st_size, 13);
  char buf[20];
  EXPECT_EQ(fd->Seek(1, SEEK_SET), 1);
  EXPECT_EQ(fd->Read(buf, 1), 1);
  EXPECT_EQ(lseek(fd->GetFileDescriptor(), 0, SEEK_CUR), 5);  // one buffer read ahead
  EXPECT_EQ(ErrnoOf(fd->Seek(-1, SEEK_SET)), EINVAL);         // moves nothing
  EXPECT_EQ(fd->Read(buf, 20), 11);
  EXPECT_EQ(std::string(buf, 11), "23456789abc");
}

TEST_F(Buffered, WriteReadWriteLandsAtTheLogicalOffsetAppendModeToo) {
  auto fd = OpenWith("0123456789", 3);
  char buf[2];
  EXPECT_EQ(fd->Write("ab", 2), 2);
  EXPECT_EQ(fd->Read(buf, 2), 2);
  EXPECT_EQ(fd->Write("cd", 2), 2);
  EXPECT_EQ(fd->Seek(0, SEEK_CUR), 6);
  EXPECT_EQ(fd->Close(), 0);
  EXPECT_EQ(Contents(), "ab23cd6789");
  // With O_APPEND each write puts the offset at the end, as for a plain
  // descriptor, wherever the reads had left it.
  fd = OpenWith("0123456789", 3, O_RDWR | O_APPEND);
  EXPECT_EQ(fd->Seek(4, SEEK_SET), 4);
  EXPECT_EQ(fd->Read(buf, 2), 2);
  EXPECT_EQ(fd->Write("ab", 2), 2);
  EXPECT_EQ(fd->Read(buf, 2), 0);
  EXPECT_EQ(fd->Seek(0, SEEK_CUR), 12);
  EXPECT_EQ(fd->Close(), 0);
  EXPECT_EQ(Contents(), "0123456789ab");
}

TEST_F(Buffered, DestructionWritesPendingOutput) {
  auto fd = OpenWith("", 64);
  EXPECT_EQ(fd->Write("pending", 7), 7);
  EXPECT_EQ(Contents(), "");
  errno = 1234;
  fd.reset();
  EXPECT_EQ(errno, 1234);
  EXPECT_EQ(Contents(), "pending");
  // Where the flush cannot succeed the destructor still returns quietly.
  Zr_BufferedFileDescriptor full(64);
  ASSERT_GE(full.Open("/dev/full", O_WRONLY), 0);
  EXPECT_EQ(full.Write("lost", 4), 4);
}

TEST_F(Buffered, FailingWritesKeepPendingBytesAndCloseStillCloses) {
  Zr_BufferedFileDescriptor fd(8);
  const int number = fd.Open("/dev/full", O_WRONLY);
  ASSERT_GE(number, 0);
  EXPECT_EQ(fd.Write("12345", 5), 5);
  EXPECT_EQ(ErrnoOf(fd.Flush()), ENOSPC);
  EXPECT_EQ(ErrnoOf(fd.Write("6789", 4)), ENOSPC);  // the buffer filled and failed
  EXPECT_TRUE(fd.IsDirty());
  EXPECT_EQ(ErrnoOf(fd.Seek(0, SEEK_SET)), ENOSPC);  // operations flush first
  EXPECT_EQ(ErrnoOf(fd.Close()), ENOSPC);
  EXPECT_FALSE(fd.IsOpen());
  EXPECT_FALSE(fd.IsDirty());
  EXPECT_EQ(fcntl(number, F_GETFD), -1);

  auto ro = OpenWith("keep", 16, O_RDONLY);
  EXPECT_EQ(ro->Write("xy", 2), 2);  // only buffered so far
  char c;
  EXPECT_EQ(ErrnoOf(ro->Read(&c, 1)), EBADF);  // switching modes needs the flush
  EXPECT_TRUE(ro->IsDirty());
  EXPECT_EQ(ErrnoOf(ro->Close()), EBADF);
  EXPECT_EQ(Contents(), "keep");
}

TEST_F(Buffered, PipeReadsNeverRefillForBytesNobodyAskedFor) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
  // A refill of an empty non-blocking pipe fails with EAGAIN where a
  // blocking one would hang, which shows any refill nobody needed.
  Zr_BufferedFileDescriptor fd(3);
  ASSERT_GE(fd.Open(("/proc/self/fd/" + std::to_string(p[0])).c_str(), O_RDONLY | O_NONBLOCK), 0);
  close(p[0]);
  ASSERT_EQ(write(p[1], "abcdef", 6), 6);
  char buf[8] = {};
  EXPECT_EQ(fd.Read(buf, 3), 3);  // the first refill suffices
  EXPECT_EQ(fd.Read(buf, 2), 2);  // second refill, "f" left over
  EXPECT_EQ(fd.Read(buf, 4), 1);  // "f" delivered, not lost to the failed refill
  EXPECT_EQ(buf[0], 'f');
  EXPECT_EQ(ErrnoOf(fd.Read(buf, 1)), EAGAIN);  // the failure shows next time

  // A pipe cannot seek back: an operation that flushes fails, and the
  // read-ahead stays readable.
  ASSERT_EQ(write(p[1], "xyz", 3), 3);
  EXPECT_EQ(fd.Read(buf, 1), 1);
  EXPECT_EQ(ErrnoOf(fd.Flush()), ESPIPE);
  EXPECT_EQ(fd.Read(buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "yz");
  close(p[1]);
  EXPECT_EQ(fd.Read(buf, 1), 0);
}

TEST_F(Buffered, DirectModeAndUnbufferedTransfersBypassTheBuffer) {
  // One aligned block, as O_DIRECT wants in case the file system takes it.
  const size_t kBlock = 4096;
  std::unique_ptr<char, decltype(&free)> block(static_cast<char*>(aligned_alloc(kBlock, kBlock)),
                                               &free);
  memset(block.get(), 'D', kBlock);
  auto fd = OpenWith(std::string(2 * kBlock, '-'), 64);
  EXPECT_EQ(fd->Write("w", 1), 1);
  fd->SetFlags(O_RDWR | O_DIRECT);  // direct whether the system takes the flag or not
  EXPECT_EQ(fd->Seek(kBlock, SEEK_SET), static_cast<int64_t>(kBlock));
  EXPECT_EQ(fd->Write(block.get(), kBlock), static_cast<int64_t>(kBlock));
  EXPECT_EQ(Contents(), "w" + std::string(kBlock - 1, '-') + std::string(kBlock, 'D'));
  EXPECT_EQ(fd->Seek(0, SEEK_SET), 0);
  EXPECT_EQ(fd->Read(block.get(), kBlock), static_cast<int64_t>(kBlock));
  EXPECT_EQ(lseek(fd->GetFileDescriptor(), 0, SEEK_CUR), 4096);  // no read-ahead
  EXPECT_NE(fd->SetFlags(O_RDWR), -1);
  EXPECT_EQ(fd->Write("c", 1), 1);  // buffered again, at the logical offset
  EXPECT_TRUE(fd->IsDirty());
  EXPECT_EQ(fd->Close(), 0);
  EXPECT_EQ(Contents().substr(kBlock - 1, 3), "-cD");

  fd = OpenWith("0123456789", 64);
  char buf[4];
  EXPECT_EQ(fd->Read(buf, 1), 1);
  EXPECT_EQ(fd->UnbufferedRead(buf, 2), 2);
  EXPECT_EQ(fd->UnbufferedWrite("X", 1), 1);
  EXPECT_EQ(fd->Read(buf, 1), 1);
  EXPECT_EQ(fd->Write("Y", 1), 1);
  EXPECT_EQ(fd->Close(), 0);
  EXPECT_EQ(Contents(), "012X4Y6789");
}

// Seeded random writes, reads, seeks, truncations and flushes through the
// buffered class and a plain descriptor on two copies of a file: every call
// must return the same and the files must end equal.
TEST_F(Buffered, DifferentialAgainstThePlainDescriptor) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    const unsigned long sizes[] = {2, 5, 64, 4096};
    const unsigned long buf_size = sizes[seed % 4];
    const int flags = O_RDWR | (seed % 3 == 0 ? O_APPEND : 0);
    const std::string initial = Pattern(rng() % 3000, seed);
    const std::string plain_path = dir.File("plain");
    WriteFile(plain_path, initial);
    Zr_FileDescriptor plain;
    ASSERT_GE(plain.Open(plain_path.c_str(), flags), 0);
    auto fd = OpenWith(initial, buf_size, flags);

    std::string trace;
    for (int op = 0; op < 250; ++op) {
      const unsigned kind = rng() % 10;
      // Short, medium and long pieces; tiny buffers get shorter long ones,
      // since each of their bytes is a system call.
      const unsigned long limits[] = {18, 200, std::min(3000ul, buf_size * 64)};
      const unsigned long n = rng() % limits[rng() % 3];
      std::string got_plain(n, '\0'), got_buffered(n, '\0');
      if (kind < 4) {
        const std::string data = Pattern(n, seed * 1000 + op);
        trace += " W" + std::to_string(n);
        ASSERT_EQ(fd->Write(data.data(), n), plain.Write(data.data(), n)) << trace;
      } else if (kind < 7) {
        trace += " R" + std::to_string(n);
        const int64_t a = plain.Read(&got_plain[0], n);
        ASSERT_EQ(fd->Read(&got_buffered[0], n), a) << trace;
        ASSERT_EQ(got_buffered, got_plain) << trace;
      } else if (kind < 9) {
        const int whence = static_cast<int>(rng() % 3);
        const long offset = static_cast<long>(rng() % 4000) - (whence == SEEK_SET ? 100 : 2000);
        trace += " S" + std::to_string(offset) + "/" + std::to_string(whence);
        ASSERT_EQ(fd->Seek(offset, whence), plain.Seek(offset, whence)) << trace;
      } else if (rng() % 2 == 0) {
        trace += " F";
        ASSERT_EQ(fd->Flush(), 0) << trace;
      } else {
        const long length = static_cast<long>(n * 10);
        trace += " T" + std::to_string(length);
        ASSERT_EQ(fd->Truncate(length), plain.Truncate(length)) << trace;
      }
    }
    ASSERT_EQ(fd->Close(), 0);
    ASSERT_EQ(plain.Close(), 0);
    ASSERT_EQ(Contents(), ReadFileContents(plain_path)) << "seed " << seed << trace;
  }
}

}  // namespace
