#pragma once
// The root device: the monitoring unit on one serial line. It creates its AC,
// DC and rectifier children from its settings, runs the polling round and
// hands each answer's information field to the children.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "child/setting_keys.h"
#include "host/pmbus_protocol.h"

namespace psma_round {

// The steps of the round, one per request. Each number is the host protocol
// layer's command step (cmd_step_) of that request.
enum class RoundStep : int {
  kAcAnalog = 0,
  kAcSwitches = 1,
  kAcAlarms = 2,
  kAcParameters = 3,
  kRcAnalog = 4,
  kRcSwitches = 5,
  kRcAlarms = 6,
  kDcAnalog = 7,
  kDcAlarms = 8,
  kDcParameters = 9,
  kIdentify = 14,
};

// What an answer does to the round.
struct Outcome {
  enum class Kind { kRefuse, kSend, kEnd, kAbandon };
  Kind kind;
  RoundStep next;  // kSend: the step whose request goes out

  // Refused: nothing is sent, and the next poll repeats the step's request.
  static constexpr Outcome Refuse() { return {Kind::kRefuse, RoundStep::kAcAnalog}; }
  // Taken: the request of `step` goes out at once.
  static constexpr Outcome Send(RoundStep step) { return {Kind::kSend, step}; }
  // Taken, and the round is complete: every child's round end, then Reset().
  static constexpr Outcome EndRound() { return {Kind::kEnd, RoundStep::kAcAnalog}; }
  // The round is abandoned with Reset(): nothing becomes ready, and the next
  // poll repeats the step's request at once.
  static constexpr Outcome Abandon() { return {Kind::kAbandon, RoundStep::kAcAnalog}; }
};

// The answer being handled, as a step's handler reads it.
struct RoundAnswer {
  const std::uint8_t* info;  // INFO
  unsigned infolen;          // INFO bytes, all held in the frame
  bool ready;                // a round was completed before this answer
};

}  // namespace psma_round

template <typename AC, typename DC, typename RC>
class PMBusPower : public PMBusProtocol {
 public:
  explicit PMBusPower(std::vector<std::string> models) : supported_models_(std::move(models)) {
    round_seconds_ = kRoundSeconds;
  }
  // A round at most every two seconds of the local clock.
  static constexpr std::int64_t kRoundSeconds = 2;

  // The root keeps no cached state of its own: any block is accepted.
  using VDeviceInterface::LoadFromCache;
  bool LoadFromCache(const std::uint8_t*, int) override { return true; }

  ~PMBusPower() override = default;

  // Reads the link settings, then creates the children: one AC screen per
  // "acSetting" element, one DC screen per "dcSetting" element, and the
  // rectifier group for "rcSetting". The settings describe the whole unit: a
  // second call replaces every child, and a kind of child the new settings
  // do not mention is gone (a screen removed from the site file must go;
  // keeping unmentioned children would make removing one impossible).
  // False, with the reason in SettingsError(), when the settings do not fit
  // (SettingsFit, checked first: a key the root does not read, a child's
  // list or object of the wrong shape, an element its child refuses, each
  // named by its place: `"dcSetting"[0] "appSetting" "diff_i" must be a
  // number`) or the link settings are refused (the children stay as they
  // were either way), or there is no "rcSetting" (the new AC and DC children
  // stay; the root is not to be polled).
  // An element's "data_id" that jsoncpp cannot read as unsigned raises
  // Json::LogicError naming it, e.g. `"acSetting"[1] "data_id": Value is not
  // convertible to UInt.`, with the same reason in SettingsError(); the old
  // children stay.
  bool InitSetting(const Json::Value& settings) override {
    if (!SettingsFit(settings)) return false;
    if (!PMBusProtocol::InitSetting(settings)) return false;
    std::vector<std::shared_ptr<AC>> ac;
    std::vector<std::shared_ptr<DC>> dc;
    std::shared_ptr<RC> rc;
    const Json::Value& ac_settings = settings["acSetting"];
    if (ac_settings.isArray()) {
      for (Json::ArrayIndex k = 0; k < ac_settings.size(); ++k) {
        const Json::Value& e = ac_settings[k];
        auto child = std::make_shared<AC>();
        child->InitV(this, ElementDataId("acSetting", k, e), e);
        ac.push_back(std::move(child));
      }
    }
    const Json::Value& dc_settings = settings["dcSetting"];
    if (dc_settings.isArray()) {
      for (Json::ArrayIndex k = 0; k < dc_settings.size(); ++k) {
        const Json::Value& e = dc_settings[k];
        auto child = std::make_shared<DC>(detected_model_);
        child->InitV(this, ElementDataId("dcSetting", k, e), e);
        dc.push_back(std::move(child));
      }
    }
    const Json::Value& rc_settings = settings["rcSetting"];
    if (!rc_settings.isNull()) {
      rc = std::make_shared<RC>();
      rc->InitV(this, DataId(), rc_settings);
    }
    ac_devices_ = std::move(ac);
    dc_devices_ = std::move(dc);
    rc_device_ = std::move(rc);
    if (!rc_device_) return RefuseSettings("there is no \"rcSetting\" object");
    return true;
  }

