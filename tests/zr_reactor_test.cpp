#include "zr_reactor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

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
using Ints = std::vector<int32_t>;
using Texts = std::vector<std::string>;
const Q kFree = Zr_Reactor::ZR_REACTOR_QUEUE_FREE, kListen = Zr_Reactor::ZR_REACTOR_QUEUE_LISTEN,
        kReady = Zr_Reactor::ZR_REACTOR_QUEUE_READY, kHold = Zr_Reactor::ZR_REACTOR_QUEUE_HOLD;

// A reactor that records its callbacks. A task reads what is there (echoing
// it), clearing its user data when the peer has gone; then it goes to
// the free queue after a hang-up, else to queue `next` (a ready task runs once
// more, then listens), or back to the ready queue for as long as `cycle`. A
// command sends a task to `command(sock)` and, while cycling, counts the
// ClientTaskExecute calls that run meanwhile in `overlaps`.
class TestReactor : public Zr_Reactor {
 public:
  TestReactor() {}  // user-provided: `new TestReactor()` must not zero-fill
  ~TestReactor() override { Deinitialize(); }  // harmless when already done

  std::atomic<bool> released{false}, cycle{false};
  void* slow = nullptr;    // this task waits for `released`; DoCommand need not wait for it
  int32_t slow_sock = -2;  // and so does this socket's, which DoCommand waits for
  std::atomic<bool> release_while_pausing{false};  // DoCommand's NeedSuspend sets `released`
  std::atomic<void*> add_while_pausing{nullptr};   // a job DoCommand's NeedSuspend adds
  std::atomic<int> next{kHold}, runs{0}, echoed{0}, running{0}, overlaps{0};
  std::function<Q(int32_t)> command = [](int32_t sock) { return sock == -1 ? kHold : kListen; };
  int32_t throw_cleanup = -2;  // the cleanup of this socket throws, once

  uint32_t ClientTaskExecute(int32_t sock, char* host, uint16_t port, void** ud) override {
    running++;
    Record("execute", sock);
    EXPECT_TRUE(sock != -1 || (port == 65535 && !host[0]));  // a job has no host or port
    if (cycle) std::this_thread::sleep_for(std::chrono::microseconds(200));    // mostly in hand
    EXPECT_FALSE(pthread_equal(pthread_self(), m_listener_thread->m_thread));  // a task thread
    if ((slow && *ud == slow) || sock == slow_sock) {
      zr_test::WaitUntil([&] { return released.load(); });
    }
    char buf[512];
    ssize_t n = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == ENOTSOCK) n = read(sock, buf, sizeof buf);  // a pipe
    if (n == 0) *ud = nullptr;  // peer closed: release before the free queue
    if (n > 0) echoed += n;     // counted before the echo can reach the peer
    EXPECT_EQ(n > 0 ? send(sock, buf, size_t(n), MSG_NOSIGNAL) : n, n);
    running--;
    return uint32_t(n);
  }
  Q ClientTaskNextQueue(int32_t*, char*, uint16_t*, void*, uint32_t status) override {
    runs++;
    if (cycle) return kReady;
    return status == 0 ? kFree : next == kReady ? Q(next.exchange(kListen)) : Q(next.load());
  }
  Q ClientTaskCommand(uint32_t cmd, int32_t sock, char*, uint16_t, void**) override {
    EXPECT_EQ(cmd, 1u);
    EXPECT_TRUE(!m_listener_thread || m_listener_thread->GetState() == ZR_THREAD_PAUSED);
    Record("command", sock);
    for (int i = 0; cycle && i < 50; i++, std::this_thread::yield()) overlaps += running.load();
    return command(sock);
  }
  void ClientTaskCleanup(int32_t sock, char*, uint16_t, void** ud) override {
    Record("cleanup", sock);
    if (sock == throw_cleanup && (throw_cleanup = -2)) throw std::runtime_error("cleanup");
    if (*ud != this) *ud = nullptr;  // the reactor itself as user data is left, to be reported
  }
  bool NeedSuspend(Zr_Task* task) override {
    void* job = add_while_pausing.exchange(nullptr);
    EXPECT_TRUE(!job || TaskAdd(job) == 0);
    if (release_while_pausing) released = true;
    return (!task || task->m_user_data != slow) && Zr_Reactor::NeedSuspend(task);
  }

  Ints SocksOf(const std::string& what) {
    std::lock_guard<std::mutex> lock(mu);
    return socks[what];
  }
  Ints Socks(Q queue) {
    Zr_DList<Zr_Task>* lists[] = {&m_task_free, &m_task_listen, &m_task_ready, &m_task_hold};
    pthread_rwlock_rdlock(&m_task_lock);
    Ints out;
    for (Zr_Task* t = lists[queue]->m_begin; t; t = t->m_next) out.push_back(t->m_sock);
    pthread_rwlock_unlock(&m_task_lock);
    return out;
  }

  // Pauses the listener and every task thread, so the test owns the queues
  // (of a reactor without a set-up thread).
  void Quiesce() {
    std::vector<Zr_Thread<Zr_Reactor>*> all(m_threads, m_threads + m_thread_nr);
    all.push_back(m_listener_thread);
    for (auto* t : all) t->Pause();
    WakeupListener();
    for (auto* t : all) ASSERT_TRUE(t->WaitForState(ZR_THREAD_PAUSED, 10000000));
  }
  // Takes a free task, fills it in and puts it on `queue` (no wake-up; no
  // lock either: only after Quiesce).
  void Place(Q queue, int32_t sock, void* ud = nullptr) {
    Zr_Task* t = m_task_free.RemoveFirst();
    t->m_sock = sock, t->m_user_data = ud;
    TaskMoveToQueue(t, queue, false);
  }

  using Zr_Reactor::ListenerPass, Zr_Reactor::ListenerThread, Zr_Reactor::TaskMoveToQueue,
      Zr_Reactor::TaskThread, Zr_Reactor::WakeupListener, Zr_Reactor::m_threads;
  using Zr_Reactor::m_poll_fds, Zr_Reactor::m_task_free, Zr_Reactor::m_task_listen,
      Zr_Reactor::m_task_hold, Zr_Reactor::m_wakeup_pipe, Zr_Reactor::m_task_lock;

  void Record(const char* what, int32_t sock) {
    std::lock_guard<std::mutex> lock(mu);
    socks[what].push_back(sock);
  }
  std::mutex mu;
  std::map<std::string, Ints> socks;
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

