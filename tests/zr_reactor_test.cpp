#include "zr_reactor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <tvo/tvo_string.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <stdexcept>
#include <thread>
#include <vector>

#include "test_support.h"

#ifndef EXPECT_SIGNATURE
#define EXPECT_SIGNATURE(actual, gcc_signature) EXPECT_EQ(std::string(actual), gcc_signature)
#endif

namespace {

using Q = Zr_Reactor::zr_reactor_queue_t;
const Q kFree = Zr_Reactor::ZR_REACTOR_QUEUE_FREE;
const Q kListen = Zr_Reactor::ZR_REACTOR_QUEUE_LISTEN;
const Q kReady = Zr_Reactor::ZR_REACTOR_QUEUE_READY;
const Q kHold = Zr_Reactor::ZR_REACTOR_QUEUE_HOLD;

// One callback as the reactor made it.
struct Call {
  std::string what;  // "execute", "command", "cleanup"
  int32_t sock;
  void* user_data;
  pthread_t thread;
};

// A reactor whose callbacks are recorded and can be replaced per test. By
// default a task's socket is drained and the task goes on hold.
class TestReactor : public Zr_Reactor {
 public:
  TestReactor() {}  // user-provided: `new TestReactor()` must not zero-fill
  ~TestReactor() override { Deinitialize(); }  // harmless when already done

  std::function<uint32_t(int32_t, void**)> execute = [](int32_t sock, void**) {
    char buf[256];
    return sock >= 0 ? uint32_t(recv(sock, buf, sizeof buf, MSG_DONTWAIT)) : 0u;
  };
  std::function<Q(int32_t*, void*, uint32_t)> next = [](int32_t*, void*, uint32_t) {
    return kHold;
  };
  std::function<Q(int32_t, void**)> command = [](int32_t, void**) { return kHold; };
  void* no_wait_for = nullptr;  // DoCommand need not wait for a task with this user data

  uint32_t ClientTaskExecute(int32_t sock, char*, uint16_t, void** ud) override {
    Record("execute", sock, *ud);
    return execute(sock, ud);
  }
  Q ClientTaskNextQueue(int32_t* sock, char*, uint16_t*, void* ud, uint32_t status) override {
    return next(sock, ud, status);
  }
  Q ClientTaskCommand(uint32_t cmd, int32_t sock, char*, uint16_t, void** ud) override {
    EXPECT_EQ(cmd, 1u);
    Record("command", sock, *ud);
    return command(sock, ud);
  }
  void ClientTaskCleanup(int32_t sock, char*, uint16_t, void** ud) override {
    Record("cleanup", sock, *ud);
    if (clear_on_cleanup) *ud = nullptr;
  }
  bool ClientTaskSuspendRequired(void* ud) override {
    Record("suspend?", -1, ud);
    return ud == nullptr || ud != no_wait_for;
  }

  std::vector<Call> Calls(const std::string& what = "") {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<Call> out;
    for (const Call& c : calls)
      if (what.empty() || c.what == what) out.push_back(c);
    return out;
  }
  size_t CountOf(const std::string& what) { return Calls(what).size(); }
  std::vector<int32_t> SocksOf(const std::string& what) {
    std::vector<int32_t> out;
    for (const Call& c : Calls(what)) out.push_back(c.sock);
    return out;
  }

  // Pauses the listener and every task thread, so the test owns the queues
  // and the poll arrays.
  void Quiesce() {
    m_listener_thread->Pause();
    WakeupListener();
    for (uint32_t i = 0; i < m_thread_nr; i++) m_threads[i]->Pause();
    ASSERT_TRUE(zr_test::WaitUntil([&] {
      bool all = m_listener_thread->GetState() == ZR_THREAD_PAUSED;
      for (uint32_t i = 0; i < m_thread_nr; i++)
        all = all && m_threads[i]->GetState() == ZR_THREAD_PAUSED;
      return all;
    }));
  }
  // Takes a free task, fills it in and puts it on `queue` (no wake-up).
  Zr_Task* Place(Q queue, int32_t sock, void* ud = nullptr) {
    pthread_rwlock_wrlock(&m_task_lock);
    Zr_Task* t = m_task_free.RemoveFirst();
    t->m_sock = sock;
    t->m_user_data = ud;
    TaskMoveToQueue(t, queue, false);
    pthread_rwlock_unlock(&m_task_lock);
    return t;
  }
  std::vector<int32_t> Socks(const Zr_DList<Zr_Task>& q) {
    std::vector<int32_t> out;
    for (Zr_Task* t = q.m_begin; t; t = t->m_next) out.push_back(t->m_sock);
    return out;
  }
  size_t Count(const Zr_DList<Zr_Task>& q) {
    pthread_rwlock_rdlock(&m_task_lock);
    size_t n = q.GetCount();
    pthread_rwlock_unlock(&m_task_lock);
    return n;
  }