  // The keys of the unit's settings the root reads: its children's, then
  // the link's (which PMBusProtocol::InitSetting reads). InitSetting refuses
  // any other.
  static const std::vector<std::string>& SettingKeys() {
    static const std::vector<std::string> keys = {"acSetting", "dcSetting", "rcSetting",
                                                  "address",   "baud",      "answer_timeout_ms"};
    return keys;
  }

  // The AC or DC child with data id `id` (the first of equal ids), or none.
  std::shared_ptr<KorvVDevice> GetChildVDevice(unsigned id) override {
    for (const auto& child : ac_devices_) {
      if (child->DataId() == id) return child;
    }
    for (const auto& child : dc_devices_) {
      if (child->DataId() == id) return child;
    }
    return {};
  }

  // Every child: AC screens, DC screens, then the rectifier group when there
  // is one (never an empty entry).
  std::vector<std::shared_ptr<KorvVDevice>> GetAllChildVDevices() override {
    std::vector<std::shared_ptr<KorvVDevice>> all;
    all.reserve(ac_devices_.size() + dc_devices_.size() + 1);
    all.insert(all.end(), ac_devices_.begin(), ac_devices_.end());
    all.insert(all.end(), dc_devices_.begin(), dc_devices_.end());
    if (rc_device_) all.push_back(rc_device_);
    return all;
  }

  // Polls the unit: the identification first, then, at most every 2 seconds
  // from the last completed round, the request of the current step.
  bool RefreshStatus() override;
  // Handles one answer: hands its information field to the children, sends
  // the next request of the round, or ends the round. False after Reset().
  bool process_payload() override;

  // The pause before each answer is handled (the unit needs it before the
  // next request); benchmarks and fuzzing shorten it.
  void SetAnswerDelay(std::chrono::milliseconds delay) { answer_delay_ = delay; }

  const std::vector<std::shared_ptr<AC>>& AcDevices() const { return ac_devices_; }
  const std::vector<std::shared_ptr<DC>>& DcDevices() const { return dc_devices_; }
  const std::shared_ptr<RC>& RcDevice() const { return rc_device_; }
  const std::vector<std::string>& SupportedModels() const { return supported_models_; }
  const std::string& DetectedModel() const { return detected_model_; }
  bool IdentifyPending() const { return identify_pending_; }

  static constexpr std::uint8_t commandGroup_ = 0xFF;

 protected:
  using RoundStep = psma_round::RoundStep;
  using Outcome = psma_round::Outcome;
  using RoundAnswer = psma_round::RoundAnswer;

  // The data id of element `k` of the `kind` array; raises Json::LogicError
  // naming the element when jsoncpp cannot read it as unsigned (the
  // library's own text names no key; whoever wrote the settings needs it).
  unsigned ElementDataId(const char* kind, Json::ArrayIndex k, const Json::Value& element) {
    try {
      return element["data_id"].asUInt();
    } catch (const Json::Exception& e) {
      std::string reason =
          std::string("\"") + kind + "\"[" + std::to_string(k) + "] \"data_id\": " + e.what();
      RefuseSettings(reason);
      throw Json::LogicError(reason);
    }
  }

  // Whether the settings hold only keys the root reads, with its children's
  // lists of objects and the rectifier group's object, each suiting its
  // child; false with the first refusal, named by its place, in
  // SettingsError(). Settings that are no object are the link's to refuse.
  bool SettingsFit(const Json::Value& settings) {
    if (!settings.isObject()) return true;
    const std::string unknown = psma::UnknownKeyProblem(settings, SettingKeys());
    if (!unknown.empty()) return RefuseSettings(unknown);
    if (!ElementsFit<AC>("acSetting", settings) || !ElementsFit<DC>("dcSetting", settings)) {
      return false;
    }
    const Json::Value& rc = settings["rcSetting"];
    if (rc.isNull()) return true;  // refused once the screens are made
    return ObjectFits<RC>("\"rcSetting\"", rc, {});
  }

