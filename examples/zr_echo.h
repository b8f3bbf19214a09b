// A TCP echo server built on Zr_Reactor, and a ping-pong client. Shared by
// the zr-echo program and the reactor benchmark.
//
// Server: one server thread accepts connections and registers each with
// TaskAdd; when a connection becomes readable, a task thread reads what is
// there (at most kReadSize bytes) and sends it back, never blocking: every
// accepted socket is non-blocking. What the peer does not accept at once
// stays with the connection (at most one read's worth) and the connection
// is parked with the server thread, which reads nothing more from it until
// the peer has taken all of it; a peer that takes nothing for the stall
// timeout is disconnected. So no client, however slow, holds a task thread.
//
// Client: N connections; each round sends one message on every live
// connection and waits (bounded) for every echo, timing each one.
#ifndef ZR_EXAMPLES_ZR_ECHO_H
#define ZR_EXAMPLES_ZR_ECHO_H

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zr_reactor.h"

namespace zr_echo {

typedef std::chrono::steady_clock Clock;

// Bytes read per event, and so the most output a connection keeps waiting.
const size_t kReadSize = 16384;

// A numeric IPv4 or IPv6 address and a port.
struct Endpoint {
  sockaddr_storage addr = {};
  socklen_t len = 0;

  // False when `host` is not a numeric address.
  bool Parse(const char* host, uint16_t port) {
    sockaddr_in* in4 = reinterpret_cast<sockaddr_in*>(&addr);
    sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
    addr = {};
    if (inet_pton(AF_INET, host, &in4->sin_addr) == 1) {
      in4->sin_family = AF_INET;
      in4->sin_port = htons(port);
      len = sizeof *in4;
    } else if (inet_pton(AF_INET6, host, &in6->sin6_addr) == 1) {
      in6->sin6_family = AF_INET6;
      in6->sin6_port = htons(port);
      len = sizeof *in6;
    } else {
      return false;
    }
    return true;
  }
  uint16_t Port() const {
    return ntohs(addr.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port
                     : reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
  }
  std::string Host() const {
    char text[INET6_ADDRSTRLEN] = "?";
    const void* a =
        addr.ss_family == AF_INET6
            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_addr)
            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr);
    inet_ntop(addr.ss_family, a, text, sizeof text);
    return text;
  }
  // "1.2.3.4:80" or "[::1]:80".
  std::string Text() const {
    std::string h = Host();
    if (addr.ss_family == AF_INET6) h = "[" + h + "]";
    return h + ":" + std::to_string(Port());
  }
};

// Writes all of `len` bytes to a blocking socket; false on error or peer gone.
inline bool SendAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= size_t(n);
  }
  return true;
}

// Sends what a non-blocking socket takes now. Returns the bytes sent, or -1
// when the connection failed.
inline ssize_t SendSome(int fd, const char* data, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = send(fd, data + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) return -1;
    done += size_t(n);
  }
  return ssize_t(done);
}

// A listening non-blocking TCP socket on `at` (port 0: any free port), with
// the address it got in `bound`; -1 with errno on error.
inline int Listen(const Endpoint& at, Endpoint* bound) {
  int fd = socket(at.addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  *bound = at;
  bound->len = sizeof bound->addr;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&at.addr), at.len) != 0 || listen(fd, 1024) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&bound->addr), &bound->len) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

// A connected blocking socket to `to` with Nagle off; -1 on error.
inline int Connect(const Endpoint& to) {
  int fd = socket(to.addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to.addr), to.len) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

inline Endpoint Loopback(uint16_t port) {
  Endpoint e;
  e.Parse("127.0.0.1", port);
  return e;
}

// One line on `out` (none when null), at most one per second for each
// `kind`; the lines held back are counted into the next one.
class RateLimitedLog {
 public:
  enum Kind { kRefused, kStalled, kAccept, kKinds };
  explicit RateLimitedLog(FILE* out) : m_out(out) {}
  void Write(Kind kind, const char* format, ...) __attribute__((format(printf, 3, 4))) {
    if (m_out == nullptr) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    Clock::time_point now = Clock::now();
    if (m_logged[kind] && now - m_last[kind] < std::chrono::seconds(1)) {
      m_held[kind]++;
      return;
    }
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (m_held[kind] > 0)
      fprintf(m_out, "zr-echo: %s (and %llu more like it in the last second)\n", line,
              static_cast<unsigned long long>(m_held[kind]));
    else
      fprintf(m_out, "zr-echo: %s\n", line);
    fflush(m_out);
    m_logged[kind] = true;
    m_last[kind] = now;
    m_held[kind] = 0;
  }

