// The descriptor contract, run against every descriptor class, then what is
// special to the plain descriptor (its Copy driven by fakes, flags, offsets).
#include "Zr_BufferedFileDescriptor.h"
#include "Zr_FileDescriptor.h"
#include "Zr_StreamFileDescriptor.h"
#include "Zr_Utils.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fileio_test_util.h"
#include "test_support.h"

using zr_test::ErrnoOf;
using zr_test::Pattern;
using zr_test::ReadFileContents;
using zr_test::WriteFile;

namespace {

// What differs between the classes where the contract allows it.
template <typename T>
struct Traits {
  static std::unique_ptr<Zr_FileDescriptor> Make() { return std::make_unique<T>(); }
  static constexpr int kClosedTruncateErrno = EBADF;
  static constexpr mode_t kMkSTempMode = 0600;
};

template <>
struct Traits<Zr_StreamFileDescriptor> {
  static std::unique_ptr<Zr_FileDescriptor> Make() {
    return std::make_unique<Zr_StreamFileDescriptor>();
  }
  static constexpr int kClosedTruncateErrno = ENOSYS;  // not supported at all
  static constexpr mode_t kMkSTempMode = 0;
};

template <typename T>
class DescriptorContract : public ::testing::Test {
 protected:
  std::unique_ptr<Zr_FileDescriptor> Make() { return Traits<T>::Make(); }
  std::string Path(const char* name) { return dir.File(name); }
  // A descriptor open on a new file holding `contents`.
  std::unique_ptr<Zr_FileDescriptor> OpenWith(const char* name, const std::string& contents,
                                              int flags = O_RDWR) {
    WriteFile(Path(name), contents);
    auto fd = Make();
    EXPECT_GE(fd->Open(Path(name).c_str(), flags), 0) << strerror(errno);
    return fd;
  }
  zr_test::TempDir dir;
};

// A buffer smaller than most transfers, so every copy loop turns over.
class SmallBuffered : public Zr_BufferedFileDescriptor {
 public:
  SmallBuffered() : Zr_BufferedFileDescriptor(7) {}
};

using DescriptorTypes = ::testing::Types<Zr_FileDescriptor, Zr_BufferedFileDescriptor,
                                         SmallBuffered, Zr_StreamFileDescriptor>;
TYPED_TEST_SUITE(DescriptorContract, DescriptorTypes);

TYPED_TEST(DescriptorContract, ClosedObjectRefusesEveryGuardedOperation) {
  auto fd = this->Make();
  char buf[8] = {};
  struct stat st;
  EXPECT_FALSE(fd->IsOpen());
  EXPECT_EQ(fd->GetFileDescriptor(), Zr_FileDescriptor::INVALID_FD);
  EXPECT_EQ(ErrnoOf(fd->Read(buf, sizeof buf)), EBADF);
  EXPECT_EQ(ErrnoOf(fd->Write(buf, sizeof buf)), EBADF);
  EXPECT_EQ(ErrnoOf(fd->Seek(0, SEEK_SET)), EBADF);
  EXPECT_EQ(ErrnoOf(fd->Sync()), EBADF);
  EXPECT_EQ(ErrnoOf(fd->DataSync()), EBADF);
  EXPECT_EQ(ErrnoOf(fd->Stat(&st)), EBADF);
  EXPECT_EQ(ErrnoOf(fd->GetFlags()), EBADF);
  EXPECT_EQ(ErrnoOf(fd->Close()), EBADF);
  EXPECT_EQ(ErrnoOf(fd->Truncate(0)), Traits<TypeParam>::kClosedTruncateErrno);
  EXPECT_EQ(ErrnoOf(fd->SetFlags(0)), Traits<TypeParam>::kClosedTruncateErrno);
  // The closed check comes before the buffer check.
  EXPECT_EQ(ErrnoOf(fd->Read(nullptr, 1)), EBADF);
}

TYPED_TEST(DescriptorContract, OpenCloseLifecycle) {
  auto fd = this->OpenWith("a", "abcdef");
  ASSERT_TRUE(fd->IsOpen());
  const int first = fd->GetFileDescriptor();
  ASSERT_GE(first, 0);

  // A second Open fails and leaves the first descriptor usable.
  EXPECT_EQ(ErrnoOf(fd->Open(this->Path("a").c_str(), O_RDONLY)), EBADF);
  EXPECT_EQ(ErrnoOf(fd->Open(this->Path("a").c_str(), O_RDONLY, 0)), EBADF);
  char buf[3];
  EXPECT_EQ(fd->Read(buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  EXPECT_EQ(fd->GetFileDescriptor(), first);

  EXPECT_EQ(fd->Close(), 0);
  EXPECT_FALSE(fd->IsOpen());
  EXPECT_EQ(fcntl(first, F_GETFD), -1);  // really closed
  EXPECT_EQ(ErrnoOf(fd->Close()), EBADF);
  // Nothing read ahead or left pending before the close serves a transfer.
  EXPECT_EQ(ErrnoOf(fd->Read(buf, 1)), EBADF);
  EXPECT_EQ(ErrnoOf(fd->Write("x", 1)), EBADF);

  // Closed objects can be opened again; output pending at Close was written.
  EXPECT_GE(fd->Open(this->Path("a").c_str(), O_RDWR), 0);
  EXPECT_EQ(fd->Write("AB", 2), 2);
  EXPECT_EQ(fd->Close(), 0);
  EXPECT_EQ(ErrnoOf(fd->Write("x", 1)), EBADF);
  EXPECT_EQ(ReadFileContents(this->Path("a")), "ABcdef");
}

TYPED_TEST(DescriptorContract, FailedOpenLeavesObjectClosed) {
  auto fd = this->Make();
  EXPECT_EQ(ErrnoOf(fd->Open(this->Path("missing").c_str(), O_RDONLY)), ENOENT);
  EXPECT_FALSE(fd->IsOpen());
  EXPECT_EQ(fd->GetFileDescriptor(), -1);
}

TYPED_TEST(DescriptorContract, CreatingNeedsTheThreeArgumentOpen) {
  auto fd = this->Make();
  const std::string path = this->Path("new");
  EXPECT_EQ(ErrnoOf(fd->Open(path.c_str(), O_RDWR | O_CREAT)), EINVAL);
  EXPECT_FALSE(fd->IsOpen());
  EXPECT_NE(access(path.c_str(), F_OK), 0);

  const mode_t old_mask = umask(022);
  EXPECT_GE(fd->Open(path.c_str(), O_RDWR | O_CREAT, 0666), 0);
  umask(old_mask);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TYPED_TEST(DescriptorContract, WrittenDataReadsBackThroughAnyDescriptor) {
  const std::string data = Pattern(200000, 7);
  auto fd = this->OpenWith("rw", "");
  EXPECT_EQ(fd->Write(data.data(), data.size()), static_cast<int64_t>(data.size()));
  EXPECT_EQ(fd->Write(data.data(), 0), 0);
  EXPECT_EQ(fd->Seek(0, SEEK_SET), 0);
  std::string back(data.size() + 10, '\0');
  EXPECT_EQ(fd->Read(&back[0], back.size()), static_cast<int64_t>(data.size()));
  back.resize(data.size());
  EXPECT_EQ(back, data);
  char c;
  EXPECT_EQ(fd->Read(&c, 1), 0);  // end of file
  EXPECT_EQ(fd->Close(), 0);
  EXPECT_EQ(ReadFileContents(this->Path("rw")), data);
}

TYPED_TEST(DescriptorContract, NullBufferIsEfaultNeverACrash) {
  auto fd = this->OpenWith("n", "0123456789");
  EXPECT_EQ(ErrnoOf(fd->Read(nullptr, 4)), EFAULT);
  EXPECT_EQ(ErrnoOf(fd->Write(nullptr, 4)), EFAULT);
  EXPECT_EQ(fd->Read(nullptr, 0), 0);
  EXPECT_EQ(fd->Write(nullptr, 0), 0);
  // The refused calls moved nothing.
  char buf[10];
  EXPECT_EQ(fd->Read(buf, 10), 10);
  EXPECT_EQ(std::string(buf, 10), "0123456789");
  EXPECT_EQ(fd->Close(), 0);
  EXPECT_EQ(ReadFileContents(this->Path("n")), "0123456789");
}

TYPED_TEST(DescriptorContract, MkSTempCreatesPrivateFileAndRestoresMask) {
  const mode_t before = umask(027);
  auto fd = this->Make();
  std::string tmpl = this->Path("tmp.XXXXXX");
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  const int n = fd->MkSTemp(buf.data());
  ASSERT_GE(n, 0) << strerror(errno);
  EXPECT_EQ(n, fd->GetFileDescriptor());
  const std::string made(buf.data());
  EXPECT_NE(made, tmpl);
  EXPECT_EQ(made.substr(0, made.size() - 6), tmpl.substr(0, tmpl.size() - 6));
  struct stat st;
  ASSERT_EQ(stat(made.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, Traits<TypeParam>::kMkSTempMode);
  // The file is usable through the object whatever its permission bits.
  EXPECT_EQ(fd->Write("xyz", 3), 3);
  EXPECT_EQ(fd->Close(), 0);
  EXPECT_EQ(ReadFileContents(made), "xyz");

  // A second MkSTemp on an open object, and a template without the six X's.
  std::vector<char> again(buf);
  ASSERT_GE(fd->Open(made.c_str(), O_RDONLY), 0);
  EXPECT_EQ(ErrnoOf(fd->MkSTemp(again.data())), EBADF);
  EXPECT_EQ(std::string(again.data()), made);
  EXPECT_EQ(fd->Close(), 0);
  char bad[] = "/tmp/zr-no-x";
  EXPECT_EQ(ErrnoOf(fd->MkSTemp(bad)), EINVAL);
  EXPECT_FALSE(fd->IsOpen());
  EXPECT_EQ(umask(before), 027u);  // the mask was restored both times
}

TYPED_TEST(DescriptorContract, CopyToEndOfFileAndByCount) {
  const std::string data = Pattern(10000, 3);
  std::vector<char> scratch(4096);
  {
    auto src = this->OpenWith("src", data, O_RDONLY);
    auto dst = this->OpenWith("dst", "");
    EXPECT_EQ(dst->Copy(*src, -1, scratch.data(), scratch.size()), 0);
    EXPECT_EQ(dst->Close(), 0);
    EXPECT_EQ(ReadFileContents(this->Path("dst")), data);
  }
  {
    // End of file after two full buffers: those stay written, then ENODATA.
    auto src = this->OpenWith("src", data, O_RDONLY);
    auto dst = this->OpenWith("dst", "");
    EXPECT_EQ(ErrnoOf(dst->Copy(*src, 20000, scratch.data(), scratch.size())), ENODATA);
    EXPECT_EQ(dst->Close(), 0);
    EXPECT_EQ(ReadFileContents(this->Path("dst")), data.substr(0, 8192));
  }
  {
    auto src = this->OpenWith("src", data, O_RDONLY);
    auto dst = this->OpenWith("dst", "");
    EXPECT_EQ(dst->Copy(*src, 5000, scratch.data(), scratch.size()), 0);
    EXPECT_EQ(dst->Copy(*src, 0, scratch.data(), scratch.size()), 0);
    EXPECT_EQ(ErrnoOf(dst->Copy(*src, -2, scratch.data(), scratch.size())), EINVAL);
    EXPECT_EQ(ErrnoOf(dst->Copy(*src, 10, scratch.data(), 0)), EINVAL);
    EXPECT_EQ(ErrnoOf(dst->Copy(*src, 10, scratch.data(), ~0ul)), EINVAL);
    // None of the refused copies consumed source bytes.
    EXPECT_EQ(dst->Copy(*src, 5000, scratch.data(), scratch.size()), 0);
    EXPECT_EQ(dst->Close(), 0);
    EXPECT_EQ(ReadFileContents(this->Path("dst")), data);
  }
}

TYPED_TEST(DescriptorContract, WholeBufferHelpersThrowWithExactMessages) {
  auto expect_throw = [](auto&& call, int err, const char* message) {
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const Zr_ErrnoException& e) {
      char text[128];
      EXPECT_EQ(e.GetErrno(), err);
      EXPECT_STREQ(e.GetString(text, sizeof text), message);
    }
  };
  unsigned char buf[100];
  auto closed = this->Make();
  expect_throw([&] { Zr_ReadBuf(*closed, buf, 10); }, EBADF,
               "IO problem reading data from stream into buffer.");
  expect_throw([&] { Zr_WriteBuf(*closed, buf, 10); }, EBADF,
               "Failed to write to stream from buffer");

  auto fd = this->OpenWith("sixty", Pattern(60));
  expect_throw([&] { Zr_ReadBuf(*fd, buf, 100); }, ENODATA,
               "Failed to read all data from stream into buffer.");
  EXPECT_EQ(Zr_WriteBuf(*fd, buf, 0), 0);
  EXPECT_EQ(Zr_WriteBuf(*fd, buf, 40), 40);
  EXPECT_EQ(fd->Seek(0, SEEK_SET), 0);
  EXPECT_EQ(Zr_ReadBuf(*fd, buf, 100), 100);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 60), Pattern(60));
}

// ---------------------------------------------------------------------------
// The plain descriptor.

// A source that hands out a fixed number of bytes and logs each request.
class FakeSource : public Zr_FileDescriptor {
 public:
  explicit FakeSource(int64_t size) : m_left(size) {}
  bool IsOpen() override { return true; }
  int64_t Read(void* buffer, unsigned long count) override {
    requests.push_back(count);
    if (fail_next) {
      errno = EIO;
      return -1;
    }
    int64_t n = std::min<int64_t>(m_left, static_cast<int64_t>(count));
    memset(buffer, 'r', static_cast<size_t>(n));
    m_left -= n;
    return n;
  }
  std::vector<unsigned long> requests;
  bool fail_next = false;

 private:
  int64_t m_left;
};

// A sink that accepts at most `limit` bytes a call, or fails.
class FakeSink : public Zr_FileDescriptor {
 public:
  bool IsOpen() override { return true; }
  int64_t Write(void const*, unsigned long count) override {
    if (fail) {
      errno = ENOSPC;
      return -1;
    }
    int64_t n = std::min<int64_t>(limit, static_cast<int64_t>(count));
    total += n;
    return n;
  }
  int64_t limit = 1 << 30;
  int64_t total = 0;
  bool fail = false;
};

TEST(FileDescriptorCopy, RequestsBufferSizedChunksAndStopsAtEnd) {
  char scratch[4096];
  FakeSource src(10000);
  FakeSink sink;
  EXPECT_EQ(sink.Copy(src, -1, scratch, sizeof scratch), 0);
  EXPECT_EQ(src.requests, (std::vector<unsigned long>{4096, 4096, 4096, 4096}));
  EXPECT_EQ(sink.total, 10000);

  FakeSource counted(10000);
  FakeSink sink2;
  EXPECT_EQ(sink2.Copy(counted, 9000, scratch, sizeof scratch), 0);
  EXPECT_EQ(counted.requests, (std::vector<unsigned long>{4096, 4096, 808}));
  EXPECT_EQ(sink2.total, 9000);

  FakeSource untouched(10);
  EXPECT_EQ(sink2.Copy(untouched, 0, scratch, sizeof scratch), 0);
  EXPECT_TRUE(untouched.requests.empty());
}

TEST(FileDescriptorCopy, FailuresOfEitherSideAreReported) {
  char scratch[64];
  for (long count : {-1L, 1000L}) {
    FakeSource src(1000);
    FakeSink short_sink;
    short_sink.limit = 10;
    EXPECT_EQ(ErrnoOf(short_sink.Copy(src, count, scratch, sizeof scratch)), EIO) << count;
    EXPECT_EQ(src.requests.size(), 1u);

    FakeSource src2(1000);
    FakeSink full;
    full.fail = true;
    EXPECT_EQ(ErrnoOf(full.Copy(src2, count, scratch, sizeof scratch)), ENOSPC) << count;

    FakeSource broken(1000);
    broken.fail_next = true;
    FakeSink sink;
    EXPECT_EQ(ErrnoOf(sink.Copy(broken, count, scratch, sizeof scratch)), EIO) << count;
    EXPECT_EQ(sink.total, 0);
  }
}

TEST(FileDescriptor, OffsetsFlagsSizeAndTruncate) {
  zr_test::TempDir dir;
  const std::string path = dir.File("f");
  WriteFile(path, Pattern(1000));
  Zr_FileDescriptor fd;
  ASSERT_GE(fd.Open(path.c_str(), O_RDWR), 0);
  EXPECT_EQ(fd.Seek(0, SEEK_END), 1000);
  EXPECT_EQ(fd.Seek(-10, SEEK_CUR), 990);
  EXPECT_EQ(ErrnoOf(fd.Seek(-1, SEEK_SET)), EINVAL);
  EXPECT_EQ(zr_test::KernelOffset(fd.GetFileDescriptor()), 990);

  const int before = fd.GetFlags();
  ASSERT_NE(before, -1);
  EXPECT_EQ(before & O_NONBLOCK, 0);
  EXPECT_EQ(fd.SetFlags(before | O_NONBLOCK), before);
  EXPECT_NE(fd.GetFlags() & O_NONBLOCK, 0);

  EXPECT_EQ(fd.Truncate(100), 0);
  struct stat st;
  EXPECT_EQ(fd.Stat(&st), 0);
  EXPECT_EQ(st.st_size, 100);
  EXPECT_EQ(fd.Sync(), 0);
  EXPECT_EQ(fd.DataSync(), 0);
  EXPECT_EQ(ErrnoOf(fd.Truncate(-1)), EINVAL);
}

TEST(FileDescriptor, DestructionClosesTheDescriptor) {
  zr_test::TempDir dir;
  WriteFile(dir.File("f"), "x");
  int number;
  {
    Zr_FileDescriptor fd;
    number = fd.Open(dir.File("f").c_str(), O_RDONLY);
    ASSERT_GE(number, 0);
  }
  errno = 0;
  EXPECT_EQ(fcntl(number, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(FileDescriptor, ReadOnlyDescriptorRefusesWrites) {
  zr_test::TempDir dir;
  WriteFile(dir.File("ro"), "keep");
  Zr_FileDescriptor fd;
  ASSERT_GE(fd.Open(dir.File("ro").c_str(), O_RDONLY), 0);
  EXPECT_EQ(ErrnoOf(fd.Write("new", 3)), EBADF);
  unsigned char b[3] = {1, 2, 3};
  try {
    Zr_WriteBuf(fd, b, 3);
    ADD_FAILURE() << "no exception";
  } catch (const Zr_ErrnoException& e) {
    EXPECT_EQ(e.GetErrno(), EBADF);
  }
  EXPECT_EQ(ReadFileContents(dir.File("ro")), "keep");
}

}  // namespace
