// Reactor benchmarks, each beside a baseline:
//   EchoRoundTrip/{zr,libuv}/{1,64}   ping-pong round trips over loopback TCP
//                                     connections, one client for both servers
//   ListenerPass/{zr,poll}/1000       one listener pass over 1,000 idle
//                                     sockets, against a bare poll() of them
//   Deinitialize/{zr,condvar}/4       shutting down 4 idle worker threads
//   DoCommand/{zr,condvar}/4          pausing and restarting 4 idle workers
// The libuv cases are built only when libuv was found.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "zr_echo.h"
#include "zr_reactor.h"

#ifdef ZR_HAVE_LIBUV
#include <uv.h>
#endif

namespace {

const size_t kMessage = 64;

// Runs `state` as ping-pong rounds: each iteration is one round trip on
// every connection.
void DriveEcho(benchmark::State& state, uint16_t port) {
  zr_echo::EchoClient client(zr_echo::Loopback(port), int(state.range(0)), kMessage);
  if (client.Live() != size_t(state.range(0))) {
    state.SkipWithError("cannot connect");
    return;
  }
  client.RoundTrip();  // warm: every connection registered and polled
  size_t trips = 0;
  for (auto _ : state) trips += client.RoundTrip();
  if (client.Live() != size_t(state.range(0))) state.SkipWithError("connection lost");
  state.SetItemsProcessed(int64_t(trips));
}

void BM_EchoRoundTrip_zr(benchmark::State& state) {
  zr_echo::ServerOptions options;
  options.threads = 2;
  options.tasks = 256;
  zr_echo::EchoServer server(options);
  if (!server.Start()) {
    state.SkipWithError("server start failed");
    return;
  }
  DriveEcho(state, server.Port());
}
BENCHMARK(BM_EchoRoundTrip_zr)->Name("EchoRoundTrip/zr")->Arg(1)->Arg(64)->UseRealTime();

#ifdef ZR_HAVE_LIBUV
// The same echo service on one libuv loop thread.
class UvEchoServer {
 public:
  bool Start() {
    uv_loop_init(&m_loop);
    uv_tcp_init(&m_loop, &m_server);
    uv_async_init(&m_loop, &m_stop, OnStop);
    m_server.data = nullptr;
    m_stop.data = nullptr;
    sockaddr_in addr;
    uv_ip4_addr("127.0.0.1", 0, &addr);
    if (uv_tcp_bind(&m_server, reinterpret_cast<sockaddr*>(&addr), 0) != 0 ||
        uv_listen(reinterpret_cast<uv_stream_t*>(&m_server), 1024, OnConnection) != 0)
      return false;
    int len = sizeof addr;
    uv_tcp_getsockname(&m_server, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { uv_run(&m_loop, UV_RUN_DEFAULT); });
    return true;
  }
  ~UvEchoServer() {
    if (m_thread.joinable()) {
      uv_async_send(&m_stop);
      m_thread.join();
    }
    uv_loop_close(&m_loop);
  }
  uint16_t Port() const { return m_port; }

 private:
  struct WriteReq {
    uv_write_t req;
    uv_buf_t buf;
  };
  static void OnConnection(uv_stream_t* server, int status) {
    if (status < 0) return;
    uv_tcp_t* client = new uv_tcp_t;
    uv_tcp_init(server->loop, client);
    client->data = client;  // marks a handle this server allocated
    if (uv_accept(server, reinterpret_cast<uv_stream_t*>(client)) != 0) {
      uv_close(reinterpret_cast<uv_handle_t*>(client), OnClose);
      return;
    }
    uv_tcp_nodelay(client, 1);
    uv_read_start(reinterpret_cast<uv_stream_t*>(client), OnAlloc, OnRead);
  }
  static void OnAlloc(uv_handle_t*, size_t suggested, uv_buf_t* buf) {
    buf->base = static_cast<char*>(malloc(suggested));
    buf->len = suggested;
  }
  static void OnRead(uv_stream_t* client, ssize_t n, const uv_buf_t* buf) {
    if (n > 0) {
      WriteReq* w = new WriteReq;
      w->buf = uv_buf_init(buf->base, unsigned(n));
      uv_write(&w->req, client, &w->buf, 1, OnWrite);
      return;
    }
    free(buf->base);
    if (n < 0) uv_close(reinterpret_cast<uv_handle_t*>(client), OnClose);
  }
  static void OnWrite(uv_write_t* req, int) {
    WriteReq* w = reinterpret_cast<WriteReq*>(req);
    free(w->buf.base);
    delete w;
  }
  static void OnClose(uv_handle_t* h) { delete reinterpret_cast<uv_tcp_t*>(h); }
  static void OnStop(uv_async_t* stop) {
    uv_walk(
        stop->loop,
        [](uv_handle_t* h, void*) {
          if (!uv_is_closing(h)) uv_close(h, h->data != nullptr ? OnClose : nullptr);
        },
        nullptr);
  }

