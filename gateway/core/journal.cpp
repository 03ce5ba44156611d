#include "gateway/core/journal.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "gateway/core/json_text.h"

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

std::string Shortened(const std::string& text, std::size_t longest) {
  if (text.size() <= longest) return text;
  std::size_t cut = longest;
  // Not inside a character: back to the first byte of the one cut.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + fmt::format("... ({} bytes in all)", text.size());
}

void Say(int priority, const std::string& text) {
  static const bool journal = IsJournalStream(STDERR_FILENO);
  // What a site file or a peer put in a line is shown, never obeyed, and a
  // line stays a line a person reads, whatever length a value had.
  const std::string line =
      WithPriority(priority, "korv-host: " + Readable(Shortened(text, kSayLongest)), journal) +
      "\n";
  std::fputs(line.c_str(), stderr);
}

}  // namespace korv_host
