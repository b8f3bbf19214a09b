// Default assertion handler and its run-time hook.
#include <tvo/revision.h>
#include <tvo/tvo_assert.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

TVO_REVISION_IDENT();

namespace {
std::atomic<tvo_assert_handler_t> g_handler{nullptr};

void WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= static_cast<size_t>(w);
  }
}
}  // namespace

extern "C" tvo_assert_handler_t tvo_set_assert_handler(tvo_assert_handler_t handler) {
  return g_handler.exchange(handler, std::memory_order_acq_rel);
}

extern "C" void __tvo_assert_fail(const char* expr, const char* file, int line,
                                  const char* function) {
  if (tvo_assert_handler_t h = g_handler.load(std::memory_order_acquire)) {
    h(expr, file, line, function);
    return;
  }
  // One write(2) of a fully formatted line keeps reports from concurrent
  // threads from interleaving and needs no stdio lock (safe after fork too).
  int saved = errno;
  char line_buf[1024];
  int n = std::snprintf(line_buf, sizeof line_buf, "%s:%d: %s: Assertion `%s' failed.\n",
                        file ? file : "?", line, function ? function : "?", expr ? expr : "?");
  if (n > 0) {
    size_t len =
        static_cast<size_t>(n) < sizeof line_buf ? static_cast<size_t>(n) : sizeof line_buf - 1;
    if (len == sizeof line_buf - 1) line_buf[len - 1] = '\n';
    WriteAll(STDERR_FILENO, line_buf, len);
  }
  errno = saved;
}
