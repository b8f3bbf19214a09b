#include "test_support.h"

#include <ftw.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace zr_test {
namespace {
std::mutex g_mutex;
std::vector<AssertRecord> g_records;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }
}  // namespace

AssertRecorder::AssertRecorder() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_records.clear();
  m_previous = tvo_set_assert_handler(&AssertRecorder::Handler);
}

AssertRecorder::~AssertRecorder() { tvo_set_assert_handler(m_previous); }

void AssertRecorder::Handler(const char* expr, const char* file, int line, const char* fn) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_records.push_back({expr, file, line, fn});
}

std::vector<AssertRecord> AssertRecorder::Take() {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::vector<AssertRecord> out;
  out.swap(g_records);
  return out;
}

size_t AssertRecorder::Count() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_records.size();
}

std::vector<std::string> AssertRecorder::Exprs() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::vector<std::string> out;
  for (const AssertRecord& r : g_records) out.push_back(r.expr);
  return out;
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zrtest.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  m_path = buf.data();
}

TempDir::~TempDir() { nftw(m_path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string ReadFileContents(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("open " + path + ": " + strerror(errno));
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

void ThroughPipeUnderSignals(const std::function<void(int fd)>& writer,
                             const std::function<void(int fd)>& reader, int sig) {
  struct sigaction sa = {}, old;
  sa.sa_handler = [](int) {};
  int p[2];
  if (sigaction(sig, &sa, &old) != 0 || pipe(p) != 0) throw std::runtime_error("set-up");
  fcntl(p[1], F_SETPIPE_SZ, 4096);
  std::atomic<int> running{2};
  std::thread w([&] { writer(p[1]), --running; }), r([&] { reader(p[0]), --running; });
  for (; running > 0; usleep(200))
    for (std::thread* t : {&w, &r}) pthread_kill(t->native_handle(), sig);
  w.join();
  r.join();
  sigaction(sig, &old, nullptr);
}

std::string ReadSlowly(int fd) {
  std::string got;
  char buf[333];
  for (ssize_t n, reads = 1; (n = read(fd, buf, sizeof buf)) != 0; ++reads) {
    if (n > 0) got.append(buf, size_t(n));
    if (reads % 8 == 0) usleep(500);
    if (n < 0 && errno != EINTR) break;
  }
  return got;
}

}  // namespace zr_test
