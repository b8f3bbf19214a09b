// zr-echo: a TCP echo server built on Zr_Reactor, and a ping-pong client
// that reports round trips per second and latency percentiles. See
// zr-echo --help (or zr-echo(1)) for the command line.
#include <getopt.h>
#include <signal.h>

#include <stdarg.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zr_echo.h"
#include "zrshared.h"

namespace {

const char kHelp[] =
    "Usage: zr-echo server [OPTION]... PORT [THREADS [TASKS [SECONDS]]]\n"
    "  or:  zr-echo client [OPTION]... PORT [CONNECTIONS [SECONDS [BYTES]]]\n"
    "A TCP echo server on the reactor of libzrshared, and a client that measures it.\n"
    "\n"
    "server  serves PORT (0: any free port; the line \"listening on ADDR:PORT\"\n"
    "        tells which) with THREADS task threads (1-256, default 4) and\n"
    "        TASKS connections at most (1-1000000, default 1024; more are\n"
    "        refused and logged), for SECONDS (default 0: until SIGINT or\n"
    "        SIGTERM, which stop it within a second). No client holds a task\n"
    "        thread: output a client does not take at once waits (at most\n"
    "        64 KiB per connection, reading paused meanwhile), and a client that\n"
    "        takes none of it for the stall timeout is disconnected and logged.\n"
    "        On exit it prints its counters.\n"
    "  --bind=ADDR            listen on the numeric IPv4 or IPv6 ADDR\n"
    "                         (default 127.0.0.1)\n"
    "  --stall-timeout=SECS   disconnect a client that takes no output for SECS\n"
    "                         seconds (default 5; decimals allowed)\n"
    "\n"
    "client  opens CONNECTIONS (1-10000, default 8) to PORT and for SECONDS\n"
    "        (1-3600, default 2) sends BYTES (1-1048576, default 64) on each and\n"
    "        waits for every echo, round after round; then prints round trips\n"
    "        per second and latency percentiles.\n"
    "  --connect=ADDR         the server's numeric address (default 127.0.0.1)\n"
    "\n"
    "      --help     display this help and exit\n"
    "      --version  output version information and exit\n"
    "\n"
    "Log lines and errors go to standard error, at most one a second of a kind.\n"
    "Exit status: 0 on success (a server stopped by a signal too), 1 when the\n"
    "server cannot listen or the client gets no echo, 2 on bad usage.\n"
    "\n"
    "Example:\n"
    "  zr-echo server 7000 &\n"
    "  zr-echo client 7000 8 2\n";

int BadUsage(const char* format, ...) __attribute__((format(printf, 1, 2)));
int BadUsage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("zr-echo: ", stderr);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputs("\nTry 'zr-echo --help' for more information.\n", stderr);
  return 2;
}

// Parses `text` as an integer in [lo, hi]: decimal digits only.
bool ParseInt(const char* text, long lo, long hi, long* out) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

int RunServer(zr_echo::ServerOptions options, long seconds) {
  // Every thread the server starts inherits this mask, so the signals reach
  // only the sigtimedwait below and interrupt no system call anywhere.
  sigset_t stop, old;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, &old);
  options.log = stderr;
  zr_echo::EchoServer server(options);
  if (!server.Start()) {
    std::fprintf(stderr, "zr-echo: cannot serve on %s port %u: %s\n", options.bind.c_str(),
                 options.port, std::strerror(errno));
    return 1;
  }
  std::printf("listening on %s (%u task threads, %u tasks)\n", server.Bound().Text().c_str(),
              options.threads, options.tasks);
  std::fflush(stdout);
  zr_echo::Clock::time_point end = zr_echo::Clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    int sig;
    if (seconds == 0) {
      sig = sigwaitinfo(&stop, nullptr);
    } else {
      auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(end - zr_echo::Clock::now());
      if (left.count() <= 0) break;
      timespec ts = {time_t(left.count() / 1000000000), long(left.count() % 1000000000)};
      sig = sigtimedwait(&stop, nullptr, &ts);
    }
    if (sig > 0) {
      std::fprintf(stderr, "zr-echo: %s: stopping\n", strsignal(sig));
      break;
    }
    if (errno != EINTR && errno != EAGAIN) break;
  }
  // A second signal now ends the process at once.
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  uint64_t open = server.Live();
  server.Stop();
  zr_echo::Counters& n = server.Count();
  std::printf(
      "server: %llu connections accepted, %llu refused (all tasks busy), %llu closed by peers, "
      "%llu disconnected (stalled), %llu open at exit; %llu bytes echoed\n",
      (unsigned long long)n.accepted, (unsigned long long)n.refused, (unsigned long long)n.closed,
      (unsigned long long)n.stalled, (unsigned long long)open, (unsigned long long)n.echoed_bytes);
  return 0;
}

