#include "zr_reactor.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <tvo/tvo_assert.h>
#include <tvo/tvo_string.h>
#include <unistd.h>

#include <new>

TVO_REVISION_IDENT();

namespace {

typedef Zr_Thread<Zr_Reactor> ReactorThread;

// Holds a read or write lock on a rwlock for one scope, so that an exception
// from a client callback leaves the lock released.
class RwLockGuard {
 public:
  RwLockGuard(pthread_rwlock_t* lock, bool write) : m_lock(lock) {
    if (write)
      pthread_rwlock_wrlock(m_lock);
    else
      pthread_rwlock_rdlock(m_lock);
  }
  ~RwLockGuard() { pthread_rwlock_unlock(m_lock); }
  RwLockGuard(const RwLockGuard&) = delete;
  RwLockGuard& operator=(const RwLockGuard&) = delete;

 private:
  pthread_rwlock_t* m_lock;
};

// Closes both ends of a pipe (each once, leaving -1) at the end of a scope.
class PipeCloser {
 public:
  explicit PipeCloser(int32_t* ends) : m_ends(ends) {}
  ~PipeCloser() {
    for (int end = 0; end < 2; end++) {
      if (m_ends[end] != -1) close(m_ends[end]);
      m_ends[end] = -1;
    }
  }

 private:
  int32_t* m_ends;
};

// Calls `visit` on every task thread, highest index first, skipping null
// entries; nothing when there is no table.
template <class Visit>
void ForEachTaskThread(ReactorThread** threads, uint32_t nr_threads, Visit visit) {
  if (threads == NULL) return;
  for (uint32_t i = nr_threads; i-- > 0;) {
    if (threads[i] != NULL) visit(threads[i]);
  }
}

// How long Deinitialize waits for a started thread to report that it
// stopped before it gives up on it (and leaves its object allocated).
const uint64_t kStopWaitMicros = 30u * 1000u * 1000u;

// Ends a thread object after the thread was asked to stop and joined. A
// thread that never started is freed at once; one that does not report
// stopping within the limit is left allocated (it may still touch it).
void FreeStoppedThread(ReactorThread*& thread) {
  if (thread == NULL) return;
  if (thread->m_thread != 0 && !thread->WaitForState(ZR_THREAD_STOPPED, kStopWaitMicros)) return;
  delete thread;
  thread = NULL;
}

int SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags == -1) return -1;
  return fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ? -1 : 0;
}

// Creates the pipe into `ends`, both ends non-blocking. Returns 0, or -1
// with errno set; ends that could not be created are -1.
int OpenWakeupPipe(int32_t* ends) {
  if (pipe(ends) != 0) {
    ends[0] = -1;
    ends[1] = -1;
    return -1;
  }
  return SetNonBlocking(ends[0]) != 0 || SetNonBlocking(ends[1]) != 0 ? -1 : 0;
}

// Creates and starts one reactor thread into `slot`; false when either
// fails (the object stays in `slot` so that Deinitialize frees it).
bool StartThread(ReactorThread*& slot, ReactorThread::zr_thread_func_t func, Zr_Reactor* reactor,
                 size_t stack_size) {
  slot = new (std::nothrow) ReactorThread(func, reactor, stack_size);
  if (slot == NULL) return false;
  int rc = slot->Start();
  if (rc != 0) {
    errno = rc;
    return false;
  }
  return true;
}

// Walks `queue` with a position of its own (other readers may walk it at the
// same time) and tells whether a task matches.
template <class Match>
bool QueueHolds(pthread_rwlock_t* lock, const Zr_DList<Zr_Task>& queue, Match match) {
  RwLockGuard guard(lock, false);
  for (const Zr_Task* task = queue.m_begin; task != NULL; task = task->m_next) {
    if (match(task)) return true;
  }
  return false;
}

// Checks that a task leaving the reactor released its user data, and
// deletes it.
void DeleteTask(Zr_Task* task) {
  TVO_ASSERT(task->m_user_data == NULL);
  delete task;
}

}  // namespace

Zr_Reactor::Zr_Reactor()
    : m_task_nr(0), m_thread_nr(0), m_threads(NULL), m_setup_thread(NULL), m_listener_thread(NULL) {
  // m_poll_tasks and m_poll_fds are deliberately left unwritten: each pass
  // fills the slots it uses before reading them, and writing 16 MiB here
  // would make every reactor resident at that size.
  pthread_rwlock_init(&m_task_lock, NULL);
  m_wakeup_pipe[0] = -1;
  m_wakeup_pipe[1] = -1;
}

