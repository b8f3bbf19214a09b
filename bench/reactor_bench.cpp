// Reactor benchmarks, each beside a baseline. The echo cases run one client
// (zr_echo::EchoClient, one thread) over loopback TCP against the library's
// echo server (zr_echo::EchoServer) and against the same service on libuv:
//   EchoRoundTrip/{zr,libuv}/{1,64}      64-byte ping-pong round trips over
//                                        1 or 64 connections
//   EchoBytes/{zr,libuv}/65536x{1,64}    the same with 64 KiB messages, in
//                                        bytes echoed per second
//   EchoBesideIdle/{zr,libuv}/10000      64-byte round trips on one
//                                        connection beside 10,000 idle ones
//   ListenerPass/{zr,poll}/{1000,10000}  one listener pass over idle sockets,
//                                        against a bare poll() of them; the
//                                        counter per_socket is the time per
//                                        idle socket
//   Deinitialize/{zr,condvar}/4          shutting down 4 idle worker threads
//   DoCommand/{zr,condvar}/4             pausing and restarting 4 idle workers
// The libuv cases are built only when libuv was found. The context names
// the CPU and each server's threads.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "bench_main.h"
#include "zr_echo.h"
#include "zr_reactor.h"

#ifdef ZR_HAVE_LIBUV
#include <uv.h>
#endif

namespace {

// Task threads of the library's echo server: one per core of the 2-core
// machines this runs on; the listener and the accepting thread come on top.
const uint32_t kZrTaskThreads = 2;
const int kIdle = 10000;

// Raises the soft descriptor limit (and the hard one, when allowed) to at
// least `need`; false when that is not possible.
bool AllowDescriptors(rlim_t need) {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return false;
  if (lim.rlim_cur >= need) return true;
  lim.rlim_cur = need;
  if (lim.rlim_max < need) lim.rlim_max = need;
  return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

// The library's echo server as the benchmark runs it.
class ZrServer {
 public:
  explicit ZrServer(uint32_t connections) : m_server(Options(connections)) {}
  bool Start() { return m_server.Start(); }
  uint16_t Port() const { return m_server.Port(); }
  uint64_t Accepted() { return m_server.Count().accepted; }

 private:
  static zr_echo::ServerOptions Options(uint32_t connections) {
    zr_echo::ServerOptions options;
    options.threads = kZrTaskThreads;
    options.tasks = connections + 64;
    return options;
  }
  zr_echo::EchoServer m_server;
};

#ifdef ZR_HAVE_LIBUV
// The same echo service on one libuv loop thread: Nagle off, each read
// written back at once (libuv tries the write before it queues it).
class UvServer {
 public:
  explicit UvServer(uint32_t) {}
  bool Start() {
    uv_loop_init(&m_loop);
    uv_tcp_init(&m_loop, &m_server);
    uv_async_init(&m_loop, &m_stop, OnStop);
    m_server.data = this;
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
  ~UvServer() {
    if (m_thread.joinable()) {
      uv_async_send(&m_stop);
      m_thread.join();
    }
    uv_loop_close(&m_loop);
  }
  uint16_t Port() const { return m_port; }
  uint64_t Accepted() const { return m_accepted; }

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
    static_cast<UvServer*>(server->data)->m_accepted++;
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
          if (!uv_is_closing(h)) uv_close(h, h->data == h ? OnClose : nullptr);
        },
        nullptr);
  }

  uv_loop_t m_loop;
  uv_tcp_t m_server;
  uv_async_t m_stop;
  uint16_t m_port = 0;
  std::atomic<uint64_t> m_accepted{0};
  std::thread m_thread;
};
#endif

// Runs `state` as ping-pong rounds of `size`-byte messages on `connections`
// connections to `port`: each iteration is one round trip on every one.
void DriveEcho(benchmark::State& state, uint16_t port, int connections, size_t size) {
  zr_echo::EchoClient client(zr_echo::Loopback(port), connections, size);
  if (client.Live() != size_t(connections)) {
    state.SkipWithError("cannot connect");
    return;
  }
  client.RoundTrip();  // warm: every connection registered and polled
  size_t trips = 0;
  for (auto _ : state) trips += client.RoundTrip();
  if (client.Live() != size_t(connections)) state.SkipWithError("connection lost");
  state.SetItemsProcessed(int64_t(trips));
  state.SetBytesProcessed(int64_t(trips * size));
}

template <class Server>
void EchoCase(benchmark::State& state, int connections, size_t size) {
  Server server{uint32_t(connections)};
  if (!server.Start()) {
    state.SkipWithError("server start failed");
    return;
  }
  DriveEcho(state, server.Port(), connections, size);
}

