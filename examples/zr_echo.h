// A TCP echo server built on Zr_Reactor, and a ping-pong client, on the
// loopback interface. Shared by the zr-echo program and the reactor
// benchmark.
//
// Server: an accept thread registers each connection with TaskAdd (a full
// reactor refuses it: the connection is closed at once). When a connection
// becomes readable, a task thread reads what is there and writes it back;
// the task then listens again, or, once the peer has closed, goes to the
// free queue with its socket closed and its counters released.
//
// Client: N connections; each round sends one message on every live
// connection and waits (bounded) for every echo, timing each one.
#ifndef ZR_EXAMPLES_ZR_ECHO_H
#define ZR_EXAMPLES_ZR_ECHO_H

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "zr_reactor.h"

namespace zr_echo {

typedef std::chrono::steady_clock Clock;

// Writes all of `len` bytes to a socket; false on error or peer gone.
inline bool SendAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      struct pollfd pfd = {fd, POLLOUT, 0};
      if (poll(&pfd, 1, 1000) <= 0) return false;
      continue;
    }
    if (n <= 0) return false;
    data += n;
    len -= size_t(n);
  }
  return true;
}

// A listening TCP socket on 127.0.0.1:`port` (0: any free port); -1 on error.
inline int ListenLoopback(uint16_t port, uint16_t* bound) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 1024) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  *bound = ntohs(addr.sin_port);
  return fd;
}

// A connected socket to 127.0.0.1:`port` with Nagle off; -1 on error.
inline int ConnectLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Per-connection state, owned through the task's user data.
struct Connection {
  uint64_t bytes = 0;
};

class EchoReactor : public Zr_Reactor {
 public:
  enum : uint32_t { kEchoed = 0, kClosed = 1 };

  EchoReactor() {}  // user-provided, so `new EchoReactor()` leaves the poll arrays untouched

  std::atomic<uint64_t> m_echoed_bytes{0};
  std::atomic<uint64_t> m_closed{0};

  uint32_t ClientTaskExecute(int32_t sock, char*, uint16_t, void** user_data) override {
    char buf[16384];
    ssize_t n;
    do {
      n = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kEchoed;
    if (n > 0 && SendAll(sock, buf, size_t(n))) {
      static_cast<Connection*>(*user_data)->bytes += uint64_t(n);
      m_echoed_bytes += uint64_t(n);
      return kEchoed;
    }
    // Peer closed or failed: release the user data before the free queue.
    delete static_cast<Connection*>(*user_data);
    *user_data = nullptr;
    return kClosed;
  }

  zr_reactor_queue_t ClientTaskNextQueue(int32_t* sock, char*, uint16_t*, void*,
                                         uint32_t status) override {
    if (status != kClosed) return ZR_REACTOR_QUEUE_LISTEN;
    close(*sock);
    *sock = -1;
    m_closed++;
    return ZR_REACTOR_QUEUE_FREE;
  }

  zr_reactor_queue_t ClientTaskCommand(uint32_t, int32_t, char*, uint16_t, void**) override {
    return ZR_REACTOR_QUEUE_LISTEN;
  }

  void ClientTaskCleanup(int32_t sock, char*, uint16_t, void** user_data) override {
    if (sock >= 0) close(sock);
    delete static_cast<Connection*>(*user_data);
    *user_data = nullptr;
  }
};

// The reactor plus an accept thread on a loopback port.
class EchoServer {
 public:
  // Starts serving on `port` (0: any); false when it cannot.
  bool Start(uint16_t port, uint32_t threads, uint32_t tasks) {
    m_listen_fd = ListenLoopback(port, &m_port);
    if (m_listen_fd < 0) return false;
    m_reactor = new EchoReactor();
    if (m_reactor->Initialize(threads, tasks, 0, false) != 0) {
      Stop();
      return false;
    }
    m_accepter = std::thread([this] { AcceptLoop(); });
    return true;
  }

  // Stops accepting, shuts the reactor down (closing every connection).
  void Stop() {
    m_stop = true;
    if (m_accepter.joinable()) m_accepter.join();
    if (m_reactor != nullptr) {
      m_reactor->Deinitialize();
      delete m_reactor;
      m_reactor = nullptr;
    }
    if (m_listen_fd >= 0) close(m_listen_fd);
    m_listen_fd = -1;
  }

  ~EchoServer() { Stop(); }

  uint16_t Port() const { return m_port; }
  uint64_t Refused() const { return m_refused; }
  EchoReactor* Reactor() { return m_reactor; }

 private:
  void AcceptLoop() {
    while (!m_stop) {
      struct pollfd pfd = {m_listen_fd, POLLIN, 0};
      if (poll(&pfd, 1, 100) <= 0) continue;  // wakes every 100 ms to see m_stop
      int fd = accept4(m_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      Connection* conn = new Connection();
      if (m_reactor->TaskAdd(fd, "127.0.0.1", m_port, conn) != 0) {
        delete conn;
        close(fd);  // full reactor (or a descriptor it cannot poll): refuse
        m_refused++;
      }
    }
  }

  EchoReactor* m_reactor = nullptr;
  int m_listen_fd = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<uint64_t> m_refused{0};
  std::thread m_accepter;
};

// Ping-pong client over `n` loopback connections.
class EchoClient {
 public:
  EchoClient(uint16_t port, int n, size_t msg_size) : m_msg(msg_size, 'p') {
    for (int i = 0; i < n; i++) {
      int fd = ConnectLoopback(port);
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
