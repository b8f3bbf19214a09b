#include "zr_reactor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

#include "test_support.h"

namespace {

using Q = Zr_Reactor::zr_reactor_queue_t;
const Q kFree = Zr_Reactor::ZR_REACTOR_QUEUE_FREE, kListen = Zr_Reactor::ZR_REACTOR_QUEUE_LISTEN,
        kReady = Zr_Reactor::ZR_REACTOR_QUEUE_READY, kHold = Zr_Reactor::ZR_REACTOR_QUEUE_HOLD;

// A reactor that records its callbacks. A task reads what is there (echoing
// it), clearing its user data when the peer has gone; then it goes to
// the free queue after a hang-up, else to queue `next` (a ready task runs once
// more, then listens). A command sends a task to `command(sock)`.
class TestReactor : public Zr_Reactor {
 public:
  TestReactor() {}  // user-provided: `new TestReactor()` must not zero-fill
  ~TestReactor() override { Deinitialize(); }  // harmless when already done

  std::atomic<bool> released{false};
  void* slow = nullptr;  // this task waits for `released`; DoCommand need not wait for it
  std::atomic<int> next{kHold}, runs{0}, echoed{0};
  std::function<Q(int32_t)> command = [](int32_t) { return kListen; };
  int32_t throw_cleanup = -2;  // the cleanup of this socket throws, once

  uint32_t ClientTaskExecute(int32_t sock, char*, uint16_t, void** ud) override {
    Record("execute", sock);
    EXPECT_FALSE(pthread_equal(pthread_self(), m_listener_thread->m_thread));  // a task thread
    if (slow && *ud == slow)
      zr_test::WaitUntil([&] { return released.load(); }, std::chrono::seconds(30));
    char buf[512];
    ssize_t n = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == ENOTSOCK) n = read(sock, buf, sizeof buf);  // a pipe
    if (n == 0) *ud = nullptr;  // peer closed: release before the free queue
    if (n > 0) echoed += n;     // counted before the echo can reach the peer
    EXPECT_EQ(n > 0 ? send(sock, buf, size_t(n), MSG_NOSIGNAL) : n, n);
    return uint32_t(n);
  }
  Q ClientTaskNextQueue(int32_t*, char*, uint16_t*, void*, uint32_t status) override {
    runs++;
    return status == 0 ? kFree : next == kReady ? Q(next.exchange(kListen)) : Q(next.load());
  }
  Q ClientTaskCommand(uint32_t cmd, int32_t sock, char*, uint16_t, void**) override {
    EXPECT_EQ(cmd, 1u);
    Record("command", sock);
    return command(sock);
  }
  void ClientTaskCleanup(int32_t sock, char*, uint16_t, void** ud) override {
    Record("cleanup", sock);
    if (sock == throw_cleanup && (throw_cleanup = -2)) throw std::runtime_error("cleanup");
    if (*ud != this) *ud = nullptr;  // the reactor itself as user data is left, to be reported
  }
  bool ClientTaskSuspendRequired(void* ud) override { return !ud || ud != slow; }

  std::vector<int32_t> SocksOf(const std::string& what) {
    std::lock_guard<std::mutex> lock(mu);
    return socks[what];
  }
  std::vector<int32_t> Socks(Q queue) {
    Zr_DList<Zr_Task>* lists[] = {&m_task_free, &m_task_listen, &m_task_ready, &m_task_hold};
    pthread_rwlock_rdlock(&m_task_lock);
    std::vector<int32_t> out;
    for (Zr_Task* t = lists[queue]->m_begin; t; t = t->m_next) out.push_back(t->m_sock);
    pthread_rwlock_unlock(&m_task_lock);
    return out;
  }

  // Pauses the listener, every task thread and the set-up thread, so the test
  // owns the queues.
  void Quiesce() {
    std::vector<Zr_Thread<Zr_Reactor>*> all(m_threads, m_threads + m_thread_nr);
    all.push_back(m_listener_thread);
    if (m_setup_thread != nullptr) all.push_back(m_setup_thread);
    for (auto* t : all) t->Pause();
    WakeupListener();
    for (auto* t : all)
      ASSERT_TRUE(zr_test::WaitUntil([&] { return t->GetState() == ZR_THREAD_PAUSED; }));
  }
  // Takes a free task, fills it in and puts it on `queue` (no wake-up; no
  // lock either: only after Quiesce).
  void Place(Q queue, int32_t sock, void* ud = nullptr) {
    Zr_Task* t = m_task_free.RemoveFirst();
    t->m_sock = sock;
    t->m_user_data = ud;
    TaskMoveToQueue(t, queue, false);
  }

