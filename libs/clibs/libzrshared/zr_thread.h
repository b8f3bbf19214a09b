// Zr_Thread<T>: a POSIX thread that calls one member function of an object
// over and over, between run, pause and stop requests.
//
// The owner constructs it with the work function, the object and a stack
// size, then calls Start(). The thread loop calls the work function once per
// turn while the requested state (`m_cmd`) is ZR_THREAD_RUNNING. It looks at
// the request only between two calls, so a call in progress is never cut
// short: a work function does one piece of work and returns. A work function
// that finds nothing to do calls Pause() on its own thread before returning;
// the loop then sleeps on `m_cond` until Resume() or Stop().
//
// Protocol:
//   Pause()   asks the thread to sleep after its current call (ignored once
//             stopping);
//   Resume()  asks it to run again; returns true only if it was really
//             asleep (asked to pause and paused), so a caller can count the
//             sleepers it woke;
//   Stop()    asks it to leave the loop; final, later Pause()/Resume() leave
//             it so;
//   Hold()    asks it to sleep after its current call until Release() (or
//             Stop()): unlike a pause, a hold is not cancelled by Resume()
//             or turned into a pause by Pause(), so the owner that quiesces
//             its threads cannot have that undone by the threads' own
//             wake-ups of one another.
// Every request signals `m_cond`; a signal that finds the thread running is
// lost harmlessly, because the loop reads `m_cmd` afresh before every call.
// The signal follows the unlock: a thread woken while the requester still
// held the mutex would at once block on it again.
//
// Threads: `m_mutex` guards `m_cmd`, `m_state` and `m_item`; every operation
// may be called from any thread. `m_func`, `m_clss` and `m_stack_size` are set
// before Start() and never change. `m_thread` is written by Start() and read
// by Join() and WaitForState(); these belong to the owner's thread.
//
// Ownership: the owner joins the thread before deleting the object; the
// destructor destroys the mutex and the condition variable only.
#ifndef ZR_THREAD_H
#define ZR_THREAD_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>
#include <tvo/revision.h>
#include <tvo/tvo_assert.h>
#include <unistd.h>

// Used both for the state requested of a thread (`m_cmd`) and for the state
// it reports (`m_state`).
typedef enum {
  ZR_THREAD_RUNNING = 0,  // request: keep calling; report: between calls or inside one
  ZR_THREAD_PAUSED = 1,   // request: stop calling and wait; report: waiting on m_cond
  ZR_THREAD_STOPPED = 2,  // request: leave the loop (final); report: the thread is ending
  ZR_THREAD_HELD = 3,     // request only: as paused, lifted by Release() or Stop() alone
} zr_thread_state_t;

template <class T>
class Zr_Thread {
 public:
  // The work function: called once per turn of the loop; its argument is
  // this thread object.
  typedef void (T::*zr_thread_func_t)(Zr_Thread<T>*);

  // Nothing starts until Start(). `stack_size` 0 means the system default.
  Zr_Thread(zr_thread_func_t func, T* clss, size_t stack_size)
      : m_func(func),
        m_clss(clss),
        m_thread(0),
        m_cmd(ZR_THREAD_RUNNING),
        m_state(ZR_THREAD_RUNNING),
        m_stack_size(stack_size),
        m_item(NULL) {
    pthread_mutex_init(&m_mutex, NULL);
    pthread_cond_init(&m_cond, NULL);
  }

  // The thread must have been joined (or never started).
  ~Zr_Thread() {
    pthread_cond_destroy(&m_cond);
    pthread_mutex_destroy(&m_mutex);
  }

  Zr_Thread(const Zr_Thread&) = delete;
  Zr_Thread& operator=(const Zr_Thread&) = delete;