  using Zr_Reactor::ListenerPass;
  using Zr_Reactor::m_listener_thread;
  using Zr_Reactor::m_poll_fds;
  using Zr_Reactor::m_poll_tasks;
  using Zr_Reactor::m_setup_thread;
  using Zr_Reactor::m_task_free;
  using Zr_Reactor::m_task_hold;
  using Zr_Reactor::m_task_listen;
  using Zr_Reactor::m_task_lock;
  using Zr_Reactor::m_task_nr;
  using Zr_Reactor::m_task_ready;
  using Zr_Reactor::m_thread_nr;
  using Zr_Reactor::m_threads;
  using Zr_Reactor::m_wakeup_pipe;
  using Zr_Reactor::TaskMoveToQueue;
  using Zr_Reactor::WakeupListener;
  using Zr_Reactor::WakeupTaskThreads;

  bool clear_on_cleanup = true;

 private:
  void Record(const char* what, int32_t sock, void* ud) {
    std::lock_guard<std::mutex> lock(mu);
    calls.push_back({what, sock, ud, pthread_self()});
  }
  std::mutex mu;
  std::vector<Call> calls;
};

using ReactorPtr = std::unique_ptr<TestReactor>;

ReactorPtr Make(uint32_t threads, uint32_t tasks, bool setup = false) {
  ReactorPtr r(new TestReactor());
  EXPECT_EQ(r->Initialize(threads, tasks, 0, setup), 0);
  return r;
}

struct SocketPair {
  int fd[2];
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
  ~SocketPair() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
};

zr_thread_state_t CmdOf(Zr_Thread<Zr_Reactor>* t) {
  pthread_mutex_lock(&t->m_mutex);
  zr_thread_state_t cmd = t->m_cmd;
  pthread_mutex_unlock(&t->m_mutex);
  return cmd;
}

bool IsTaskThread(TestReactor& r, pthread_t t) {
  for (uint32_t i = 0; i < r.m_thread_nr; i++)
    if (pthread_equal(r.m_threads[i]->m_thread, t)) return true;
  return false;
}

TEST(ReactorSetup, InitializeBuildsPoolPipeAndThreads) {
  zr_test::AssertRecorder rec;
  {
    Zr_Reactor* idle = new TestReactor();
    delete idle;
  }  // never initialised: no complaint
  ReactorPtr r = Make(2, 3);
  EXPECT_EQ(r->m_task_free.GetCount(), 3u);
  for (Zr_Task* t = r->m_task_free.m_begin; t; t = t->m_next) {
    EXPECT_EQ(t->m_sock, -1);
    EXPECT_EQ(t->m_port, 65535);
    EXPECT_STREQ(t->m_host, "");
    EXPECT_EQ(t->m_user_data, nullptr);
  }
  ASSERT_TRUE(r->m_threads && r->m_threads[0] && r->m_threads[1] && r->m_listener_thread);
  EXPECT_EQ(r->m_setup_thread, nullptr);
  for (int end : r->m_wakeup_pipe) EXPECT_TRUE(fcntl(end, F_GETFL) & O_NONBLOCK);

  // A reactor is initialised once; misuse is reported and refused.
  EXPECT_EQ(r->Initialize(2, 3, 0, false), -1);
  EXPECT_EQ(rec.Exprs(), (std::vector<std::string>{"m_task_nr == 0", "m_thread_nr == 0"}));
  EXPECT_EQ(r->m_task_free.GetCount(), 3u);
  rec.Take();
  ReactorPtr empty(new TestReactor());
  empty->Initialize(0, 0, 0, false);  // reported, then a reactor that serves nothing
  EXPECT_EQ(rec.Exprs(), (std::vector<std::string>{"nr_tasks > 0", "nr_threads > 0"}));
  EXPECT_EQ(empty->TaskAdd(4, "", 0, nullptr), -1);
  EXPECT_SIGNATURE(rec.Take()[0].function,
                   "int32_t Zr_Reactor::Initialize(uint32_t, uint32_t, size_t, bool)");
}

TEST(ReactorSetup, FailedThreadStartIsReportedAndDeinitializeCleansUpPromptly) {
  zr_test::AssertRecorder rec;
  for (bool setup : {false, true}) {
    std::unique_ptr<TestReactor> r(new TestReactor());
    EXPECT_EQ(r->Initialize(2, 4, SIZE_MAX / 4, setup), -1);
    // A thread that never ran must not be waited for (30 s per thread, or
    // for ever in a command).
    auto done = std::async(std::launch::async, [&] { return r->DoCommand(1) + r->Deinitialize(); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(done.get(), 0);
    EXPECT_TRUE(r->m_threads == nullptr && r->m_listener_thread == nullptr);
    EXPECT_TRUE(r->m_task_free.IsEmpty());
    EXPECT_TRUE(r->m_wakeup_pipe[0] == -1 && r->m_wakeup_pipe[1] == -1);
    EXPECT_EQ(r->Deinitialize(), 0);  // twice is harmless
  }
  EXPECT_EQ(rec.Count(), 0u);
}

TEST(ReactorSetup, FailedPipeIsReportedAndDeinitializeNeedsNoThreadTable) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's own checks need free descriptors";
#endif
  zr_test::AssertRecorder rec;
  std::unique_ptr<TestReactor> r(new TestReactor());
  // Leave no descriptor free for the pipe.
  int lowest = open("/dev/null", O_RDONLY);
  ASSERT_GE(lowest, 0);
  close(lowest);
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit tight = {rlim_t(lowest), saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  int32_t rc = r->Initialize(2, 3, 0, true);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(r->m_threads == nullptr && r->m_listener_thread == nullptr);
  EXPECT_EQ(r->m_wakeup_pipe[0], -1);
  EXPECT_EQ(r->TaskAdd(5, "", 0, nullptr), 0);  // still usable for bookkeeping
  EXPECT_EQ(r->Deinitialize(), 0);
  EXPECT_EQ(r->CountOf("cleanup"), 1u);
  EXPECT_TRUE(r->m_task_free.IsEmpty() && r->m_task_listen.IsEmpty());
  EXPECT_EQ(rec.Count(), 0u);
}

TEST(ReactorTasks, TaskAddOrderLimitsHostAndFullPool) {
  zr_test::AssertRecorder rec;
  ReactorPtr r = Make(1, 4);
  r->Quiesce();
  char byte[8];
  while (read(r->m_wakeup_pipe[0], byte, sizeof byte) > 0) {
  }
  // Out of range: refused without a wake-up byte.
  EXPECT_EQ(r->TaskAdd(1048576, "h", 1, nullptr), -1);
  EXPECT_EQ(r->TaskAdd(-1, "h", 1, nullptr), -1);
  EXPECT_EQ(read(r->m_wakeup_pipe[0], byte, sizeof byte), -1);
  EXPECT_EQ(r->m_task_free.GetCount(), 4u);

  std::string long_host(300, 'x');
  EXPECT_EQ(r->TaskAdd(7, long_host.c_str(), 80, nullptr), 0);
  EXPECT_EQ(r->TaskAdd(9, nullptr, 81, nullptr), 0);
  EXPECT_EQ(r->TaskAdd(1048575, "last", 82, nullptr), 0);
  EXPECT_EQ(r->Socks(r->m_task_listen), (std::vector<int32_t>{1048575, 9, 7}));
  EXPECT_EQ(std::string(r->m_task_listen.m_end->m_host), long_host.substr(0, 256));
  EXPECT_STREQ(r->m_task_listen.m_begin->m_next->m_host, "");
  EXPECT_EQ(read(r->m_wakeup_pipe[0], byte, sizeof byte), 3);

  int ud = 0;
  EXPECT_EQ(r->TaskAdd(11, "h", 1, &ud), 0);
  EXPECT_EQ(r->TaskAdd(12, "h", 1, nullptr), -1);  // full: refused, listener still woken
  EXPECT_EQ(read(r->m_wakeup_pipe[0], byte, sizeof byte), 2);
  EXPECT_EQ(r->TaskAdd(&ud), -1);

  // Lookups by socket and by user data, across queues.
  EXPECT_EQ(r->TaskCheck(7), kListen);
  EXPECT_EQ(r->TaskCheck(&ud), kListen);
  EXPECT_EQ(r->TaskCheck(nullptr), kListen);
  EXPECT_EQ(r->TaskCheck(12), kFree);
  pthread_rwlock_wrlock(&r->m_task_lock);
  Zr_Task* t = r->m_task_listen.RemoveFirst();  // socket 11
  r->TaskMoveToQueue(t, kHold, true);
  pthread_rwlock_unlock(&r->m_task_lock);
  EXPECT_EQ(r->TaskCheck(11), kHold);
  EXPECT_EQ(r->TaskCheck(&ud), kHold);
  EXPECT_EQ(rec.Count(), 0u);
  // The listener stays paused: the fake socket numbers are never polled.
}

TEST(ReactorTasks, MovesToFreeAndUnknownQueuesAreChecked) {
  zr_test::AssertRecorder rec;
  ReactorPtr r = Make(1, 2);
  r->Quiesce();
  int ud = 0;
  Zr_Task* t = r->Place(kHold, 5, &ud);
  tvostrcpy(t->m_host, "keep", sizeof t->m_host);
  pthread_rwlock_wrlock(&r->m_task_lock);
  r->m_task_hold.Remove(t);
  r->TaskMoveToQueue(t, kFree, true);  // user data still set: reported, moved anyway
  EXPECT_TRUE(t->m_owner == &r->m_task_free && t->m_sock == -1);
  EXPECT_STREQ(t->m_host, "keep");
  t->m_user_data = nullptr;
  r->m_task_free.Remove(t);
  r->TaskMoveToQueue(t, Q(4), true);
  EXPECT_EQ(t->m_owner, nullptr);
  r->TaskMoveToQueue(t, kFree, false);  // give it back so Deinitialize finds it
  pthread_rwlock_unlock(&r->m_task_lock);
  EXPECT_EQ(rec.Exprs(), (std::vector<std::string>{"task->m_user_data == __null", "0"}));
  EXPECT_EQ(rec.Take()[0].file, "libs/clibs/libzrshared/zr_reactor.cpp");
}

TEST(ReactorTasks, WakeupTaskThreadsWakesHighestIndexSleepersFirst) {
  ReactorPtr r = Make(4, 2);
  r->Quiesce();
  r->Place(kReady, -1, nullptr);
  r->WakeupTaskThreads(0);
  for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(r->m_threads[i]->GetState(), ZR_THREAD_PAUSED);
  r->WakeupTaskThreads(1);
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->CountOf("execute") == 1; }));
  EXPECT_TRUE(pthread_equal(r->Calls()[0].thread, r->m_threads[3]->m_thread));
  for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(CmdOf(r->m_threads[i]), ZR_THREAD_PAUSED) << i;
}

