// A TCP echo server built on Zr_Reactor, and a ping-pong client: the
// library `zr_echo`, shared by the zr-echo program, its test and the reactor
// benchmark. Not installed.
//
// Server: one server thread accepts connections and registers each with
// TaskAdd; when a connection becomes readable, a task thread reads what is
// there (kReadSize bytes at a time, at most kReadsPerEvent times) and sends
// each read back, never blocking: every accepted socket is non-blocking.
// What the peer does not accept at once stays with the connection (at most
// one read's worth) and the connection is parked with the server thread,
// which reads nothing more from it until the peer has taken all of it; a
// peer that takes nothing for the stall timeout is disconnected. So no
// client, however slow, holds a task thread.
//
// Client: N connections; each round sends one message on every live
// connection and waits (bounded) for every echo, timing each one.
//
// Threads: an EchoServer is started and stopped by one thread; Live(),
// Count() and Park() may be called from any thread. An EchoClient belongs
// to one thread.
#ifndef ZR_ECHO_H
#define ZR_ECHO_H

#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zr_reactor.h"

namespace zr_echo {

typedef std::chrono::steady_clock Clock;

// Bytes per read, and so the most output a connection keeps waiting.
const size_t kReadSize = 65536;

// Reads per event at most, while each fills the buffer: 256 KiB, so that a
// peer that never stops sending does not keep a task thread.
const int kReadsPerEvent = 4;

// A numeric IPv4 or IPv6 address and a port.
struct Endpoint {
  sockaddr_storage addr = {};
  socklen_t len = 0;

  // False when `host` is not a numeric address.
  bool Parse(const char* host, uint16_t port);
  uint16_t Port() const;
  std::string Host() const;
  // "1.2.3.4:80" or "[::1]:80".
  std::string Text() const;
};

// Writes all of `len` bytes to a blocking socket; false on error or peer
// gone (errno set).
bool SendAll(int fd, const char* data, size_t len);

// Sends what a non-blocking socket takes now. Returns the bytes sent, or -1
// (errno set) when the connection failed.
ssize_t SendSome(int fd, const char* data, size_t len);

// A listening non-blocking TCP socket on `at` (port 0: any free port), with
// the address it got in `bound`; -1 with errno on error. The caller closes it.
int Listen(const Endpoint& at, Endpoint* bound);

// A connected blocking socket to `to` with Nagle off; -1 with errno on
// error. The caller closes it.
int Connect(const Endpoint& to);

// 127.0.0.1 and `port`.
Endpoint Loopback(uint16_t port);

// One line on `out` (none when null), at most one per second for each
// `kind`; the lines held back are counted into the next one. Thread-safe.
class RateLimitedLog {
 public:
  enum Kind { kRefused, kStalled, kAccept, kKinds };
  explicit RateLimitedLog(FILE* out) : m_out(out) {}
  void Write(Kind kind, const char* format, ...) __attribute__((format(printf, 3, 4)));

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
                                         uint32_t status) override;
  zr_reactor_queue_t ClientTaskCommand(uint32_t, int32_t, char*, uint16_t, void**) override;
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
  bool Start();

  // Stops the server thread, shuts the reactor down and closes every
  // connection, parked or registered.
  void Stop();

  const Endpoint& Bound() const { return m_bound; }
  uint16_t Port() const { return m_bound.Port(); }
  uint64_t Live() const { return m_live; }
  Counters& Count() { return m_count; }

  // Called by a task thread: the connection's socket would block; the
  // server thread takes the connection over.
  void Park(Connection* c);

  // Closes and frees a connection that is registered nowhere.
  void Drop(Connection* c);

 private:
  void Wake();
  void TakeHandoffs();
  bool Register(Connection* c);
  void Accept();
  bool Flush(Connection* c, Clock::time_point now);
  void Serve();

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

// Ping-pong client over `n` connections of `msg_size`-byte messages.
class EchoClient {
 public:
  EchoClient(const Endpoint& server, int n, size_t msg_size);
  ~EchoClient();

  // Connections still open (a refused one is closed by the server).
  size_t Live() const;

  // One message on every live connection, then every echo (each wait
  // bounded by `timeout_ms`). Appends each round trip's latency in
  // nanoseconds to `latencies` when given. Returns the round trips done.
  size_t RoundTrip(std::vector<uint64_t>* latencies = nullptr, int timeout_ms = 5000);

 private:
  void Drop(size_t i);
  std::string m_msg;
  std::vector<int> m_fds;
  std::vector<size_t> m_got;
  std::vector<struct pollfd> m_pfds;  // kept from round to round: no allocation per round
  std::vector<size_t> m_index;        // connection of each m_pfds entry
  std::vector<char> m_buf;            // receives echoes
};

}  // namespace zr_echo

#endif  // ZR_ECHO_H
