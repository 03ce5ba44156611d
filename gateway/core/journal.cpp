#include "gateway/core/journal.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace korv_host {

bool IsJournalStream(int fd) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long dev = 0, ino = 0;
  char end = 0;
  if (std::sscanf(stream, "%llu:%llu%c", &dev, &ino, &end) != 2) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == dev &&
         static_cast<unsigned long long>(st.st_ino) == ino;
}

std::string WithPriority(int priority, const std::string& line, bool journal) {
  static const char* const kPrefixes[] = {SD_EMERG,   SD_ALERT,  SD_CRIT, SD_ERR,
                                          SD_WARNING, SD_NOTICE, SD_INFO, SD_DEBUG};
  if (!journal || priority < 0 || priority > 7) return line;
  return kPrefixes[priority] + line;
}

void Say(int priority, const std::string& text) {
  static const bool journal = IsJournalStream(STDERR_FILENO);
  const std::string line = WithPriority(priority, "korv-host: " + text, journal) + "\n";
  std::fputs(line.c_str(), stderr);
}

}  // namespace korv_host
