#include "zr_thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "test_support.h"

namespace {

// Counts the calls of its work function and pauses itself after each.
struct Worker {
  std::atomic<int> calls{0};
  void Work(Zr_Thread<Worker>* thread) {
    calls++;
    thread->Pause();
  }
};
using Thread = Zr_Thread<Worker>;

TEST(ZrThread, PauseResumeStopProtocolAndRunChecks) {
  Worker w;
  Thread t(&Worker::Work, &w, 0);
  ASSERT_EQ(t.Start(), 0);
  ASSERT_TRUE(zr_test::WaitUntil([&] { return t.GetState() == ZR_THREAD_PAUSED && w.calls == 1; }));

  // Woken from sleep: counted, runs once more and pauses itself again.
  EXPECT_TRUE(t.Resume());
  ASSERT_TRUE(zr_test::WaitUntil([&] { return w.calls == 2 && t.GetState() == ZR_THREAD_PAUSED; }));

  // A hold outlasts the Resume and Pause calls of others; only Release
  // lifts it.
  t.Hold();
  EXPECT_FALSE(t.Resume());
  t.Pause();
  ASSERT_TRUE(zr_test::WaitUntil([&] { return t.GetState() == ZR_THREAD_PAUSED; }));
  EXPECT_EQ(t.m_cmd, ZR_THREAD_HELD);
  EXPECT_EQ(w.calls, 2);
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
  EXPECT_FALSE(t.Resume());
  EXPECT_EQ(t.m_cmd, ZR_THREAD_STOPPED);

  // Resume before a thread reaches its wait cancels the pause, uncounted.
  // That thread has neither object nor function: its loop reports both and
  // ends as stopped instead of calling through them.
  zr_test::AssertRecorder rec;
  Thread idle(nullptr, nullptr, 0);
  idle.Pause();
  EXPECT_FALSE(idle.Resume());
  EXPECT_EQ(idle.m_cmd, ZR_THREAD_RUNNING);
  EXPECT_EQ(Thread::Run(&idle), nullptr);
  EXPECT_TRUE(idle.GetState() == ZR_THREAD_STOPPED && idle.m_cmd == ZR_THREAD_STOPPED);
  EXPECT_EQ(rec.Exprs(), (std::vector<std::string>{"zr_thread->m_clss", "zr_thread->m_func"}));
  std::vector<zr_test::AssertRecord> r = rec.Take();
  EXPECT_EQ(r[0].file, "libs/clibs/libzrshared/zr_thread.h");
  EXPECT_SIGNATURE(r[0].function,
                   "static void* Zr_Thread<T>::Run(void*) [with T = {anonymous}::Worker]");
}

}  // namespace
