// The buffered descriptor observed from outside: file contents through a
// second descriptor, the descriptor's own offset through lseek, failures
// injected with /dev/full, pipes and read-only descriptors, and a
// differential run against the plain descriptor.
#include "Zr_BufferedFileDescriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>

#include "fileio_test_util.h"
#include "test_support.h"

using namespace zr_test;

namespace {

TEST(BufferedConstruction, ARefusedBufferStaysTheCallersAnAcceptedOneIsFreed) {
  std::unique_ptr<char[]> offered(new char[16]);  // else ASan reports a double free
  for (unsigned long size : {0ul, SSIZE_MAX + 1ul})
    EXPECT_THROW(Zr_BufferedFileDescriptor fd(offered.get(), size, true), Zr_ErrnoException);
  EXPECT_THROW(Zr_BufferedFileDescriptor fd(0ul), Zr_ErrnoException);
  Zr_BufferedFileDescriptor owned(new char[8], 8, true);     // else LSan reports a leak
  Zr_BufferedFileDescriptor lent(offered.get(), 16, false);  // else a double free
}

TEST(Buffered, OutputWaitsForFullBuffersOrDestructionReadAheadForRequests) {
  TempDir dir;
  const std::string f = dir.File("f");
  auto fd = OpenWith<Zr_BufferedFileDescriptor>(f, "", O_RDWR, 4ul);
  EXPECT_EQ(fd->Write("0123456789", 10), 10);
  EXPECT_EQ(ReadFileContents(f), "01234567");  // two full buffers, two bytes pending
  EXPECT_EQ(fd->Write("ab", 2), 2);            // fills the buffer exactly: written
  EXPECT_EQ(ReadFileContents(f), "0123456789ab");
  char buf[4];
  EXPECT_EQ(fd->Seek(0, SEEK_SET), 0);
  EXPECT_EQ(fd->Read(buf, 4), 4);
  EXPECT_EQ(lseek(fd->GetFileDescriptor(), 0, SEEK_CUR), 4);  // satisfied: no refill
  EXPECT_EQ(fd->Read(buf, 1), 1);
  EXPECT_EQ(lseek(fd->GetFileDescriptor(), 0, SEEK_CUR), 8);  // one buffer read ahead
  EXPECT_EQ(fd->Write("z", 1), 1);                            // pending, after the last byte read
  fd.reset();                                                 // the destructor writes it
  EXPECT_EQ(ReadFileContents(f), "01234z6789ab");
}

// Writes to /dev/full fail with ENOSPC: the pending bytes stay, every call
// that flushes first fails with that, and the destructor still closes the
// descriptor, quietly. (Close: see the descriptor contract.)
TEST(BufferedFull, AFailedFlushKeepsThePendingBytesAndStopsEveryCallThatFlushesFirst) {
  auto fd = std::make_unique<Zr_BufferedFileDescriptor>(8);
  const int number = fd->Open("/dev/full", O_WRONLY);
  EXPECT_EQ(fd->Write("12345", 5), 5);
  char c;
  struct stat st;
  ExpectErrnos(
      {NAMED_ERRNO(fd->Flush()), NAMED_ERRNO(fd->Write("6789", 4)),  // fills, fails
       NAMED_ERRNO(fd->Read(&c, 1)), NAMED_ERRNO(fd->Seek(0, SEEK_SET)), NAMED_ERRNO(fd->Sync()),
       NAMED_ERRNO(fd->DataSync()), NAMED_ERRNO(fd->Truncate(0)), NAMED_ERRNO(fd->SetFlags(0)),
       NAMED_ERRNO(fd->GetFlags()), NAMED_ERRNO(fd->Stat(&st)),
       NAMED_ERRNO(fd->UnbufferedRead(&c, 1)), NAMED_ERRNO(fd->UnbufferedWrite(&c, 1))},
      ENOSPC);
  EXPECT_TRUE(fd->IsDirty());
  errno = 1234;
  fd.reset();
  EXPECT_EQ(errno, 1234);  // the destructor fails quietly
  EXPECT_EQ(fcntl(number, F_GETFD), -1);
}

// A refill of an empty non-blocking pipe fails with EAGAIN where a blocking
// one would hang, which shows any refill nobody needed.
TEST(BufferedPipe, ReadsNeverRefillForBytesNobodyAskedFor) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
  Zr_BufferedFileDescriptor fd(3);
  ASSERT_GE(fd.Open(("/proc/self/fd/" + std::to_string(p[0])).c_str(), O_RDONLY | O_NONBLOCK), 0);
  close(p[0]);
  ASSERT_EQ(write(p[1], "abcdef", 6), 6);
  char buf[8] = {};
  EXPECT_EQ(fd.Read(buf, 3), 3);                 // the first refill suffices
  EXPECT_EQ(fd.Read(buf, 2), 2);                 // second refill, "f" left over
  EXPECT_EQ(ErrnoOf(fd.Flush()), ESPIPE);        // a pipe cannot seek back: "f" is kept
  EXPECT_EQ(ErrnoOf(fd.Write("x", 1)), ESPIPE);  // nor switch to writing
  EXPECT_EQ(fd.Read(buf, 4), 1);                 // "f" delivered, not lost to the failed refill
  EXPECT_EQ(buf[0], 'f');
  EXPECT_EQ(ErrnoOf(fd.Read(buf, 1)), EAGAIN);  // the failure shows next time
  close(p[1]);
}