Zr_Reactor::~Zr_Reactor() { pthread_rwlock_destroy(&m_task_lock); }

bool Zr_Reactor::ClientTaskSuspendRequired(void* user_data) {
  (void)user_data;
  return true;
}

bool Zr_Reactor::NeedSuspend(Zr_Task* task) {
  return ClientTaskSuspendRequired(task != NULL ? task->m_user_data : NULL);
}

// ---- Set-up: tasks, pipe, threads ----

int32_t Zr_Reactor::Initialize(uint32_t nr_threads, uint32_t nr_tasks, size_t stack_size,
                               bool setup_thread) {
  // A second Initialize is refused: it would orphan the running threads,
  // which Deinitialize could then no longer stop before deleting the tasks
  // under them.
  bool fresh = TVO_CHECK(m_task_nr == 0);
  fresh = TVO_CHECK(m_thread_nr == 0) && fresh;
  TVO_ASSERT(nr_tasks > 0);
  TVO_ASSERT(nr_threads > 0);
  if (!fresh) {
    errno = EINVAL;
    return -1;
  }

  m_task_nr = nr_tasks;
  for (uint32_t i = 0; i < nr_tasks; i++) m_task_free.Prepend(new Zr_Task());
  if (OpenWakeupPipe(m_wakeup_pipe) != 0) return -1;
  return StartThreads(nr_threads, stack_size, setup_thread);
}

int32_t Zr_Reactor::StartThreads(uint32_t nr_threads, size_t stack_size, bool setup_thread) {
  m_thread_nr = nr_threads;
  m_threads = static_cast<ReactorThread**>(calloc(nr_threads, sizeof(ReactorThread*)));
  if (m_threads == NULL) return -1;
  for (uint32_t i = nr_threads; i-- > 0;) {
    if (!StartThread(m_threads[i], &Zr_Reactor::TaskThread, this, stack_size)) return -1;
  }
  if (setup_thread &&
      !StartThread(m_setup_thread, &Zr_Reactor::TaskSetupThread, this, stack_size)) {
    return -1;
  }
  return StartThread(m_listener_thread, &Zr_Reactor::ListenerThread, this, stack_size) ? 0 : -1;
}

// ---- Shutdown: stop and join, free the threads, clean the tasks, close the pipe ----

int32_t Zr_Reactor::Deinitialize() {
  StopAndJoinThreads();
  FreeThreads();
  // The pipe is closed last, and also when a cleanup callback throws.
  PipeCloser close_pipe(m_wakeup_pipe);
  CleanQueuedTasks();
  return 0;
}

void Zr_Reactor::StopAndJoinThreads() {
  ForEachTaskThread(m_threads, m_thread_nr, [](ReactorThread* thread) { thread->Stop(); });
  if (m_setup_thread != NULL) m_setup_thread->Stop();
  if (m_listener_thread != NULL) {
    m_listener_thread->Stop();
    // Cuts the listener's poll short instead of waiting for its timeout.
    WakeupListener();
    m_listener_thread->Join();
  }
  ForEachTaskThread(m_threads, m_thread_nr, [](ReactorThread* thread) { thread->Join(); });
  if (m_setup_thread != NULL) m_setup_thread->Join();
}

void Zr_Reactor::FreeThreads() {
  FreeStoppedThread(m_listener_thread);
  ForEachTaskThread(m_threads, m_thread_nr, [](ReactorThread*& slot) { FreeStoppedThread(slot); });
  free(m_threads);
  m_threads = NULL;
  FreeStoppedThread(m_setup_thread);
}

void Zr_Reactor::CleanQueuedTasks() {
  RwLockGuard lock(&m_task_lock, true);
  Zr_DList<Zr_Task>* queued[] = {&m_task_listen, &m_task_ready, &m_task_hold};
  for (Zr_DList<Zr_Task>* queue : queued) {
    // A task leaves its queue only after its cleanup returned: if the
    // callback throws, it and the rest stay queued for another Deinitialize.
    while (Zr_Task* task = queue->m_begin) {
      ClientTaskCleanup(task->m_sock, task->m_host, task->m_port, &task->m_user_data);
      queue->RemoveFirst();
      DeleteTask(task);
    }
  }
  while (Zr_Task* task = m_task_free.RemoveFirst()) DeleteTask(task);
}

// ---- Registration, lookup and queue moves ----

