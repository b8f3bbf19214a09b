// Shared helpers for the test suite: an assertion recorder, temporary files
// and bounded waits.
#ifndef ZR_TEST_SUPPORT_H
#define ZR_TEST_SUPPORT_H

#include <signal.h>
#include <tvo/tvo_assert.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace zr_test {

// One report that reached the assertion handler.
struct AssertRecord {
  std::string expr;
  std::string file;
  int line;
  std::string function;
};

// Installs a recording assertion handler for its lifetime (restoring the
// previous one after). Thread-safe: reports may come from any thread.
class AssertRecorder {
 public:
  AssertRecorder();
  ~AssertRecorder();
  AssertRecorder(const AssertRecorder&) = delete;
  AssertRecorder& operator=(const AssertRecorder&) = delete;

  std::vector<AssertRecord> Take();  // the reports so far, clearing them
  size_t Count() const;
  // The expression texts so far, in order, without clearing.
  std::vector<std::string> Exprs() const;

 private:
  static void Handler(const char*, const char*, int, const char*);
  tvo_assert_handler_t m_previous;
};

// A private directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// Polls `cond` until it holds or `timeout` passes; returns its last value.
bool WaitUntil(const std::function<bool()>& cond,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The whole contents of a file read through a separate descriptor.
std::string ReadFileContents(const std::string& path);

// Runs `writer` and `reader` on their own threads, at the two ends of a
// 4 KiB pipe, which each closes when done, while this thread hits both with
// `sig` every 200 us (a handler installed without SA_RESTART, so blocked
// calls fail with EINTR; the previous action is restored after).
void ThroughPipeUnderSignals(const std::function<void(int fd)>& writer,
                             const std::function<void(int fd)>& reader, int sig = SIGUSR1);

// Reads `fd` to end of file in odd-sized pieces, pausing now and then so
// that the writer keeps meeting a full pipe; returns what it read.
std::string ReadSlowly(int fd);

// Signature texts come from __PRETTY_FUNCTION__, whose form is the
// compiler's: with g++ (the reference) they must match exactly; with clang
// the report must at least name the same function.
inline std::string SignatureName(const std::string& gcc_signature) {
  size_t paren = gcc_signature.find('(');
  size_t colon = gcc_signature.rfind("::", paren);
  size_t start = colon == std::string::npos ? 0 : colon + 2;
  return gcc_signature.substr(start, paren - start);
}

// What ErrnoOf gives for a call that did not fail.
constexpr int kSucceeded = -1;

// `result` == -1: the errno the call left; otherwise kSucceeded.
template <typename R>
int ErrnoAfter(R result) {
  return result == static_cast<R>(-1) ? errno : kSucceeded;
}

}  // namespace zr_test

// ErrnoOf(call): clears errno, makes the call and gives the errno it left
// when it returned -1 (0 when it failed without setting one), or
// zr_test::kSucceeded. A macro, so that errno is cleared before the call.
#define ErrnoOf(call) ::zr_test::ErrnoAfter((errno = 0, (call)))

#if defined(__clang__)
#define EXPECT_SIGNATURE(actual, gcc_signature) \
  EXPECT_NE(std::string(actual).find(zr_test::SignatureName(gcc_signature)), std::string::npos)
#else
#define EXPECT_SIGNATURE(actual, gcc_signature) EXPECT_EQ(std::string(actual), gcc_signature)
#endif

#endif  // ZR_TEST_SUPPORT_H