 private:
  FILE* m_out;
  std::mutex m_mutex;
  bool m_logged[kKinds] = {};
  Clock::time_point m_last[kKinds];
  uint64_t m_held[kKinds] = {};
};

// One client connection. Owned through its task's user data while it is
// registered, and by the server thread while it is parked.
struct Connection {
  int fd = -1;
  Endpoint peer;
  std::string pending;  // output the peer has not accepted yet; reading waits for it
  Clock::time_point last_progress;
};

struct ServerOptions {
  std::string bind = "127.0.0.1";
  uint16_t port = 0;  // 0: any free port
  uint32_t threads = 4;
  uint32_t tasks = 1024;  // connections served at once; more are refused
  std::chrono::milliseconds stall_timeout{5000};
  FILE* log = nullptr;  // refusals and disconnections; null: not logged
};

// What the server did, for its report on exit.
struct Counters {
  std::atomic<uint64_t> accepted{0}, refused{0}, closed{0}, stalled{0}, echoed_bytes{0};
};

class EchoServer;

class EchoReactor : public Zr_Reactor {
 public:
  enum : uint32_t { kEchoed = 0, kClosed = 1, kParked = 2 };

  explicit EchoReactor(EchoServer* server) : m_server(server) {}

  uint32_t ClientTaskExecute(int32_t sock, char*, uint16_t, void** user_data) override;

  zr_reactor_queue_t ClientTaskNextQueue(int32_t* sock, char*, uint16_t*, void*,
                                         uint32_t status) override {
    if (status == kEchoed) return ZR_REACTOR_QUEUE_LISTEN;
    // The socket is closed, or the server thread has it now: either way the
    // task goes back to the pool without it.
    *sock = -1;
    return ZR_REACTOR_QUEUE_FREE;
  }

  zr_reactor_queue_t ClientTaskCommand(uint32_t, int32_t, char*, uint16_t, void**) override {
    return ZR_REACTOR_QUEUE_LISTEN;
  }

  void ClientTaskCleanup(int32_t, char*, uint16_t, void** user_data) override;

 private:
  EchoServer* m_server;
};

// The reactor plus a server thread that accepts connections and writes out
// what parked connections still owe their peers.
//
// Why a server thread writes pending output: the listener polls for input
// only, so a task whose output is pending cannot wait for POLLOUT on the
// listen queue; the ready queue would spin a task thread on a peer that does
// not read, and a held task leaves the hold queue only through DoCommand,
// which stops every thread. So a task thread that cannot send everything
// hands the connection to the server thread and returns its task to the
// pool; the server thread polls the socket for POLLOUT, sends the rest and
// registers the connection again. At most `tasks` connections are admitted,
// so a free task is there for it (if the parking thread has not returned
// its task yet, the registration is retried a millisecond later).
class EchoServer {
 public:
  explicit EchoServer(const ServerOptions& options) : m_options(options), m_log(options.log) {}
  ~EchoServer() { Stop(); }

