// One port, two spellings: what the site compares to find the lines.

#include "host/line_key.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <string>

namespace {

TEST(LineKey, SpellingsOfOnePortAreOneLine) {
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const std::string pts = ::ttyname(slave);
  const std::string link = ::testing::TempDir() + "korv-key-link-" + std::to_string(::getpid());
  ::unlink(link.c_str());
  ASSERT_EQ(::symlink(pts.c_str(), link.c_str()), 0);
  const struct {
    std::string a, b;
    bool same;
  } cases[] = {
      {"tcp://127.0.0.1:4001", "tcp://localhost:4001", true},
      {"tcp://127.0.0.1:4001", "tcp://127.0.0.1:04001", true},
      {"tcp://127.0.0.1:4001", "TCP://LOCALHOST:4001", true},
      {"tcp://[::1]:4001", "tcp://[0:0::1]:4001", true},
      {"tcp://[::ffff:127.0.0.1]:4001", "tcp://127.0.0.1:4001", true},
      {"tcp://[::FFFF:7f00:1]:4001", "tcp://localhost:4001", true},
      {"tcp://[::ffff:127.0.0.2]:4001", "tcp://127.0.0.1:4001", false},
      {"tcp://127.0.0.1:4001", "tcp://127.0.0.1:4002", false},
      {"tcp://127.0.0.1:4001", "tcp://127.0.0.2:4001", false},
      {pts, link, true},
      {"/dev/no-such-port", "/dev/no-such-port", true},
      {"/dev/no-such-port", pts, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(korv::LineKey(c.a) == korv::LineKey(c.b), c.same) << c.a << " / " << c.b;
  }
  ::unlink(link.c_str());
  ::close(slave);
  ::close(master);
}

}  // namespace