// Idle connections whose client ends live in a child process, so that only
// the server ends count against this process's descriptor limit (both ends
// of 10,000 connections exceed a common hard limit of 20,000). The child
// connects in batches that the accept backlog holds, each once the parent
// has seen the one before accepted, and keeps them until the parent goes
// or destroys this; it then resets them (no TIME_WAIT left behind).
class IdlePeers {
 public:
  // Connects `n` times to `to`; `accepted` tells how many the server has
  // accepted so far. False when the child fails or the server falls behind
  // for ten seconds.
  template <class Accepted>
  bool Connect(const zr_echo::Endpoint& to, int n, Accepted accepted) {
    int ctl[2], ack[2];
    if (pipe(ctl) != 0) return false;
    if (pipe(ack) != 0) return close(ctl[0]), close(ctl[1]), false;
    m_pid = fork();
    if (m_pid == 0) Child(to, n, ctl[0], ack[1]);
    close(ctl[0]);
    close(ack[1]);
    m_ctl = ctl[1];
    m_ack = ack[0];
    for (int done = 0; m_pid > 0 && done < n;) {
      done = std::min(done + kBatch, n);
      struct pollfd p = {m_ack, POLLIN, 0};
      char byte = 0;
      if (poll(&p, 1, 10000) != 1 || read(m_ack, &byte, 1) != 1 || byte != 'b') return false;
      zr_echo::Clock::time_point end = zr_echo::Clock::now() + std::chrono::seconds(10);
      while (accepted() < size_t(done)) {
        if (zr_echo::Clock::now() > end) return false;
        usleep(100);
      }
      if (write(m_ctl, "g", 1) != 1) return false;
    }
    return m_pid > 0;
  }
  ~IdlePeers() {
    if (m_ctl >= 0) close(m_ctl);
    if (m_ack >= 0) close(m_ack);
    if (m_pid > 0) waitpid(m_pid, nullptr, 0);
  }

 private:
  static const int kBatch = 256;

  // Only async-signal-safe calls: the parent may have other threads.
  [[noreturn]] static void Child(const zr_echo::Endpoint& to, int n, int ctl, int ack) {
    // Nothing of the parent's is kept open here, not even the other pipe
    // ends: the parent's closing of its end is what ends this.
    const unsigned lo = unsigned(std::min(ctl, ack)), hi = unsigned(std::max(ctl, ack));
    close_range(3, lo - 1, 0);
    close_range(lo + 1, hi - 1, 0);
    close_range(hi + 1, ~0u, 0);
    const struct linger reset = {1, 0};
    char byte;
    for (int i = 1; i <= n; i++) {
      int fd = zr_echo::Connect(to);
      if (fd < 0) _exit(1);
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      if ((i % kBatch == 0 || i == n) && (write(ack, "b", 1) != 1 || read(ctl, &byte, 1) != 1))
        _exit(1);
    }
    while (read(ctl, &byte, 1) > 0) continue;
    _exit(0);
  }

  pid_t m_pid = -1;
  int m_ctl = -1, m_ack = -1;
};

// A server with `n` idle connections beside, kept from one run of a case to
// the next: opening 10,000 connections takes a good part of a second.
struct Fleet {
  virtual ~Fleet() {}
  virtual uint16_t Port() const = 0;
};
std::unique_ptr<Fleet> g_fleet;

template <class Server>
struct ServerFleet : Fleet {
  explicit ServerFleet(int n) : server(uint32_t(n + 1)) {}
  uint16_t Port() const override { return server.Port(); }
  bool Open(int n) {
    if (!server.Start()) return false;
    const uint64_t before = server.Accepted();
    return idle.Connect(zr_echo::Loopback(server.Port()), n,
                        [&] { return server.Accepted() - before; });
  }

  Server server;
  IdlePeers idle;  // destroyed first: the server's connections are reset, not left open
};

template <class Server>
void EchoBesideIdleCase(benchmark::State& state, int n) {
  if (!AllowDescriptors(rlim_t(n + 1024))) {
    state.SkipWithError("too few descriptors allowed (RLIMIT_NOFILE) for the idle connections");
    return;
  }
  if (dynamic_cast<ServerFleet<Server>*>(g_fleet.get()) == nullptr) {
    g_fleet.reset();
    std::unique_ptr<ServerFleet<Server>> fleet(new ServerFleet<Server>(n));
    if (!fleet->Open(n)) {
      state.SkipWithError("cannot open the idle connections");
      return;
    }
    g_fleet = std::move(fleet);
  }
  DriveEcho(state, g_fleet->Port(), 1, 64);
}

// Registers `op`/<implementation>/`size` for every echo server, side by
// side; `run` gets the state and a null pointer of the server's type.
template <class Case>
void RegisterEcho(const std::string& op, const std::string& size, Case run) {
  benchmark::RegisterBenchmark((op + "/zr/" + size).c_str(), [=](benchmark::State& state) {
    run(state, static_cast<ZrServer*>(nullptr));
  })->UseRealTime();
#ifdef ZR_HAVE_LIBUV
  benchmark::RegisterBenchmark((op + "/libuv/" + size).c_str(), [=](benchmark::State& state) {
    run(state, static_cast<UvServer*>(nullptr));
  })->UseRealTime();
#endif
}

template <class T>
using ServerOf = typename std::remove_pointer<T>::type;

