// korv-host's lines on a reader that stops reading: the writer never holds up
// its caller; what does not fit in its queue is dropped, counted and told
// where it went missing once the reader reads again.

#include "gateway/outputs/console/line_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

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

// Walks the lines written: each "line N" must be the next one, each notice
// must account for the lines missing there. Returns the lines accounted for,
// and sets `notices` to the notices' total; -1 when the order is broken.
int Accounted(const std::string& text, bool json, std::uint64_t& notices) {
  const std::string notice = json ? "{\"event\":\"dropped\",\"lines\":" : "";
  const std::string after = json ? "}" : " lines dropped";
  int next = 0;
  notices = 0;
  std::size_t at = 0;
  for (std::size_t eol; (eol = text.find('\n', at)) != std::string::npos; at = eol + 1) {
    const std::string line = text.substr(at, eol - at);
    if (line.rfind("line ", 0) == 0) {
      if (std::stoi(line.substr(5)) != next) return -1;
      ++next;
    } else if (line.rfind(notice, 0) == 0 && line.size() > after.size() &&
               line.compare(line.size() - after.size(), after.size(), after) == 0) {
      const int missing = std::stoi(line.substr(notice.size()));
      next += missing;
      notices += static_cast<std::uint64_t>(missing);
    } else if (line != "after") {
      return -1;
    }
  }
  return next;
}

TEST(LineWriter, AFullQueueDropsCountsAndTellsWhereLinesWentMissing) {
  for (const bool json : {false, true}) {
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    ::fcntl(pipe[1], F_SETPIPE_SZ, 4096);
    std::string text;
    {
      // Room for ten lines of a hundred bytes.
      korv_host::LineWriter writer(pipe[1], json, 1000);
      const int lines = 200;
      for (int k = 0; k < lines; ++k) {
        std::string line = "line " + std::to_string(k) + " ";
        writer.Write(line + std::string(99 - line.size(), '.'));
      }
      const std::uint64_t dropped = writer.Dropped();
      EXPECT_GT(dropped, 0u) << json;
      // Every line went out or is told missing, in order, wherever the
      // writer's turns fell; then the next line goes out as usual.
      std::uint64_t notices = 0;
      const auto end = std::chrono::steady_clock::now() + seconds(10);
      while (Accounted(text, json, notices) != lines && std::chrono::steady_clock::now() < end) {
        ReadUntil(pipe[0], text, "\n");
        if (!text.empty() && text.back() == '\n') {
          pollfd p{pipe[0], POLLIN, 0};
          if (::poll(&p, 1, 50) > 0) {
            char buf[4096];
            const ssize_t n = ::read(pipe[0], buf, sizeof buf);
            if (n > 0) text.append(buf, static_cast<std::size_t>(n));
          }
        }
      }
      ASSERT_EQ(Accounted(text, json, notices), lines) << text;
      EXPECT_EQ(notices, dropped) << json;
      writer.Write("after");
      ASSERT_TRUE(ReadUntil(pipe[0], text, "after\n")) << text;
      EXPECT_EQ(Accounted(text, json, notices), lines) << text;
      EXPECT_EQ(text.substr(text.size() - 6), "after\n");
    }
    ::close(pipe[0]);
    ::close(pipe[1]);
  }
}

// A line takes its length and its line feed of the queue's room.
TEST(LineWriter, ALineCountsItsLineFeedAgainstTheQueue) {
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  std::string text;
  {
    korv_host::LineWriter writer(pipe[1], false, 10);
    writer.Write(std::string(10, 'x'));  // eleven bytes
    EXPECT_EQ(writer.Dropped(), 1u);
    writer.Write(std::string(9, 'y'));  // ten
    EXPECT_EQ(writer.Dropped(), 1u);
    ASSERT_TRUE(ReadUntil(pipe[0], text, "yyyyyyyyy\n")) << text;
  }
  EXPECT_EQ(text, "1 lines dropped\nyyyyyyyyy\n");
  ::close(pipe[0]);
  ::close(pipe[1]);
}

// Lines waiting behind one the reader does not take add up, each with its
// line feed: of room for 20 bytes, a line of 19 and, once it is being
// written, an empty line (1) and one of 9 (10) fit; another of 9 does not.
TEST(LineWriter, WaitingLinesAddUpWithTheirLineFeeds) {
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC | O_NONBLOCK), 0);
  ::fcntl(pipe[1], F_SETPIPE_SZ, 4096);
  const std::string filler(4096, 'f');
  while (::write(pipe[1], filler.data(), filler.size()) > 0) {
  }
  std::string text;
  {
    korv_host::LineWriter writer(pipe[1], false, 20);
    writer.Write(std::string(19, 'x'));
    // The empty line finds room once the writer has taken the first, and
    // waits there: the pipe is full.
    const auto end = std::chrono::steady_clock::now() + seconds(10);
    std::uint64_t before = 0;
    do {
      before = writer.Dropped();
      writer.Write("");
    } while (writer.Dropped() != before && std::chrono::steady_clock::now() < end);
    ASSERT_EQ(writer.Dropped(), before);
    writer.Write(std::string(9, 'y'));
    EXPECT_EQ(writer.Dropped(), before);
    writer.Write(std::string(9, 'z'));
    EXPECT_EQ(writer.Dropped(), before + 1);
    ASSERT_TRUE(ReadUntil(pipe[0], text, "yyyyyyyyy\n1 lines dropped\n")) << text.size();
  }
  ::close(pipe[0]);
  ::close(pipe[1]);
}

// A reader gone: every line after is counted dropped.
TEST(LineWriter, LinesAfterTheReaderWentAreCountedDropped) {
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  ::close(pipe[0]);
  korv_host::LineWriter writer(pipe[1], false);
  const auto end = std::chrono::steady_clock::now() + seconds(10);
  while (writer.Dropped() == 0 && std::chrono::steady_clock::now() < end) {
    writer.Write("line");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GT(writer.Dropped(), 0u);
  ::close(pipe[1]);
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
