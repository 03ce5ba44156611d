#pragma once
// The polling round of the root device: which request goes out when, and
// what each answer does.
//
// Round: 14 (identification, once) -> 0 1 2 (AC) -> 4 5 6 (rectifier)
//        -> 7 8 (DC) -> 3 (AC parameters) -> 9 (DC parameters) -> end.
// Switch and alarm steps (1, 2, 5, 6, 8) are skipped once the root is ready
// and the answer's data flag says nothing changed.

#include <algorithm>
#include <cstdint>
#include <thread>

namespace psma_round {

// How a request carries the one-byte command group.
enum class Group { None, Always, OnlyV21 };

struct Command {
  int step;
  std::uint8_t cid1;
  std::uint8_t cid2;
  Group group;
};

constexpr Command kCommands[] = {
    {0, 0x40, 0x41, Group::Always},   // AC analogue values
    {1, 0x40, 0x43, Group::Always},   // AC switch states
    {2, 0x40, 0x44, Group::Always},   // AC alarm states
    {3, 0x40, 0x46, Group::None},     // AC parameters
    {4, 0x41, 0x41, Group::None},     // rectifier analogue values
    {5, 0x41, 0x43, Group::None},     // rectifier switch states
    {6, 0x41, 0x44, Group::None},     // rectifier alarm states
    {7, 0x42, 0x41, Group::OnlyV21},  // DC analogue values
    {8, 0x42, 0x44, Group::OnlyV21},  // DC alarm states
    {9, 0x42, 0x46, Group::None},     // DC parameters
    {14, 0x40, 0x51, Group::None},    // identification
};

inline const Command* FindCommand(int step) {
  for (const auto& c : kCommands) {
    if (c.step == step) return &c;
  }
  return nullptr;
}

constexpr std::uint8_t kAlarmsChanged = 0x01;
constexpr std::uint8_t kSwitchesChanged = 0x10;

// Answer frame header: version, address, CID1, return code, LENID (2 bytes).
constexpr unsigned kHeaderBytes = 6;
constexpr unsigned kModelBytes = 20;

// The model name in the identification answer's 20-byte field: up to the
// first NUL, without trailing blanks.
inline std::string ReduceModel(const std::string& field) {
  std::string name = field.substr(0, field.find('\0'));
  const auto end = name.find_last_not_of(' ');
  name.erase(end == std::string::npos ? 0 : end + 1);
  return name;
}

}  // namespace psma_round

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::SendStep(int step) {
  cmd_step_ = step;
  const psma_round::Command* c = psma_round::FindCommand(step);
  if (c == nullptr) return false;
  const bool group = c->group == psma_round::Group::Always ||
                     (c->group == psma_round::Group::OnlyV21 && version_ == 0x21);
  if (group) return write_pmbus_cmd(c->cid1, c->cid2, &commandGroup_, 1);
  return write_pmbus_cmd(c->cid1, c->cid2);
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::RefreshStatus() {
  // Without its rectifier group the unit cannot be read through a round.
  if (!rc_device_) return false;
  if (!KorvSPDevice::RefreshStatus()) return false;
  if (!identify_pending_ && DataAgeSeconds() < 2) {
    poll_count_ = 0;
    return false;
  }
  if (identify_pending_) {
    SendStep(14);
    return true;
  }
  if (cmd_step_ == 0 && ac_devices_.empty()) {
    SendStep(4);
    return true;
  }
  // Every step repeats its own request, 3 and 9 included: an answer lost
  // there must not leave the unit unasked for good.
  if (psma_round::FindCommand(cmd_step_) != nullptr && cmd_step_ != 14) SendStep(cmd_step_);
  return true;
}

template <typename AC, typename DC, typename RC>
template <typename Child, typename Parse>
bool PMBusPower<AC, DC, RC>::WalkChildren(const std::vector<std::shared_ptr<Child>>& children,
                                          Parse parse, const std::uint8_t* info, unsigned infolen,
                                          unsigned start, std::int64_t& used) {
  // Offsets, not pointers: a portion may claim more than is left, and the
  // next screen must then see an empty remainder, never a pointer past it.
  std::int64_t pos = start;
  for (const auto& child : children) {
    const std::int64_t at = std::min<std::int64_t>(pos, infolen);
    const int taken = ((*child).*parse)(info + at, static_cast<int>(infolen - pos));
    if (taken == -1) return false;
    pos += taken;
  }
  used = pos;
  return true;
}

template <typename AC, typename DC, typename RC>
void PMBusPower<AC, DC, RC>::EndRound() {
  for (const auto& ac : ac_devices_) ac->RoundDone();
  for (const auto& dc : dc_devices_) dc->RoundDone();
  rc_device_->RoundDone();
  cmd_step_ = 0;
  Reset();
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::process_payload() {
  using namespace psma_round;
  std::this_thread::sleep_for(answer_delay_);
  if (!rc_device_) return true;

  const unsigned id = DataId();
  if (answer_ == nullptr || answer_len_ < kHeaderBytes) {
    InfoLog("PMBusPower:ProcotolError {} answer frame is {} bytes, shorter than its header", id,
            static_cast<std::uint32_t>(answer_ == nullptr ? 0 : answer_len_));
    return true;
  }
  const std::uint8_t cid1 = answer_[2];
  const unsigned infolen = (answer_[4] | (answer_[5] << 8)) >> 1;
  if (infolen > answer_len_ - kHeaderBytes) {
    InfoLog("PMBusPower:ProcotolError {} answer length says {} info bytes, frame holds {}", id,
            static_cast<std::uint32_t>(infolen),
            static_cast<std::uint32_t>(answer_len_ - kHeaderBytes));
    return true;
  }
  const std::uint8_t* info = answer_ + kHeaderBytes;
  const bool ready = IsDataReady();
  const auto ac_count = static_cast<std::uint32_t>(ac_devices_.size());
  const auto dc_count = static_cast<std::uint32_t>(dc_devices_.size());
  // The data flag and screen count that open the AC and DC answers.
  const auto too_short = [&](const char* answer, unsigned needed) {
    if (infolen >= needed) return false;
    InfoLog(
        std::string("PMBusPower:ProcotolError {} read ") + answer + " info length is {}, needs {}",
        id, static_cast<std::uint32_t>(infolen), static_cast<std::uint32_t>(needed));
    return true;
  };
  std::int64_t used = 0;

  switch (cmd_step_) {
    case 0: {
      if (cid1 != 0x40) {
        Reset();
        return false;
      }
      if (too_short("40_41", 2)) return true;
      ac_data_flag_ = info[0];
      if (info[1] != ac_count) {
        InfoLog("PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}", id,
                static_cast<std::uint32_t>(info[1]), ac_count);
        Reset();
        return false;
      }
      if (!WalkChildren(ac_devices_, &AC::parse40_41, info, infolen, 2, used)) return true;
      if (used != infolen) {
        InfoLog("PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary", id);
        return true;
      }
      if (!ready || (ac_data_flag_ & kSwitchesChanged)) return SendStep(1), true;
      if (!ready || (ac_data_flag_ & kAlarmsChanged)) return SendStep(2), true;
      return SendStep(4), true;
    }
    case 1: {
      if (cid1 != 0x40) return true;
      if (too_short("40_43", 2)) return true;
      if (infolen > 2) {
        if (!WalkChildren(ac_devices_, &AC::parse40_43, info, infolen, 2, used)) return true;
        if (used != infolen) {
          InfoLog("PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary", id);
          return true;
        }
      }
      if (!ready || (ac_data_flag_ & kAlarmsChanged)) return SendStep(2), true;
      return SendStep(4), true;
    }
    case 2: {
      if (cid1 != 0x40) return true;
      if (too_short("40_44", 2)) return true;
      if (!WalkChildren(ac_devices_, &AC::parse40_44, info, infolen, 2, used)) return true;
      if (used != infolen) return true;
      return SendStep(4), true;
    }
    case 4: {
      if (cid1 != 0x41) return true;
      if (too_short("41_41", 1)) return true;
      rc_data_flag_ = info[0];
      if (rc_device_->parse41_41(info, static_cast<int>(infolen)) != static_cast<int>(infolen)) {
        InfoLog("PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary", id);
        return true;
      }
      if (!ready || (rc_data_flag_ & kSwitchesChanged)) return SendStep(5), true;
      if (!ready || (rc_data_flag_ & kAlarmsChanged)) return SendStep(6), true;
      break;  // on to DC, or the end of the round
    }
    case 5: {
      if (cid1 != 0x41) return true;
      if (rc_device_->parse41_43(info, static_cast<int>(infolen)) != static_cast<int>(infolen)) {
        InfoLog("PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary", id);
        return true;
      }
      if (!ready || (rc_data_flag_ & kAlarmsChanged)) return SendStep(6), true;
      break;
    }
    case 6: {
      if (cid1 != 0x41) return true;
      if (rc_device_->parse41_44(info, static_cast<int>(infolen)) != static_cast<int>(infolen)) {
        InfoLog("PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary", id);
        return true;
      }
      break;
    }
    case 7:
    case 8: {
      if (cid1 != 0x42) return true;
      if (too_short(cmd_step_ == 7 ? "42_41" : "42_44", 2)) return true;
      const std::uint8_t dc_flag = info[0];
      if (info[1] != dc_count) {
        InfoLog("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}", id,
                static_cast<std::uint32_t>(info[1]), dc_count);
        return true;
      }
      if (cmd_step_ == 7) {
        // More than three screens: their portions start right after the flag.
        const unsigned start = info[1] <= 3 ? 2 : 1;
        if (!WalkChildren(dc_devices_, &DC::parse42_41, info, infolen, start, used)) return true;
        if (used > infolen) {
          InfoLog("PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary", id);
        }
        if (!ready || (dc_flag & (kSwitchesChanged | kAlarmsChanged))) return SendStep(8), true;
      } else {
        if (!WalkChildren(dc_devices_, &DC::parse42_44, info, infolen, 2, used)) return true;
        if (used > infolen) {
          InfoLog("PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary", id);
        }
      }
      return SendStep(ac_devices_.empty() ? 9 : 3), true;
    }
    case 3: {
      if (cid1 != 0x40) return true;
      const int taken = rc_device_->parse40_46(info, static_cast<int>(infolen));
      if (taken == -1) return true;
      if (taken > static_cast<int>(infolen)) {
        InfoLog("PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary", id);
      }
      return SendStep(9), true;
    }
    case 9: {
      if (cid1 != 0x42) return true;
      const int taken = rc_device_->parse42_46(info, static_cast<int>(infolen));
      if (taken == -1) return true;
      if (taken > static_cast<int>(infolen)) {
        InfoLog("PMBusPower:ProcotolError {} parse 42_46 overflow memory boundary", id);
      }
      EndRound();
      return false;
    }
    case 14: {
      if (cid1 != 0x40) return true;
      detected_model_.assign(reinterpret_cast<const char*>(info),
                             std::min<unsigned>(infolen, kModelBytes));
      const std::string model = ReduceModel(detected_model_);
      if (std::find(supported_models_.begin(), supported_models_.end(), model) ==
          supported_models_.end()) {
        const std::string description = "本驱动类型:" + DeviceType() + " 检测型号:" + model;
        CheckThresholdBool(3, "device_model", "70319", "设备配置检测", description, true, 0);
      }
      identify_pending_ = false;
      return SendStep(ac_devices_.empty() ? 4 : 0), true;
    }
    default:
      return true;
  }
  // After the rectifier steps: the DC screens, or the end of the round.
  if (!dc_devices_.empty()) return SendStep(7), true;
  EndRound();
  return false;
}