TEST(ReactorFlow, ByteRunsTaskInTaskThreadAndEachNextQueueIsHonoured) {
  zr_test::AssertRecorder rec;
  ReactorPtr r = Make(2, 4);
  SocketPair p;
  std::atomic<int> runs{0};
  std::atomic<int> choice{int(kListen)};
  r->execute = [&](int32_t sock, void** ud) {
    char c;
    ssize_t n = recv(sock, &c, 1, MSG_DONTWAIT);
    if (n == 0) *ud = nullptr;  // peer closed: release before the free queue
    return uint32_t(n);
  };
  r->next = [&](int32_t*, void*, uint32_t status) {
    runs++;
    if (status == 0) return kFree;
    Q q = Q(choice.load());
    if (q == kReady) choice = int(kListen);  // run once more, then listen again
    return q;
  };
  int ud = 0;
  ASSERT_EQ(r->TaskAdd(p.fd[0], "peer", 9, &ud), 0);
  auto send_byte = [&] { ASSERT_EQ(write(p.fd[1], "x", 1), 1); };

  send_byte();
  ASSERT_TRUE(zr_test::WaitUntil([&] { return runs == 1 && r->TaskCheck(p.fd[0]) == kListen; }));
  EXPECT_TRUE(IsTaskThread(*r, r->Calls("execute")[0].thread));

  choice = int(kReady);  // runs again at once, without a new byte
  send_byte();
  ASSERT_TRUE(zr_test::WaitUntil([&] { return runs == 3 && r->TaskCheck(p.fd[0]) == kListen; }));

  choice = int(kHold);
  send_byte();
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->TaskCheck(&ud) == kHold; }));
  EXPECT_EQ(runs, 4);

  // Back to listening through a command, then the peer hangs up: POLLHUP
  // alone makes the task run, and it goes to the free queue.
  r->command = [](int32_t, void**) { return kListen; };
  EXPECT_EQ(r->DoCommand(1), 0);
  close(p.fd[1]);
  p.fd[1] = -1;
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->Count(r->m_task_free) == 4; }));
  EXPECT_EQ(r->TaskCheck(p.fd[0]), kFree);
  EXPECT_EQ(rec.Count(), 0u);

  // A socket-less job reaches a task thread with the documented defaults.
  int job = 0;
  ASSERT_EQ(r->TaskAdd(&job), 0);
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->TaskCheck(&job) == kHold; }));
  EXPECT_EQ(r->Calls("execute").back().sock, -1);
}

