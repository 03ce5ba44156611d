#pragma once
// A folder of the test's own under /tmp, removed with all it holds when the
// test ends. When none can be made, `path` is empty and nothing is removed
// (never /tmp itself).

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace testing_support {

class TempDir {
 public:
  TempDir() {
    std::string name = "/tmp/korv-test-XXXXXX";
    if (::mkdtemp(name.data()) != nullptr) path = name;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Writes `content` to the file `name` in the folder; its path.
  std::string Write(const std::string& name, const std::string& content) const {
    std::ofstream(path + "/" + name) << content;
    return path + "/" + name;
  }

  std::string path;
};

}  // namespace testing_support
