// The descriptor contract, run against every descriptor class, then what is
// special to the plain descriptor.
#include "Zr_FileDescriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <type_traits>
#include <vector>

#include "Zr_BufferedFileDescriptor.h"
#include "Zr_StreamFileDescriptor.h"
#include "fileio_test_util.h"
#include "test_support.h"

using namespace zr_test;

namespace {

// The stream class gives ENOSYS for Truncate/SetFlags even when closed,
// and MkSTemp leaves its file mode 0; the plain class buffers nothing.
template <typename T>
constexpr bool kStream = std::is_same_v<T, Zr_StreamFileDescriptor>;
template <typename T>
constexpr bool kPlain = std::is_same_v<T, Zr_FileDescriptor>;
// A copy would close the same descriptor twice.
static_assert(!std::is_copy_constructible_v<Zr_FileDescriptor> &&
              !std::is_copy_assignable_v<Zr_FileDescriptor>);

// A sink whose Write takes at most `limit` bytes a call without failing (a
// short write, which Copy calls EIO), or fails: with ENOSPC when it is -1,
// without setting errno when it is -2.
struct Sink : Zr_FileDescriptor {
  explicit Sink(int64_t limit) : m_limit(limit) {}
  bool IsOpen() override { return true; }
  int64_t Write(void const*, unsigned long count) override {
    if (m_limit == -1) errno = ENOSPC;
    return m_limit < 0 ? -1 : std::min<int64_t>(count, m_limit);
  }
  int64_t m_limit;
};

// The errno of each call that takes a buffer and a count, given these.
template <typename T>
NamedErrnos Transfers(T& fd, char* b, unsigned long n) {
  NamedErrnos e = {NAMED_ERRNO(fd.Read(b, n)), NAMED_ERRNO(fd.Write(b, n))};
  if constexpr (std::is_same_v<T, Zr_BufferedFileDescriptor>)
    e.insert(e.end(),
             {NAMED_ERRNO(fd.UnbufferedRead(b, n)), NAMED_ERRNO(fd.UnbufferedWrite(b, n))});
  return e;
}

template <typename T>
struct Contract : ::testing::Test {
  TempDir dir;
};
using Types =
    ::testing::Types<Zr_FileDescriptor, Zr_BufferedFileDescriptor, Zr_StreamFileDescriptor>;
TYPED_TEST_SUITE(Contract, Types);

// Closed, and then holding a number closed behind the object's back: every
// operation fails with EBADF, from the guard (before the buffer is looked
// at) or from the system.
TYPED_TEST(Contract, ClosedOrForeignClosedObjectFailsEveryOperation) {
  TypeParam fd;
  struct stat st;
  ExpectErrnos(Transfers(fd, nullptr, 8), EBADF);
  if constexpr (!kPlain<TypeParam>) ExpectErrnos({NAMED_ERRNO(fd.Flush())}, EBADF);
  EXPECT_EQ(fd.GetFileDescriptor(), -1);
  for (bool foreign : {false, true}) {
    if (foreign) close(fd.Open(this->dir.File("f").c_str(), O_RDWR | O_CREAT, 0600));
    ExpectErrnos({NAMED_ERRNO(fd.Truncate(0)), NAMED_ERRNO(fd.SetFlags(0))},
                 kStream<TypeParam> ? ENOSYS : EBADF);
    ExpectErrnos({NAMED_ERRNO(fd.Read(&st, 1)), NAMED_ERRNO(fd.Seek(0, 0)), NAMED_ERRNO(fd.Sync()),
                  NAMED_ERRNO(fd.DataSync()), NAMED_ERRNO(fd.Stat(&st)), NAMED_ERRNO(fd.GetFlags()),
                  NAMED_ERRNO(fd.Close())},
                 EBADF);
  }
}

TYPED_TEST(Contract, OpenCreatesOnlyWithAModeAndNeverOverAnOpenDescriptor) {
  TypeParam fd;
  const std::string path = this->dir.File("f");
  EXPECT_EQ(ErrnoOf(fd.Open(path.c_str(), O_RDWR | O_CREAT)), EINVAL);  // mode needed
  EXPECT_EQ(ErrnoOf(fd.Open(path.c_str(), O_RDWR)), ENOENT);            // so none made
  const int first = fd.Open(path.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(first, 0);
  EXPECT_EQ(ErrnoOf(fd.Open(path.c_str(), O_RDONLY, 0)), EBADF);
  EXPECT_EQ(fd.GetFileDescriptor(), first);  // the first stays
}

// Refused before any copy or descriptor I/O, with output pending and then
// with read-ahead.
TYPED_TEST(Contract, BadBufferOrCountIsRefusedBeforeAnyIo) {
  auto fd = OpenWith<TypeParam>(this->dir.File("f"), Pattern(20000), O_RDWR);
  char buf[3];
  for (bool reading : {false, true}) {
    EXPECT_EQ(reading ? fd->Read(buf, 3) : fd->Write("ab", 2), reading ? 3 : 2);
    const off_t where = lseek(fd->GetFileDescriptor(), 0, SEEK_CUR);
    ExpectErrnos(Transfers(*fd, nullptr, 1), EFAULT);
    ExpectErrnos(Transfers(*fd, buf, SSIZE_MAX + 1ul), EINVAL);
    EXPECT_EQ(lseek(fd->GetFileDescriptor(), 0, SEEK_CUR), where);
    EXPECT_EQ(fd->Seek(0, SEEK_SET), 0);
  }
}

// Sync writes and syncs all output (Stat then counts it), Close too, and
// drops read-ahead; destruction closes as well. SetFlags returns the flags
// it replaced.
TYPED_TEST(Contract, OutputReachesTheFileBySyncCloseAndDestruction) {
  const std::string path = this->dir.File("f"), data = Pattern(20000);
  auto fd = OpenWith<TypeParam>(path, "", O_RDWR);
  const int number = fd->GetFileDescriptor(), flags = fd->GetFlags();
  struct stat st;
  EXPECT_EQ(fd->Write(data.data(), data.size()), 20000);
  ExpectErrnos({NAMED_ERRNO(fd->Sync()), NAMED_ERRNO(fd->DataSync()), NAMED_ERRNO(fd->Stat(&st))},
               kSucceeded);
  EXPECT_EQ(st.st_size, 20000);
  EXPECT_EQ(fd->SetFlags(flags | O_NONBLOCK), kStream<TypeParam> ? -1 : flags);
  EXPECT_EQ(fd->GetFlags(), kStream<TypeParam> ? flags : flags | O_NONBLOCK);
  EXPECT_EQ(fd->Seek(0, SEEK_SET), 0);
  char buf[3];
  EXPECT_EQ(fd->Read(buf, 3), 3);  // read-ahead that the close must drop
  EXPECT_EQ(fd->Close(), 0);
  EXPECT_EQ(fcntl(number, F_GETFD), -1);
  EXPECT_EQ(ReadFileContents(path), data);
  // Nothing read ahead or pending before the close serves a later call.
  EXPECT_EQ(ErrnoOf(fd->Read(buf, 1)), EBADF);
  EXPECT_EQ(ErrnoOf(fd->Close()), EBADF);
  const int again = fd->Open(path.c_str(), O_WRONLY | O_APPEND);
  EXPECT_EQ(fd->Write("end", 3), 3);
  fd.reset();
  EXPECT_EQ(fcntl(again, F_GETFD), -1);
  EXPECT_EQ(ReadFileContents(path), data + "end");
}

// /dev/null refuses O_DIRECT, and output that /dev/full refuses fails the
// Write or, in a class that buffers, the next call that flushes (a failed
// Close closes all the same).
TYPED_TEST(Contract, WhatTheSystemRefusesComesBackWithItsErrno) {
  TypeParam fd;
  ASSERT_GE(fd.Open("/dev/null", O_RDWR), 0);
  EXPECT_EQ(ErrnoOf(fd.SetFlags(O_DIRECT)), kStream<TypeParam> ? ENOSYS : EINVAL);
  const std::function<int64_t()> flushing[] = {
      [&] { return fd.Seek(0, SEEK_SET); }, [&] { return fd.Sync(); },
      [&] { return fd.DataSync(); }, [&] { return fd.Close(); }};
  for (const auto& op : flushing) {
    fd.Close();
    ASSERT_GE(fd.Open("/dev/full", O_WRONLY), 0);
    const int wrote = ErrnoOf(fd.Write("abc", 3));
    EXPECT_EQ(kPlain<TypeParam> ? wrote : ErrnoOf(op()), ENOSPC) << &op - flushing;
  }
  EXPECT_EQ(fd.IsOpen(), kPlain<TypeParam>);
}

// The process mask is restored after success and failure.
TYPED_TEST(Contract, MkSTempReplacesTheXsAndKeepsTheProcessMask) {
  TypeParam fd;
  struct stat st;
  const mode_t before = umask(027);
  std::string name = this->dir.File("t.XXXXXX");
  ASSERT_GE(fd.MkSTemp(&name[0]), 0);
  EXPECT_EQ(ErrnoOf(fd.MkSTemp(&name[0])), EBADF);  // before mkstemp64 sees no Xs
  ASSERT_EQ(stat(name.c_str(), &st), 0);            // the Xs were replaced in place
  EXPECT_EQ(st.st_mode & 0777, (kStream<TypeParam> ? 0u : 0600u));
  EXPECT_EQ(fd.Write("xyz", 3), 3);  // usable whatever the permission bits
  EXPECT_EQ(ErrnoOf(TypeParam().MkSTemp(&std::string("/tmp/zr-no-x")[0])), EINVAL);
  EXPECT_EQ(umask(before), 027u);
}

TYPED_TEST(Contract, CopyToEndOfFileAndByCount) {
  const std::string data = Pattern(10000, 3), dst = this->dir.File("dst");
  char scratch[4096];
  auto copy = [&](long count, unsigned long size, int expected_errno, size_t expected_bytes) {
    auto in = OpenWith<TypeParam>(this->dir.File("src"), data, O_RDONLY);
    auto out = OpenWith<TypeParam>(dst, "", O_RDWR);
    EXPECT_EQ(ErrnoOf(out->Copy(*in, count, scratch, size)), expected_errno) << count;
    EXPECT_EQ(out->Close(), 0);
    EXPECT_EQ(ReadFileContents(dst), data.substr(0, expected_bytes)) << count;
  };
  copy(-1, sizeof scratch, kSucceeded, 10000);
  copy(9000, sizeof scratch, kSucceeded, 9000);
  copy(20000, sizeof scratch, ENODATA, 8192);  // two full buffers, then the end
  copy(10001, 2500, ENODATA, 10000);  // ends at a piece's edge: an empty read is no success
  copy(0, sizeof scratch, kSucceeded, 0);
  copy(-2, sizeof scratch, EINVAL, 0);
  for (unsigned long size : {0ul, ~0ul}) copy(10, size, EINVAL, 0);  // ~0: negative as signed
  // A failed read (the source is open for writing only) or write, and a
  // short write, come back as -1 with the errno of each.
  auto in = OpenWith<TypeParam>(this->dir.File("src"), data, O_RDONLY);
  auto unreadable = OpenWith<TypeParam>(this->dir.File("w"), data, O_WRONLY);
  for (long count : {-1L, 20L}) {
    EXPECT_EQ(ErrnoOf(Sink(64).Copy(*unreadable, count, scratch, 64)), EBADF) << count;
    EXPECT_EQ(ErrnoOf(Sink(-1).Copy(*in, count, scratch, 64)), ENOSPC) << count;
    EXPECT_EQ(ErrnoOf(Sink(10).Copy(*in, count, scratch, 64)), EIO) << count;
  }
}

TYPED_TEST(Contract, WholeBufferHelpersThrowWithExactMessages) {
  auto thrown = [](auto&& call) -> std::string {
    char text[128];
    errno = 0;
    try {
      call();
    } catch (const Zr_ErrnoException& e) {
      return std::to_string(e.GetErrno()) + " " + e.GetString(text, sizeof text);
    }
    return "nothing";
  };
  unsigned char buf[100];
  TypeParam closed;
  EXPECT_EQ(thrown([&] { Zr_ReadBuf(closed, buf, 10); }),
            "9 IO problem reading data from stream into buffer.");
  EXPECT_EQ(thrown([&] { Zr_WriteBuf(closed, buf, 10); }),
            "9 Failed to write to stream from buffer");
  Sink silent(-2);  // fails without an errno: never reported as 0
  EXPECT_EQ(thrown([&] { Zr_WriteBuf(silent, buf, 10); }),
            "75 Failed to write to stream from buffer");
  auto fd = OpenWith<TypeParam>(this->dir.File("sixty"), Pattern(60), O_RDWR);
  EXPECT_EQ(thrown([&] { Zr_ReadBuf(*fd, buf, 100); }),
            "61 Failed to read all data from stream into buffer.");
}

}  // namespace