void Zr_Reactor::WakeupListener() {
  const int saved = errno;  // callers promise to leave errno alone
  const char byte = 0;
  ssize_t rc = write(m_wakeup_pipe[1], &byte, 1);
  (void)rc;  // a full pipe already wakes the listener; a closed one has none
  errno = saved;
}

int32_t Zr_Reactor::TaskAdd(int sock, const char* host, unsigned short port, void* user_data) {
  // A negative socket could never be polled and would trip the listener's
  // "sock != -1" check on every pass.
  if (sock < 0 || sock > ZR_REACTOR_MAX_FDS - 1) return -1;
  Zr_Task* task;
  {
    RwLockGuard lock(&m_task_lock, true);
    task = m_task_free.RemoveFirst();
    if (task != NULL) {
      tvostrcpy(task->m_host, host != NULL ? host : "", sizeof(task->m_host));
      task->m_port = port;
      task->m_sock = sock;
      task->m_user_data = user_data;
      m_task_listen.Prepend(task);
    }
  }
  WakeupListener();
  return task != NULL ? 0 : -1;
}

int32_t Zr_Reactor::TaskAdd(void* user_data) {
  Zr_Task* task;
  {
    RwLockGuard lock(&m_task_lock, true);
    task = m_task_free.RemoveFirst();
    if (task != NULL) {
      task->m_user_data = user_data;
      task->m_host[0] = '\0';
      task->m_port = 65535;
      task->m_sock = -1;
      m_task_ready.Append(task);
    }
  }
  WakeupTaskThreads(1);
  return task != NULL ? 0 : -1;
}

Zr_Reactor::zr_reactor_queue_t Zr_Reactor::TaskCheck(int sock) {
  auto match = [sock](const Zr_Task* task) { return task->m_sock == sock; };
  if (QueueHolds(&m_task_lock, m_task_listen, match)) return ZR_REACTOR_QUEUE_LISTEN;
  if (QueueHolds(&m_task_lock, m_task_ready, match)) return ZR_REACTOR_QUEUE_READY;
  if (QueueHolds(&m_task_lock, m_task_hold, match)) return ZR_REACTOR_QUEUE_HOLD;
  return ZR_REACTOR_QUEUE_FREE;
}

Zr_Reactor::zr_reactor_queue_t Zr_Reactor::TaskCheck(void* user_data) {
  auto match = [user_data](const Zr_Task* task) { return task->m_user_data == user_data; };
  if (QueueHolds(&m_task_lock, m_task_listen, match)) return ZR_REACTOR_QUEUE_LISTEN;
  if (QueueHolds(&m_task_lock, m_task_ready, match)) return ZR_REACTOR_QUEUE_READY;
  if (QueueHolds(&m_task_lock, m_task_hold, match)) return ZR_REACTOR_QUEUE_HOLD;
  return ZR_REACTOR_QUEUE_FREE;
}

void Zr_Reactor::TaskMoveToQueue(Zr_Task* task, zr_reactor_queue_t queue, bool wakeup) {
  Wake(MoveTask(task, queue, wakeup));
}

Zr_Reactor::zr_wakeup_t Zr_Reactor::MoveTask(Zr_Task* task, zr_reactor_queue_t queue, bool wakeup) {
  switch (queue) {
    case ZR_REACTOR_QUEUE_FREE:
      TVO_ASSERT(task->m_user_data == NULL);
      task->m_sock = -1;
      m_task_free.Append(task);
      return ZR_WAKE_NONE;
    case ZR_REACTOR_QUEUE_LISTEN:
      m_task_listen.Append(task);
      return wakeup ? ZR_WAKE_LISTENER : ZR_WAKE_NONE;
    case ZR_REACTOR_QUEUE_READY:
      m_task_ready.Append(task);
      return wakeup ? ZR_WAKE_TASK_THREAD : ZR_WAKE_NONE;
    case ZR_REACTOR_QUEUE_HOLD:
      m_task_hold.Append(task);
      return ZR_WAKE_NONE;
    default:
      TVO_ASSERT(0);
      // On no queue the task would be lost to the pool and never deleted;
      // on hold, the next command or Deinitialize still finds it.
      m_task_hold.Append(task);
      return ZR_WAKE_NONE;
  }
}

void Zr_Reactor::Wake(zr_wakeup_t wakeup) {
  if (wakeup == ZR_WAKE_LISTENER) WakeupListener();
  if (wakeup == ZR_WAKE_TASK_THREAD) WakeupTaskThreads(1);
}

