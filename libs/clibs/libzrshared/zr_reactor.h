// Zr_Reactor: a socket reactor with a fixed pool of tasks, one listener
// thread, a fixed set of task threads and an optional set-up thread.
//
// A service derives its own reactor and supplies four callbacks. Each task
// (Zr_Task) carries a socket, a host name, a port and the client's opaque
// pointer, and sits on one of four queues:
//   free    idle, available to TaskAdd;
//   listen  its socket is polled by the listener thread;
//   ready   waits for a task thread (or the set-up thread);
//   hold    left alone until DoCommand or Deinitialize.
// When a listening socket has an event (readable, or POLLERR/POLLHUP/
// POLLNVAL), the listener moves its task to the ready queue and wakes a
// sleeping task thread. The task thread runs ClientTaskExecute and then
// ClientTaskNextQueue without any lock, and puts the task on the queue the
// client chose. One event is handed over once: to hear from a socket again,
// the client sends its task back to the listen queue.
//
// The reactor never opens, reads, writes or closes a task's socket and never
// interprets host, port or user data.
//
// Life cycle: construct (on the heap: the object embeds the listener's
// ~16 MiB poll arrays, which stay untouched until used), Initialize once,
// then TaskAdd / TaskCheck / DoCommand from any client thread, then
// Deinitialize once, then destroy. Initialize, DoCommand and Deinitialize are
// never called concurrently with one another.
//
// A derived class should have a user-provided constructor: `new Derived()`
// of a class without one zero-fills the whole object first, touching every
// page of the poll arrays.
//
// Locks: `m_task_lock` guards the four queues and the fields of every queued
// task; each thread's `m_mutex` guards its state. Order: `m_task_lock` before
// a thread's mutex; never two thread mutexes at once.
//
// Misuse goes to the assertion handler (<tvo/tvo_assert.h>) with the texts
// given at each operation; execution continues after a returning handler.
#ifndef ZR_REACTOR_H
#define ZR_REACTOR_H

#include <poll.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <tvo/revision.h>

#include "zr_dlist.h"
#include "zr_thread.h"

// Largest socket number TaskAdd accepts, plus one; also the number of
// listener poll slots (slot 0 is the wake-up pipe).
#define ZR_REACTOR_MAX_FDS (1024 * 1024)

// A registered job: one socket (or none), its host name and port, and the
// client's pointer. Created by Initialize and deleted by Deinitialize only.
// Fields of a queued task are guarded by the reactor's `m_task_lock`; a task
// in a thread's hands is touched by that thread alone.
class Zr_Task : public Zr_DList<Zr_Task>::Zr_item {
 public:
  Zr_Task() : m_port(65535), m_sock(-1), m_user_data(NULL) { m_host[0] = '\0'; }
  ~Zr_Task() override {}

  char m_host[257];   // NUL-terminated host name (at most 256 characters); empty for none
  uint16_t m_port;    // 65535 for none
  int32_t m_sock;     // socket descriptor; -1 for none
  void* m_user_data;  // the client's pointer; null for none
};

class Zr_Reactor {
 public:
  // Selects a queue; returned by the client callbacks and by TaskCheck.
  typedef enum {
    ZR_REACTOR_QUEUE_FREE = 0,
    ZR_REACTOR_QUEUE_LISTEN = 1,
    ZR_REACTOR_QUEUE_READY = 2,
    ZR_REACTOR_QUEUE_HOLD = 3,
  } zr_reactor_queue_t;

  // Empty queues, no tasks, no threads, pipe ends -1. Starts nothing and
  // leaves the poll arrays unwritten (each pass fills the slots it uses).
  Zr_Reactor();

  // Destroys the lock and checks that every queue is empty ("m_begin ==
  // __null" per queue): Deinitialize must have run if Initialize did.
  virtual ~Zr_Reactor();

  Zr_Reactor(const Zr_Reactor&) = delete;
  Zr_Reactor& operator=(const Zr_Reactor&) = delete;

  // ---- Client callbacks, in the order of their slots ----

  // Runs the task whose socket had an event (or that was added without a
  // socket). Called in a task thread or the set-up thread with no lock held,
  // possibly in several threads at once on different tasks. May set or clear
  // *user_data. The status is passed to ClientTaskNextQueue only. Must not
  // throw: nothing in a reactor thread catches it.
  virtual uint32_t ClientTaskExecute(int32_t sock, char* host, uint16_t port, void** user_data) = 0;

  // Chooses the task's next queue after ClientTaskExecute, in the same
  // thread, with no lock held. May replace *sock and *port (a task sent to
  // the listen queue needs a valid socket). Before returning
  // ZR_REACTOR_QUEUE_FREE the client must have closed the socket and cleared
  // the user data (through ClientTaskExecute); otherwise
  // "task->m_user_data == __null" is reported.
  virtual zr_reactor_queue_t ClientTaskNextQueue(int32_t* sock, char* host, uint16_t* port,
                                                 void* user_data, uint32_t status) = 0;