void RegisterEchoCases() {
  for (int n : {1, 64}) {
    RegisterEcho("EchoRoundTrip", std::to_string(n), [n](benchmark::State& state, auto* server) {
      EchoCase<ServerOf<decltype(server)>>(state, n, 64);
    });
  }
  for (int n : {1, 64}) {
    RegisterEcho("EchoBytes", "65536x" + std::to_string(n),
                 [n](benchmark::State& state, auto* server) {
                   EchoCase<ServerOf<decltype(server)>>(state, n, 65536);
                 });
  }
  RegisterEcho("EchoBesideIdle", std::to_string(kIdle), [](benchmark::State& state, auto* server) {
    EchoBesideIdleCase<ServerOf<decltype(server)>>(state, kIdle);
  });
}

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

// The server ends of `n` idle loopback TCP connections (fewer when they
// cannot all be opened); closes them on destruction.
struct IdleSockets {
  explicit IdleSockets(int n) {
    zr_echo::Endpoint bound;
    int listener = zr_echo::Listen(zr_echo::Loopback(0), &bound);
    if (listener < 0) return;
    peers.Connect(bound, n, [&] {
      for (int fd; (fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
        fds.push_back(fd);
      return fds.size();
    });
    close(listener);
  }
  ~IdleSockets() {
    for (int fd : fds) close(fd);
  }
  std::vector<int> fds;
  IdlePeers peers;
};

// The time per idle socket of a pass over `n` of them.
void PerSocket(benchmark::State& state, int n) {
  state.counters["per_socket"] = benchmark::Counter(
      double(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Each pass finds one wake-up byte, as the bare poll below does, so that its
// poll returns at once with no socket ready; the pass drains it.
void BM_ListenerPass_zr(benchmark::State& state) {
  const int n = int(state.range(0));
  if (!AllowDescriptors(rlim_t(n + 1024))) {
    state.SkipWithError("too few descriptors allowed (RLIMIT_NOFILE)");
    return;
  }
  IdleSockets sockets(n);
  std::unique_ptr<PassReactor> r(new PassReactor());
  if (int(sockets.fds.size()) != n || r->Initialize(1, uint32_t(n), 0, false) != 0) {
    state.SkipWithError("set-up failed");
    r->Deinitialize();
    return;
  }
  r->ParkListener();
  for (int fd : sockets.fds) r->TaskAdd(fd, "", 0, nullptr);
  for (char drain[4096]; read(r->m_wakeup_pipe[0], drain, sizeof drain) > 0;) continue;
  const char byte = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(write(r->m_wakeup_pipe[1], &byte, 1));
    benchmark::DoNotOptimize(r->ListenerPass(ZR_REACTOR_MAX_FDS, ""));
  }
  PerSocket(state, n);
  r->Deinitialize();
}
BENCHMARK(BM_ListenerPass_zr)->Name("ListenerPass/zr")->Arg(1000)->Arg(kIdle);

void BM_ListenerPass_poll(benchmark::State& state) {
  const int n = int(state.range(0));
  if (!AllowDescriptors(rlim_t(n + 1024))) {
    state.SkipWithError("too few descriptors allowed (RLIMIT_NOFILE)");
    return;
  }
  IdleSockets sockets(n);
  int pipefd[2];
  if (pipe(pipefd) != 0) return;
  // The same set in the same order as the reactor's pass: newest first.
  std::vector<struct pollfd> pfds;
  pfds.push_back({pipefd[0], POLLIN, 0});
  for (size_t i = sockets.fds.size(); i-- > 0;) pfds.push_back({sockets.fds[i], POLLIN, 0});
  // Under the same conditions too: once a second thread shares the
  // descriptor table, as the reactor's threads do, the kernel takes a
  // reference on every descriptor it polls.
  int parked[2];
  if (pipe(parked) != 0) return;
  std::thread other([&] {
    char byte;
    benchmark::DoNotOptimize(read(parked[0], &byte, 1));
  });
  char byte = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(write(pipefd[1], &byte, 1));
    benchmark::DoNotOptimize(poll(pfds.data(), pfds.size(), 1000));
    benchmark::DoNotOptimize(read(pipefd[0], &byte, 1));
  }
  PerSocket(state, n);
  close(parked[1]);  // ends the other thread's read
  other.join();
  for (int fd : {parked[0], pipefd[0], pipefd[1]}) close(fd);
}
BENCHMARK(BM_ListenerPass_poll)->Name("ListenerPass/poll")->Arg(1000)->Arg(kIdle);

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
  RegisterEchoCases();
#ifdef ZR_HAVE_LIBUV
  benchmark::AddCustomContext("libuv_echo_server",
                              std::string("one loop thread, libuv ") + uv_version_string());
#else
  benchmark::AddCustomContext("libuv", "not found at build time (libuv1-dev): no cases");
#endif
  benchmark::AddCustomContext(
      "echo_client", "one thread: a message on every connection, then poll for every echo");
  return zr_bench::Main(
      argc, argv,
      "Echo*/zr: " + std::to_string(kZrTaskThreads) +
          " task threads, the listener and an accepting thread; ListenerPass/zr: one pass, "
          "ListenerPass/poll: a bare poll over the same set",
      [] { g_fleet.reset(); });
}