void Zr_Reactor::WakeupTaskThreads(unsigned int count) {
  unsigned int woken = 0;
  ForEachTaskThread(m_threads, m_thread_nr, [&](ReactorThread* thread) {
    if (woken < count && thread->Resume()) woken++;
  });
}

// ---- Listener: fill the poll set, poll, move the tasks with events ----

void Zr_Reactor::ListenerThread(Zr_Thread<Zr_Reactor>* thread) {
  (void)thread;
  ListenerPass(ZR_REACTOR_MAX_FDS, __PRETTY_FUNCTION__);
}

uint32_t Zr_Reactor::ListenerPass(uint32_t nr_slots, const char* function) {
  const uint32_t nfds = FillPollSet(nr_slots, function);
#if defined(__GNUC__) && !defined(__clang__)
  // g++ 12 with sanitizers misjudges the size of the embedded array here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif
  int events = poll(m_poll_fds, nfds, 1000);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
  if (events <= 0) return 0;
  if (m_poll_fds[0].revents != 0) {
    // Drained after the poll rather than before it: a wake-up byte written
    // once the thread loop had looked at its requests (a hold or a stop)
    // then either ends this poll or is drained after it, and the loop sees
    // the request at once instead of after the poll timeout.
    char scratch[1024];
    ssize_t drained = read(m_wakeup_pipe[0], scratch, sizeof(scratch));
    (void)drained;  // up to 1024 bytes; any rest keeps the next poll short
    events--;
  }
  // Without a socket event no task moves: skipping the write lock keeps the
  // task threads running.
  if (events == 0) return 0;
  bool without_user_data = false;
  const uint32_t ready = MoveTasksWithEvents(nfds, uint32_t(events), function, &without_user_data);
  WakeupTaskThreads(ready);
  if (without_user_data && m_setup_thread != NULL) m_setup_thread->Resume();
  return ready;
}

// The listener's checks are reported under the signature of its work
// function, which the pass belongs to, not under this helper's.
#define ZR_LISTENER_CHECK(...) \
  ((__VA_ARGS__)               \
       ? true                  \
       : (__tvo_assert_fail(TVO_ASSERT_XSTR_(__VA_ARGS__), __FILE__, __LINE__, function), false))

uint32_t Zr_Reactor::FillPollSet(uint32_t nr_slots, const char* function) {
  if (nr_slots > ZR_REACTOR_MAX_FDS) nr_slots = ZR_REACTOR_MAX_FDS;
  m_poll_fds[0].fd = m_wakeup_pipe[0];
  m_poll_fds[0].events = POLLIN;
  m_poll_fds[0].revents = 0;
  // Only this thread takes tasks off the listen queue while it runs, so the
  // tasks recorded here are still there when the lock is taken again.
  uint32_t nfds = 1;
  RwLockGuard lock(&m_task_lock, false);
  for (Zr_Task* task = m_task_listen.m_begin; task != NULL; task = task->m_next) {
    int32_t sock = task->m_sock;
    (void)ZR_LISTENER_CHECK(sock != -1);
    // Tasks beyond the slots wait for a later pass: writing past the arrays
    // would corrupt the reactor.
    if (nfds >= nr_slots) {
      __tvo_assert_fail("nfds< (1024 * 1024)", __FILE__, __LINE__, function);
      break;
    }
    m_poll_fds[nfds].fd = sock;
    m_poll_fds[nfds].events = POLLIN;
    m_poll_fds[nfds].revents = 0;
    m_poll_tasks[nfds] = task;
    nfds++;
  }
  return nfds;
}

uint32_t Zr_Reactor::MoveTasksWithEvents(uint32_t nfds, uint32_t with_events, const char* function,
                                         bool* without_user_data) {
  RwLockGuard lock(&m_task_lock, true);
  uint32_t ready = 0;
  for (uint32_t i = 1; i < nfds && ready < with_events; i++) {
    if (m_poll_fds[i].revents == 0) continue;
    Zr_Task* t = m_poll_tasks[i];
    if (!ZR_LISTENER_CHECK(t != NULL)) continue;
    m_task_listen.Remove(t);
    m_task_ready.Append(t);
    ready++;
    if (t->m_user_data == NULL) *without_user_data = true;
  }
  return ready;
}

#undef ZR_LISTENER_CHECK

// ---- Task threads and the set-up thread ----