  // Re-queues one queued task during DoCommand(cmd), in DoCommand's thread
  // with `m_task_lock` held for writing: it must not call TaskAdd, TaskCheck
  // or DoCommand.
  virtual zr_reactor_queue_t ClientTaskCommand(uint32_t cmd, int32_t sock, char* host,
                                               uint16_t port, void** user_data) = 0;

  // Ends one queued task during Deinitialize, with `m_task_lock` held for
  // writing, after every thread has been joined. Must release the user data
  // and leave *user_data null ("task->m_user_data == __null" otherwise).
  virtual void ClientTaskCleanup(int32_t sock, char* host, uint16_t port, void** user_data) = 0;

  // Whether DoCommand must wait for a thread busy with a task that carries
  // `user_data` (null for an idle thread). Default: true. Runs in
  // DoCommand's thread with no lock held.
  virtual bool ClientTaskSuspendRequired(void* user_data);

  // Whether DoCommand must wait for the thread holding `task` (null: an idle
  // thread). Default: ClientTaskSuspendRequired(task's user data, or null).
  // The task may be in another thread's hands, or already put back, and no
  // lock guards it here: the default reads its user data pointer, so a
  // client whose ClientTaskExecute replaces *user_data while commands may
  // run overrides this (an override reads only what that thread leaves
  // alone meanwhile).
  virtual bool NeedSuspend(Zr_Task* task);

  // ---- Set-up and shutdown ----

  // Creates `nr_tasks` free tasks, the non-blocking wake-up pipe,
  // `nr_threads` task threads (highest index first), the set-up thread when
  // `setup_thread`, and the listener, each with `stack_size` (0: default).
  // Returns 0; or -1 when the pipe, its flags, the thread table or a thread
  // cannot be created (errno as left by the failed call; for a thread,
  // pthread_create's error number). After a failure,
  // what was built stays until Deinitialize, which must still be called.
  // A reactor is initialised once in its life: a second call is reported
  // ("m_task_nr == 0", "m_thread_nr == 0") and refused with -1 and EINVAL.
  // Zero tasks or threads are reported ("nr_tasks > 0", "nr_threads > 0")
  // and go on, making a reactor that serves nothing. A failed task
  // allocation throws std::bad_alloc.
  int32_t Initialize(uint32_t nr_threads, uint32_t nr_tasks, size_t stack_size, bool setup_thread);

  // Stops and joins every thread, hands every task on the listen, ready and
  // hold queues (in that order) to ClientTaskCleanup, deletes every task and
  // closes the pipe. Safe after a failed Initialize and when called twice.
  // If ClientTaskCleanup throws, the exception passes on with the lock
  // released and the pipe closed; the task it threw for and those not yet
  // visited stay queued, and another Deinitialize (which the destructor of
  // a derived class may call) ends them. `m_task_nr` and `m_thread_nr` keep
  // their values. Returns 0.
  int32_t Deinitialize();

  // ---- Client operations (any thread, between Initialize and Deinitialize) ----

  // Registers socket `sock` at the front of the listen queue, with `host`
  // (null: empty; cut to 256 characters), `port` and `user_data`, and wakes
  // the listener. Returns 0; -1 when `sock` is negative or 1024 * 1024 or
  // more (nothing changes), or when no free task is left (the listener is
  // woken all the same). Never allocates; errno is left alone. The reactor
  // does not take ownership of the socket or the user data: a refused
  // socket is still the caller's to close.
  int32_t TaskAdd(int sock, const char* host, unsigned short port, void* user_data);

  // Registers a socket-less job at the back of the ready queue and wakes one
  // sleeping task thread. Returns 0, or -1 when no free task is left (a task
  // thread is woken all the same). errno is left alone.
  int32_t TaskAdd(void* user_data);

  // The queue holding a task with socket `sock` (listen, then ready, then
  // hold are searched, each under its own read lock); ZR_REACTOR_QUEUE_FREE
  // (0) when none does. Tasks that are free or in a thread's hands are never
  // found; a task moving during the call may be missed.
  zr_reactor_queue_t TaskCheck(int sock);

  // As TaskCheck(int), matching the user data pointer.
  zr_reactor_queue_t TaskCheck(void* user_data);

  // Command 1 pauses the listener and every thread (waiting for each one
  // whose NeedSuspend says so), passes every task of the listen, ready and
  // hold queues, in that order, to ClientTaskCommand, puts each on the queue
  // it returns, and restarts every thread. Other codes do nothing. Returns
  // 0. Nothing cancels the pause until the restart: tasks that threads or
  // clients queue meanwhile (TaskAdd, a task put back on the ready queue)
  // wake no thread and wait on their queue, so they reach ClientTaskCommand
  // like any other queued task; a thread DoCommand did not wait for finishes
  // its task and then pauses too. So no ClientTaskExecute of a thread it
  // waited for runs between the pause and the restart, and DoCommand
  // returns once every such call in progress has returned. If
  // ClientTaskCommand throws, the lock is released, the task it threw for
  // and those not yet visited go to the hold queue, the threads stay
  // paused, and the exception passes on.
  int32_t DoCommand(unsigned int cmd);

