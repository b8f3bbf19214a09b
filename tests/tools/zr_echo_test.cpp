// zr-echo run as its users run it: a server process, hostile clients on the
// loopback interface, signals. Waits are bounded; the times that matter
// (echo despite stalled clients, exit after SIGTERM) are printed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>

#include "test_support.h"
#include "zr_echo.h"

namespace {

using zr_echo::Clock;

long Millis(Clock::time_point since) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The program, its standard output and error collected together.
struct Program {
  explicit Program(std::vector<std::string> args) {
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) return;
    args.insert(args.begin(), ZR_ECHO_PROGRAM);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
      dup2(pipefd[1], 1);
      dup2(pipefd[1], 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(pipefd[1]);
    fd = pipefd[0];
  }
  ~Program() {
    if (status == -1) kill(pid, SIGKILL), Wait(std::chrono::seconds(10));
    close(fd);
  }
  // Collects output until the program ends or `timeout` passes; true when
  // it ended.
  bool Wait(std::chrono::milliseconds timeout) {
    Clock::time_point end = Clock::now() + timeout;
    for (int st; status == -1 && Clock::now() < end; Read())
      if (waitpid(pid, &st, WNOHANG) == pid) status = st;
    Read();
    return status != -1;
  }
  void Read() {
    pollfd p = {fd, POLLIN, 0};
    char buf[4096];
    ssize_t n = poll(&p, 1, 10) > 0 ? read(fd, buf, sizeof buf) : 0;
    if (n > 0) text.append(buf, size_t(n));
  }
  // Whether `pattern` appears in the output within ten seconds.
  bool Shows(const std::string& pattern) {
    return zr_test::WaitUntil([&] { return Read(), text.find(pattern) != std::string::npos; });
  }
  uint16_t Port() {
    const std::string listening = "listening on 127.0.0.1:";
    size_t at = Shows(" task threads") ? text.find(listening) : std::string::npos;
    return at == std::string::npos ? 0 : uint16_t(atoi(text.c_str() + at + listening.size()));
  }
  pid_t pid = -1;
  int fd = -1;
  int status = -1;
  std::string text;
};

// Connects and sends without reading until the server takes nothing more
// for half a second (or hangs up).
int StallingClient(uint16_t port) {
  int fd = zr_echo::Connect(zr_echo::Loopback(port));
  fcntl(fd, F_SETFL, O_NONBLOCK);
  static const std::string chunk(65536, 'x');
  for (;;) {
    while (send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
    }
    pollfd p = {fd, POLLOUT, 0};
    if (errno != EAGAIN || poll(&p, 1, 500) == 0 || (p.revents & POLLOUT) == 0) return fd;
  }
}

// Whether `fd` gets `want` back (or, with `want` empty, an end of stream)
// within ten seconds.
bool Receives(int fd, const std::string& want) {
  std::string got;
  fcntl(fd, F_SETFL, O_NONBLOCK);
  return zr_test::WaitUntil([&] {
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) got.append(buf, size_t(n));
    return want.empty() ? n == 0 || (n < 0 && errno == ECONNRESET) : got == want;
  });
}

TEST(ZrEchoProgram, ClientsThatNeverReadHoldNoThreadAndStopNoShutdown) {
  Program server({"server", "0", "4", "9", "--stall-timeout", "60"});
  uint16_t port = server.Port();
  ASSERT_NE(port, 0) << server.text;
  std::vector<int> stalled;
  for (int i = 0; i < 8; i++) stalled.push_back(StallingClient(port));

  int normal = zr_echo::Connect(zr_echo::Loopback(port));
  Clock::time_point start = Clock::now();
  ASSERT_TRUE(zr_echo::SendAll(normal, "ping", 4));
  EXPECT_TRUE(Receives(normal, "ping"));
  std::cout << "echo beside 8 stalled clients after " << Millis(start) << " ms\n";

  // All 9 tasks are taken: the tenth connection is refused and logged.
  int refused = zr_echo::Connect(zr_echo::Loopback(port));
  EXPECT_TRUE(Receives(refused, ""));
  EXPECT_TRUE(server.Shows("refused 127.0.0.1:")) << server.text;

  start = Clock::now();
  kill(server.pid, SIGTERM);
  EXPECT_TRUE(server.Wait(std::chrono::seconds(10))) << "still running 10 s after SIGTERM";
  std::cout << "exit " << Millis(start) << " ms after SIGTERM\n";
  EXPECT_EQ(server.status, 0) << server.text;
  EXPECT_NE(server.text.find("9 connections accepted, 1 refused (all tasks busy), 0 closed by "
                             "peers, 0 disconnected (stalled), 9 open at exit"),
            std::string::npos)
      << server.text;
  for (int fd : stalled) close(fd);
  close(normal), close(refused);
}

TEST(ZrEchoProgram, ClientThatTakesNoOutputIsDisconnected) {
  Program server({"server", "--stall-timeout=0.3", "0", "1", "4"});
  uint16_t port = server.Port();
  ASSERT_NE(port, 0) << server.text;
  int fd = StallingClient(port);
  EXPECT_TRUE(server.Shows("accepted no output for 0.3 s: disconnected"));
  EXPECT_TRUE(Receives(fd, ""));
  kill(server.pid, SIGINT);
  EXPECT_TRUE(server.Wait(std::chrono::seconds(10)));
  EXPECT_NE(server.text.find("1 disconnected (stalled), 0 open at exit"), std::string::npos)
      << server.text;
  close(fd);
}

TEST(ZrEchoProgram, CommandLine) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* shows;
  } cases[] = {
      {{"--help"}, 0, "Usage: zr-echo server [OPTION]... PORT"},
      {{"--version"}, 0, "zr-echo (libzrshared) 2."},
      {{"server", "0", "0"}, 2, "zr-echo: THREADS '0': not a number from 1 to 256"},
      {{"server", "0", "--bind", "1.2.3"}, 2, "zr-echo: 1.2.3: not a numeric IPv4 or IPv6"},
      {{"client", "+80"}, 2, "zr-echo: PORT '+80': not a number"},
      {{"server", "--stall-timeout", "0", "0"}, 2, "--stall-timeout 0: not a number of seconds"},
  };
  for (const auto& c : cases) {
    Program p(c.args);
    ASSERT_TRUE(p.Wait(std::chrono::seconds(10)));
    EXPECT_EQ(WEXITSTATUS(p.status), c.status) << c.args[0];
    EXPECT_NE(p.text.find(c.shows), std::string::npos) << p.text;
  }
}

}  // namespace
