// The runtime-support layer: bounded copy, interruption-safe I/O under
// partial transfers and signals, and the assertion hook.
#include <tvo/tvort.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "test_support.h"

namespace {

TEST(Tvostrcpy, CopiesCutsAndToleratesNulls) {
  char buf[8];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(tvostrcpy(buf, "abc", sizeof buf), buf);
  EXPECT_STREQ(buf, "abc");
  tvostrcpy(buf, "abcdefghijk", sizeof buf);
  EXPECT_STREQ(buf, "abcdefg");
  tvostrcpy(buf, "", sizeof buf);
  EXPECT_STREQ(buf, "");
  tvostrcpy(buf, nullptr, sizeof buf);  // null source: empty string
  EXPECT_STREQ(buf, "");
  tvostrcpy(buf, "zz", 1);
  EXPECT_STREQ(buf, "");

  memcpy(buf, "keepme!", 8);
  EXPECT_EQ(tvostrcpy(buf, "new", 0), buf);  // capacity 0: nothing written
  EXPECT_STREQ(buf, "keepme!");
  EXPECT_EQ(tvostrcpy(nullptr, "new", 10), nullptr);
}

TEST(Tvostrcpy, NeverReadsPastWhatFits) {
  // An unterminated source longer than the capacity: strnlen must stop.
  char* src = static_cast<char*>(malloc(4));
  memcpy(src, "abcd", 4);
  char dst[4];
  tvostrcpy(dst, src, sizeof dst);
  EXPECT_STREQ(dst, "abc");
  free(src);
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

TEST_F(SafeIo, ReadAssemblesSmallPiecesAcrossSignals) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::string sent;
  for (int i = 0; i < 20000; ++i) sent.push_back(static_cast<char>('a' + i % 26));
  std::atomic<bool> done{false};
  std::thread interrupter = Interrupter(pthread_self(), done);
  std::thread writer([&] {
    for (size_t off = 0; off < sent.size(); off += 7) {  // 7-byte dribbles
      size_t n = std::min<size_t>(7, sent.size() - off);
      ASSERT_EQ(write(p[1], sent.data() + off, n), static_cast<ssize_t>(n));
      if (off % 700 == 0) usleep(100);
    }
    close(p[1]);
  });
  std::string got(sent.size(), '\0');
  EXPECT_EQ(safe_read(p[0], &got[0], got.size()), static_cast<ssize_t>(sent.size()));
  EXPECT_EQ(got, sent);
  char extra[4];
  EXPECT_EQ(safe_read(p[0], extra, sizeof extra), 0);  // end of file
  writer.join();
  done = true;
  interrupter.join();
  close(p[0]);
}

TEST_F(SafeIo, ReadIsShortOnlyAtEndOfFile) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(write(p[1], "hello", 5), 5);
  close(p[1]);
  char buf[16];
  EXPECT_EQ(safe_read(p[0], buf, sizeof buf), 5);
  close(p[0]);
  errno = 0;
  EXPECT_EQ(safe_read(p[0], buf, sizeof buf), -1);
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
}

TEST_F(SafeIo, WriteErrorsAndSyncs) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  signal(SIGPIPE, SIG_IGN);
  errno = 0;
  EXPECT_EQ(safe_write(p[1], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  close(p[1]);

  zr_test::TempDir dir;
  int fd = open(dir.File("f").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(safe_write(fd, "data", 4), 4);
  EXPECT_EQ(safe_fsync(fd), 0);
  EXPECT_EQ(safe_fdatasync(fd), 0);
  close(fd);
  EXPECT_EQ(safe_fsync(fd), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(safe_fdatasync(-1), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST_F(SafeIo, StreamFunctionsTransferWholeCountsAndSync) {
  zr_test::TempDir dir;
  std::string path = dir.File("s");
  FILE* f = fopen(path.c_str(), "w+");
  ASSERT_NE(f, nullptr);
  std::string data(100000, 'q');
  EXPECT_EQ(safe_fwrite(f, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  EXPECT_EQ(safe_ffsync(f), 0);  // flushes first: the bytes are in the file
  EXPECT_EQ(zr_test::ReadFileContents(path), data);
  EXPECT_EQ(safe_fwrite(f, "tail", 4), 4);
  EXPECT_EQ(safe_ffdatasync(f), 0);
  EXPECT_EQ(zr_test::ReadFileContents(path).size(), data.size() + 4);
  EXPECT_EQ(safe_fflush(f), 0);
  rewind(f);
  std::string back(data.size() + 100, '\0');
  EXPECT_EQ(safe_fread(f, &back[0], back.size()), static_cast<ssize_t>(data.size() + 4));
  fclose(f);

  FILE* ro = fopen(path.c_str(), "r");
  ASSERT_NE(ro, nullptr);
  EXPECT_EQ(safe_fwrite(ro, "x", 1), -1);  // EBADF from the read-only stream
  EXPECT_EQ(errno, EBADF);
  fclose(ro);
}

TEST_F(SafeIo, StreamReadAcrossSignals) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  FILE* in = fdopen(p[0], "r");
  ASSERT_NE(in, nullptr);
  std::string sent(50000, 'z');
  std::atomic<bool> done{false};
  std::thread interrupter = Interrupter(pthread_self(), done);
  std::thread writer([&] {
    for (size_t off = 0; off < sent.size(); off += 999) {
      size_t n = std::min<size_t>(999, sent.size() - off);
      ASSERT_EQ(write(p[1], sent.data() + off, n), static_cast<ssize_t>(n));
      usleep(50);
    }
    close(p[1]);
  });
  std::string got(sent.size(), '\0');
  EXPECT_EQ(safe_fread(in, &got[0], got.size()), static_cast<ssize_t>(sent.size()));
  EXPECT_EQ(got, sent);
  writer.join();
  done = true;
  interrupter.join();
  fclose(in);
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