 protected:
  // Puts the unlinked `task` on `queue` (appended). Free: checks
  // "task->m_user_data == __null" and sets the socket to -1. Listen: wakes
  // the listener when `wakeup`. Ready: wakes one sleeping task thread when
  // `wakeup`. Any other value: reports "0" and puts the task on hold, so it
  // is not lost to the pool. The caller holds `m_task_lock` for writing.
  void TaskMoveToQueue(Zr_Task* task, zr_reactor_queue_t queue, bool wakeup);

  // Sets every task thread that is neither stopping nor held by DoCommand
  // to run, highest index first, and returns once `count` of them had been
  // asleep. Takes one
  // thread mutex at a time; the caller may hold `m_task_lock`.
  void WakeupTaskThreads(unsigned int count);

  // Writes one byte to the wake-up pipe; a full or closed pipe is ignored.
  void WakeupListener();

  // Work function of the listener: one poll pass over the listen queue.
  void ListenerThread(Zr_Thread<Zr_Reactor>* thread);

  // Work function of a task thread: runs the first ready task, or pauses.
  void TaskThread(Zr_Thread<Zr_Reactor>* thread);

  // Work function of the set-up thread: runs the first ready task without
  // user data, or pauses.
  void TaskSetupThread(Zr_Thread<Zr_Reactor>* thread);

  // One listener pass that uses at most `nr_slots` poll slots (slot 0 the
  // pipe); tasks beyond them are reported ("nfds< (1024 * 1024)") and wait
  // for a later pass. Its checks ("sock != -1", "nfds< (1024 * 1024)",
  // "t != __null") are reported with `function` as the signature text.
  // The wake-up pipe is drained after the poll when it had bytes. Returns
  // the number of tasks made ready.
  uint32_t ListenerPass(uint32_t nr_slots, const char* function);

  // Takes `task` off the ready queue (already done by the caller), runs the
  // client's callbacks on it in `thread` and puts it where the client says,
  // as TaskMoveToQueue with `wakeup` does but waking the listener or a task
  // thread only once the lock is released.
  void RunTask(Zr_Thread<Zr_Reactor>* thread, Zr_Task* task);

  uint32_t m_task_nr;                         // tasks Initialize created
  Zr_DList<Zr_Task> m_task_free;              // free queue
  Zr_DList<Zr_Task> m_task_hold;              // hold queue
  Zr_DList<Zr_Task> m_task_listen;            // listen queue
  Zr_DList<Zr_Task> m_task_ready;             // ready queue
  pthread_rwlock_t m_task_lock;               // guards the queues and queued tasks
  uint32_t m_thread_nr;                       // task threads
  Zr_Thread<Zr_Reactor>** m_threads;          // table of m_thread_nr task threads; may be null
  Zr_Thread<Zr_Reactor>* m_setup_thread;      // null when none
  Zr_Thread<Zr_Reactor>* m_listener_thread;   // null before Initialize and after Deinitialize
  Zr_Task* m_poll_tasks[ZR_REACTOR_MAX_FDS];  // slot i >= 1: task polled in it
  struct pollfd m_poll_fds[ZR_REACTOR_MAX_FDS + 1];  // slot 0: wake-up pipe
  int32_t m_wakeup_pipe[2];                          // read end, write end; -1 when closed

 private:
  // What a queue move owes once the lock is released.
  typedef enum { ZR_WAKE_NONE, ZR_WAKE_LISTENER, ZR_WAKE_TASK_THREAD } zr_wakeup_t;

  // TaskMoveToQueue without its wake-up, which it returns instead.
  zr_wakeup_t MoveTask(Zr_Task* task, zr_reactor_queue_t queue, bool wakeup);
  void Wake(zr_wakeup_t wakeup);

  // The phases of Initialize, Deinitialize, ListenerPass and DoCommand.
  int32_t StartThreads(uint32_t nr_threads, size_t stack_size, bool setup_thread);
  void StopAndJoinThreads();
  void FreeThreads();
  void CleanQueuedTasks();
  uint32_t FillPollSet(uint32_t nr_slots, const char* function);
  uint32_t MoveTasksWithEvents(uint32_t nfds, uint32_t with_events, const char* function,
                               bool* without_user_data);
  void HoldThreads();
  void CommandQueuedTasks(unsigned int cmd);
  void ReleaseThreads();
};

#endif  // ZR_REACTOR_H
