// The runtime-support layer: bounded copy, interruption-safe I/O under
// partial transfers and signals, and the assertion hook, with write(2)
// failures injected through this program's own write.
#include <tvo/tvort.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fileio_test_util.h"
#include "test_support.h"

namespace {
// write(2) as this program and libtvort, which imports it, see it: the
// system's, except that calls on descriptor g_fake_fd take their results
// from g_script first: a negative entry fails with that errno, any other
// writes at most that many bytes (0: none).
std::atomic<int> g_fake_fd{-1};
std::vector<int> g_script;
}  // namespace

extern "C" ssize_t write(int fd, const void* buf, size_t count) {
  if (fd == g_fake_fd && !g_script.empty()) {
    const int step = g_script.front();
    g_script.erase(g_script.begin());
    if (step < 0) errno = -step;
    if (step <= 0) return step < 0 ? -1 : 0;
    count = std::min<size_t>(count, step);
  }
  return syscall(SYS_write, fd, buf, count);
}

namespace {

TEST(Tvostrcpy, CopiesCutsAndToleratesNulls) {
  const std::tuple<const char*, size_t, const char*> cases[] = {
      {"abc", 8, "abc"}, {"abcdefghijk", 8, "abcdefg"}, {"", 8, ""}, {nullptr, 8, ""},
      {"zz", 1, ""},     {"new", 0, "keepme!"}};
  for (auto [src, capacity, want] : cases) {
    char buf[8] = "keepme!";
    EXPECT_EQ(tvostrcpy(buf, src, capacity), buf);
    EXPECT_STREQ(buf, want) << capacity;
  }
  EXPECT_EQ(tvostrcpy(nullptr, "new", 10), nullptr);
  // An unterminated source longer than the capacity: nothing past it is read.
  std::unique_ptr<char[]> src(new char[4]{'a', 'b', 'c', 'd'});
  char dst[4];
  EXPECT_STREQ(tvostrcpy(dst, src.get(), sizeof dst), "abc");
}

// A whole count crosses a small pipe while signals interrupt both ends:
// safe_read and safe_fread take it from a writer that dribbles odd-sized
// pieces, and a slow reader takes it from one safe_write. Reads are short
// only at end of file, and every byte arrives once, in order. (safe_fwrite
// and safe_fflush under signals: see the stream descriptor's test.)
TEST(SafeIo, TransfersCompleteAcrossPiecesAndSignals) {
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + i / 4096);
  for (std::string mode : {"read", "fread", "write"}) {
    std::string got;
    zr_test::ThroughPipeUnderSignals(
        [&](int fd) {
          const size_t piece = mode == "write" ? data.size() : 333;
          ssize_t w = 0;
          for (size_t off = 0; off < data.size() && w >= 0; off += piece)
            w = safe_write(fd, data.data() + off, std::min(piece, data.size() - off));
          EXPECT_GE(w, 0) << mode;
          close(fd);
        },
        [&](int fd) {
          FILE* in = mode == "fread" ? fdopen(fd, "r") : nullptr;
          got.resize(data.size() + 10);
          const ssize_t n = mode == "write" ? 0
                            : in            ? safe_fread(in, &got[0], got.size())
                                            : safe_read(fd, &got[0], got.size());
          got = mode == "write" ? zr_test::ReadSlowly(fd) : got.substr(0, n < 0 ? 0 : n);
          in ? fclose(in) : close(fd);
        });
    EXPECT_TRUE(got == data) << mode << " got " << got.size();
  }
}

