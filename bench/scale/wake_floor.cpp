// The cost of one sleep and wake on this machine, with the primitives a
// line's thread uses in an exchange: it sleeps in poll() on its descriptor
// with a deadline until the answer wakes it, then sleeps out the pause before
// the answer is handled (a poll() timeout). Two threads hand a token back and
// forth over a line, each pausing before it passes the token on, so every
// handover is one wake by a byte and one by the clock, with the cores idle
// between as on a line (a sleep of milliseconds costs more than one of
// microseconds: the core has gone idle). The process's CPU time (both
// threads, user + sys) over the handovers, per wake, is the figure; a
// unit-round needs two wakes a request, so that product is the floor a poller
// of this design cannot go below here.
//
// The line is what the gateway's units are reached over: a loopback TCP
// connection (a unit behind a serial device server, as the scale harness
// serves them; TCP_NODELAY at both ends, as the host and the simulator set
// it), or a pseudo-terminal in raw mode (a unit on a serial port, as the
// simulated site).
//
//   wake_floor [--line tcp|pty] [--handovers N] [--pause-ms MS]
//   prints "wake_us <CPU µs per sleep and wake>"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The two ends of a line: what one end writes, the other reads.
struct Ends {
  int a = -1;
  int b = -1;
};

// A loopback TCP connection, both ends without Nagle's delay: a token of one
// byte must leave at once, as a request to a unit does.
bool TcpLine(Ends& ends) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;  // any free port
  socklen_t length = sizeof address;
  const auto* at = reinterpret_cast<sockaddr*>(&address);
  bool ok = ::bind(listener, at, sizeof address) == 0 && ::listen(listener, 1) == 0 &&
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (ok) {
    ends.a = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ok = ends.a >= 0 && ::connect(ends.a, at, sizeof address) == 0;
  }
  if (ok) {
    ends.b = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ok = ends.b >= 0;
  }
  ::close(listener);
  const int one = 1;
  return ok && ::setsockopt(ends.a, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 &&
         ::setsockopt(ends.b, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

// A pseudo-terminal, its slave in raw mode as a serial port is opened: every
// byte is passed on as it comes, without echo or line editing.
bool PtyLine(Ends& ends) {
  ends.a = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (ends.a < 0 || ::grantpt(ends.a) != 0 || ::unlockpt(ends.a) != 0) return false;
  const char* name = ::ptsname(ends.a);
  if (name == nullptr) return false;
  ends.b = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios mode{};
  if (ends.b < 0 || ::tcgetattr(ends.b, &mode) != 0) return false;
  ::cfmakeraw(&mode);
  return ::tcsetattr(ends.b, TCSANOW, &mode) == 0;
}

// Sleeps until `end` holds the token (as for an answer, with a deadline),
// sleeps out the pause, and passes the token back over the same end.
bool Pass(int end, int pause_ms) {
  pollfd pfd{end, POLLIN, 0};
  char token = 0;
  if (::poll(&pfd, 1, 5000) != 1 || ::read(end, &token, 1) != 1) return false;
  if (pause_ms > 0) ::poll(nullptr, 0, pause_ms);
  return ::write(end, &token, 1) == 1;
}

}  // namespace

int main(int argc, char** argv) {
  // The plug-in's pause before it handles an answer: 20 ms. 200 handovers
  // take 4 s.
  long handovers = 200;
  int pause_ms = 20;
  bool tcp = true;
  bool known = argc % 2 == 1;
  for (int k = 1; k + 1 < argc; k += 2) {
    if (std::strcmp(argv[k], "--handovers") == 0) {
      handovers = std::atol(argv[k + 1]);
    } else if (std::strcmp(argv[k], "--pause-ms") == 0) {
      pause_ms = std::atoi(argv[k + 1]);
    } else if (std::strcmp(argv[k], "--line") == 0 &&
               (std::strcmp(argv[k + 1], "tcp") == 0 || std::strcmp(argv[k + 1], "pty") == 0)) {
      tcp = std::strcmp(argv[k + 1], "tcp") == 0;
    } else {
      known = false;
    }
  }
  if (handovers < 2 || pause_ms < 0 || !known) {
    std::fprintf(stderr,
                 "usage: wake_floor [--line tcp|pty] [--handovers N (at least 2)] "
                 "[--pause-ms MS]\n");
    return 2;
  }
  // A failed handover closes one end; the other must see it, not die of it.
  ::signal(SIGPIPE, SIG_IGN);
  Ends ends;
  if (!(tcp ? TcpLine(ends) : PtyLine(ends))) {
    std::perror(tcp ? "wake_floor: loopback TCP line" : "wake_floor: pseudo-terminal");
    return 1;
  }
  const long rounds = handovers / 2;  // each goes there and back
  bool passed = true;                 // the other thread's, read after it ends
  std::thread other([&] {
    for (long k = 0; k < rounds && passed; ++k) passed = Pass(ends.b, pause_ms);
  });
  const double before = CpuSeconds();
  char token = 0;
  bool ok = ::write(ends.a, &token, 1) == 1;
  for (long k = 0; k < rounds && ok; ++k) ok = Pass(ends.a, pause_ms);
  const double after = CpuSeconds();
  if (!ok) ::close(ends.a);  // the other thread's wait ends
  other.join();
  if (!ok || !passed) {
    std::fprintf(stderr, "wake_floor: a handover failed\n");
    return 1;
  }
  // Each handover: a wake by the token, and one by the clock after the pause.
  const double wakes = static_cast<double>(2 * rounds) * (pause_ms > 0 ? 2 : 1);
  std::printf("wake_us %.2f\n", (after - before) * 1e6 / wakes);
  return 0;
}
