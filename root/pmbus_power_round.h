#pragma once
// The polling round of the root device: which request goes out when, and
// what each answer does.
//
// Round: kIdentify (once) -> kAcAnalog kAcSwitches kAcAlarms
//        -> kRcAnalog kRcSwitches kRcAlarms -> kDcAnalog kDcAlarms
//        -> kAcParameters -> kDcParameters -> end.
// Switch and alarm steps are skipped once the root is ready and the answer's
// data flag says nothing changed. Without AC screens the round starts at
// kRcAnalog and skips kAcParameters; without DC screens it ends after the
// rectifier steps.

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>

namespace psma_round {

// How a request carries the one-byte command group.
enum class Group { None, Always, OnlyV21 };

struct Command {
  RoundStep step;
  std::uint8_t cid1;
  std::uint8_t cid2;
  Group group;
};

constexpr Command kCommands[] = {
    {RoundStep::kAcAnalog, 0x40, 0x41, Group::Always},    // AC analogue values
    {RoundStep::kAcSwitches, 0x40, 0x43, Group::Always},  // AC switch states
    {RoundStep::kAcAlarms, 0x40, 0x44, Group::Always},    // AC alarm states
    {RoundStep::kAcParameters, 0x40, 0x46, Group::None},  // AC parameters
    {RoundStep::kRcAnalog, 0x41, 0x41, Group::None},      // rectifier analogue values
    {RoundStep::kRcSwitches, 0x41, 0x43, Group::None},    // rectifier switch states
    {RoundStep::kRcAlarms, 0x41, 0x44, Group::None},      // rectifier alarm states
    {RoundStep::kDcAnalog, 0x42, 0x41, Group::OnlyV21},   // DC analogue values
    {RoundStep::kDcAlarms, 0x42, 0x44, Group::OnlyV21},   // DC alarm states
    {RoundStep::kDcParameters, 0x42, 0x46, Group::None},  // DC parameters
    {RoundStep::kIdentify, 0x40, 0x51, Group::None},      // identification
};

// The command of the host's command step `step`, or none.
inline const Command* FindCommand(int step) {
  for (const auto& c : kCommands) {
    if (static_cast<int>(c.step) == step) return &c;
  }
  return nullptr;
}

constexpr std::uint8_t kAlarmsChanged = 0x01;
constexpr std::uint8_t kSwitchesChanged = 0x10;

// The parameter answers:
//   0                 F   F+1
//   | fixed f32 values | P | P x f32 user-defined values
// F is 5 values for the AC parameters, 2 for the DC ones. Their length is
// checked whole before the rectifier group parses: its parse stores the
// fixed values before it reads P, so an answer of another request (a late
// 0x42/0x41 answer taken for 0x42/0x46) would overwrite them with its bytes.
constexpr unsigned kAcParamFixed = 5 * 4 + 1;
constexpr unsigned kDcParamFixed = 2 * 4 + 1;

// The length a parameter answer with `fixed` bytes before its user values
// must have; one too short to say is the rectifier group's parse's to refuse.
inline unsigned ParamLength(const std::uint8_t* info, unsigned infolen, unsigned fixed) {
  if (infolen < fixed) return infolen;
  return fixed + 4u * info[fixed - 1];
}

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
bool PMBusPower<AC, DC, RC>::SendStep(RoundStep step) {
  cmd_step_ = static_cast<int>(step);
  const psma_round::Command* c = psma_round::FindCommand(cmd_step_);
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
  if (!identify_pending_ && SecondsToRound() > 0) {
    poll_count_ = 0;
    return false;
  }
  if (identify_pending_) {
    SendStep(RoundStep::kIdentify);
    return true;
  }
  if (cmd_step_ == static_cast<int>(RoundStep::kAcAnalog) && ac_devices_.empty()) {
    SendStep(RoundStep::kRcAnalog);
    return true;
  }
  // Every step repeats its own request, the parameter steps included: an
  // answer lost there must not leave the unit unasked for good.
  const psma_round::Command* c = psma_round::FindCommand(cmd_step_);
  if (c != nullptr && c->step != RoundStep::kIdentify) SendStep(c->step);
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
  cmd_step_ = static_cast<int>(RoundStep::kAcAnalog);
  Reset();
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::process_payload() {
  using psma_round::kHeaderBytes;
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

  struct Row {
    RoundStep step;
    std::uint8_t cid1;    // the group the answer must carry
    Outcome other_group;  // what an answer of another group does
    Outcome (PMBusPower::*handle)(const RoundAnswer&);
  };
  // The steps in the order of the round.
  static constexpr Row kRows[] = {
      {RoundStep::kIdentify, 0x40, Outcome::Refuse(), &PMBusPower::OnIdentify},
      {RoundStep::kAcAnalog, 0x40, Outcome::Abandon(), &PMBusPower::OnAcAnalog},
      {RoundStep::kAcSwitches, 0x40, Outcome::Refuse(), &PMBusPower::OnAcSwitches},
      {RoundStep::kAcAlarms, 0x40, Outcome::Refuse(), &PMBusPower::OnAcAlarms},
      {RoundStep::kRcAnalog, 0x41, Outcome::Refuse(), &PMBusPower::OnRcAnalog},
      {RoundStep::kRcSwitches, 0x41, Outcome::Refuse(), &PMBusPower::OnRcSwitches},
      {RoundStep::kRcAlarms, 0x41, Outcome::Refuse(), &PMBusPower::OnRcAlarms},
      {RoundStep::kDcAnalog, 0x42, Outcome::Refuse(), &PMBusPower::OnDcAnalog},
      {RoundStep::kDcAlarms, 0x42, Outcome::Refuse(), &PMBusPower::OnDcAlarms},
      {RoundStep::kAcParameters, 0x40, Outcome::Refuse(), &PMBusPower::OnAcParameters},
      {RoundStep::kDcParameters, 0x42, Outcome::Refuse(), &PMBusPower::OnDcParameters},
  };
  for (const Row& row : kRows) {
    if (static_cast<int>(row.step) != cmd_step_) continue;
    if (cid1 != row.cid1) return Apply(row.other_group);
    return Apply((this->*row.handle)({answer_ + kHeaderBytes, infolen, IsDataReady()}));
  }
  return true;  // a step outside the round: the answer is dropped
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::Apply(const Outcome& outcome) {
  switch (outcome.kind) {
    case Outcome::Kind::kRefuse:
      return true;
    case Outcome::Kind::kSend:
      SendStep(outcome.next);
      return true;
    case Outcome::Kind::kEnd:
      EndRound();
      return false;
    case Outcome::Kind::kAbandon:
      Reset();
      return false;
  }
  return true;
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::TooShort(const RoundAnswer& answer, const char* name,
                                      unsigned needed) const {
  if (answer.infolen >= needed) return false;
  InfoLog(std::string("PMBusPower:ProcotolError {} read ") + name + " info length is {}, needs {}",
          DataId(), static_cast<std::uint32_t>(answer.infolen), static_cast<std::uint32_t>(needed));
  return true;
}

// 0x40/0x51: the model, checked against the supported ones.
template <typename AC, typename DC, typename RC>
psma_round::Outcome PMBusPower<AC, DC, RC>::OnIdentify(const RoundAnswer& answer) {
  detected_model_.assign(reinterpret_cast<const char*>(answer.info),
                         std::min<unsigned>(answer.infolen, psma_round::kModelBytes));
  const std::string model = psma_round::ReduceModel(detected_model_);
  if (std::find(supported_models_.begin(), supported_models_.end(), model) ==
      supported_models_.end()) {
    const std::string description = "本驱动类型:" + DeviceType() + " 检测型号:" + model;
    CheckThresholdBool(3, "device_model", "70319", "设备配置检测", description, true, 0);
  }
  identify_pending_ = false;
  return Outcome::Send(ac_devices_.empty() ? RoundStep::kRcAnalog : RoundStep::kAcAnalog);
}

// 0x40/0x41: the AC data flag, the screen count, then each screen's portion.
// A count other than the configured one abandons the round.
template <typename AC, typename DC, typename RC>
psma_round::Outcome PMBusPower<AC, DC, RC>::OnAcAnalog(const RoundAnswer& answer) {
  using namespace psma_round;
  if (TooShort(answer, "40_41", 2)) return Outcome::Refuse();
  ac_data_flag_ = answer.info[0];
  const auto ac_count = static_cast<std::uint32_t>(ac_devices_.size());
  if (answer.info[1] != ac_count) {
    InfoLog("PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}",
            DataId(), static_cast<std::uint32_t>(answer.info[1]), ac_count);
    return Outcome::Abandon();
  }
  std::int64_t used = 0;
  if (!WalkChildren(ac_devices_, &AC::parse40_41, answer.info, answer.infolen, 2, used)) {
    return Outcome::Refuse();
  }
  if (used != answer.infolen) {
    InfoLog("PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary", DataId());
    return Outcome::Refuse();
  }
  if (!answer.ready || (ac_data_flag_ & kSwitchesChanged))
    return Outcome::Send(RoundStep::kAcSwitches);
  if (!answer.ready || (ac_data_flag_ & kAlarmsChanged)) return Outcome::Send(RoundStep::kAcAlarms);
  return Outcome::Send(RoundStep::kRcAnalog);
}

// 0x40/0x43: each screen's portion after the flag and count, when there are
// any. The root reads neither of those two bytes here, so an answer without
// them is taken as well: refusing it would repeat the step for ever.
template <typename AC, typename DC, typename RC>
psma_round::Outcome PMBusPower<AC, DC, RC>::OnAcSwitches(const RoundAnswer& answer) {
  if (answer.infolen > 2) {
    std::int64_t used = 0;
    if (!WalkChildren(ac_devices_, &AC::parse40_43, answer.info, answer.infolen, 2, used)) {
      return Outcome::Refuse();
    }
    if (used != answer.infolen) {
      InfoLog("PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary", DataId());
      return Outcome::Refuse();
    }
  }
  if (!answer.ready || (ac_data_flag_ & psma_round::kAlarmsChanged)) {
    return Outcome::Send(RoundStep::kAcAlarms);
  }
  return Outcome::Send(RoundStep::kRcAnalog);
}

// 0x40/0x44: the flag and count, then each screen's portion.
template <typename AC, typename DC, typename RC>
psma_round::Outcome PMBusPower<AC, DC, RC>::OnAcAlarms(const RoundAnswer& answer) {
  if (TooShort(answer, "40_44", 2)) return Outcome::Refuse();
  std::int64_t used = 0;
  if (!WalkChildren(ac_devices_, &AC::parse40_44, answer.info, answer.infolen, 2, used)) {
    return Outcome::Refuse();
  }
  if (used != answer.infolen) return Outcome::Refuse();
  return Outcome::Send(RoundStep::kRcAnalog);
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::RcTookWhole(int (RC::*parse)(const std::uint8_t*, int),
                                         const RoundAnswer& answer, const char* name) {
  const int infolen = static_cast<int>(answer.infolen);
  if (((*rc_device_).*parse)(answer.info, infolen) == infolen) return true;
  InfoLog(std::string("PMBusPower:ProcotolError {} parse ") + name + " overflow memory boundary",
          DataId());
  return false;
}

// 0x41/0x41: the whole INFO, the rectifier data flag first, is the group's.
template <typename AC, typename DC, typename RC>
psma_round::Outcome PMBusPower<AC, DC, RC>::OnRcAnalog(const RoundAnswer& answer) {
  using namespace psma_round;
  if (TooShort(answer, "41_41", 1)) return Outcome::Refuse();
  rc_data_flag_ = answer.info[0];
  if (!RcTookWhole(&RC::parse41_41, answer, "p41_41")) return Outcome::Refuse();
  if (!answer.ready || (rc_data_flag_ & kSwitchesChanged))
    return Outcome::Send(RoundStep::kRcSwitches);
  if (!answer.ready || (rc_data_flag_ & kAlarmsChanged)) return Outcome::Send(RoundStep::kRcAlarms);
  return AfterRectifier();
}

// 0x41/0x43: the whole INFO is the group's.
template <typename AC, typename DC, typename RC>
psma_round::Outcome PMBusPower<AC, DC, RC>::OnRcSwitches(const RoundAnswer& answer) {
  if (!RcTookWhole(&RC::parse41_43, answer, "p41_43")) return Outcome::Refuse();
  if (!answer.ready || (rc_data_flag_ & psma_round::kAlarmsChanged)) {
    return Outcome::Send(RoundStep::kRcAlarms);
  }
  return AfterRectifier();
}

// 0x41/0x44: the whole INFO is the group's.
template <typename AC, typename DC, typename RC>
psma_round::Outcome PMBusPower<AC, DC, RC>::OnRcAlarms(const RoundAnswer& answer) {
  if (!RcTookWhole(&RC::parse41_44, answer, "p41_44")) return Outcome::Refuse();
  return AfterRectifier();
}

template <typename AC, typename DC, typename RC>
psma_round::Outcome PMBusPower<AC, DC, RC>::AfterRectifier() const {
  if (!dc_devices_.empty()) return Outcome::Send(RoundStep::kDcAnalog);
  return Outcome::EndRound();
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::DcOpeningFits(const RoundAnswer& answer, const char* name) const {
  if (TooShort(answer, name, 2)) return false;
  const auto dc_count = static_cast<std::uint32_t>(dc_devices_.size());
  if (answer.info[1] == dc_count) return true;
  InfoLog("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}", DataId(),
          static_cast<std::uint32_t>(answer.info[1]), dc_count);
  return false;
}

// 0x42/0x41: the DC data flag, the screen count, then each screen's portion.
// A portion that claims more than the answer holds is told, not refused.
template <typename AC, typename DC, typename RC>
psma_round::Outcome PMBusPower<AC, DC, RC>::OnDcAnalog(const RoundAnswer& answer) {
  using namespace psma_round;
  if (!DcOpeningFits(answer, "42_41")) return Outcome::Refuse();
  const std::uint8_t dc_flag = answer.info[0];
  // More than three screens: their portions start right after the flag.
  const unsigned start = answer.info[1] <= 3 ? 2 : 1;
  std::int64_t used = 0;
  if (!WalkChildren(dc_devices_, &DC::parse42_41, answer.info, answer.infolen, start, used)) {
    return Outcome::Refuse();
  }
  if (used > answer.infolen) {
    InfoLog("PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary", DataId());
  }
  if (!answer.ready || (dc_flag & (kSwitchesChanged | kAlarmsChanged))) {
    return Outcome::Send(RoundStep::kDcAlarms);
  }
  return AfterDc();
}

// 0x42/0x44: the flag and count, then each screen's portion.
template <typename AC, typename DC, typename RC>
psma_round::Outcome PMBusPower<AC, DC, RC>::OnDcAlarms(const RoundAnswer& answer) {
  if (!DcOpeningFits(answer, "42_44")) return Outcome::Refuse();
  std::int64_t used = 0;
  if (!WalkChildren(dc_devices_, &DC::parse42_44, answer.info, answer.infolen, 2, used)) {
    return Outcome::Refuse();
  }
  if (used > answer.infolen) {
    InfoLog("PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary", DataId());
  }
  return AfterDc();
}

template <typename AC, typename DC, typename RC>
psma_round::Outcome PMBusPower<AC, DC, RC>::AfterDc() const {
  return Outcome::Send(ac_devices_.empty() ? RoundStep::kDcParameters : RoundStep::kAcParameters);
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::ParamLengthFits(const RoundAnswer& answer, const char* name,
                                             unsigned fixed) const {
  const unsigned needed = psma_round::ParamLength(answer.info, answer.infolen, fixed);
  if (needed == answer.infolen) return true;
  InfoLog(std::string("PMBusPower:ProcotolError {} read ") + name +
              " info length is {}, its parameters need {}",
          DataId(), static_cast<std::uint32_t>(answer.infolen), static_cast<std::uint32_t>(needed));
  return false;
}

// 0x40/0x46: the AC parameters, kept by the rectifier group.
template <typename AC, typename DC, typename RC>
psma_round::Outcome PMBusPower<AC, DC, RC>::OnAcParameters(const RoundAnswer& answer) {
  if (!ParamLengthFits(answer, "40_46", psma_round::kAcParamFixed)) return Outcome::Refuse();
  const int taken = rc_device_->parse40_46(answer.info, static_cast<int>(answer.infolen));
  if (taken == -1) return Outcome::Refuse();
  if (taken > static_cast<int>(answer.infolen)) {
    InfoLog("PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary", DataId());
  }
  return Outcome::Send(RoundStep::kDcParameters);
}

// 0x42/0x46: the DC parameters, kept by the rectifier group; the last answer
// of the round.
template <typename AC, typename DC, typename RC>
psma_round::Outcome PMBusPower<AC, DC, RC>::OnDcParameters(const RoundAnswer& answer) {
  if (!ParamLengthFits(answer, "42_46", psma_round::kDcParamFixed)) return Outcome::Refuse();
  const int taken = rc_device_->parse42_46(answer.info, static_cast<int>(answer.infolen));
  if (taken == -1) return Outcome::Refuse();
  if (taken > static_cast<int>(answer.infolen)) {
    InfoLog("PMBusPower:ProcotolError {} parse 42_46 overflow memory boundary", DataId());
  }
  return Outcome::EndRound();
}
