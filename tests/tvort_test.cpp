// The runtime-support layer: bounded copy, interruption-safe I/O under
// partial transfers and signals, and the assertion hook.
#include <tvo/tvort.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

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

// Runs `io` on this thread while another interrupts it with SIGUSR1 (its
// handler installed without SA_RESTART, so blocked calls see EINTR) and
// `peer` runs on a third thread.
void UnderSignals(const std::function<void()>& io, const std::function<void()>& peer) {
  struct sigaction sa, old;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = [](int) {};
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  std::atomic<bool> done{false};
  pthread_t self = pthread_self();
  std::thread interrupter([&] {
    for (; !done; usleep(200)) pthread_kill(self, SIGUSR1);
  });
  std::thread other(peer);
  io();
  done = true;
  interrupter.join();
  other.join();
  sigaction(SIGUSR1, &old, nullptr);
}

// safe_read, safe_fread and safe_write move a whole count through a small
// pipe whose other end dribbles odd-sized pieces, while signals interrupt
// them; reads are short only at end of file.
TEST(SafeIo, TransfersCompleteAcrossPiecesAndSignals) {
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + i / 4096);
  signal(SIGPIPE, SIG_IGN);
  for (const char* mode : {"read", "fread", "write"}) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fcntl(p[1], F_SETPIPE_SZ, 4096);
    std::string got;
    if (strcmp(mode, "write") == 0) {
      UnderSignals(
          [&] {
            EXPECT_EQ(safe_write(p[1], data.data(), data.size()), ssize_t(data.size()));
            close(p[1]);
          },
          [&] {
            char buf[333];
            for (ssize_t n; (n = read(p[0], buf, sizeof buf)) != 0;) {
              if (n > 0) got.append(buf, size_t(n));
              if (got.size() % 64 == 0) usleep(1000);  // the writer blocks on a full pipe
              if (n < 0 && errno != EINTR) break;
            }
          });
      close(p[0]);
    } else {
      FILE* in = strcmp(mode, "fread") == 0 ? fdopen(p[0], "r") : nullptr;
      got.resize(data.size() + 10);
      UnderSignals(
          [&] {
            ssize_t n =
                in ? safe_fread(in, &got[0], got.size()) : safe_read(p[0], &got[0], got.size());
            EXPECT_EQ(n, ssize_t(data.size())) << mode;
            in ? fclose(in) : close(p[0]);  // a writer left behind gets EPIPE
          },
          [&] {
            for (size_t off = 0; off < data.size(); off += 333) {
              size_t n = std::min<size_t>(333, data.size() - off);
              if (write(p[1], data.data() + off, n) != ssize_t(n)) break;
            }
            close(p[1]);
          });
      got.resize(data.size());
    }
    EXPECT_TRUE(got == data) << mode;
  }
}

// Errors come back as -1 with errno; the stream syncs flush stdio's buffer
// first, so the bytes are in the file.
TEST(SafeIo, ErrorsAndStreamSyncs) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(safe_write(p[1], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  close(p[1]);
  char buf[4];
  EXPECT_EQ(safe_read(p[1], buf, sizeof buf), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(safe_fsync(p[1]), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(safe_fdatasync(p[1]), -1);
  EXPECT_EQ(errno, EBADF);

  zr_test::TempDir dir;
  std::string path = dir.File("s");
  FILE* f = fopen(path.c_str(), "w+");
  ASSERT_NE(f, nullptr);
  std::string data(100000, 'q');
  EXPECT_EQ(safe_fwrite(f, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  EXPECT_EQ(safe_ffsync(f), 0);
  EXPECT_EQ(zr_test::ReadFileContents(path), data);
  EXPECT_EQ(safe_fwrite(f, "tail", 4), 4);
  EXPECT_EQ(safe_ffdatasync(f), 0);
  EXPECT_EQ(zr_test::ReadFileContents(path), data + "tail");
  fclose(f);
  FILE* ro = fopen(path.c_str(), "r");
  ASSERT_NE(ro, nullptr);
  EXPECT_EQ(safe_fwrite(ro, "x", 1), -1);
  EXPECT_EQ(errno, EBADF);
  fclose(ro);
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