// Zero tasks or threads are reported and go on; a second Initialize: see the
// command test.
TEST(ReactorSetup, FailedOrEmptyInitializeIsReportedAndDeinitializeIsSafeAndPrompt) {
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
    EXPECT_EQ(errno, mode == 2 ? EMFILE : EAGAIN);  // pipe's, or pthread_create's result
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(r->TaskAdd(5, "", 0, nullptr), 0);  // still usable for bookkeeping
    // A thread that never ran must not be waited for (30 s each, or for ever).
    // The braces keep the calls in order.
    auto done = std::async(std::launch::async, [&] {
      return Ints{r->DoCommand(1), r->Deinitialize()};
    });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(done.get(), (Ints{0, 0}));
    EXPECT_EQ(r->SocksOf("cleanup"), Ints{5});
    EXPECT_TRUE(r->m_wakeup_pipe[0] == -1 && r->m_wakeup_pipe[1] == -1);  // closed once
  }
  delete static_cast<Zr_Reactor*>(new TestReactor());  // never initialised: no complaint
  std::make_unique<TestReactor>()->Initialize(0, 0, 0, false);
  EXPECT_EQ(rec.Exprs(), (Texts{"nr_tasks > 0", "nr_threads > 0"}));
  EXPECT_SIGNATURE(rec.Take()[0].function,
                   "int32_t Zr_Reactor::Initialize(uint32_t, uint32_t, size_t, bool)");
}

// One task thread, five tasks and every thread paused, so the test owns the
// queues; the wake-up pipe starts empty. Socket numbers such as 70007
// are not open: polling them fails (POLLNVAL).
struct ReactorTasks : ::testing::Test {
  void SetUp() override {
    r->Quiesce();
    WakeupBytes();
  }
  int WakeupBytes(int n = 0) {  // reads them all
    for (char byte; read(r->m_wakeup_pipe[0], &byte, 1) > 0;) n++;
    return n;
  }
  zr_test::AssertRecorder rec;
  long before = ResidentKiB();
  std::unique_ptr<TestReactor> r = Make(1, 5);
  int ud = 0;
};