  using Zr_Reactor::ListenerPass;
  using Zr_Reactor::ListenerThread;
  using Zr_Reactor::m_listener_thread;
  using Zr_Reactor::m_poll_fds;
  using Zr_Reactor::m_setup_thread;
  using Zr_Reactor::m_task_free;
  using Zr_Reactor::m_task_listen;
  using Zr_Reactor::m_task_ready;
  using Zr_Reactor::m_threads;
  using Zr_Reactor::m_wakeup_pipe;
  using Zr_Reactor::TaskMoveToQueue;

  void Record(const char* what, int32_t sock) {
    std::lock_guard<std::mutex> lock(mu);
    socks[what].push_back(sock);
  }
  std::mutex mu;
  std::map<std::string, std::vector<int32_t>> socks;
};

long ResidentKiB() {
  long pages = 0, resident = -1;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE) / 1024;
}

std::unique_ptr<TestReactor> Make(uint32_t threads, uint32_t tasks, bool setup = false) {
  auto r = std::make_unique<TestReactor>();
  EXPECT_EQ(r->Initialize(threads, tasks, 0, setup), 0);
  return r;
}

// Declared before the reactor, so its threads are stopped before the ends close.
struct SocketPair {
  int fd[2];
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
  ~SocketPair() { close(fd[0]), close(fd[1]); }
};

