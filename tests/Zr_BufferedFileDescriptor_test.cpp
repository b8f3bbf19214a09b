// The buffered descriptor observed from outside: file contents through a
// second descriptor, the descriptor's own offset through lseek, failures
// injected with /dev/full, pipes and read-only descriptors, and a
// differential run against the plain descriptor.
#include "Zr_BufferedFileDescriptor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fileio_test_util.h"
#include "test_support.h"

using zr_test::ErrnoOf;
using zr_test::KernelOffset;
using zr_test::Pattern;
using zr_test::ReadFileContents;
using zr_test::WriteFile;

namespace {

class Buffered : public ::testing::Test {
 protected:
  // A buffered descriptor with a `size`-byte buffer, open on file `name`
  // holding `contents`.
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

int ConstructionErrno(std::function<void()> make) {
  try {
    make();
  } catch (const Zr_ErrnoException& e) {
    return e.GetErrno();
  }
  return 0;
}

TEST(BufferedConstruction, BufferSizesAndRefusedBuffers) {
  EXPECT_EQ(Zr_BufferedFileDescriptor().GetBufferSize(), 65536u);
  EXPECT_EQ(Zr_BufferedFileDescriptor(10).GetBufferSize(), 10u);
  EXPECT_EQ(ConstructionErrno([] { Zr_BufferedFileDescriptor fd(0); }), EINVAL);
  EXPECT_EQ(ConstructionErrno([] { Zr_BufferedFileDescriptor fd(nullptr, 100, false); }), EINVAL);
  // A refused buffer is not released even when ownership was offered (the
  // delete below would be a double free under ASan otherwise).
  char* offered = new char[16];
  EXPECT_EQ(ConstructionErrno([&] { Zr_BufferedFileDescriptor fd(offered, 0, true); }), EINVAL);
  delete[] offered;
  // A caller's buffer is used in place, and released only when owned.
  char mine[4];
  {
    zr_test::TempDir dir;
    Zr_BufferedFileDescriptor fd(mine, sizeof mine, false);
    ASSERT_GE(fd.Open(dir.File("x").c_str(), O_RDWR | O_CREAT, 0600), 0);
    EXPECT_EQ(fd.Write("ab", 2), 2);
    EXPECT_EQ(std::string(mine, 2), "ab");
  }
  Zr_BufferedFileDescriptor owned(new char[8], 8, true);  // LSan checks the release
}

TEST_F(Buffered, SmallWritesReachTheFileOneBufferAtATime) {
  auto fd = OpenWith("", 4);
  const std::string data = "0123456789";
  EXPECT_EQ(fd->Write(data.data(), 10), 10);
  EXPECT_EQ(Contents(), "01234567");  // two full buffers, two bytes pending
  EXPECT_EQ(KernelOffset(fd->GetFileDescriptor()), 8);
  EXPECT_TRUE(fd->IsDirty());
  EXPECT_EQ(fd->Write("ab", 2), 2);  // exactly fills the buffer: written, clean
  EXPECT_FALSE(fd->IsDirty());
  EXPECT_EQ(Contents(), "0123456789ab");

  auto big = OpenWith("");
  for (char c : data) EXPECT_EQ(big->Write(&c, 1), 1);
  EXPECT_TRUE(big->IsDirty());
  EXPECT_EQ(Contents(), "");
  EXPECT_EQ(big->Flush(), 0);
  EXPECT_FALSE(big->IsDirty());
  EXPECT_EQ(Contents(), data);
  struct stat st;
  EXPECT_EQ(big->Write("z", 1), 1);
  EXPECT_EQ(big->Stat(&st), 0);  // the size counts the pending byte
  EXPECT_EQ(st.st_size, 11);
}

TEST_F(Buffered, ReadAheadAndWritingBackAtTheLogicalOffset) {
  const std::string data = Pattern(100);
  auto fd = OpenWith(data);
  char c;
  EXPECT_EQ(fd->Read(&c, 1), 1);
  EXPECT_EQ(c, data[0]);
  EXPECT_EQ(KernelOffset(fd->GetFileDescriptor()), 100);
  EXPECT_EQ(fd->Write("#", 1), 1);
  EXPECT_EQ(KernelOffset(fd->GetFileDescriptor()), 1);  // moved back before writing
  EXPECT_EQ(fd->Close(), 0);
  std::string expected = data;
  expected[1] = '#';
  EXPECT_EQ(Contents(), expected);

  fd = OpenWith(data);
  std::string buf(200, '\0');
  EXPECT_EQ(fd->Read(&buf[0], 200), 100);
  EXPECT_EQ(buf.substr(0, 100), data);
  EXPECT_EQ(fd->Read(&buf[0], 200), 0);
  EXPECT_EQ(fd->Seek(-10, SEEK_CUR), 90);
  EXPECT_EQ(ErrnoOf(fd->Seek(-1, SEEK_SET)), EINVAL);  // leaves the offset at 90
  EXPECT_EQ(fd->Read(&buf[0], 200), 10);
  EXPECT_EQ(buf.substr(0, 10), data.substr(90));
}

TEST_F(Buffered, WriteReadWriteKeepsEveryByteInPlace) {
  for (unsigned long size : {3ul, 4096ul}) {
    auto fd = OpenWith("", size);
    EXPECT_EQ(fd->Write("hello", 5), 5);
    EXPECT_EQ(fd->Seek(1, SEEK_SET), 1);
    char two[2];
    EXPECT_EQ(fd->Read(two, 2), 2);
    EXPECT_EQ(std::string(two, 2), "el");
    EXPECT_EQ(fd->Write("LO", 2), 2);
    EXPECT_EQ(fd->Write(" world", 6), 6);
    EXPECT_EQ(fd->Seek(0, SEEK_CUR), 11);
    EXPECT_EQ(fd->Close(), 0);
    EXPECT_EQ(Contents(), "helLO world") << size;

    // Without any Seek: write, read on from there, write again.
    fd = OpenWith("0123456789", size);
    EXPECT_EQ(fd->Write("ab", 2), 2);
    EXPECT_EQ(fd->Read(two, 2), 2);
    EXPECT_EQ(std::string(two, 2), "23");
    EXPECT_EQ(fd->Write("cd", 2), 2);
    EXPECT_EQ(fd->Close(), 0);
    EXPECT_EQ(Contents(), "ab23cd6789") << size;
  }
}

TEST_F(Buffered, AppendModeFollowsTheDescriptorLikeAPlainOne) {
  // The same calls through a plain and a buffered descriptor on two
  // O_APPEND files must return the same bytes and leave the same files.
  const std::string other = dir.File("plain");
  WriteFile(other, "0123456789");
  Zr_FileDescriptor plain;
  ASSERT_GE(plain.Open(other.c_str(), O_RDWR | O_APPEND), 0);
  auto fd = OpenWith("0123456789", 4, O_RDWR | O_APPEND);
  for (Zr_FileDescriptor* d :
       {static_cast<Zr_FileDescriptor*>(&plain), static_cast<Zr_FileDescriptor*>(fd.get())}) {
    char buf[4] = {};
    EXPECT_EQ(d->Seek(2, SEEK_SET), 2);
    EXPECT_EQ(d->Read(buf, 2), 2);
    EXPECT_EQ(d->Write("abc", 3), 3);
    EXPECT_EQ(d->Read(buf, 4), 0);  // after an appending write: at the end
    EXPECT_EQ(d->Seek(0, SEEK_CUR), 13);
    EXPECT_EQ(d->Seek(4, SEEK_SET), 4);
    EXPECT_EQ(d->Read(buf, 1), 1);
    EXPECT_EQ(buf[0], '4');
    EXPECT_EQ(d->Write("Z", 1), 1);
    EXPECT_EQ(d->Read(buf, 1), 0);
    EXPECT_EQ(d->Close(), 0);
  }
  EXPECT_EQ(Contents(), "0123456789abcZ");
  EXPECT_EQ(ReadFileContents(other), Contents());
}

TEST_F(Buffered, DestructionWritesPendingOutput) {
  {
    auto fd = OpenWith("", 64);
    EXPECT_EQ(fd->Write("pending", 7), 7);
    EXPECT_EQ(Contents(), "");
    errno = 1234;
    fd.reset();
    EXPECT_EQ(errno, 1234);  // the best-effort flush leaves errno alone
  }
  EXPECT_EQ(Contents(), "pending");

  // Where the flush cannot succeed the destructor still returns quietly.
  Zr_BufferedFileDescriptor full(64);
  ASSERT_GE(full.Open("/dev/full", O_WRONLY), 0);
  EXPECT_EQ(full.Write("lost", 4), 4);
}

TEST_F(Buffered, FailingFlushKeepsPendingBytesAndCloseStillCloses) {
  Zr_BufferedFileDescriptor fd(8);
  const int number = fd.Open("/dev/full", O_WRONLY);
  ASSERT_GE(number, 0);
  EXPECT_EQ(fd.Write("12345", 5), 5);
  EXPECT_EQ(ErrnoOf(fd.Flush()), ENOSPC);
  EXPECT_TRUE(fd.IsDirty());
  EXPECT_EQ(ErrnoOf(fd.Flush()), ENOSPC);           // retried, still pending
  EXPECT_EQ(ErrnoOf(fd.Write("6789", 4)), ENOSPC);  // the buffer filled and failed
  EXPECT_TRUE(fd.IsDirty());
  EXPECT_EQ(ErrnoOf(fd.Sync()), ENOSPC);  // operations that flush first fail too
  EXPECT_EQ(ErrnoOf(fd.Seek(0, SEEK_SET)), ENOSPC);
  EXPECT_EQ(ErrnoOf(fd.Close()), ENOSPC);
  EXPECT_FALSE(fd.IsOpen());
  EXPECT_FALSE(fd.IsDirty());
  EXPECT_EQ(fcntl(number, F_GETFD), -1);
  EXPECT_EQ(ErrnoOf(fd.Close()), EBADF);  // and a closed object stays closed
}

TEST_F(Buffered, ReadOnlyDescriptorFailsAtTheFlushAndKeepsTheFile) {
  auto fd = OpenWith("keep", 16, O_RDONLY);
  EXPECT_EQ(fd->Write("xy", 2), 2);  // only buffered so far
  EXPECT_EQ(ErrnoOf(fd->Flush()), EBADF);
  EXPECT_TRUE(fd->IsDirty());
  char c;
  EXPECT_EQ(ErrnoOf(fd->Read(&c, 1)), EBADF);  // switching modes needs the flush
  EXPECT_EQ(ErrnoOf(fd->Close()), EBADF);
  EXPECT_FALSE(fd->IsOpen());
  EXPECT_EQ(Contents(), "keep");
}

TEST_F(Buffered, PipeReadsNeverRefillForBytesNobodyAskedFor) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
  // A refill on an empty non-blocking pipe fails with EAGAIN instead of
  // blocking, which shows any refill the request did not need.
  Zr_BufferedFileDescriptor fd(3);
  ASSERT_GE(fd.Open(("/proc/self/fd/" + std::to_string(p[0])).c_str(), O_RDONLY | O_NONBLOCK), 0);
  close(p[0]);
  ASSERT_EQ(write(p[1], "abcdef", 6), 6);