  // Creates the POSIX thread, which starts calling the work function at once
  // (unless a pause or stop was requested before). Returns 0, or the error
  // number of pthread_create; on failure `m_thread` stays 0 and the object
  // never reports ZR_THREAD_STOPPED.
  int Start() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (m_stack_size != 0) pthread_attr_setstacksize(&attr, m_stack_size);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, Run, this);
    pthread_attr_destroy(&attr);
    if (rc == 0) m_thread = thread;
    return rc;
  }

  // Requests a pause after the current call, unless a stop or a hold was
  // requested.
  void Pause() {
    pthread_mutex_lock(&m_mutex);
    if (m_cmd == ZR_THREAD_RUNNING) m_cmd = ZR_THREAD_PAUSED;
    pthread_mutex_unlock(&m_mutex);
    pthread_cond_signal(&m_cond);
  }

  // Requests the end of the loop; final.
  void Stop() {
    pthread_mutex_lock(&m_mutex);
    if (m_cmd != ZR_THREAD_STOPPED) m_cmd = ZR_THREAD_STOPPED;
    pthread_mutex_unlock(&m_mutex);
    pthread_cond_signal(&m_cond);
  }

  // Requests running again. Returns true only when the thread was asleep
  // (asked to pause and paused); false when it was running, about to sleep
  // (the pause is then cancelled), held or stopping (nothing changes).
  bool Resume() {
    pthread_mutex_lock(&m_mutex);
    bool was_asleep = false;
    if (m_cmd == ZR_THREAD_RUNNING || m_cmd == ZR_THREAD_PAUSED) {
      was_asleep = m_cmd == ZR_THREAD_PAUSED && m_state == ZR_THREAD_PAUSED;
      m_cmd = ZR_THREAD_RUNNING;
    }
    pthread_mutex_unlock(&m_mutex);
    pthread_cond_signal(&m_cond);
    return was_asleep;
  }

  // Requests a sleep after the current call that only Release() or Stop()
  // ends; the thread then reports ZR_THREAD_PAUSED. Ignored once stopping.
  void Hold() {
    pthread_mutex_lock(&m_mutex);
    if (m_cmd != ZR_THREAD_STOPPED) m_cmd = ZR_THREAD_HELD;
    pthread_mutex_unlock(&m_mutex);
    pthread_cond_signal(&m_cond);
  }

  // Lifts a hold: the thread runs again. Does nothing unless it is held.
  void Release() {
    pthread_mutex_lock(&m_mutex);
    if (m_cmd == ZR_THREAD_HELD) m_cmd = ZR_THREAD_RUNNING;
    pthread_mutex_unlock(&m_mutex);
    pthread_cond_signal(&m_cond);
  }

  // The state the thread reports, read under its mutex.
  zr_thread_state_t GetState() {
    pthread_mutex_lock(&m_mutex);
    zr_thread_state_t state = m_state;
    pthread_mutex_unlock(&m_mutex);
    return state;
  }

  // Polls the reported state until it equals `state`: short sleeps (10 us
  // doubling to 1 ms) during the first 100 ms, so that an idle thread is
  // seen at once, then every 100 ms, so that a long wait costs nothing.
  // `limit_us` 0 waits for ever. Returns whether the state was reached
  // (false once `limit_us` microseconds have passed without it), and false
  // at once for a thread that was never started, which never reports
  // anything. Called by the owner, never by the thread itself; errno may
  // change (an interrupted sleep).
  bool WaitForState(zr_thread_state_t state, uint64_t limit_us) {
    if (m_thread == 0) return false;
    const uint64_t start = NowMicros();
    useconds_t nap = 10;
    while (GetState() != state) {
      const uint64_t waited = NowMicros() - start;
      if (limit_us != 0 && waited >= limit_us) return false;
      usleep(nap);
      nap = waited >= 100000 ? 100000 : (nap >= 1000 ? 1000 : nap * 2);
    }
    return true;
  }

  // The item the work function is working on (null: none), written and read
  // under the mutex, so that another thread may read it while this one
  // works. The thread object does not own the item.
  void SetItem(void* item) {
    pthread_mutex_lock(&m_mutex);
    m_item = item;
    pthread_mutex_unlock(&m_mutex);
  }
  void* GetItem() {
    pthread_mutex_lock(&m_mutex);
    void* item = m_item;
    pthread_mutex_unlock(&m_mutex);
    return item;
  }

  // Waits for the thread to end; does nothing when it was never started.
  void Join() {
    if (m_thread != 0) pthread_join(m_thread, NULL);
  }

  // The thread loop; `arg` is the Zr_Thread. Without an object or a work
  // function (reported) the loop ends at once, as if stopped.
  static void* Run(void* arg) {
    Zr_Thread<T>* zr_thread = static_cast<Zr_Thread<T>*>(arg);
    bool runnable = TVO_CHECK(zr_thread->m_clss);
    runnable = TVO_CHECK(zr_thread->m_func) && runnable;
    pthread_mutex_lock(&zr_thread->m_mutex);
    while (runnable) {
      while (zr_thread->m_cmd == ZR_THREAD_PAUSED || zr_thread->m_cmd == ZR_THREAD_HELD) {
        zr_thread->m_state = ZR_THREAD_PAUSED;
        pthread_cond_wait(&zr_thread->m_cond, &zr_thread->m_mutex);
      }
      if (zr_thread->m_cmd == ZR_THREAD_STOPPED) break;
      zr_thread->m_state = ZR_THREAD_RUNNING;
      pthread_mutex_unlock(&zr_thread->m_mutex);
      (zr_thread->m_clss->*zr_thread->m_func)(zr_thread);
      pthread_mutex_lock(&zr_thread->m_mutex);
    }
    zr_thread->m_state = ZR_THREAD_STOPPED;
    pthread_mutex_unlock(&zr_thread->m_mutex);
    pthread_mutex_lock(&zr_thread->m_mutex);
    if (zr_thread->m_cmd != ZR_THREAD_STOPPED) zr_thread->m_cmd = ZR_THREAD_STOPPED;
    pthread_cond_signal(&zr_thread->m_cond);
    pthread_mutex_unlock(&zr_thread->m_mutex);
    return NULL;
  }

 private:
  static uint64_t NowMicros() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
  }

 public:
  zr_thread_func_t m_func;    // work function
  T* m_clss;                  // object m_func is called on
  pthread_t m_thread;         // the POSIX thread; 0 until Start() created it
  zr_thread_state_t m_cmd;    // requested state
  zr_thread_state_t m_state;  // reported state
  size_t m_stack_size;        // 0: system default
  void* m_item;               // what the work function is working on; null otherwise
  pthread_mutex_t m_mutex;    // guards m_cmd, m_state, m_item
  pthread_cond_t m_cond;      // signalled after every write of m_cmd
};

#endif  // ZR_THREAD_H