// A count above SSIZE_MAX is refused with EINVAL before anything moves; a
// write(2) that makes no progress ends in EIO, not in a loop for ever;
// safe_fflush with no stream flushes every stream; a sync that succeeds
// returns, whatever errno held before.
TEST(SafeIo, RefusedCountsStalledWritesAndFlushingEveryStream) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  FILE* out = fdopen(p[1], "w");
  char buf[4];
  const size_t huge = size_t{SSIZE_MAX} + 1;
  zr_test::ExpectErrnos(
      {NAMED_ERRNO(safe_read(p[0], buf, huge)), NAMED_ERRNO(safe_write(p[1], buf, huge)),
       NAMED_ERRNO(safe_fread(out, buf, huge)), NAMED_ERRNO(safe_fwrite(out, buf, huge))},
      EINVAL);
  g_script = {-EINTR, 1, 0};  // interrupted, one byte, then none
  g_fake_fd = p[1];
  EXPECT_EQ(ErrnoOf(safe_write(p[1], "abc", 3)), EIO);
  g_fake_fd = -1;
  EXPECT_EQ(safe_fwrite(out, "d", 1), 1);
  EXPECT_EQ(safe_fflush(nullptr), 0);
  EXPECT_EQ(read(p[0], buf, sizeof buf), 2);
  EXPECT_EQ(std::string(buf, 2), "ad");
  const int file = memfd_create("sync", 0);
  for (auto sync : {safe_fsync, safe_fdatasync}) {
    errno = EINTR;
    EXPECT_EQ(sync(file), 0);
  }
  close(file);
  fclose(out);
  close(p[0]);
}

// While stdio may write, safe_fwrite and safe_fflush hold off every signal
// a handler could take, SIGTERM with a handler included, but not the
// synchronous signals nor a termination signal left at its default action:
// a cookie stream's write function sees the mask stdio calls it with.
TEST(SafeIo, StdioWritesWithHandledSignalsHeldOff) {
  static sigset_t seen;
  cookie_io_functions_t io = {};
  io.write = [](void*, const char*, size_t n) -> ssize_t {
    pthread_sigmask(SIG_BLOCK, nullptr, &seen);
    return static_cast<ssize_t>(n);
  };
  struct sigaction handled = {}, old;
  handled.sa_handler = [](int) {};
  sigaction(SIGTERM, &handled, &old);
  FILE* out = fopencookie(nullptr, "w", io);
  EXPECT_EQ(safe_fwrite(out, "x", 1), 1);
  EXPECT_EQ(safe_fflush(out), 0);
  sigaction(SIGTERM, &old, nullptr);
  for (int sig : {SIGUSR1, SIGALRM, SIGTERM}) EXPECT_TRUE(sigismember(&seen, sig)) << sig;
  for (int sig : {SIGSEGV, SIGBUS, SIGINT}) EXPECT_FALSE(sigismember(&seen, sig)) << sig;
  pthread_sigmask(SIG_BLOCK, nullptr, &seen);
  EXPECT_FALSE(sigismember(&seen, SIGUSR1));  // the mask is back as it was
  fclose(out);
}

// The default handler writes one line to stderr and returns: missing texts
// read "?", a line beyond 1,023 bytes is cut (still ending in a newline),
// and write(2) is repeated after an interruption or a partial write but not
// after a failure or no progress; errno is kept. (What TVO_ASSERT passes
// it: the tests of the units that assert.)
TEST(TvoAssert, DefaultHandlerWritesOneLineAndAHookReplacesIt) {
  const tvo_assert_handler_t mine = [](const char*, const char*, int, const char*) {};
  const tvo_assert_handler_t before = tvo_set_assert_handler(mine);
  EXPECT_EQ(tvo_set_assert_handler(before), mine);  // it returns the one it replaced
  const std::string line = "f:7: g: Assertion `e' failed.\n", e(2000, 'e');
  using Texts = const char*;
  const std::tuple<Texts, Texts, Texts, std::vector<int>, std::string> cases[] = {
      {"e", "f", "g", {-EINTR, 5}, line},
      {"e", "f", "g", {-EIO}, ""},
      {"e", "f", "g", {0}, ""},
      {nullptr, nullptr, nullptr, {}, "?:7: ?: Assertion `?' failed.\n"},
      {e.c_str(), "f", "g", {}, ("f:7: g: Assertion `" + e).substr(0, 1022) + "\n"}};
  for (const auto& [expr, file, function, script, want] : cases) {
    testing::internal::CaptureStderr();
    g_script = script;
    g_fake_fd = STDERR_FILENO;
    errno = 1234;
    __tvo_assert_fail(expr, file, 7, function);
    g_fake_fd = -1;
    EXPECT_EQ(errno, 1234);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), want) << script.size();
  }
}

}  // namespace