TEST(ReactorFlow, SetupThreadTakesOnlyTasksWithoutUserData) {
  ReactorPtr r = Make(1, 4, true);
  SocketPair busy, fresh, known;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  int busy_ud = 0, known_ud = 0;
  r->execute = [&](int32_t sock, void** ud) {
    if (*ud == &busy_ud) released.wait();  // keeps the only task thread busy
    char c;
    return uint32_t(recv(sock, &c, 1, MSG_DONTWAIT));
  };
  ASSERT_EQ(r->TaskAdd(busy.fd[0], "", 0, &busy_ud), 0);
  ASSERT_EQ(write(busy.fd[1], "b", 1), 1);
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->CountOf("execute") == 1; }));

  ASSERT_EQ(r->TaskAdd(known.fd[0], "", 0, &known_ud), 0);
  ASSERT_EQ(r->TaskAdd(fresh.fd[0], "", 0, nullptr), 0);
  ASSERT_EQ(write(known.fd[1], "k", 1), 1);
  ASSERT_EQ(write(fresh.fd[1], "f", 1), 1);
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->TaskCheck(fresh.fd[0]) == kHold; }));
  EXPECT_TRUE(pthread_equal(r->Calls("execute").back().thread, r->m_setup_thread->m_thread));
  EXPECT_EQ(r->TaskCheck(known.fd[0]), kReady);  // left for the task threads
  ASSERT_TRUE(
      zr_test::WaitUntil([&] { return r->m_setup_thread->GetState() == ZR_THREAD_PAUSED; }));

  release.set_value();
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->TaskCheck(known.fd[0]) == kHold; }));
  EXPECT_TRUE(IsTaskThread(*r, r->Calls("execute").back().thread));
}

