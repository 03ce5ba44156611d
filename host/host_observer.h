#pragma once
// The one seam through which every host service a device calls can be seen,
// in order and with all its arguments. Tests record it to assert exact call
// sequences; the host runner prints and stores through it.
//
// Calls arrive on the thread that made the host call: the polling thread for
// most, the threshold worker for SaveDeviceHistory, DoBatchCheckThreshold and
// work items. An observer shared by several threads must guard itself.

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/rule_value.h"
#include "host/yd1363.h"

namespace korv {

// What an alarm check did to the host's alarm state.
enum class AlarmTransition { None, Raised, Cleared };

// One CheckThresholdBool or CheckAlertMap call.
struct AlarmCheck {
  unsigned device = 0;      // data id of the checking device
  std::string device_type;  // its type name
  bool is_map = false;      // CheckAlertMap (value/texts meaningful)
  std::uint8_t value = 0;   // CheckAlertMap: the state value
  int level = 0;
  std::string key;
  std::string code;
  std::string name;
  std::string description;
  bool active = false;     // CheckAlertMap: value != 0
  std::string state_text;  // CheckAlertMap: text of the value, or its number
  std::uint16_t seq = 0;
  AlarmTransition transition = AlarmTransition::None;
  // When the host saw it raised or cleared (a transition only).
  std::chrono::system_clock::time_point at{};
};

class HostObserver {
 public:
  virtual ~HostObserver();
  // A rendered InfoLog line of device `device`.
  virtual void OnLog(unsigned /*device*/, const std::string& /*line*/) {}
  virtual void OnAlarmCheck(const AlarmCheck& /*check*/) {}
  // False: OnAlarmCheck only for the checks that raise or clear an alarm,
  // so the host builds no texts for the many checks that change nothing.
  virtual bool WantsEveryAlarmCheck() const { return true; }
  // SendSP(kind, data, len, delayed).
  virtual void OnSendSP(unsigned /*device*/, const std::string& /*type*/, int /*kind*/,
                        const std::vector<std::uint8_t>& /*block*/, bool /*delayed*/) {}
  // SaveDeviceHistory(data, len).
  virtual void OnSaveHistory(unsigned /*device*/, const std::string& /*type*/,
                             const std::vector<std::uint8_t>& /*block*/) {}
  // write_pmbus_cmd(cid1, cid2[, info]).
  virtual void OnRequest(unsigned /*device*/, std::uint8_t /*cid1*/, std::uint8_t /*cid2*/,
                         const std::vector<std::uint8_t>& /*info*/) {}
  // CheckThresholdWork(item): submitted on the caller's thread ...
  virtual void OnWorkSubmitted(unsigned /*device*/) {}
  // ... and DoBatchCheckThreshold(rules) on the worker.
  virtual void OnBatchCheck(unsigned /*device*/, const std::vector<rule_value>& /*rules*/) {}
  // Reset(): the exchange is over.
  virtual void OnReset(unsigned /*device*/) {}
  // A link fault of unit `unit`: its code (the port's own trouble is
  // yd1363::Fault::kPort; a code outside the set is kNone) and its reason
  // for people.
  virtual void OnLinkError(unsigned /*unit*/, yd1363::Fault /*fault*/,
                           const std::string& /*reason*/) {}
  // The unit's contact changed: answering (first contact, or again after it
  // was reported lost) or not answering. Told once per change.
  virtual void OnLinkState(unsigned /*device*/, bool /*answering*/, const std::string& /*text*/) {}
  // The unit answers but completes no round (its answers refused or faulty,
  // over and over: `completing` false), or completes rounds again. Told once
  // per change; the unit stays answering either way.
  virtual void OnLinkRounds(unsigned /*device*/, bool /*completing*/, const std::string& /*text*/) {
  }
};

}  // namespace korv