// Another client's job, registered while this one looks it up, goes to the
// ready queue (the task thread is stopped to leave it there).
TEST_F(ReactorTasks, NewSocketsGoFirstWithHostsCutAndOneWakeupEach) {
  r->m_threads[0]->Stop();
  EXPECT_EQ(r->TaskAdd(70007, std::string(300, 'x').c_str(), 80, nullptr), 0);
  EXPECT_EQ(r->TaskAdd(90009, nullptr, 81, nullptr), 0);
  EXPECT_EQ(r->TaskAdd(1048575, "last", 82, nullptr), 0);
  EXPECT_EQ(r->Socks(kListen), (Ints{1048575, 90009, 70007}));
  // Found by its socket, also while a listener pass reads the queues.
  pthread_rwlock_rdlock(&r->m_task_lock);
  auto check = std::async(std::launch::async, [&] { return r->TaskCheck(90009); });
  EXPECT_EQ(check.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  pthread_rwlock_unlock(&r->m_task_lock);
  EXPECT_EQ(check.get(), kListen);
  EXPECT_TRUE(r->m_task_listen.m_end->m_host == std::string(256, 'x') &&
              !r->m_task_listen.m_begin->m_next->m_host[0]);
  EXPECT_EQ(WakeupBytes(), 3);
  std::thread other([&] { EXPECT_EQ(r->TaskAdd(&ud), 0); });
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->TaskCheck(&ud) == kReady; }));
  other.join();
}

// Out of range, nothing changes; full, the listener is woken all the same.
// A wake-up that fails on a full pipe leaves errno as the caller had it.
TEST_F(ReactorTasks, RefusedTaskAddWakesTheListenerOnlyWhenTheReactorIsFull) {
  for (int bad : {1048576, -1}) EXPECT_EQ(r->TaskAdd(bad, "h", 1, nullptr), -1);
  EXPECT_EQ(WakeupBytes(), 0);
  for (char full[64] = {}; write(r->m_wakeup_pipe[1], full, sizeof full) > 0;) continue;
  errno = 0;
  for (int sock = 11; sock < 16; sock++) ASSERT_EQ(r->TaskAdd(sock, "h", 1, nullptr), 0);
  EXPECT_EQ(errno, 0);
  WakeupBytes();
  EXPECT_EQ(r->TaskAdd(16, "h", 1, nullptr), -1);
  EXPECT_EQ(WakeupBytes(), 1);
  EXPECT_EQ(r->TaskAdd(&ud), -1);
  r->TaskMoveToQueue(r->m_task_listen.RemoveFirst(), kFree, false);  // host "h", port 1
  ASSERT_EQ(r->TaskAdd(&ud), 0);  // reused for a job, which a task thread runs
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->TaskCheck(&ud) == kHold; }));
}

TEST_F(ReactorTasks, FreeingATaskWithUserDataOrAnUnknownQueueIsReportedAndLosesNoTask) {
  r->Place(kHold, 11, &ud);
  Zr_Task* t = r->m_task_hold.RemoveFirst();
  r->TaskMoveToQueue(t, kFree, true);  // reported, moved anyway
  EXPECT_TRUE(r->TaskCheck(11) == kFree && t->m_sock == -1);
  r->m_task_free.Remove(t);
  r->TaskMoveToQueue(t, Q(4), true);  // no such queue: reported, kept on hold rather than lost
  EXPECT_EQ(r->TaskCheck(&ud), kHold);
  EXPECT_EQ(rec.Exprs(), (Texts{"task->m_user_data == __null", "0"}));
}

// So that its socket is polled at once, not after the listener's timeout,
// or that a task thread that sleeps serves it.
TEST_F(ReactorTasks, TaskPutBackWakesTheListenerOrASleepingTaskThread) {
  r->next = kReady;  // runs once more, in the task thread it wakes, then listens
  r->Place(kReady, 70007, &ud);
  r->TaskThread(r->m_threads[0]);  // runs it in this thread
  ASSERT_TRUE(zr_test::WaitUntil(
      [&] { return r->TaskCheck(&ud) == kListen && !r->m_threads[0]->GetItem(); }));
  EXPECT_EQ(WakeupBytes(), 1);
}

// A wake-up byte alone ends a pass at once, is drained and moves nothing;
// the pass itself puts the pipe in slot 0 (left stale here).
TEST_F(ReactorTasks, WakeupByteAloneEndsAPassThatMovesNothing) {
  r->m_poll_fds[0].fd = -1;
  r->WakeupListener();
  EXPECT_EQ(r->ListenerPass(1, "pass"), 0u);
  EXPECT_EQ(WakeupBytes(), 0);
}