TEST(ReactorCommand, OnlyCommandOneRequeuesInQueueOrder) {
  ReactorPtr r = Make(2, 6);
  EXPECT_EQ(r->DoCommand(0), 0);
  EXPECT_EQ(r->DoCommand(2), 0);
  EXPECT_EQ(CmdOf(r->m_listener_thread), ZR_THREAD_RUNNING);
  EXPECT_EQ(r->DoCommand(1), 0);  // nothing queued: no callback
  EXPECT_EQ(r->CountOf("command"), 0u);

  r->Quiesce();
  r->Place(kHold, 104);
  r->Place(kReady, 103);
  r->Place(kListen, 101);
  r->Place(kListen, 102);
  r->DoCommand(1);
  EXPECT_EQ(r->SocksOf("command"), (std::vector<int32_t>{101, 102, 103, 104}));
  EXPECT_EQ(r->Socks(r->m_task_hold), (std::vector<int32_t>{101, 102, 103, 104}));
  EXPECT_EQ(r->m_task_free.GetCount(), 2u);  // free tasks are never commanded

  // A throwing command loses no task and leaves the lock free.
  r->command = [](int32_t sock, void**) -> Q {
    if (sock == 102) throw std::runtime_error("no");
    return kHold;
  };
  EXPECT_THROW(r->DoCommand(1), std::runtime_error);
  EXPECT_EQ(r->TaskCheck(104), kHold);
  EXPECT_EQ(r->Count(r->m_task_hold), 4u);
}