TEST(ReactorSetup, FailedInitializeIsReportedAndDeinitializeIsSafeAndPrompt) {
  zr_test::AssertRecorder rec;
  for (int mode : {0, 2}) {  // the first thread cannot start; no pipe
#if defined(__SANITIZE_ADDRESS__)
    if (mode == 2) continue;  // the sanitizer's own checks need free descriptors
#endif
    auto r = std::make_unique<TestReactor>();
    int lowest = open("/dev/null", O_RDONLY);
    close(lowest);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit tight = {rlim_t(lowest), saved.rlim_max};  // no descriptor left for a pipe
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, mode == 2 ? &tight : &saved), 0);
    EXPECT_EQ(r->Initialize(2, 3, mode == 2 ? 0 : SIZE_MAX / 4, true), -1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(r->TaskAdd(5, "", 0, nullptr), 0);  // still usable for bookkeeping
    // A thread that never ran must not be waited for (30 s each, or for ever).
    auto done = std::async(std::launch::async, [&] { return r->DoCommand(1) + r->Deinitialize(); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(done.get(), 0);
    EXPECT_EQ(r->SocksOf("cleanup"), std::vector<int32_t>{5});
    EXPECT_TRUE(!r->m_threads && !r->m_listener_thread && r->m_wakeup_pipe[0] == -1 &&
                r->m_wakeup_pipe[1] == -1);  // the destructor's Deinitialize is harmless
  }
  EXPECT_EQ(rec.Count(), 0u);
}

TEST(ReactorTasks, TaskAddOrderLimitsLookupsCheckedMovesAndListenerPassesInTheirSlots) {
  zr_test::AssertRecorder rec;
  [[maybe_unused]] long before = ResidentKiB();
  delete static_cast<Zr_Reactor*>(new TestReactor());  // never initialised: no complaint
  auto r = Make(1, 5);
  for (Zr_Task* t = r->m_task_free.m_begin; t; t = t->m_next)
    EXPECT_TRUE(t->m_sock == -1 && t->m_port == 65535 && !t->m_host[0] && !t->m_user_data);
  ASSERT_TRUE(r->m_threads && r->m_threads[0] && r->m_listener_thread && !r->m_setup_thread);
  for (int end : r->m_wakeup_pipe) EXPECT_TRUE(fcntl(end, F_GETFL) & O_NONBLOCK);
  // Zero tasks or threads are reported (a second Initialize: see the command test).
  std::make_unique<TestReactor>()->Initialize(0, 0, 0, false);
  EXPECT_EQ(rec.Exprs(), (std::vector<std::string>{"nr_tasks > 0", "nr_threads > 0"}));
  EXPECT_SIGNATURE(rec.Take()[0].function,
                   "int32_t Zr_Reactor::Initialize(uint32_t, uint32_t, size_t, bool)");

  // From here on the test owns the queues; the socket numbers are not open,
  // so the passes below see them fail (POLLNVAL).
  r->Quiesce();
  r->m_threads[0]->Stop();
  r->Place(kListen, -1);  // leaves four free tasks
  char byte[8];
  while (read(r->m_wakeup_pipe[0], byte, sizeof byte) > 0) continue;
  for (int bad : {1048576, -1}) EXPECT_EQ(r->TaskAdd(bad, "h", 1, nullptr), -1);
  EXPECT_EQ(read(r->m_wakeup_pipe[0], byte, sizeof byte), -1);  // refused without a wake-up

  std::string long_host(300, 'x');
  EXPECT_EQ(r->TaskAdd(70007, long_host.c_str(), 80, nullptr), 0);
  EXPECT_EQ(r->TaskAdd(90009, nullptr, 81, nullptr), 0);
  EXPECT_EQ(r->TaskAdd(1048575, "last", 82, nullptr), 0);
  EXPECT_EQ(r->Socks(kListen), (std::vector<int32_t>{1048575, 90009, 70007, -1}));
  EXPECT_EQ(std::string(r->m_task_listen.m_end->m_prev->m_host), long_host.substr(0, 256));
  EXPECT_STREQ(r->m_task_listen.m_begin->m_next->m_host, "");
  EXPECT_EQ(read(r->m_wakeup_pipe[0], byte, sizeof byte), 3);
  int ud = 0;
  while (write(r->m_wakeup_pipe[1], byte, sizeof byte) > 0) continue;  // the wake-up will fail
  errno = 0;
  EXPECT_EQ(r->TaskAdd(11, "h", 1, &ud), 0);
  EXPECT_EQ(errno, 0);  // left as the caller had it
  while (read(r->m_wakeup_pipe[0], byte, sizeof byte) > 0) continue;
  EXPECT_EQ(r->TaskAdd(12, "h", 1, nullptr), -1);  // full: refused, listener still woken
  EXPECT_EQ(read(r->m_wakeup_pipe[0], byte, sizeof byte), 1);
  EXPECT_EQ(r->TaskAdd(&ud), -1);
  for (Q q : {r->TaskCheck(70007), r->TaskCheck(&ud), r->TaskCheck(nullptr)}) EXPECT_EQ(q, kListen);

  Zr_Task* t = r->m_task_listen.RemoveFirst();  // socket 11, user data set
  r->TaskMoveToQueue(t, kFree, true);           // reported, moved anyway
  EXPECT_TRUE(t->m_owner == &r->m_task_free && t->m_sock == -1);
  r->m_task_free.Remove(t);
  r->TaskMoveToQueue(t, Q(4), true);  // no such queue: reported, kept on hold rather than lost
  EXPECT_EQ(r->TaskCheck(&ud), kHold);

  // Two slots: the pipe and one socket; the surplus waits for a later pass.
  r->m_poll_fds[2].fd = -77;
  EXPECT_EQ(r->ListenerPass(2, "pass"), 1u);
  EXPECT_EQ(r->m_poll_fds[2].fd, -77);
  r->ListenerThread(nullptr);  // a whole pass, which reports the socket-less task
  EXPECT_EQ(r->Socks(kReady), (std::vector<int32_t>{1048575, 90009, 70007}));
  EXPECT_EQ(rec.Exprs(), (std::vector<std::string>{"task->m_user_data == __null", "0",
                                                   "nfds< (1024 * 1024)", "sock != -1"}));
  std::vector<zr_test::AssertRecord> reports = rec.Take();
  EXPECT_EQ(reports[0].file, "libs/clibs/libzrshared/zr_reactor.cpp");
  EXPECT_SIGNATURE(reports[3].function, "void Zr_Reactor::ListenerThread(Zr_Thread<Zr_Reactor>*)");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their allocators differ
  // The poll arrays are 16 MiB; a reactor with a few sockets stays far below.
  EXPECT_LT(ResidentKiB() - before, 4 * 1024);
#endif
}

TEST(ReactorFlow, NextQueuesAreHonouredSetupThreadTakesFreshTasksCommandsSkipBusyThreads) {
  zr_test::AssertRecorder rec;
  SocketPair p, busy, fresh, known;
  auto r = Make(1, 5, true);
  // Only command 1 does anything, and with no task it calls nothing.
  EXPECT_EQ(r->DoCommand(0) + r->DoCommand(2) + r->DoCommand(1), 0);
  int ud = 0, want = 0;
  ASSERT_EQ(r->TaskAdd(p.fd[0], "peer", 9, &ud), 0);
  for (Q q : {kListen, kReady, kHold}) {
    r->next = q;
    want += q == kReady ? 2 : 1;
    ASSERT_EQ(write(p.fd[1], "x", 1), 1);
    ASSERT_TRUE(zr_test::WaitUntil(
        [&] { return r->runs == want && r->TaskCheck(&ud) == (q == kHold ? kHold : kListen); }));
  }

  // Back to listening through a command. A pipe whose writer has gone polls
  // POLLHUP without POLLIN: its task must run, read the end and be freed.
  EXPECT_EQ(r->DoCommand(1), 0);
  int hup[2];
  ASSERT_EQ(pipe(hup), 0);
  ASSERT_EQ(r->TaskAdd(hup[0], "", 0, nullptr), 0);
  close(hup[1]);
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->Socks(kFree).size() == 4; }));  // hup's task
  close(hup[0]);

  int job = 0;  // a socket-less job reaches a task thread with socket -1
  ASSERT_EQ(r->TaskAdd(&job), 0);
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->TaskCheck(&job) == kHold; }));

  // With the only task thread busy, the set-up thread serves the ready task
  // without user data and leaves the other one.
  r->slow = &busy;
  ASSERT_EQ(write(busy.fd[1], "b", 1) + r->TaskAdd(busy.fd[0], "", 0, &busy), 1);
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->SocksOf("execute").back() == busy.fd[0]; }));
  ASSERT_EQ(r->TaskAdd(known.fd[0], "", 0, &known) + r->TaskAdd(fresh.fd[0], "", 0, nullptr), 0);
  ASSERT_EQ(write(known.fd[1], "k", 1) + write(fresh.fd[1], "f", 1), 2);
  ASSERT_TRUE(zr_test::WaitUntil(
      [&] { return r->TaskCheck(fresh.fd[0]) == kHold && r->TaskCheck(known.fd[0]) == kReady; }));

  // A command neither waits for the busy thread nor commands its task.
  r->command = [&](int32_t sock) { return sock == known.fd[0] ? kReady : kHold; };
  auto cmd = std::async(std::launch::async, [&] { return r->DoCommand(1); });
  ASSERT_EQ(cmd.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(r->SocksOf("command"),
            (std::vector<int32_t>{p.fd[0], p.fd[0], known.fd[0], -1, fresh.fd[0]}));
  r->released = true;
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->TaskCheck(known.fd[0]) == kHold; }));
  EXPECT_EQ(rec.Count(), 0u);
}

