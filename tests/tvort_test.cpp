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

// SIGUSR1 with an empty handler installed without SA_RESTART, so a blocked
// read/write returns EINTR.
class SafeIo : public ::testing::Test {
 protected:
  void SetUp() override {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &m_old), 0);
  }
  void TearDown() override { sigaction(SIGUSR1, &m_old, nullptr); }

  // Interrupts `target` with SIGUSR1 every 200 us until `done`.
  static std::thread Interrupter(pthread_t target, std::atomic<bool>& done) {
    return std::thread([target, &done] {
      while (!done.load()) {
        pthread_kill(target, SIGUSR1);
        usleep(200);
      }
    });
  }

  struct sigaction m_old;
};

// Writes `data` into `fd` in `piece`-byte dribbles, then closes it.
std::thread Dribbler(int fd, const std::string& data, size_t piece) {
  return std::thread([fd, &data, piece] {
    for (size_t off = 0; off < data.size(); off += piece) {
      size_t n = std::min(piece, data.size() - off);
      ASSERT_EQ(write(fd, data.data() + off, n), static_cast<ssize_t>(n));
      if (off % (piece * 50) == 0) usleep(100);
    }
    close(fd);
  });
}

// safe_read and safe_fread assemble a whole count from small pieces while
// signals interrupt them, and are short only at end of file.
TEST_F(SafeIo, ReadsAssembleSmallPiecesAcrossSignals) {
  std::string sent;
  for (int i = 0; i < 30000; ++i) sent.push_back(static_cast<char>('a' + i % 26));
  for (bool stdio : {false, true}) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    FILE* in = stdio ? fdopen(p[0], "r") : nullptr;
    std::atomic<bool> done{false};
    std::thread interrupter = Interrupter(pthread_self(), done);
    std::thread writer = Dribbler(p[1], sent, 7);
    std::string got(sent.size() + 10, '\0');
    ssize_t n = stdio ? safe_fread(in, &got[0], got.size()) : safe_read(p[0], &got[0], got.size());
    EXPECT_EQ(n, static_cast<ssize_t>(sent.size())) << "stdio " << stdio;
    got.resize(sent.size());
    EXPECT_TRUE(got == sent);
    writer.join();
    done = true;
    interrupter.join();
    stdio ? fclose(in) : close(p[0]);
  }
  char buf[4];
  errno = 0;
  EXPECT_EQ(safe_read(-1, buf, sizeof buf), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST_F(SafeIo, WriteCompletesThroughAFullPipeAcrossSignals) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  fcntl(p[1], F_SETPIPE_SZ, 4096);
  std::string sent(1 << 20, '\0');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 131);
  std::string got;
  std::thread reader([&] {
    char buf[333];  // drains in odd small pieces
    for (;;) {
      ssize_t n = read(p[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
  });
  std::atomic<bool> done{false};
  std::thread interrupter = Interrupter(pthread_self(), done);
  EXPECT_EQ(safe_write(p[1], sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
  done = true;
  interrupter.join();
  close(p[1]);
  reader.join();
  close(p[0]);
  EXPECT_TRUE(got == sent);

  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(safe_write(p[1], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  close(p[1]);
  EXPECT_EQ(safe_fsync(p[1]), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(safe_fdatasync(p[1]), -1);
  EXPECT_EQ(errno, EBADF);
}

// The stream syncs flush stdio's buffer first, so the bytes are in the file.
TEST_F(SafeIo, StreamWritesAndSyncsReachTheFile) {
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