TEST(ReactorCommand, DoesNotWaitForAThreadWhoseTaskNeedsNoSuspend) {
  ReactorPtr r = Make(2, 4);
  SocketPair p;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  int slow = 0;
  r->execute = [&](int32_t, void**) {
    released.wait();
    return 1u;
  };
  r->no_wait_for = &slow;
  ASSERT_EQ(r->TaskAdd(p.fd[0], "", 0, &slow), 0);
  ASSERT_EQ(write(p.fd[1], "s", 1), 1);
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->CountOf("execute") == 1; }));

  auto cmd = std::async(std::launch::async, [&] { return r->DoCommand(1); });
  ASSERT_EQ(cmd.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  // Asked once per task thread, through the default NeedSuspend.
  std::vector<Call> asked = r->Calls("suspend?");
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_TRUE(asked[0].user_data == &slow || asked[1].user_data == &slow);
  EXPECT_EQ(r->CountOf("command"), 0u);  // the task in hand is not commanded
  release.set_value();
  ASSERT_TRUE(zr_test::WaitUntil([&] { return r->TaskCheck(&slow) == kHold; }));
}

TEST(ReactorShutdown, CleanupVisitsListenReadyHoldInOrderAndChecksUserData) {
  zr_test::AssertRecorder rec;
  std::unique_ptr<TestReactor> r(new TestReactor());
  ASSERT_EQ(r->Initialize(3, 6, 0, true), 0);
  r->Quiesce();
  int ud = 0;
  r->Place(kHold, 31);
  r->Place(kReady, 21, &ud);
  r->Place(kListen, 11);
  r->Place(kListen, 12);
  r->clear_on_cleanup = false;
  EXPECT_EQ(r->Deinitialize(), 0);
  EXPECT_EQ(r->SocksOf("cleanup"), (std::vector<int32_t>{11, 12, 21, 31}));
  // Only the task whose user data was left set is reported; all are gone.
  EXPECT_EQ(rec.Exprs(), std::vector<std::string>{"task->m_user_data == __null"});
  EXPECT_TRUE(r->m_task_free.IsEmpty() && r->m_task_hold.IsEmpty());
  EXPECT_TRUE(r->m_threads == nullptr && r->m_setup_thread == nullptr);
  EXPECT_TRUE(r->m_task_nr == 6 && r->m_thread_nr == 3);  // kept: initialised once in its life
}

TEST(ReactorListener, PassNeverWritesPastItsSlotsAndReportsSocketlessTasks) {
  zr_test::AssertRecorder rec;
  ReactorPtr r = Make(1, 8);
  r->Quiesce();
  SocketPair p;
  ASSERT_EQ(write(p.fd[1], "r", 1), 1);  // every task below polls a readable socket
  r->Place(kListen, -1);
  for (int i = 0; i < 4; i++) r->Place(kListen, p.fd[0]);
  Zr_Task* sentinel = reinterpret_cast<Zr_Task*>(uintptr_t(0x5a5a));
  r->m_poll_tasks[3] = sentinel;
  r->m_poll_fds[3].fd = -77;
  // Three slots: the pipe, the socket-less task and one socket.
  EXPECT_EQ(r->ListenerPass(3), 1u);
  EXPECT_EQ(r->m_poll_tasks[3], sentinel);
  EXPECT_EQ(r->m_poll_fds[3].fd, -77);
  EXPECT_EQ(rec.Exprs(), (std::vector<std::string>{"sock != -1", "nfds< (1024 * 1024)"}));
  EXPECT_EQ(r->Count(r->m_task_listen), 4u);  // the surplus waits for a later pass
}

// Resident memory of this process in KiB (Linux).
long ResidentKiB() {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      long kib = 0;
      in >> kib;
      return kib;
    }
    in.ignore(1 << 16, '\n');
  }
  return -1;
}

