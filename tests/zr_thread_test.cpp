#include "zr_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "test_support.h"

namespace {

// Counts the calls of its work function, stays inside a call while `busy`
// and pauses itself after each.
struct Worker {
  std::atomic<int> calls{0};
  std::atomic<bool> busy{false};
  void Work(Zr_Thread<Worker>* thread) {
    calls++;
    while (busy) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    thread->Pause();
  }
};
using Thread = Zr_Thread<Worker>;

TEST(ZrThread, PauseResumeStopProtocolAndRunChecks) {
  Worker w;
  Thread t(&Worker::Work, &w, 0);
  ASSERT_EQ(t.Start(), 0);
  ASSERT_TRUE(t.WaitForState(ZR_THREAD_PAUSED, 0) && w.calls == 1);

  // Woken from sleep: counted, runs once more, reporting that it runs, and
  // pauses itself again. A wait for the pause that outlasts its limit (long
  // enough for the wait's naps to grow to their longest) gives up and says
  // so.
  w.busy = true;
  EXPECT_TRUE(t.Resume());
  ASSERT_TRUE(zr_test::WaitUntil([&] { return w.calls == 2; }));
  EXPECT_EQ(t.GetState(), ZR_THREAD_RUNNING);
  auto wait =
      std::async(std::launch::async, [&] { return t.WaitForState(ZR_THREAD_PAUSED, 120000); });
  EXPECT_EQ(wait.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  w.busy = false;
  EXPECT_FALSE(wait.get());

  // A hold outlasts the Resume and Pause calls of others; only Release
  // lifts it.
  t.Hold();
  EXPECT_FALSE(t.Resume());
  t.Pause();
  ASSERT_TRUE(t.WaitForState(ZR_THREAD_PAUSED, 0) && w.calls == 2);
  t.Release();
  ASSERT_TRUE(zr_test::WaitUntil([&] { return w.calls == 3 && t.GetState() == ZR_THREAD_PAUSED; }));

  // Stop on a sleeping thread ends it without another call; it overrides a
  // hold.
  t.Hold();
  t.Stop();
  t.Join();
  EXPECT_TRUE(t.GetState() == ZR_THREAD_STOPPED && w.calls == 3);

  // A stop is final; Pause, Hold, Release and Resume leave it so and report
  // no sleeper. (The command is read directly: no other thread is left.)
  t.Pause();
  t.Hold();
  t.Release();
  EXPECT_TRUE(!t.Resume() && t.m_cmd == ZR_THREAD_STOPPED);

  // A pause request signals the condition variable, so that whoever waits
  // on it for a change of request sees it. Resume before a thread reaches
  // its wait cancels the pause, uncounted. That thread has neither object
  // nor function: its loop reports both and ends as stopped instead of
  // calling through them.
  zr_test::AssertRecorder rec;
  Thread idle(nullptr, nullptr, 0);
  const timespec deadline = {time(nullptr) + 10, 0};  // the condition's clock
  int rc = pthread_mutex_lock(&idle.m_mutex);
  auto pause = std::async(std::launch::async, [&] { idle.Pause(); });  // once we wait
  while (rc == 0 && idle.m_cmd == ZR_THREAD_RUNNING)
    rc = pthread_cond_timedwait(&idle.m_cond, &idle.m_mutex, &deadline);
  pthread_mutex_unlock(&idle.m_mutex);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(!idle.Resume() && idle.m_cmd == ZR_THREAD_RUNNING);
  EXPECT_EQ(Thread::Run(&idle), nullptr);
  EXPECT_TRUE(idle.GetState() == ZR_THREAD_STOPPED && idle.m_cmd == ZR_THREAD_STOPPED);
  EXPECT_EQ(rec.Exprs(), (std::vector<std::string>{"zr_thread->m_clss", "zr_thread->m_func"}));
  std::vector<zr_test::AssertRecord> r = rec.Take();
  EXPECT_EQ(r[0].file, "libs/clibs/libzrshared/zr_thread.h");
  EXPECT_SIGNATURE(r[0].function,
                   "static void* Zr_Thread<T>::Run(void*) [with T = {anonymous}::Worker]");
}

}  // namespace