int RunClient(const zr_echo::Endpoint& to, long connections, long seconds, long bytes) {
  zr_echo::EchoClient client{to, int(connections), size_t(bytes)};
  if (client.Live() == 0) {
    std::fprintf(stderr, "zr-echo: cannot connect to %s: %s\n", to.Text().c_str(),
                 std::strerror(errno));
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
  enum { kBind = 256, kConnect, kStall, kHelpOpt, kVersion };
  static const option kOptions[] = {{"bind", required_argument, nullptr, kBind},
                                    {"connect", required_argument, nullptr, kConnect},
                                    {"stall-timeout", required_argument, nullptr, kStall},
                                    {"help", no_argument, nullptr, kHelpOpt},
                                    {"version", no_argument, nullptr, kVersion},
                                    {nullptr, 0, nullptr, 0}};
  const std::string mode = argc > 1 ? argv[1] : "";
  zr_echo::ServerOptions server;
  std::string connect = "127.0.0.1";
  bool server_option = false, client_option = false;
  // Options may stand anywhere after the mode (or alone, for --help).
  const int first = mode.compare(0, 1, "-") == 0 ? 0 : 1;
  opterr = 0;
  for (int opt; (opt = getopt_long(argc - first, argv + first, "", kOptions, nullptr)) != -1;) {
    if (opt == kBind) {
      server.bind = optarg, server_option = true;
    } else if (opt == kConnect) {
      connect = optarg, client_option = true;
    } else if (opt == kStall) {
      char* end = nullptr;
      double s = std::strtod(optarg, &end);
      if (strspn(optarg, "0123456789.") != strlen(optarg) || *end != '\0' || !(s > 0 && s <= 86400))
        return BadUsage("--stall-timeout %s: not a number of seconds above 0, at most 86400",
                        optarg);
      server.stall_timeout = std::chrono::milliseconds(std::max(1L, std::lround(s * 1000)));
      server_option = true;
    } else if (opt == kHelpOpt) {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (opt == kVersion) {
      std::printf("zr-echo (libzrshared) %s\n", zrshared_version());
      return 0;
    } else {
      return BadUsage("unrecognized option or missing argument: '%s'", argv[first + optind - 1]);
    }
  }
  if (first == 0 || (mode != "server" && mode != "client"))
    return BadUsage("the first argument must be 'server' or 'client'");
  const bool is_server = mode == "server";
  if (is_server ? client_option : server_option)
    return BadUsage("--bind and --stall-timeout are server options, --connect a client option");
  struct Operand {
    const char* name;
    long lo, hi, value;
  } operands[2][4] = {{{"PORT", 1, 65535, 0},
                       {"CONNECTIONS", 1, 10000, 8},
                       {"SECONDS", 1, 3600, 2},
                       {"BYTES", 1, 1 << 20, 64}},
                      {{"PORT", 0, 65535, 0},
                       {"THREADS", 1, 256, 4},
                       {"TASKS", 1, 1000000, 1024},
                       {"SECONDS", 0, 2147483647, 0}}};
  Operand* arg = operands[is_server];
  char** args = argv + first + optind;
  const int nargs = argc - first - optind;
  if (nargs < 1 || nargs > 4)
    return BadUsage("%s takes PORT and at most three more numbers", mode.c_str());
  for (int i = 0; i < nargs; i++)
    if (!ParseInt(args[i], arg[i].lo, arg[i].hi, &arg[i].value))
      return BadUsage("%s '%s': not a number from %ld to %ld", arg[i].name, args[i], arg[i].lo,
                      arg[i].hi);
  zr_echo::Endpoint at;
  const std::string& host = is_server ? server.bind : connect;
  if (!at.Parse(host.c_str(), uint16_t(arg[0].value)))
    return BadUsage("%s: not a numeric IPv4 or IPv6 address", host.c_str());
  if (!is_server) return RunClient(at, arg[1].value, arg[2].value, arg[3].value);
  server.port = uint16_t(arg[0].value);
  server.threads = uint32_t(arg[1].value);
  server.tasks = uint32_t(arg[2].value);
  return RunServer(server, arg[3].value);
}