void Zr_Reactor::RunTask(Zr_Thread<Zr_Reactor>* thread, Zr_Task* task) {
  thread->SetItem(task);
  uint32_t status = ClientTaskExecute(task->m_sock, task->m_host, task->m_port, &task->m_user_data);
  zr_reactor_queue_t queue =
      ClientTaskNextQueue(&task->m_sock, task->m_host, &task->m_port, task->m_user_data, status);
  zr_wakeup_t wakeup;
  {
    RwLockGuard lock(&m_task_lock, true);
    wakeup = MoveTask(task, queue, true);
  }
  // Once the lock is free: a thread woken while it was held would block on
  // it at once.
  Wake(wakeup);
  thread->SetItem(NULL);
}

void Zr_Reactor::TaskThread(Zr_Thread<Zr_Reactor>* thread) {
  Zr_Task* task;
  {
    RwLockGuard lock(&m_task_lock, true);
    task = m_task_ready.RemoveFirst();
    // Asking to pause under the lock means no wake-up is lost: whoever
    // queues a ready task later does so under this lock and then resumes us.
    if (task == NULL) thread->Pause();
  }
  if (task != NULL) RunTask(thread, task);
}

void Zr_Reactor::TaskSetupThread(Zr_Thread<Zr_Reactor>* thread) {
  Zr_Task* task = NULL;
  {
    RwLockGuard lock(&m_task_lock, true);
    for (task = m_task_ready.m_begin; task != NULL; task = task->m_next) {
      if (task->m_user_data == NULL) break;
    }
    if (task != NULL)
      m_task_ready.Remove(task);
    else
      thread->Pause();
  }
  if (task != NULL) RunTask(thread, task);
}

// ---- Commands: hold and wait, re-queue, release ----

int32_t Zr_Reactor::DoCommand(unsigned int cmd) {
  if (cmd != 1) return 0;
  HoldThreads();
  CommandQueuedTasks(cmd);
  ReleaseThreads();
  return 0;
}

void Zr_Reactor::HoldThreads() {
  // Held, not paused: the wake-ups that threads and clients send one another
  // meanwhile (a task put back on the ready queue, TaskAdd, the listener)
  // resume paused threads, and would undo the quiesce; a hold lasts until
  // ReleaseThreads.
  if (m_listener_thread != NULL) {
    m_listener_thread->Hold();
    // The listener sees the request only between passes; the byte ends its
    // poll now rather than at the timeout.
    WakeupListener();
    m_listener_thread->WaitForState(ZR_THREAD_PAUSED, 0);
  }
  ForEachTaskThread(m_threads, m_thread_nr, [](ReactorThread* thread) { thread->Hold(); });
  if (m_setup_thread != NULL) m_setup_thread->Hold();
  ForEachTaskThread(m_threads, m_thread_nr, [this](ReactorThread* thread) {
    if (NeedSuspend(static_cast<Zr_Task*>(thread->GetItem()))) {
      thread->WaitForState(ZR_THREAD_PAUSED, 0);
    }
  });
  if (m_setup_thread != NULL) m_setup_thread->WaitForState(ZR_THREAD_PAUSED, 0);
}

void Zr_Reactor::CommandQueuedTasks(unsigned int cmd) {
  RwLockGuard lock(&m_task_lock, true);
  Zr_DList<Zr_Task> pending;
  Zr_DList<Zr_Task>* queued[] = {&m_task_listen, &m_task_ready, &m_task_hold};
  for (Zr_DList<Zr_Task>* queue : queued) {
    while (Zr_Task* task = queue->RemoveFirst()) pending.Append(task);
  }
  while (Zr_Task* task = pending.RemoveFirst()) {
    zr_reactor_queue_t queue;
    try {
      queue = ClientTaskCommand(cmd, task->m_sock, task->m_host, task->m_port, &task->m_user_data);
    } catch (...) {
      // Dropping them would lose the tasks for good (and leave them linked
      // to a dead list); on hold, the next command or Deinitialize finds
      // them.
      m_task_hold.Append(task);
      while (Zr_Task* rest = pending.RemoveFirst()) m_task_hold.Append(rest);
      throw;
    }
    TaskMoveToQueue(task, queue, false);
  }
}

void Zr_Reactor::ReleaseThreads() {
  if (m_listener_thread != NULL) m_listener_thread->Release();
  ForEachTaskThread(m_threads, m_thread_nr, [](ReactorThread* thread) { thread->Release(); });
  if (m_setup_thread != NULL) m_setup_thread->Release();
}