// A socket without an event stays polled, even in a slot before one with an
// event; a peer's hang-up alone (POLLHUP, no POLLIN) is an event too. Tasks
// beyond a pass's slots wait for a later pass. A task without a socket is
// reported under the listener's work function and stays. The 16 MiB of poll
// arrays stay untouched beyond the slots used.
TEST_F(ReactorTasks, PassMovesOnlyTasksWithEventsWithinItsSlots) {
  r->m_threads[0]->Stop();  // leaves the tasks a pass makes ready alone
  SocketPair idle, readable;
  int hup[2];
  ASSERT_EQ(pipe(hup), 0);
  close(hup[1]);
  for (int sock : {-1, idle.fd[0], readable.fd[0], hup[0], 70007}) r->Place(kListen, sock);
  ASSERT_EQ(write(readable.fd[1], "x", 1), 1);
  r->m_poll_fds[5].fd = -77;
  EXPECT_TRUE(r->ListenerPass(5, "pass") == 2u && r->m_poll_fds[5].fd == -77);  // 4 tasks
  r->ListenerThread(nullptr);  // a whole pass, in which 70007 fails (POLLNVAL)
  EXPECT_EQ(r->Socks(kListen), (Ints{-1, idle.fd[0]}));
  EXPECT_EQ(rec.Exprs(), (Texts{"sock != -1", "nfds< (1024 * 1024)", "sock != -1"}));
  EXPECT_SIGNATURE(rec.Take()[2].function,
                   "void Zr_Reactor::ListenerThread(Zr_Thread<Zr_Reactor>*)");
  close(hup[0]);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their allocators differ
  EXPECT_LT(ResidentKiB() - before, 4 * 1024);
#endif
}

// With the only task thread busy, the set-up thread serves the ready task
// without user data and leaves the other one; a command neither waits for
// the busy thread nor commands its task.
TEST(ReactorFlow, BusyTaskThreadLeavesFreshTasksToTheSetupThreadAndCommandsSkipIt) {
  zr_test::AssertRecorder rec;
  SocketPair busy, fresh, known;  // before the reactor: its threads stop first
  auto r = Make(1, 5, true);
  r->slow = &busy;
  ASSERT_EQ(write(busy.fd[1], "b", 1), 1);
  ASSERT_EQ(r->TaskAdd(busy.fd[0], "", 0, &busy), 0);
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->SocksOf("execute") == Ints{busy.fd[0]}; }));
  ASSERT_EQ(r->TaskAdd(known.fd[0], "", 0, &known), 0);
  ASSERT_EQ(r->TaskAdd(fresh.fd[0], "", 0, nullptr), 0);
  ASSERT_EQ(write(fresh.fd[1], "f", 1), 1);  // alone in its pass
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->TaskCheck(fresh.fd[0]) == kHold; }));
  ASSERT_EQ(write(known.fd[1], "k", 1), 1);
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->TaskCheck(known.fd[0]) == kReady; }));

  r->command = [&](int32_t sock) { return sock == known.fd[0] ? kReady : kHold; };
  auto cmd = std::async(std::launch::async, [&] { return r->DoCommand(1); });
  ASSERT_EQ(cmd.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(r->SocksOf("command"), (Ints{known.fd[0], fresh.fd[0]}));
  r->released = true;
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->TaskCheck(known.fd[0]) == kHold; }));
  EXPECT_EQ(rec.Count(), 0u);
}

// The set-up thread finishes its task while a command waits for it, and then
// stops: another fresh task, ready meanwhile, waits for the command instead
// of being run during it.
TEST(ReactorFlow, CommandStopsTheSetupThreadAfterItsTask) {
  SocketPair busy, first, second;
  auto r = Make(1, 5, true);
  r->slow = &busy, r->slow_sock = first.fd[0];
  ASSERT_EQ(write(busy.fd[1], "b", 1), 1);
  ASSERT_EQ(r->TaskAdd(busy.fd[0], "", 0, &busy), 0);  // keeps the task thread
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->SocksOf("execute").size() == 1; }));
  ASSERT_EQ(r->TaskAdd(first.fd[0], "", 0, nullptr), 0);  // keeps the set-up thread
  ASSERT_EQ(write(first.fd[1], "1", 1), 1);
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->SocksOf("execute").size() == 2; }));
  ASSERT_EQ(r->TaskAdd(second.fd[0], "", 0, nullptr), 0);
  ASSERT_EQ(write(second.fd[1], "2", 1), 1);
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->TaskCheck(second.fd[0]) == kReady; }));

  Ints run_before_command;
  r->command = [&](int32_t sock) {
    if (sock == second.fd[0]) run_before_command = r->SocksOf("execute");
    return kListen;
  };
  r->release_while_pausing = true;
  auto cmd = std::async(std::launch::async, [&] { return r->DoCommand(1); });
  ASSERT_EQ(cmd.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(run_before_command, (Ints{busy.fd[0], first.fd[0]}));
}