  uv_loop_t m_loop;
  uv_tcp_t m_server;
  uv_async_t m_stop;
  uint16_t m_port = 0;
  std::thread m_thread;
};

void BM_EchoRoundTrip_libuv(benchmark::State& state) {
  UvEchoServer server;
  if (!server.Start()) {
    state.SkipWithError("server start failed");
    return;
  }
  DriveEcho(state, server.Port());
}
BENCHMARK(BM_EchoRoundTrip_libuv)->Name("EchoRoundTrip/libuv")->Arg(1)->Arg(64)->UseRealTime();
#endif

// Exposes one listener pass; callbacks never run (no socket becomes ready).
class PassReactor : public Zr_Reactor {
 public:
  PassReactor() {}
  uint32_t ClientTaskExecute(int32_t, char*, uint16_t, void**) override { return 0; }
  zr_reactor_queue_t ClientTaskNextQueue(int32_t*, char*, uint16_t*, void*, uint32_t) override {
    return ZR_REACTOR_QUEUE_LISTEN;
  }
  zr_reactor_queue_t ClientTaskCommand(uint32_t, int32_t, char*, uint16_t, void**) override {
    return ZR_REACTOR_QUEUE_LISTEN;
  }
  void ClientTaskCleanup(int32_t, char*, uint16_t, void**) override {}

  // Parks the listener thread so that the caller may run passes itself.
  void ParkListener() {
    m_listener_thread->Pause();
    WakeupListener();
    while (m_listener_thread->GetState() != ZR_THREAD_PAUSED) usleep(100);
  }
  // Waits until every task thread has found nothing to do and sleeps.
  void WaitIdle() {
    for (uint32_t i = 0; i < m_thread_nr; i++)
      while (m_threads[i]->GetState() != ZR_THREAD_PAUSED) usleep(100);
  }
  using Zr_Reactor::ListenerPass;
  using Zr_Reactor::m_wakeup_pipe;
  using Zr_Reactor::WakeupListener;
};

// `n` idle socketpairs; closes them on destruction.
struct IdleSockets {
  explicit IdleSockets(int n) {
    for (int i = 0; i < n; i++) {
      int sv[2];
      if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) break;
      fds.push_back(sv[0]);
      peers.push_back(sv[1]);
    }
  }
  ~IdleSockets() {
    for (int fd : fds) close(fd);
    for (int fd : peers) close(fd);
  }
  std::vector<int> fds, peers;
};

void BM_ListenerPass_zr(benchmark::State& state) {
  const int n = int(state.range(0));
  IdleSockets sockets(n);
  std::unique_ptr<PassReactor> r(new PassReactor());
  if (int(sockets.fds.size()) != n || r->Initialize(1, uint32_t(n), 0, false) != 0) {
    state.SkipWithError("set-up failed");
    r->Deinitialize();
    return;
  }
  for (int fd : sockets.fds) r->TaskAdd(fd, "", 0, nullptr);
  r->ParkListener();
  // A pass drains up to 1,024 wake-up bytes before it polls: one byte more
  // keeps the pipe readable, so poll returns at once with no socket ready.
  r->WakeupListener();
  static const char kBytes[1024] = {};
  for (auto _ : state) {
    benchmark::DoNotOptimize(write(r->m_wakeup_pipe[1], kBytes, sizeof kBytes));
    benchmark::DoNotOptimize(r->ListenerPass(ZR_REACTOR_MAX_FDS, ""));
  }
  r->Deinitialize();
}
BENCHMARK(BM_ListenerPass_zr)->Name("ListenerPass/zr")->Arg(1000);