TEST(ReactorMemory, IdleReactorDoesNotTouchItsPollArrays) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer allocators change resident memory";
#endif
  long before = ResidentKiB();
  ReactorPtr r = Make(2, 16);
  SocketPair p;
  ASSERT_EQ(r->TaskAdd(p.fd[0], "", 0, nullptr), 0);
  long after = ResidentKiB();
  // The arrays are 16 MiB; a reactor with a few sockets stays far below.
  EXPECT_LT(after - before, 4 * 1024) << before << " -> " << after << " KiB";
}

// Several writer threads ping many socketpairs through an echoing reactor
// while commands run; then the reactor is shut down in the middle of traffic.
TEST(ReactorStress, EchoesEveryByteOnceUnderCommandsAndShutsDownWhileBusy) {
  const int kPairs = 240, kWriters = 4, kRounds = 6, kMsg = 16;
  std::unique_ptr<TestReactor> r(new TestReactor());
  ASSERT_EQ(r->Initialize(3, kPairs + 16, 0, true), 0);
  std::atomic<long> echoed{0};
  r->execute = [&](int32_t sock, void**) {
    char buf[512];
    ssize_t n = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      echoed += n;  // counted before the echo can reach the writer
      EXPECT_EQ(send(sock, buf, size_t(n), MSG_NOSIGNAL), n);
    }
    return 0u;
  };
  r->next = [](int32_t*, void*, uint32_t) { return kListen; };
  r->command = [](int32_t, void**) { return kListen; };
  std::vector<std::unique_ptr<SocketPair>> pairs;
  std::vector<int> tags(kPairs);
  for (int i = 0; i < kPairs; i++) {
    pairs.emplace_back(new SocketPair());
    ASSERT_EQ(r->TaskAdd(pairs[i]->fd[0], "", 0, &tags[i]), 0);
  }

  std::atomic<long> received{0};
  std::atomic<bool> mismatch{false};
  auto writer = [&](int w) {
    for (int round = 0; round < kRounds; round++) {
      for (int i = w; i < kPairs; i += kWriters) {
        char msg[kMsg];
        memset(msg, 'a' + (i + round) % 26, sizeof msg);
        if (write(pairs[i]->fd[1], msg, sizeof msg) != kMsg) mismatch = true;
      }
      for (int i = w; i < kPairs; i += kWriters) {
        char got[kMsg];
        size_t have = 0;
        while (have < sizeof got) {
          struct pollfd pfd = {pairs[i]->fd[1], POLLIN, 0};
          if (poll(&pfd, 1, 10000) != 1) return;  // bounded: a lost echo ends the writer
          ssize_t n = read(pairs[i]->fd[1], got + have, sizeof got - have);
          if (n <= 0) return;
          have += size_t(n);
        }
        if (got[0] != 'a' + (i + round) % 26 || got[kMsg - 1] != got[0]) mismatch = true;
        received += kMsg;
      }
    }
  };
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; w++) writers.emplace_back(writer, w);
  // Lookups walk the queues beside the listener; nothing is ever on hold.
  std::atomic<bool> done{false};
  std::thread checker([&] {
    for (int i = 0; !done; i = (i + 1) % kPairs)
      if (r->TaskCheck(&tags[i]) == kHold) mismatch = true;
  });
  for (int c = 0; c < 4; c++) EXPECT_EQ(r->DoCommand(1), 0);
  for (std::thread& t : writers) t.join();
  done = true;
  checker.join();
  EXPECT_FALSE(mismatch);
  EXPECT_EQ(received, long(kPairs) * kRounds * kMsg);
  EXPECT_EQ(echoed, received.load());  // nothing echoed twice
  char extra;
  for (int i = 0; i < kPairs; i++) EXPECT_EQ(recv(pairs[i]->fd[1], &extra, 1, MSG_DONTWAIT), -1);
  EXPECT_EQ(r->Count(r->m_task_free), 16u);

  // Shut down while every socket has data waiting.
  for (int i = 0; i < kPairs; i++) ASSERT_EQ(write(pairs[i]->fd[1], "zzzz", 4), 4);
  EXPECT_EQ(r->Deinitialize(), 0);
  EXPECT_EQ(r->CountOf("cleanup"), size_t(kPairs));  // every task conserved
  EXPECT_EQ(r->CountOf("command") % kPairs, 0u);
}

}  // namespace
