// korv-host's database across a restart: the block restored into a child is
// the last one it published, whatever the others published meanwhile.

#include "tools/korv-host/store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

TEST(Store, EachChildRestoresTheLastBlockItPublished) {
  char name[] = "/tmp/korv-store-XXXXXX";
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  ::close(fd);
  const struct {
    unsigned device;
    const char* type;
    const char* block;
  } published[] = {{11, "psma-ac", "ac 1"}, {21, "psma-dc", "dc 1"},       {11, "psma-ac", "ac 2"},
                   {1, "psma-rc", "rc 1"},  {11, "psma-dc", "other type"}, {11, "psma-ac", "ac 3"},
                   {1, "psma-rc", "rc 2"}};
  const struct {
    unsigned device;
    const char* type;
    const char* block;
  } restored[] = {{11, "psma-ac", "ac 3"},
                  {21, "psma-dc", "dc 1"},
                  {1, "psma-rc", "rc 2"},
                  {11, "psma-dc", "other type"}};
  std::string error;
  {
    korv_host::Store store;
    ASSERT_TRUE(store.Open(name, error)) << error;
    for (const auto& p : published) {
      const std::string b = p.block;
      store.SaveLastBlock(p.device, p.type, 1, std::vector<std::uint8_t>(b.begin(), b.end()));
    }
    EXPECT_EQ(store.LastError(), "");
  }
  korv_host::Store store;
  ASSERT_TRUE(store.Open(name, error)) << error;
  for (const auto& r : restored) {
    std::string block;
    EXPECT_TRUE(store.LastBlock(r.device, r.type, block)) << r.device << " " << r.type;
    EXPECT_EQ(block, r.block) << r.device << " " << r.type;
  }
  store.Close();
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((std::string(name) + suffix).c_str());
}

}  // namespace