TEST(ReactorCommand, CommandAndCleanupVisitListenReadyHoldInOrder) {
  zr_test::AssertRecorder rec;
  auto r = Make(2, 6, true);
  r->Quiesce();
  for (int sock : {101, 102, 103, 104})
    r->Place(sock < 103    ? kListen
             : sock == 103 ? kReady
                           : kHold,
             sock, sock == 103 ? r.get() : nullptr);
  r->command = [](int32_t) { return kHold; };
  EXPECT_EQ(r->DoCommand(1), 0);  // all on hold, in the order of the second round below
  // A throwing command loses no task: the rest go on hold, the lock is left free.
  r->command = [](int32_t sock) {
    return sock == 103 ? throw std::runtime_error("no") : sock == 101 ? kReady : kListen;
  };
  EXPECT_THROW(r->DoCommand(1), std::runtime_error);
  EXPECT_EQ(r->SocksOf("command"), (std::vector<int32_t>{101, 102, 103, 104, 101, 102, 103}));
  EXPECT_EQ(r->Socks(kHold), (std::vector<int32_t>{103, 104}));
  // A throwing cleanup loses no task either: a second Deinitialize ends the
  // one it threw for and the rest.
  r->throw_cleanup = 101;
  EXPECT_THROW(r->Deinitialize(), std::runtime_error);
  EXPECT_EQ(r->Deinitialize(), 0);
  EXPECT_EQ(r->SocksOf("cleanup"), (std::vector<int32_t>{102, 101, 101, 103, 104}));
  EXPECT_TRUE(r->m_task_free.IsEmpty() && !r->m_threads && !r->m_setup_thread);
  EXPECT_EQ(r->Initialize(1, 1, 0, false), -1);  // initialised once in its life
  // Only the task whose user data was left set is reported.
  EXPECT_EQ(rec.Exprs(), (std::vector<std::string>{"task->m_user_data == __null", "m_task_nr == 0",
                                                   "m_thread_nr == 0"}));
}

// Socket-less jobs that go straight back to the ready queue after every run,
// so the task threads keep waking one another. A command must still quiesce
// them: no job runs while ClientTaskCommand does, and every job, including
// one added while the command pauses the threads, reaches the command.
class CyclingReactor : public Zr_Reactor {
 public:
  CyclingReactor() {}
  ~CyclingReactor() override { Deinitialize(); }
  std::atomic<int> running{0}, runs{0}, overlaps{0};
  std::atomic<bool> cycle{true}, add_while_pausing{false};
  std::vector<void*> commanded;  // DoCommand's thread only
  int job = 0, added = 0;