  // Starts serving; false with errno (EINVAL for a bad address) when it
  // cannot. Call Stop (or destroy the server) afterwards in either case.
  bool Start() {
    Endpoint at;
    if (!at.Parse(m_options.bind.c_str(), m_options.port)) {
      errno = EINVAL;
      return false;
    }
    m_listen_fd = Listen(at, &m_bound);
    if (m_listen_fd < 0 || pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    m_reactor = new EchoReactor(this);
    if (m_reactor->Initialize(m_options.threads, m_options.tasks, 0, false) != 0) return false;
    m_thread = std::thread([this] { Serve(); });
    return true;
  }

  // Stops the server thread, shuts the reactor down and closes every
  // connection, parked or registered.
  void Stop() {
    m_stop = true;
    Wake();
    if (m_thread.joinable()) m_thread.join();
    if (m_reactor != nullptr) {
      m_reactor->Deinitialize();
      delete m_reactor;
      m_reactor = nullptr;
    }
    TakeHandoffs();  // parked by a task thread after the server thread ended
    for (Connection* c : m_parked) Drop(c);
    m_parked.clear();
    for (int* fd : {&m_listen_fd, &m_wake[0], &m_wake[1]}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }

  const Endpoint& Bound() const { return m_bound; }
  uint16_t Port() const { return m_bound.Port(); }
  uint64_t Live() const { return m_live; }
  Counters& Count() { return m_count; }

  // Called by a task thread: the connection's socket would block; the
  // server thread takes the connection over.
  void Park(Connection* c) {
    {
      std::lock_guard<std::mutex> lock(m_handoff_mutex);
      m_handoffs.push_back(c);
    }
    Wake();
  }

  // Closes and frees a connection that is registered nowhere.
  void Drop(Connection* c) {
    close(c->fd);
    delete c;
    m_live--;
  }

 private:
  void Wake() {
    if (m_wake[1] >= 0) (void)!write(m_wake[1], "", 1);
  }

  void TakeHandoffs() {
    std::lock_guard<std::mutex> lock(m_handoff_mutex);
    for (Connection* c : m_handoffs) {
      c->last_progress = Clock::now();
      m_parked.push_back(c);
    }
    m_handoffs.clear();
  }

  // Registers `c` with the reactor; false when no free task is there yet.
  bool Register(Connection* c) {
    return m_reactor->TaskAdd(c->fd, c->peer.Host().c_str(), c->peer.Port(), c) == 0;
  }

  void Accept() {
    for (;;) {
      Connection probe;
      socklen_t len = sizeof probe.peer.addr;
      int fd = accept4(m_listen_fd, reinterpret_cast<sockaddr*>(&probe.peer.addr), &len,
                       SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          // The connection stays queued and the listening socket readable:
          // stop polling it for a while instead of spinning on it.
          m_log.Write(RateLimitedLog::kAccept, "accept: %s; pausing 100 ms", strerror(errno));
          m_accept_paused_until = Clock::now() + std::chrono::milliseconds(100);
        }
        return;
      }
      probe.peer.len = len;
      if (m_live >= m_options.tasks || fd >= ZR_REACTOR_MAX_FDS) {
        close(fd);
        m_count.refused++;
        m_log.Write(RateLimitedLog::kRefused, "refused %s: all %u tasks busy",
                    probe.peer.Text().c_str(), m_options.tasks);
        continue;
      }
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      Connection* c = new Connection(probe);
      c->fd = fd;
      m_live++;
      m_count.accepted++;
      if (!Register(c)) m_unregistered.push_back(c);
    }
  }

  // Sends what a parked connection owes; true while it still owes some.
  bool Flush(Connection* c, Clock::time_point now) {
    ssize_t n = SendSome(c->fd, c->pending.data(), c->pending.size());
    if (n < 0) {
      m_count.closed++;
      Drop(c);
      return false;
    }
    if (n > 0) {
      c->pending.erase(0, size_t(n));
      c->last_progress = now;
      m_count.echoed_bytes += uint64_t(n);
    }
    if (!c->pending.empty()) return true;
    // Once registered, a task thread may free `c` at any moment.
    if (!Register(c)) m_unregistered.push_back(c);
    return false;
  }

  void Serve() {
    std::vector<pollfd> fds;
    while (!m_stop) {
      Clock::time_point now = Clock::now();
      fds.clear();
      fds.push_back({m_wake[0], POLLIN, 0});
      fds.push_back({now >= m_accept_paused_until ? m_listen_fd : -1, POLLIN, 0});
      Clock::time_point wake_at = now + std::chrono::seconds(1);
      for (Connection* c : m_parked) {
        fds.push_back({c->fd, POLLOUT, 0});
        wake_at = std::min(wake_at, c->last_progress + m_options.stall_timeout);
      }
      if (!m_unregistered.empty()) wake_at = std::min(wake_at, now + std::chrono::milliseconds(1));
      if (now < m_accept_paused_until) wake_at = std::min(wake_at, m_accept_paused_until);
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake_at - now).count();
      if (poll(fds.data(), fds.size(), int(std::max<int64_t>(wait, 0) + 1)) < 0 && errno != EINTR) {
        m_log.Write(RateLimitedLog::kAccept, "poll: %s; pausing 100 ms", strerror(errno));
        usleep(100000);
        continue;
      }
      now = Clock::now();
      char drain[256];
      while (read(m_wake[0], drain, sizeof drain) > 0) {
      }
      if (fds[1].revents != 0) Accept();
      // Parked connections: POLLOUT (or an error) means send what is owed.
      size_t keep = 0;
      for (size_t i = 0; i < m_parked.size(); i++) {
        Connection* c = m_parked[i];
        if (fds[i + 2].revents != 0 && !Flush(c, now)) continue;
        if (now - c->last_progress >= m_options.stall_timeout) {
          m_count.stalled++;
          m_log.Write(RateLimitedLog::kStalled, "%s accepted no output for %.1f s: disconnected",
                      c->peer.Text().c_str(), double(m_options.stall_timeout.count()) / 1000.0);
          Drop(c);
          continue;
        }
        m_parked[keep++] = c;
      }
      m_parked.resize(keep);
      TakeHandoffs();
      keep = 0;
      for (Connection* c : m_unregistered)
        if (!Register(c)) m_unregistered[keep++] = c;
      m_unregistered.resize(keep);
    }
    // Anything not yet registered is closed here; the reactor closes the rest.
    for (Connection* c : m_unregistered) Drop(c);
    m_unregistered.clear();
  }

