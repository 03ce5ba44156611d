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
// is away cannot be sent and is counted.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
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
};

class SnmpOutput final : public Output {
 public:
  // Holds `state` until it ends: its thread reads it.
  SnmpOutput(std::shared_ptr<const SiteState> state, SnmpSettings settings);
  ~SnmpOutput() override;  // stops
  SnmpOutput(const SnmpOutput&) = delete;
  SnmpOutput& operator=(const SnmpOutput&) = delete;

  // Starts the agent's thread; false with a one-line `error` when another
  // SnmpOutput runs, or its wake-up cannot be made.
  bool Start(std::string& error);
  // Ends the thread: the master is told the subagent closes.
  void Stop();

  void OnRound(unsigned unit, const RoundEvent& event) override;
  void OnAlarm(unsigned unit, const AlarmEvent& check) override;
  void OnLinkState(unsigned unit, const LinkEvent& event) override;

  bool Connected() const { return connected_; }
  snmp::NotificationCounts Counts() const;
  // The master's connection and what became of the notifications.
  std::vector<HealthNumber> Metrics() const override;

 private:
  struct Notice {
    snmp::Notification kind;
    std::vector<snmp::Varbind> varbinds;
  };
  // (device, type, key, description): as the host tells its alarms apart.
  using AlarmKey = std::tuple<unsigned, std::string, std::string, std::string>;

  void Queue(Notice notice);  // under mutex_
  void Wake();
  void Run();   // the agent's thread
  void Send();  // the queue's notices, on the agent's thread
  // The view, taken again when older than view_max_age (agent's thread).
  const std::vector<snmp::Varbind>& View();

  // net-snmp's callbacks (snmp_output.cpp) reach the members above.
  friend struct SnmpAgentCalls;

  const std::shared_ptr<const SiteState> state_;
  const SnmpSettings settings_;
  int wake_fd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> connected_{false};

  mutable std::mutex mutex_;
  std::deque<Notice> queue_;
  snmp::NotificationCounts counts_;
  std::uint32_t next_alarm_id_ = 1;
  std::map<AlarmKey, snmp::ActiveAlarm> active_;
  std::map<unsigned, int> rounds_;
  std::map<unsigned, bool> lost_;  // units told not answering

  // The agent's thread only.
  std::vector<snmp::Varbind> view_;
  std::chrono::steady_clock::time_point view_at_;
};

}  // namespace korv_host