  // Whether the `kind` array, when given, holds objects that suit a child of
  // type Child, each with its "data_id".
  template <typename Child>
  bool ElementsFit(const char* kind, const Json::Value& settings) {
    const Json::Value& list = settings[kind];
    const std::string at = std::string("\"") + kind + "\"";
    if (list.isNull()) return true;
    if (!list.isArray()) return RefuseSettings(at + " must be an array of objects");
    for (Json::ArrayIndex k = 0; k < list.size(); ++k) {
      if (!ObjectFits<Child>(at + "[" + std::to_string(k) + "]", list[k], {"data_id"})) {
        return false;
      }
    }
    return true;
  }

  // Whether `object`, at `at`, is an object of the keys Child reads (and
  // `also`, the root's own keys there) that Child can take.
  template <typename Child>
  bool ObjectFits(const std::string& at, const Json::Value& object, std::vector<std::string> also) {
    if (!object.isObject()) return RefuseSettings(at + " must be an object");
    const std::vector<std::string>& own = Child::SettingKeys();
    also.insert(also.end(), own.begin(), own.end());
    const std::string unknown = psma::UnknownKeyProblem(object, also);
    if (!unknown.empty()) return RefuseSettings(at + ": " + unknown);
    const std::string problem = Child::SettingsProblem(object);
    return problem.empty() || RefuseSettings(at + " " + problem);
  }

  // Sets the step and sends its request from the command table.
  bool SendStep(RoundStep step);
  // Does what an answer's outcome says; the value process_payload returns.
  bool Apply(const Outcome& outcome);
  // Hands each child its portion of an answer; false when one refused it.
  // `used` is the offset reached, counted from the start of INFO.
  template <typename Child, typename Parse>
  bool WalkChildren(const std::vector<std::shared_ptr<Child>>& children, Parse parse,
                    const std::uint8_t* info, unsigned infolen, unsigned start, std::int64_t& used);
  // Every child's round end, then the step back to the first and the exchange over.
  void EndRound();

  // The handlers of the answers, one per step (the table is in process_payload).
  Outcome OnIdentify(const RoundAnswer& answer);
  Outcome OnAcAnalog(const RoundAnswer& answer);
  Outcome OnAcSwitches(const RoundAnswer& answer);
  Outcome OnAcAlarms(const RoundAnswer& answer);
  Outcome OnRcAnalog(const RoundAnswer& answer);
  Outcome OnRcSwitches(const RoundAnswer& answer);
  Outcome OnRcAlarms(const RoundAnswer& answer);
  Outcome OnDcAnalog(const RoundAnswer& answer);
  Outcome OnDcAlarms(const RoundAnswer& answer);
  Outcome OnAcParameters(const RoundAnswer& answer);
  Outcome OnDcParameters(const RoundAnswer& answer);
  // After the rectifier steps: the DC screens, or the end of the round.
  Outcome AfterRectifier() const;
  // After the DC steps: the AC parameters, or the DC ones without AC screens.
  Outcome AfterDc() const;
  // Logs and is true when INFO is shorter than the `needed` bytes that open
  // the answer (`name` names the answer, as "40_41").
  bool TooShort(const RoundAnswer& answer, const char* name, unsigned needed) const;
  // Hands the whole INFO to the rectifier group's `parse`: true when the
  // group took all of it, else false with the overflow line `name` names
  // (as "p41_43").
  bool RcTookWhole(int (RC::*parse)(const std::uint8_t*, int), const RoundAnswer& answer,
                   const char* name);
  // Whether a parameter answer's INFO is exactly as long as its count of user
  // values says (layout in pmbus_power_round.h); false with a log line.
  bool ParamLengthFits(const RoundAnswer& answer, const char* name, unsigned fixed) const;
  // The DC data flag and screen count that open both DC answers: false,
  // with a log line, when they are missing or the count is not as configured.
  bool DcOpeningFits(const RoundAnswer& answer, const char* name) const;

  std::vector<std::shared_ptr<AC>> ac_devices_;
  std::vector<std::shared_ptr<DC>> dc_devices_;
  std::shared_ptr<RC> rc_device_;
  std::uint8_t ac_data_flag_ = 0;
  std::uint8_t rc_data_flag_ = 0;
  bool identify_pending_ = true;
  std::string detected_model_;
  std::vector<std::string> supported_models_;
  std::chrono::milliseconds answer_delay_{20};
};

#include "root/pmbus_power_round.h"
