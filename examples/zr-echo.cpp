// zr-echo: a TCP echo server on the loopback interface built on Zr_Reactor,
// and a ping-pong client that reports round trips per second and latency
// percentiles.
//
//   zr-echo server PORT [THREADS [TASKS [SECONDS]]]
//   zr-echo client PORT [CONNECTIONS [SECONDS [BYTES]]]
//
// PORT 0 lets the server pick a free port; it prints the port it listens
// on. A server with SECONDS 0 runs until SIGINT or SIGTERM.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "zr_echo.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

void Usage() {
  std::fprintf(stderr,
               "usage: zr-echo server PORT [THREADS [TASKS [SECONDS]]]\n"
               "       zr-echo client PORT [CONNECTIONS [SECONDS [BYTES]]]\n");
}

// Parses argv[i] (or `fallback` when absent) as an integer in [lo, hi].
bool Arg(int argc, char** argv, int i, long lo, long hi, long fallback, long* out) {
  if (i >= argc) {
    *out = fallback;
    return true;
  }
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(argv[i], &end, 10);
  if (errno != 0 || end == argv[i] || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

int RunServer(long port, long threads, long tasks, long seconds) {
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  zr_echo::EchoServer server;
  if (!server.Start(uint16_t(port), uint32_t(threads), uint32_t(tasks))) {
    std::perror("zr-echo: server start");
    return 1;
  }
  std::printf("listening on 127.0.0.1:%u (%ld task threads, %ld tasks)\n", server.Port(), threads,
              tasks);
  std::fflush(stdout);
  zr_echo::Clock::time_point end = zr_echo::Clock::now() + std::chrono::seconds(seconds);
  while (!g_stop && (seconds == 0 || zr_echo::Clock::now() < end)) usleep(100000);
  uint64_t echoed = server.Reactor()->m_echoed_bytes;
  uint64_t closed = server.Reactor()->m_closed;
  server.Stop();
  std::printf("server: echoed %llu bytes, %llu connections closed by peers, %llu refused\n",
              static_cast<unsigned long long>(echoed), static_cast<unsigned long long>(closed),
              static_cast<unsigned long long>(server.Refused()));
  return 0;
}

int RunClient(long port, long connections, long seconds, long bytes) {
  zr_echo::EchoClient client{uint16_t(port), int(connections), size_t(bytes)};
  if (client.Live() == 0) {
    std::fprintf(stderr, "zr-echo: cannot connect to 127.0.0.1:%ld\n", port);
    return 1;
  }
  std::vector<uint64_t> lat;
  zr_echo::Clock::time_point start = zr_echo::Clock::now();
  zr_echo::Clock::time_point end = start + std::chrono::seconds(seconds);
  size_t trips = 0;
  while (zr_echo::Clock::now() < end && client.Live() > 0) {
    size_t done = client.RoundTrip(&lat, 2000);
    if (done == 0) break;  // the server went away or stalled
    trips += done;
  }
  double secs = std::chrono::duration<double>(zr_echo::Clock::now() - start).count();
  std::sort(lat.begin(), lat.end());
  auto pct = [&](double p) {
    return lat.empty() ? 0.0 : double(lat[size_t(p * double(lat.size() - 1))]) / 1000.0;
  };
  std::printf("client: %zu of %ld connections served, %zu round trips of %ld bytes in %.2f s\n",
              client.Live(), connections, trips, bytes, secs);
  std::printf("client: %.0f round trips/s; latency us p50 %.1f  p90 %.1f  p99 %.1f  max %.1f\n",
              double(trips) / secs, pct(0.50), pct(0.90), pct(0.99), pct(1.0));
  return trips > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    Usage();
    return 2;
  }
  std::string mode = argv[1];
  long port, a, b, c;
  if (mode == "server" && Arg(argc, argv, 2, 0, 65535, 0, &port) &&
      Arg(argc, argv, 3, 1, 256, 4, &a) && Arg(argc, argv, 4, 1, 1000000, 1024, &b) &&
      Arg(argc, argv, 5, 0, INT_MAX, 0, &c) && argc <= 6) {
    return RunServer(port, a, b, c);
  }
  if (mode == "client" && Arg(argc, argv, 2, 1, 65535, 0, &port) &&
      Arg(argc, argv, 3, 1, 10000, 8, &a) && Arg(argc, argv, 4, 1, 3600, 2, &b) &&
      Arg(argc, argv, 5, 1, 1 << 20, 64, &c) && argc <= 6) {
    return RunClient(port, a, b, c);
  }
  Usage();
  return 2;
}
