#pragma once
// korv-host's lines with their priority for the journal. Under systemd a
// stream connected to the journal is named in JOURNAL_STREAM ("DEV:INO" of
// the stream); a line written there may begin with "<N>", its syslog
// priority, which journald takes off and keeps. So `journalctl -p warning`
// shows the faults, lost links and raised alarms, and not the values. On any
// other stream (a terminal, a pipe, a file) the lines stay as they are.

#include <cstddef>
#include <string>

namespace korv_host {

// Whether `fd` is the stream JOURNAL_STREAM names.
bool IsJournalStream(int fd);

// `line` with the prefix of `priority` (LOG_ERR .. LOG_DEBUG of <syslog.h>)
// when `journal`, else as it is.
std::string WithPriority(int priority, const std::string& line, bool journal);

// The longest text of a line Say writes, in bytes.
constexpr std::size_t kSayLongest = 2000;

// `text` cut to at most `longest` bytes (at a character's start), and then
// how long it was.
std::string Shortened(const std::string& text, std::size_t longest);

// One line of korv-host's own on standard error: "korv-host: <text>", with
// its priority when standard error is the journal's stream; its control
// characters escaped, and cut past kSayLongest bytes.
void Say(int priority, const std::string& text);

}  // namespace korv_host