  uint32_t ClientTaskExecute(int32_t, char*, uint16_t, void**) override {
    running++, runs++;
    std::this_thread::yield();
    running--;
    return 1;
  }
  Q ClientTaskNextQueue(int32_t*, char*, uint16_t*, void*, uint32_t) override {
    return cycle ? kReady : kHold;
  }
  bool NeedSuspend(Zr_Task* task) override {
    if (add_while_pausing.exchange(false)) {
      EXPECT_EQ(TaskAdd(&added), 0);
    }
    return Zr_Reactor::NeedSuspend(task);
  }
  Q ClientTaskCommand(uint32_t, int32_t, char*, uint16_t, void** ud) override {
    commanded.push_back(*ud);
    for (int i = 0; i < 50; i++, std::this_thread::yield()) overlaps += running.load();
    return kHold;
  }
  void ClientTaskCleanup(int32_t, char*, uint16_t, void** ud) override { *ud = nullptr; }
};

TEST(ReactorCommand, QuiescesJobsThatKeepRequeueingThemselves) {
  for (uint32_t threads : {1u, 3u}) {
    auto r = std::make_unique<CyclingReactor>();
    ASSERT_EQ(r->Initialize(threads, 4, 0, false), 0);
    ASSERT_EQ(r->TaskAdd(&r->job), 0);
    ASSERT_TRUE(zr_test::WaitUntil([&] { return r->runs > 100; }));
    r->add_while_pausing = true;
    auto cmd = std::async(std::launch::async, [&] { return r->DoCommand(1); });
    bool returned = cmd.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    r->cycle = false;  // lets a hung command finish, so the test ends either way
    EXPECT_TRUE(returned) << threads << " threads";
    EXPECT_EQ(cmd.get(), 0);
    EXPECT_EQ(r->overlaps, 0) << threads << " threads";
    std::sort(r->commanded.begin(), r->commanded.end());
    std::vector<void*> both = {&r->job, &r->added};
    std::sort(both.begin(), both.end());
    EXPECT_EQ(r->commanded, both) << threads << " threads";
  }
}

// Writers ping many socketpairs through an echoing reactor while commands
// run; then the reactor is shut down in the middle of traffic.
TEST(ReactorStress, EchoesEveryByteOnceUnderCommandsAndShutsDownWhileBusy) {
  const int kPairs = 240, kWriters = 4, kRounds = 6, kMsg = 16;
  std::atomic<long> received{0};
  std::atomic<bool> mismatch{false}, done{false};
  std::vector<SocketPair> pairs(kPairs);
  auto r = Make(3, kPairs + 16, true);
  r->next = kListen;
  timeval bound = {10, 0};  // a lost echo ends its writer
  for (SocketPair& p : pairs) {
    ASSERT_EQ(r->TaskAdd(p.fd[0], "", 0, &p), 0);
    setsockopt(p.fd[1], SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  }

  auto msg = [](int i, int round) { return std::string(kMsg, char('a' + (i + round) % 26)); };
  auto writer = [&](int w) {
    for (int round = 0; round < kRounds; round++) {
      for (int i = w; i < kPairs; i += kWriters)
        if (write(pairs[i].fd[1], msg(i, round).data(), kMsg) != kMsg) mismatch = true;
      for (int i = w; i < kPairs; i += kWriters) {
        std::string got(kMsg, '\0');
        if (recv(pairs[i].fd[1], &got[0], kMsg, MSG_WAITALL) != kMsg) return;
        received += got == msg(i, round) ? kMsg : 0;
      }
    }
  };
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; w++) writers.emplace_back(writer, w);
  std::thread checker([&] {  // lookups beside the listener; nothing is ever on hold
    for (int i = 0; !done; i = (i + 1) % kPairs)
      if (r->TaskCheck(&pairs[i]) == kHold) mismatch = true;
  });
  for (int c = 0; c < 4; c++) EXPECT_EQ(r->DoCommand(1), 0);
  for (std::thread& t : writers) t.join();
  done = true;
  checker.join();
  EXPECT_FALSE(mismatch);
  EXPECT_EQ(received, long(kPairs) * kRounds * kMsg);
  EXPECT_EQ(r->echoed, received.load());  // nothing echoed twice

  // Shut down while every socket has data waiting.
  for (int i = 0; i < kPairs; i++) ASSERT_EQ(write(pairs[i].fd[1], "zzzz", 4), 4);
  EXPECT_EQ(r->Deinitialize(), 0);
  EXPECT_EQ(r->SocksOf("cleanup").size(), size_t(kPairs));  // every task conserved
  EXPECT_EQ(r->SocksOf("command").size() % kPairs, 0u);
}

}  // namespace
