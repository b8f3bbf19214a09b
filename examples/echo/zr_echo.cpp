#include "zr_echo.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdarg.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace zr_echo {

bool Endpoint::Parse(const char* host, uint16_t port) {
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

uint16_t Endpoint::Port() const {
  return ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port
                                          : reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
}

std::string Endpoint::Host() const {
  char text[INET6_ADDRSTRLEN] = "?";
  const void* a =
      addr.ss_family == AF_INET6
          ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_addr)
          : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr);
  inet_ntop(addr.ss_family, a, text, sizeof text);
  return text;
}

std::string Endpoint::Text() const {
  std::string h = Host();
  if (addr.ss_family == AF_INET6) h = "[" + h + "]";
  return h + ":" + std::to_string(Port());
}

bool SendAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= size_t(n);
  }
  return true;
}

ssize_t SendSome(int fd, const char* data, size_t len) {
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

int Listen(const Endpoint& at, Endpoint* bound) {
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

int Connect(const Endpoint& to) {
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

Endpoint Loopback(uint16_t port) {
  Endpoint e;
  e.Parse("127.0.0.1", port);
  return e;
}

void RateLimitedLog::Write(Kind kind, const char* format, ...) {
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

// ---- The reactor's callbacks ----

uint32_t EchoReactor::ClientTaskExecute(int32_t sock, char*, uint16_t, void** user_data) {
  Connection* c = static_cast<Connection*>(*user_data);
  char buf[kReadSize];
  // Reads again while a read fills the buffer, so that a message larger
  // than the buffer costs one event rather than one per read; a short read
  // ends it, which saves the call that would only say EAGAIN.
  for (int reads = 0; reads < kReadsPerEvent; reads++) {
    ssize_t n;
    do {
      n = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kEchoed;
    ssize_t sent = n > 0 ? SendSome(sock, buf, size_t(n)) : -1;
    if (sent >= 0) m_server->Count().echoed_bytes += uint64_t(sent);
    if (sent == n) {
      if (size_t(n) < sizeof buf) return kEchoed;
      continue;
    }
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
  return kEchoed;
}

Zr_Reactor::zr_reactor_queue_t EchoReactor::ClientTaskNextQueue(int32_t* sock, char*, uint16_t*,
                                                                void*, uint32_t status) {
  if (status == kEchoed) return ZR_REACTOR_QUEUE_LISTEN;
  // The socket is closed, or the server thread has it now: either way the
  // task goes back to the pool without it.
  *sock = -1;
  return ZR_REACTOR_QUEUE_FREE;
}

Zr_Reactor::zr_reactor_queue_t EchoReactor::ClientTaskCommand(uint32_t, int32_t, char*, uint16_t,
                                                              void**) {
  return ZR_REACTOR_QUEUE_LISTEN;
}

void EchoReactor::ClientTaskCleanup(int32_t, char*, uint16_t, void** user_data) {
  m_server->Drop(static_cast<Connection*>(*user_data));
  *user_data = nullptr;
}

// ---- The server ----

bool EchoServer::Start() {
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

void EchoServer::Stop() {
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

void EchoServer::Park(Connection* c) {
  {
    std::lock_guard<std::mutex> lock(m_handoff_mutex);
    m_handoffs.push_back(c);
  }
  Wake();
}

void EchoServer::Drop(Connection* c) {
  close(c->fd);
  delete c;
  m_live--;
}

void EchoServer::Wake() {
  if (m_wake[1] >= 0) (void)!write(m_wake[1], "", 1);
}

void EchoServer::TakeHandoffs() {
  std::lock_guard<std::mutex> lock(m_handoff_mutex);
  for (Connection* c : m_handoffs) {
    c->last_progress = Clock::now();
    m_parked.push_back(c);
  }
  m_handoffs.clear();
}

// Registers `c` with the reactor; false when no free task is there yet.
bool EchoServer::Register(Connection* c) {
  return m_reactor->TaskAdd(c->fd, c->peer.Host().c_str(), c->peer.Port(), c) == 0;
}

void EchoServer::Accept() {
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
bool EchoServer::Flush(Connection* c, Clock::time_point now) {
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

void EchoServer::Serve() {
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

// ---- The client ----

EchoClient::EchoClient(const Endpoint& server, int n, size_t msg_size)
    : m_msg(msg_size, 'p'), m_buf(65536) {
  for (int i = 0; i < n; i++) {
    int fd = Connect(server);
    if (fd >= 0) m_fds.push_back(fd);
  }
  m_got.resize(m_fds.size());
}

EchoClient::~EchoClient() {
  for (int fd : m_fds)
    if (fd >= 0) close(fd);
}

size_t EchoClient::Live() const {
  size_t n = 0;
  for (int fd : m_fds) n += fd >= 0;
  return n;
}

size_t EchoClient::RoundTrip(std::vector<uint64_t>* latencies, int timeout_ms) {
  Clock::time_point start = Clock::now();
  for (size_t i = 0; i < m_fds.size(); i++) {
    m_got[i] = 0;
    if (m_fds[i] < 0) continue;
    if (!SendAll(m_fds[i], m_msg.data(), m_msg.size())) Drop(i);
  }
  size_t done = 0;
  for (;;) {
    m_pfds.clear();
    m_index.clear();
    for (size_t i = 0; i < m_fds.size(); i++) {
      if (m_fds[i] < 0 || m_got[i] >= m_msg.size()) continue;
      m_pfds.push_back({m_fds[i], POLLIN, 0});
      m_index.push_back(i);
    }
    if (m_pfds.empty()) break;
    if (poll(m_pfds.data(), m_pfds.size(), timeout_ms) <= 0) break;  // bounded: give up
    for (size_t k = 0; k < m_pfds.size(); k++) {
      if (m_pfds[k].revents == 0) continue;
      size_t i = m_index[k];
      ssize_t n = recv(m_fds[i], m_buf.data(), m_buf.size(), MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        Drop(i);
        continue;
      }
      m_got[i] += size_t(n);
      if (m_got[i] >= m_msg.size()) {
        done++;
        if (latencies != nullptr)
          latencies->push_back(uint64_t(
              std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count()));
      }
    }
  }
  return done;
}

void EchoClient::Drop(size_t i) {
  close(m_fds[i]);
  m_fds[i] = -1;
}

}  // namespace zr_echo
