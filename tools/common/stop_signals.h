#pragma once
// The stop signals of the tools (SIGINT, SIGTERM, SIGHUP), taken by one
// thread with sigwait instead of a handler, so stopping may lock and join.

namespace korv_tools {

// Blocks the stop signals in the calling thread and in every thread it
// starts afterwards (call it in main before any thread starts), and ignores
// SIGPIPE: a reader that went away shows as a failed write, not as an end.
void BlockStopSignals();

// Waits until a stop signal arrives; returns its number. Any thread may wait.
int WaitForStopSignal();

}  // namespace korv_tools
