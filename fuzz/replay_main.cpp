// Runs a fuzz target over files instead of under libFuzzer: each argument is
// a file or a folder of files (a corpus). Used where clang's libFuzzer is not
// available, and by the ordinary test run to keep the corpus as regression
// tests.

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int RunFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int failures = 0;
  int runs = 0;
  for (int k = 1; k < argc; ++k) {
    const std::string path = argv[k];
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
      std::fprintf(stderr, "no such file or folder: %s\n", path.c_str());
      ++failures;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      DIR* dir = opendir(path.c_str());
      if (dir == nullptr) {
        ++failures;
        continue;
      }
      while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        failures += RunFile(path + "/" + name);
        ++runs;
      }
      closedir(dir);
    } else {
      failures += RunFile(path);
      ++runs;
    }
  }
  std::printf("replayed %d inputs\n", runs);
  return failures == 0 ? 0 : 1;
}
