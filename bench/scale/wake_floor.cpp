// The cost of one sleep and wake on this machine, with the primitives a
// line's thread uses in an exchange: it sleeps in poll() on its descriptor
// with a deadline until the answer wakes it, then sleeps out the pause before
// the answer is handled (a poll() timeout). Two threads hand a token back and
// forth over two pipes, each pausing before it passes the token on, so every
// handover is one wake by a byte and one by the clock, with the cores idle
// between as on a line (a sleep of milliseconds costs more than one of
// microseconds: the core has gone idle). The process's CPU time (both threads, user + sys)
// over the handovers, per wake, is the figure; a unit-round needs two wakes a
// request, so that product is the floor a poller of this design cannot go
// below here.
//
//   wake_floor [--handovers N] [--pause-ms MS]
//   prints "wake_us <CPU µs per sleep and wake>"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
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

// Sleeps until `from` holds the token (as for an answer, with a deadline),
// sleeps out the pause, and passes the token on to `to`.
bool Pass(int from, int to, int pause_ms) {
  pollfd pfd{from, POLLIN, 0};
  char token = 0;
  if (::poll(&pfd, 1, 5000) != 1 || ::read(from, &token, 1) != 1) return false;
  if (pause_ms > 0) ::poll(nullptr, 0, pause_ms);
  return ::write(to, &token, 1) == 1;
}

}  // namespace

int main(int argc, char** argv) {
  // The plug-in's pause before it handles an answer: 20 ms. 200 handovers
  // take 4 s.
  long handovers = 200;
  int pause_ms = 20;
  for (int k = 1; k + 1 < argc; k += 2) {
    if (std::strcmp(argv[k], "--handovers") == 0) handovers = std::atol(argv[k + 1]);
    if (std::strcmp(argv[k], "--pause-ms") == 0) pause_ms = std::atoi(argv[k + 1]);
  }
  if (handovers < 2 || pause_ms < 0 || argc % 2 == 0) {
    std::fprintf(stderr, "usage: wake_floor [--handovers N (at least 2)] [--pause-ms MS]\n");
    return 2;
  }
  int ping[2], pong[2];
  if (::pipe2(ping, O_CLOEXEC) != 0 || ::pipe2(pong, O_CLOEXEC) != 0) {
    std::perror("wake_floor: pipe");
    return 1;
  }
  const long rounds = handovers / 2;  // each goes there and back
  bool passed = true;                 // the other thread's, read after it ends
  std::thread other([&] {
    for (long k = 0; k < rounds && passed; ++k) passed = Pass(ping[0], pong[1], pause_ms);
  });
  const double before = CpuSeconds();
  char token = 0;
  bool ok = ::write(ping[1], &token, 1) == 1;
  for (long k = 0; k < rounds && ok; ++k) ok = Pass(pong[0], ping[1], pause_ms);
  const double after = CpuSeconds();
  if (!ok) ::close(ping[1]);  // the other thread's wait ends
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
