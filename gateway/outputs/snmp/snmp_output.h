#pragma once
// korv-host's SNMP side (--snmp-agentx): an AgentX subagent of the
// controller's master agent (net-snmp's snmpd) serving KORV-PSMA-MIB.
//
//   korvUnitTable, korvValueTable   read from snapshots of the SiteState
//   korvAlarmTable                  the alarms raised and not cleared, numbered here
//   korvAgent                       notifications sent, unsent (master away), dropped
//   korvAlarmRaised/Cleared, korvLinkLost/Regained   notifications through the master
//
// net-snmp's agent library keeps global state: every call into it is made
// on the one thread of this output, and a process has one SnmpOutput. The
// units' polling threads only queue a notification and wake that thread;
// the queue is bounded (when full the oldest goes, counted). The thread
// connects to the master and, while it is away (absent at start, or
// restarted), tries again every ping interval; a notification due while it
// is away cannot be sent and is counted. A master not there at start is told
// once (with the reason its connect failed), a master lost and found again
// once each.
//
// The thread never waits on the master: it hands a notification over only
// while the AgentX socket takes it at once, a few at a time between reads of
// the master's requests and answers, so neither side fills the other's
// socket and waits for the other to read it. What the master cannot take
// waits in the queue. A stop waits for the thread at most stop_grace: a
// master that does not answer (stopped, not gone) is left to it.

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway/core/site_state.h"
#include "gateway/outputs/output.h"
#include "gateway/outputs/snmp/snmp_view.h"

namespace korv_host {

struct SnmpSettings {
  // The master's AgentX socket: a path (net-snmp's default,
  // /var/agentx/master, when empty) or tcp:HOST:PORT.
  std::string socket;
  int ping_interval_s = 1;  // how often a missing master is tried again
  std::size_t queue_limit = 1000;
  // How long one snapshot serves the requests (a walk sees one state).
  std::chrono::milliseconds view_max_age{500};
  // How long a stop waits for the thread to close the session.
  std::chrono::milliseconds stop_grace{2000};
};

class SnmpOutput final : public Output {
 public:
  // Holds `state` until it ends: its thread reads it.
  SnmpOutput(std::shared_ptr<const SiteState> state, SnmpSettings settings);
  ~SnmpOutput() override;  // stops
  SnmpOutput(const SnmpOutput&) = delete;
  SnmpOutput& operator=(const SnmpOutput&) = delete;

  // Starts the agent's thread; false with a one-line `error` when another
  // SnmpOutput runs (or a thread let go by a stop still waits on its
  // master), or its wake-up cannot be made.
  bool Start(std::string& error);
  // Ends the thread: the master is told the subagent closes. What is still
  // queued is sent as far as the socket takes it at once, the rest counted
  // dropped. Returns within stop_grace: false when the thread was still
  // waiting on the master then, and is let go (it ends when the master
  // answers or goes, or with the process).
  bool Stop();

  void OnRound(unsigned unit, const RoundEvent& event) override;
  void OnAlarm(unsigned unit, const AlarmEvent& check) override;
  void OnLinkState(unsigned unit, const LinkEvent& event) override;

  bool Connected() const;
  snmp::NotificationCounts Counts() const;
  // The master's connection and what became of the notifications.
  std::vector<HealthNumber> Metrics() const override;
  // "snmp: no master agent at SOCKET[: reason]" while the master is away
  // (once the thread has tried it).
  std::string Outage() const override;

  // The queue, the counts and the agent's thread's own state
  // (snmp_output.cpp): shared with the thread, so a thread let go by a stop
  // never reads a freed output.
  class Agent;

 private:
  const std::shared_ptr<Agent> agent_;
  std::thread thread_;
};

}  // namespace korv_host
