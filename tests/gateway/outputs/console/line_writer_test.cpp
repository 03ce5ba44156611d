// korv-host's lines on a reader that stops reading: the writer never holds up
// its caller; what does not fit in its queue is dropped, counted and told
// where it went missing once the reader reads again.

#include "gateway/outputs/console/line_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace {

using std::chrono::seconds;

// Reads `fd` until `text` holds `until`, for at most 10 s.
bool ReadUntil(int fd, std::string& text, const std::string& until) {
  const auto end = std::chrono::steady_clock::now() + seconds(10);
  while (text.find(until) == std::string::npos) {
    if (std::chrono::steady_clock::now() > end) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    text.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

TEST(LineWriter, AFullQueueDropsCountsAndTellsWhereLinesWentMissing) {
  const struct {
    bool json;
    const char* notice;  // before the count
    const char* after;   // after the count
  } cases[] = {{false, "\n", " lines dropped\n"},
               {true, "\n{\"event\":\"dropped\",\"lines\":", "}\n"}};
  for (const auto& c : cases) {
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    ::fcntl(pipe[1], F_SETPIPE_SZ, 4096);
    std::string text;
    {
      // Room for ten lines of a hundred bytes.
      korv_host::LineWriter writer(pipe[1], c.json, 1000);
      const int lines = 200;
      for (int k = 0; k < lines; ++k) {
        std::string line = "line " + std::to_string(k) + " ";
        writer.Write(line + std::string(99 - line.size(), '.'));
      }
      const std::uint64_t dropped = writer.Dropped();
      EXPECT_GT(dropped, 0u) << c.json;
      ASSERT_TRUE(ReadUntil(pipe[0], text, c.after)) << text;
      writer.Write("after");
      ASSERT_TRUE(ReadUntil(pipe[0], text, "after\n")) << text;
      // The lines that went out, in order, then the notice, then the next.
      const int kept = static_cast<int>(lines - dropped);
      std::string expected;
      for (int k = 0; k < kept; ++k) {
        std::string line = "line " + std::to_string(k) + " ";
        expected += line + std::string(99 - line.size(), '.') + "\n";
      }
      expected.pop_back();
      expected += c.notice + std::to_string(dropped) + c.after + "after\n";
      EXPECT_EQ(text, expected) << c.json;
    }
    ::close(pipe[0]);
    ::close(pipe[1]);
  }
}

TEST(LineWriter, EndsWithinItsFlushTimeWhenNoOneReads) {
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  const auto start = std::chrono::steady_clock::now();
  {
    korv_host::LineWriter writer(pipe[1], false);
    for (int k = 0; k < 10000; ++k) writer.Write(std::string(100, 'x'));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(5));
  ::close(pipe[0]);
  ::close(pipe[1]);
}

}  // namespace