// Other codes than 1 do nothing.
TEST(ReactorCommand, CommandOneAndCleanupVisitListenReadyHoldInOrder) {
  zr_test::AssertRecorder rec;
  auto r = Make(2, 6);
  r->Quiesce();
  const std::pair<int, Q> placed[] = {{101, kListen}, {102, kListen}, {103, kReady}, {104, kHold}};
  for (auto [sock, q] : placed) r->Place(q, sock, sock == 103 ? r.get() : nullptr);
  r->command = [](int32_t) { return kHold; };
  for (unsigned cmd : {0u, 2u, 1u}) EXPECT_EQ(r->DoCommand(cmd), 0);  // 1: all on hold, in order
  // A throwing command loses no task: the rest go on hold, the lock is left free.
  r->command = [](int32_t sock) {
    return sock == 103 ? throw std::runtime_error("no") : sock == 101 ? kReady : kListen;
  };
  EXPECT_THROW(r->DoCommand(1), std::runtime_error);
  EXPECT_EQ(r->SocksOf("command"), (Ints{101, 102, 103, 104, 101, 102, 103}));
  EXPECT_EQ(r->Socks(kHold), (Ints{103, 104}));
  // A throwing cleanup loses no task either: a second Deinitialize ends the
  // one it threw for and the rest.
  r->throw_cleanup = 101;
  EXPECT_THROW(r->Deinitialize(), std::runtime_error);
  EXPECT_EQ(r->Deinitialize(), 0);
  EXPECT_EQ(r->SocksOf("cleanup"), (Ints{102, 101, 101, 103, 104}));
  EXPECT_TRUE(r->Initialize(1, 1, 0, false) == -1 && errno == EINVAL);  // once in its life
  // Only the task whose user data was left set is reported.
  EXPECT_EQ(rec.Exprs(),
            (Texts{"task->m_user_data == __null", "m_task_nr == 0", "m_thread_nr == 0"}));
}

// A listener waiting in its poll is woken by a command and by the shutdown
// rather than left to its one-second timeout. Both take microseconds; the
// bound only tells a missing wake-up, a fresh poll's whole second, apart.
TEST(ReactorCommand, CommandAndShutdownCutTheListenersPollShort) {
  auto r = Make(1, 1);
  for (int round = 0, pending = -1; round < 2; round++) {
    r->WakeupListener();  // drained at the end of a poll, then a fresh one starts
    ASSERT_TRUE(zr_test::WaitUntil(
        [&] { return ioctl(r->m_wakeup_pipe[0], FIONREAD, &pending) == 0 && pending == 0; }));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(round == 0 ? r->DoCommand(1) : r->Deinitialize(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500)) << round;
  }
}

// Socket-less jobs that go straight back to the ready queue after every run,
// so the task threads keep waking one another. A command must still quiesce
// them: no job runs while ClientTaskCommand does, and every job, including
// one added while the command pauses the threads, reaches the command once.
TEST(ReactorCommand, QuiescesJobsThatKeepRequeueingThemselves) {
  int job = 0, added = 0;
  for (uint32_t threads : {1u, 3u}) {
    auto r = Make(threads, 4);
    r->cycle = true;
    ASSERT_EQ(r->TaskAdd(&job), 0);
    ASSERT_TRUE(zr_test::WaitUntil([&] { return r->runs > 100; }));
    r->add_while_pausing = &added;
    auto cmd = std::async(std::launch::async, [&] { return r->DoCommand(1); });
    bool returned = cmd.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    r->cycle = false;  // lets a hung command finish, so the test ends either way
    EXPECT_TRUE(cmd.get() == 0 && returned) << threads << " threads";
    EXPECT_EQ(r->overlaps, 0) << threads << " threads";
    EXPECT_EQ(r->SocksOf("command"), (Ints{-1, -1})) << threads << " threads";
    EXPECT_TRUE(r->TaskCheck(&job) == kHold && r->TaskCheck(&added) == kHold) << threads;
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
}

}  // namespace