// After SetFlags with O_DIRECT writes go straight through (on a pipe, as
// packets) and reads take what they asked, reading nothing ahead; after a
// Close and a new Open, writes wait in the buffer again.
TEST(BufferedPipe, DirectModeBypassesTheBufferUntilClose) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
  Zr_BufferedFileDescriptor fd(16), in(16);
  char got[8];
  for (bool direct : {true, false}) {
    ASSERT_GE(fd.Open(("/proc/self/fd/" + std::to_string(p[1])).c_str(), O_WRONLY), 0);
    EXPECT_GE(direct ? fd.SetFlags(O_DIRECT) : 0, 0);
    EXPECT_EQ(fd.Write("ab", 2), 2);
    EXPECT_EQ(ErrnoOf(read(p[0], got, sizeof got)), direct ? kSucceeded : EAGAIN);
    EXPECT_EQ(fd.Close(), 0);  // writes "ab" when not direct
  }
  ASSERT_GE(in.Open(("/proc/self/fd/" + std::to_string(p[0])).c_str(), O_RDONLY), 0);
  EXPECT_GE(in.SetFlags(O_DIRECT), 0);
  ASSERT_EQ(write(p[1], "cd", 2), 2);
  EXPECT_EQ(in.Read(got, 1), 1);
  EXPECT_EQ(read(p[0], got, sizeof got), 3);  // "bcd": nothing read ahead
  close(p[0]);
  close(p[1]);
}

// Seeded random writes, reads (buffered and unbuffered), seeks, truncations
// and flushes through the buffered class and a plain descriptor on two
// copies of a file: every call must return the same and the files must end
// equal.
TEST(Buffered, DifferentialAgainstThePlainDescriptor) {
  TempDir dir;
  const std::string f = dir.File("f"), plain_path = dir.File("plain");
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    const unsigned long buf_size = std::array<unsigned long, 4>{2, 5, 64, 4096}[seed % 4];
    const int flags = O_RDWR | (seed % 3 == 0 ? O_APPEND : 0);
    const std::string initial = Pattern(rng() % 3000, seed);
    auto plain = OpenWith<Zr_FileDescriptor>(plain_path, initial, flags);
    auto fd = OpenWith<Zr_BufferedFileDescriptor>(f, initial, flags, buf_size);
    for (int op = 0; op < 250; ++op) {
      const unsigned kind = rng() % 12;
      // Tiny buffers get shorter long pieces: each of their bytes is a call.
      const unsigned long n =
          rng() % std::array<unsigned long, 3>{18, 200, std::min(3000ul, buf_size * 64)}[rng() % 3];
      std::string want = Pattern(n, seed * 1000 + op), got = want;
      // Seed, step, call (lower case: unbuffered) and byte count.
      SCOPED_TRACE(std::to_string(seed) + "/" + std::to_string(op) + " " + "WwWwRrRrSSFT"[kind] +
                   std::to_string(n));
      if (kind < 4) {
        ASSERT_EQ(kind % 2 ? fd->UnbufferedWrite(want.data(), n) : fd->Write(want.data(), n),
                  plain->Write(want.data(), n));
      } else if (kind < 8) {
        const int64_t a = plain->Read(&want[0], n);
        ASSERT_EQ(kind % 2 ? fd->UnbufferedRead(&got[0], n) : fd->Read(&got[0], n), a);
        ASSERT_EQ(got, want);
      } else if (kind < 10) {
        const int whence = static_cast<int>(rng() % 3);
        const long offset = static_cast<long>(rng() % 4000) - (whence == SEEK_SET ? 100 : 2000);
        ASSERT_EQ(fd->Seek(offset, whence), plain->Seek(offset, whence));
      } else if (kind == 10) {
        ASSERT_EQ(fd->Flush(), 0);
      } else {
        ASSERT_EQ(fd->Truncate(n * 10), plain->Truncate(n * 10));
      }
    }
    ASSERT_EQ(fd->Close(), 0);
    ASSERT_EQ(ReadFileContents(f), ReadFileContents(plain_path)) << "seed " << seed;
  }
}

}  // namespace