void BM_ListenerPass_poll(benchmark::State& state) {
  const int n = int(state.range(0));
  IdleSockets sockets(n);
  int pipefd[2];
  if (pipe(pipefd) != 0) return;
  std::vector<struct pollfd> pfds;
  pfds.push_back({pipefd[0], POLLIN, 0});
  for (int fd : sockets.fds) pfds.push_back({fd, POLLIN, 0});
  char byte = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(write(pipefd[1], &byte, 1));
    benchmark::DoNotOptimize(poll(pfds.data(), pfds.size(), 1000));
    benchmark::DoNotOptimize(read(pipefd[0], &byte, 1));
  }
  close(pipefd[0]);
  close(pipefd[1]);
}
BENCHMARK(BM_ListenerPass_poll)->Name("ListenerPass/poll")->Arg(1000);

void BM_Deinitialize_zr(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<PassReactor> r(new PassReactor());
    r->Initialize(uint32_t(state.range(0)), 64, 0, true);
    r->WaitIdle();
    state.ResumeTiming();
    r->Deinitialize();
    state.PauseTiming();
    r.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_Deinitialize_zr)->Name("Deinitialize/zr")->Arg(4)->UseRealTime();

void BM_DoCommand_zr(benchmark::State& state) {
  std::unique_ptr<PassReactor> r(new PassReactor());
  r->Initialize(uint32_t(state.range(0)), 64, 0, true);
  r->WaitIdle();
  for (auto _ : state) r->DoCommand(1);
  r->Deinitialize();
}
BENCHMARK(BM_DoCommand_zr)->Name("DoCommand/zr")->Arg(4)->UseRealTime();

// Baseline: `n` idle workers sleeping on one condition variable, paused and
// stopped by a controller that waits for them on a second one.
class CondvarWorkers {
 public:
  explicit CondvarWorkers(int n) {
    for (int i = 0; i < n; i++) m_threads.emplace_back([this] { Loop(); });
  }
  ~CondvarWorkers() { Stop(); }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(m_mu);
      m_cmd = kStop;
    }
    m_cv.notify_all();
    for (std::thread& t : m_threads)
      if (t.joinable()) t.join();
  }
  void PauseAndResume() {
    std::unique_lock<std::mutex> lock(m_mu);
    m_cmd = kPause;
    m_cv.notify_all();
    m_done.wait(lock, [&] { return m_paused == m_threads.size(); });
    m_cmd = kRun;
    m_cv.notify_all();
    // Every worker must have left the pause before the next one starts.
    m_done.wait(lock, [&] { return m_paused == 0; });
  }

 private:
  enum { kRun, kPause, kStop };
  void Loop() {
    std::unique_lock<std::mutex> lock(m_mu);
    while (m_cmd != kStop) {
      if (m_cmd == kPause) {
        m_paused++;
        m_done.notify_one();
        m_cv.wait(lock, [&] { return m_cmd != kPause; });
        m_paused--;
        m_done.notify_one();
        continue;
      }
      m_cv.wait(lock);
    }
  }
  std::mutex m_mu;
  std::condition_variable m_cv, m_done;
  int m_cmd = kRun;
  size_t m_paused = 0;
  std::vector<std::thread> m_threads;
};

void BM_Deinitialize_condvar(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    CondvarWorkers workers(int(state.range(0)));
    state.ResumeTiming();
    workers.Stop();
  }
}
BENCHMARK(BM_Deinitialize_condvar)->Name("Deinitialize/condvar")->Arg(4)->UseRealTime();

void BM_DoCommand_condvar(benchmark::State& state) {
  CondvarWorkers workers(int(state.range(0)));
  for (auto _ : state) workers.PauseAndResume();
}
BENCHMARK(BM_DoCommand_condvar)->Name("DoCommand/condvar")->Arg(4)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // 1,000 socketpairs need more descriptors than the usual soft limit.
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