  char buf[8] = {};
  EXPECT_EQ(fd.Read(buf, 3), 3);  // satisfied by the first refill: no second one
  EXPECT_EQ(std::string(buf, 3), "abc");
  EXPECT_EQ(fd.Read(buf, 2), 2);  // second refill, one byte left over
  EXPECT_EQ(std::string(buf, 2), "de");
  // The pipe is empty now: the leftover byte is delivered, the failed
  // refill behind it is not reported as -1 ...
  EXPECT_EQ(fd.Read(buf, 4), 1);
  EXPECT_EQ(buf[0], 'f');
  // ... but shows on the next call.
  EXPECT_EQ(ErrnoOf(fd.Read(buf, 1)), EAGAIN);

  // A pipe cannot seek back: an operation that flushes fails, and the
  // read-ahead it could not hand back stays readable.
  ASSERT_EQ(write(p[1], "xyz", 3), 3);
  EXPECT_EQ(fd.Read(buf, 1), 1);
  struct stat st;
  EXPECT_EQ(ErrnoOf(fd.Stat(&st)), ESPIPE);
  EXPECT_EQ(fd.Read(buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "yz");
  close(p[1]);
  EXPECT_EQ(fd.Read(buf, 1), 0);
}

TEST_F(Buffered, DirectModeBypassesTheBuffer) {
  // Blocks aligned as O_DIRECT wants, in case the file system takes it.
  const size_t kBlock = 4096;
  std::unique_ptr<char, decltype(&free)> block(static_cast<char*>(aligned_alloc(kBlock, kBlock)),
                                               &free);
  const std::string data = Pattern(3 * kBlock);
  auto fd = OpenWith(data, 64);
  EXPECT_EQ(fd->Write("w", 1), 1);  // pending: flushed before going direct
  fd->SetFlags(O_RDWR | O_DIRECT);  // direct whether the system accepts the flag or not
  EXPECT_FALSE(fd->IsDirty());
  EXPECT_EQ(fd->Seek(0, SEEK_SET), 0);
  EXPECT_EQ(fd->Read(block.get(), kBlock), static_cast<int64_t>(kBlock));
  EXPECT_EQ(KernelOffset(fd->GetFileDescriptor()), static_cast<off_t>(kBlock));  // no read-ahead
  memset(block.get(), 'D', kBlock);
  EXPECT_EQ(fd->Write(block.get(), kBlock), static_cast<int64_t>(kBlock));
  EXPECT_FALSE(fd->IsDirty());
  std::string expected = "w" + data.substr(1);
  expected.replace(kBlock, kBlock, std::string(kBlock, 'D'));
  EXPECT_EQ(Contents(), expected);  // no buffering
  EXPECT_NE(fd->SetFlags(O_RDWR), -1);
  EXPECT_EQ(fd->Write("c", 1), 1);  // buffered again, at the logical offset
  EXPECT_TRUE(fd->IsDirty());
  EXPECT_EQ(fd->Close(), 0);
  expected[2 * kBlock] = 'c';
  EXPECT_EQ(Contents(), expected);

  // Unbuffered transfers flush first and keep the logical offset.
  fd = OpenWith("0123456789", 64);
  char buf[4];
  EXPECT_EQ(fd->Read(buf, 1), 1);
  EXPECT_EQ(fd->UnbufferedRead(buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "12");
  EXPECT_EQ(fd->UnbufferedWrite("X", 1), 1);
  EXPECT_EQ(fd->Read(buf, 1), 1);
  EXPECT_EQ(buf[0], '4');
  EXPECT_EQ(fd->Write("Y", 1), 1);
  EXPECT_EQ(fd->Close(), 0);
  EXPECT_EQ(Contents(), "012X4Y6789");

  Zr_BufferedFileDescriptor never;
  EXPECT_EQ(ErrnoOf(never.Close()), EBADF);
  EXPECT_EQ(ErrnoOf(never.Flush()), EBADF);
}

TEST_F(Buffered, PiecesOfEveryShortLengthArriveIntact) {
  // Short pieces take copy paths of their own, length by length.
  std::string data;
  for (size_t n = 0; n <= 40; ++n) data += Pattern(n, static_cast<uint32_t>(n));
  auto fd = OpenWith("");
  for (size_t n = 0, at = 0; n <= 40; at += n, ++n) {
    ASSERT_EQ(fd->Write(data.data() + at, n), static_cast<int64_t>(n));
  }
  EXPECT_EQ(fd->Flush(), 0);
  EXPECT_EQ(Contents(), data);
  EXPECT_EQ(fd->Seek(0, SEEK_SET), 0);
  std::string back;
  for (size_t n = 40, at = 0; at < data.size(); at += n, n = n == 0 ? 40 : n - 1) {
    char piece[40];
    const int64_t got = fd->Read(piece, n);
    ASSERT_EQ(got, static_cast<int64_t>(std::min(n, data.size() - at)));
    back.append(piece, static_cast<size_t>(got));
  }
  EXPECT_EQ(back, data);
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
        trace += " T" + std::to_string(n * 10);
        ASSERT_EQ(fd->Truncate(static_cast<long>(n * 10)),
                  plain.Truncate(static_cast<long>(n * 10)))
            << trace;
      }
    }
    ASSERT_EQ(fd->Close(), 0);
    ASSERT_EQ(plain.Close(), 0);
    ASSERT_EQ(Contents(), ReadFileContents(plain_path)) << "seed " << seed << trace;
  }
}

}  // namespace
