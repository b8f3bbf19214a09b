// The runtime-support layer: bounded copy, interruption-safe I/O under
// partial transfers and signals, and the assertion hook.
#include <tvo/tvort.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "fileio_test_util.h"
#include "test_support.h"

namespace {

TEST(Tvostrcpy, CopiesCutsAndToleratesNulls) {
  struct Case {
    const char* src;
    size_t capacity;
    const char* want;
  } cases[] = {{"abc", 8, "abc"}, {"abcdefghijk", 8, "abcdefg"}, {"", 8, ""}, {nullptr, 8, ""},
               {"zz", 1, ""},     {"new", 0, "keepme!"}};
  for (const Case& c : cases) {
    char buf[8] = "keepme!";
    EXPECT_EQ(tvostrcpy(buf, c.src, c.capacity), buf);
    EXPECT_STREQ(buf, c.want) << c.capacity;
  }
  EXPECT_EQ(tvostrcpy(nullptr, "new", 10), nullptr);
  // An unterminated source longer than the capacity: nothing past it is read.
  std::unique_ptr<char[]> src(new char[4]{'a', 'b', 'c', 'd'});
  char dst[4];
  EXPECT_STREQ(tvostrcpy(dst, src.get(), sizeof dst), "abc");
}

// A whole count crosses a small pipe while signals interrupt both ends:
// safe_read and safe_fread take it from a writer that dribbles odd-sized
// pieces, and a slow reader takes it from safe_write, from safe_fwrite in
// 1,000-byte pieces (stdio writes when a piece overflows its buffer) and
// from safe_fwrite with safe_fflush after every piece. Reads are short only
// at end of file, and every byte a write accepted arrives once, in order.
TEST(SafeIo, TransfersCompleteAcrossPiecesAndSignals) {
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + i / 4096);
  signal(SIGPIPE, SIG_IGN);
  for (std::string mode : {"read", "fread", "write", "fwrite", "fflush"}) {
    const bool reading = mode.find("read") != std::string::npos;
    std::string got;
    zr_test::ThroughPipeUnderSignals(
        [&](int fd) {
          FILE* out = reading || mode == "write" ? nullptr : fdopen(fd, "w");
          const size_t piece = out ? 1000 : reading ? 333 : data.size();
          for (size_t off = 0; off < data.size(); off += piece) {
            const size_t n = std::min(piece, data.size() - off);
            const ssize_t w =
                out ? safe_fwrite(out, data.data() + off, n) : safe_write(fd, data.data() + off, n);
            const int flushed = mode == "fflush" ? safe_fflush(out) : 0;
            EXPECT_EQ(w, ssize_t(n)) << mode << " write at " << off;
            EXPECT_EQ(flushed, 0) << mode << " flush at " << off;
            if (w != ssize_t(n) || flushed != 0) break;
          }
          EXPECT_EQ(out ? safe_fflush(out) : 0, 0) << mode;
          out ? fclose(out) : close(fd);
        },
        [&](int fd) {
          FILE* in = mode == "fread" ? fdopen(fd, "r") : nullptr;
          got.resize(reading ? data.size() + 10 : 0);
          const ssize_t n = !reading ? 0
                            : in     ? safe_fread(in, &got[0], got.size())
                                     : safe_read(fd, &got[0], got.size());
          got = reading ? got.substr(0, n < 0 ? 0 : n) : zr_test::ReadSlowly(fd);
          in ? fclose(in) : close(fd);
        });
    EXPECT_TRUE(got == data) << mode << " got " << got.size();
  }
}

// Errors come back as -1 with errno; the stream syncs flush stdio's buffer
// first, so the bytes are in the file.
TEST(SafeIo, ErrorsAndStreamSyncs) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(ErrnoOf(safe_write(p[1], "x", 1)), EPIPE);
  close(p[1]);
  char buf[4];
  for (int e : {ErrnoOf(safe_read(p[1], buf, sizeof buf)), ErrnoOf(safe_fsync(p[1])),
                ErrnoOf(safe_fdatasync(p[1]))})
    EXPECT_EQ(e, EBADF);

  zr_test::TempDir dir;
  std::string path = dir.File("s"), want;
  FILE* f = fopen(path.c_str(), "w+");
  ASSERT_NE(f, nullptr);
  for (auto sync : {safe_ffsync, safe_ffdatasync}) {
    EXPECT_EQ(safe_fwrite(f, "tail", 4), 4);
    EXPECT_EQ(sync(f), 0);
    EXPECT_EQ(zr_test::ReadFileContents(path), want += "tail");
  }
  fclose(f);
}

TEST(TvoAssert, HandlerHookAndDefaultOutput) {
  // Replacing and restoring the handler.
  static int calls = 0;
  tvo_assert_handler_t mine = [](const char*, const char*, int, const char*) { ++calls; };
  tvo_assert_handler_t before = tvo_set_assert_handler(mine);
  int x = 1;
  TVO_ASSERT(x == 2);
  TVO_ASSERT(x == 1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(tvo_set_assert_handler(before), mine);

  // The default writes one line to stderr and returns.
  testing::internal::CaptureStderr();
  void* p = &x;
  TVO_ASSERT(p == NULL);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Assertion `p == __null' failed."), std::string::npos) << err;
  EXPECT_NE(err.find("TestBody()"), std::string::npos) << err;
  EXPECT_NE(err.find("tvort_test.cpp:"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

}  // namespace