  ServerOptions m_options;
  RateLimitedLog m_log;
  Counters m_count;
  EchoReactor* m_reactor = nullptr;
  int m_listen_fd = -1;
  int m_wake[2] = {-1, -1};
  Endpoint m_bound;
  std::atomic<bool> m_stop{false};
  std::atomic<uint64_t> m_live{0};  // connections open: registered, parked or in hand
  std::thread m_thread;
  std::mutex m_handoff_mutex;
  std::vector<Connection*> m_handoffs;      // parked by task threads, not yet taken
  std::vector<Connection*> m_parked;        // server thread only: output pending
  std::vector<Connection*> m_unregistered;  // server thread only: waiting for a free task
  Clock::time_point m_accept_paused_until;
};

inline uint32_t EchoReactor::ClientTaskExecute(int32_t sock, char*, uint16_t, void** user_data) {
  Connection* c = static_cast<Connection*>(*user_data);
  char buf[kReadSize];
  ssize_t n;
  do {
    n = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kEchoed;
  ssize_t sent = n > 0 ? SendSome(sock, buf, size_t(n)) : -1;
  if (sent >= 0) m_server->Count().echoed_bytes += uint64_t(sent);
  if (sent == n) return kEchoed;
  // The user data must be clear before the task goes to the free queue.
  *user_data = nullptr;
  if (sent < 0) {
    m_server->Count().closed++;
    m_server->Drop(c);
    return kClosed;
  }
  c->pending.assign(buf + sent, size_t(n - sent));
  m_server->Park(c);
  return kParked;
}

inline void EchoReactor::ClientTaskCleanup(int32_t, char*, uint16_t, void** user_data) {
  m_server->Drop(static_cast<Connection*>(*user_data));
  *user_data = nullptr;
}

// Ping-pong client over `n` connections.
class EchoClient {
 public:
  EchoClient(const Endpoint& server, int n, size_t msg_size) : m_msg(msg_size, 'p') {
    for (int i = 0; i < n; i++) {
      int fd = Connect(server);
      if (fd >= 0) m_fds.push_back(fd);
    }
    m_got.resize(m_fds.size());
  }
  ~EchoClient() {
    for (int fd : m_fds)
      if (fd >= 0) close(fd);
  }

  // Connections still open (a refused one is closed by the server).
  size_t Live() const {
    size_t n = 0;
    for (int fd : m_fds) n += fd >= 0;
    return n;
  }

  // One message on every live connection, then every echo (each wait
  // bounded by `timeout_ms`). Appends each round trip's latency in
  // nanoseconds to `latencies` when given. Returns the round trips done.
  size_t RoundTrip(std::vector<uint64_t>* latencies = nullptr, int timeout_ms = 5000) {
    Clock::time_point start = Clock::now();
    std::vector<struct pollfd> pfds;
    for (size_t i = 0; i < m_fds.size(); i++) {
      m_got[i] = 0;
      if (m_fds[i] < 0) continue;
      if (!SendAll(m_fds[i], m_msg.data(), m_msg.size())) Drop(i);
    }
    size_t done = 0;
    std::vector<size_t> index;
    char buf[16384];
    for (;;) {
      pfds.clear();
      index.clear();
      for (size_t i = 0; i < m_fds.size(); i++) {
        if (m_fds[i] < 0 || m_got[i] >= m_msg.size()) continue;
        pfds.push_back({m_fds[i], POLLIN, 0});
        index.push_back(i);
      }
      if (pfds.empty()) break;
      if (poll(pfds.data(), pfds.size(), timeout_ms) <= 0) break;  // bounded: give up
      for (size_t k = 0; k < pfds.size(); k++) {
        if (pfds[k].revents == 0) continue;
        size_t i = index[k];
        ssize_t n = recv(m_fds[i], buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
          Drop(i);
          continue;
        }
        m_got[i] += size_t(n);
        if (m_got[i] >= m_msg.size()) {
          done++;
          if (latencies != nullptr)
            latencies->push_back(
                uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start)
                             .count()));
        }
      }
    }
    return done;
  }

 private:
  void Drop(size_t i) {
    close(m_fds[i]);
    m_fds[i] = -1;
  }
  std::string m_msg;
  std::vector<int> m_fds;
  std::vector<size_t> m_got;
};

}  // namespace zr_echo

#endif  // ZR_EXAMPLES_ZR_ECHO_H
