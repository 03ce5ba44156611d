#include "host/korv_device.h"

#include <chrono>
#include <map>
#include <string>
#include <utility>

// ---- VDeviceInterface ------------------------------------------------------

VDeviceInterface::VDeviceInterface() = default;
VDeviceInterface::~VDeviceInterface() = default;

float VDeviceInterface::Get_Value(unsigned, const std::string&) const {
  throw std::out_of_range("数据未就绪");
}

bool VDeviceInterface::LoadFromCache(const std::string& block) {
  return LoadFromCache(reinterpret_cast<const std::uint8_t*>(block.data()),
                       static_cast<int>(block.size()));
}

unsigned VDeviceInterface::DataId() const { return data_id_; }
std::string VDeviceInterface::DeviceType() const { return type_name_; }

int VDeviceInterface::DeviceIoControl(int, const void*, int, void*, int, int& returned) {
  returned = 0;
  return -2;
}

void VDeviceInterface::RoundDone() {}
bool VDeviceInterface::UseControllerDb() const { return use_controller_db_; }

// ---- KorvVDevice -----------------------------------------------------------

KorvVDevice::KorvVDevice() = default;
KorvVDevice::~KorvVDevice() = default;

void KorvVDevice::Reset() {}

bool KorvVDevice::InitV(KorvVDevice* parent, unsigned id, const Json::Value& settings) {
  parent_ = parent;
  if (parent != nullptr) controller_ = parent->controller_;
  data_id_ = id;
  settings_ = settings;
  return true;
}

bool KorvVDevice::Init(std::weak_ptr<KorvController> controller, unsigned id,
                       const Json::Value& settings) {
  controller_ = std::move(controller);
  data_id_ = id;
  settings_ = settings;
  return true;
}

bool KorvVDevice::InitSetting(const Json::Value& settings) {
  settings_error_.clear();
  if (settings.isNull() || settings.isObject()) return true;
  return RefuseSettings("the settings must be an object");
}

bool KorvVDevice::RefuseSettings(std::string reason) {
  settings_error_ = std::move(reason);
  return false;
}

bool KorvVDevice::IsSupportDevice(const std::string& type) const { return type == DeviceType(); }

std::shared_ptr<KorvVDevice> KorvVDevice::GetChildVDevice(unsigned) { return {}; }

std::vector<std::shared_ptr<KorvVDevice>> KorvVDevice::GetAllChildVDevices() { return {}; }

std::shared_ptr<korv::HostObserver> KorvVDevice::Observer() const {
  if (auto controller = controller_.lock()) return controller->Observer();
  return {};
}

bool KorvVDevice::SendSP(int kind, const std::uint8_t* data, int len, bool delayed) {
  if (parent_ != nullptr) parent_->child_published_.store(true, std::memory_order_release);
  if (auto obs = Observer()) {
    std::vector<std::uint8_t> block;
    if (data != nullptr && len > 0) block.assign(data, data + len);
    obs->OnSendSP(DataId(), DeviceType(), kind, block, delayed);
  }
  return true;
}

bool KorvVDevice::SendDelayData(int kind, const std::uint8_t* data, int len) {
  return SendSP(kind, data, len, true);
}
bool KorvVDevice::SendDoData(unsigned, int) { return false; }
bool KorvVDevice::ReadDi(unsigned, int&) { return false; }
bool KorvVDevice::ReadAi(unsigned, float&) { return false; }
bool KorvVDevice::Get_SP_Value(int, std::string&) { return false; }

namespace {

// One alarm check of `device`, for both kinds: `texts` is null for a bool
// check (state 0 or 1), else the state table that names the state value.
bool CheckAlarm(const KorvVDevice& device, std::uint8_t state,
                const std::map<std::uint8_t, std::string>* texts, int level, const std::string& key,
                const std::string& code, const std::string& name, const std::string& description,
                std::uint16_t seq) {
  auto controller = device.Controller();
  if (!controller) return false;
  const auto observer = controller->Observer();
  // Nobody watches, or the watcher wants only raises and clears: keep the
  // alarm state, and copy the texts only when it changes.
  const bool every = observer && observer->WantsEveryAlarmCheck();
  auto transition = korv::AlarmTransition::None;
  if (!every) {
    transition = controller->UpdateAlarm(device.DataId(), key, description, state);
    if (!observer || transition == korv::AlarmTransition::None) {
      return transition != korv::AlarmTransition::None;
    }
  }
  korv::AlarmCheck check;
  check.device = device.DataId();
  check.device_type = device.DeviceType();
  check.level = level;
  check.key = key;
  check.code = code;
  check.name = name;
  check.description = description;
  check.seq = seq;
  if (texts == nullptr) {
    check.active = state != 0;
  } else {
    check.is_map = true;
    check.value = state;
    const auto text = texts->find(state);
    check.state_text = text != texts->end() ? text->second : std::to_string(state);
  }
  if (!every) {
    check.active = state != 0;
    check.transition = transition;
    check.at = std::chrono::system_clock::now();
    observer->OnAlarmCheck(check);
    return true;
  }
  return controller->Check(std::move(check)) != korv::AlarmTransition::None;
}

}  // namespace

bool KorvVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& code,
                                     const std::string& name, const std::string& description,
                                     bool active, std::uint16_t seq) {
  return CheckAlarm(*this, active ? 1 : 0, nullptr, level, key, code, name, description, seq);
}

bool KorvVDevice::CheckAlertMap(std::uint8_t value, int level, const std::string& key,
                                const std::string& code, const std::string& name,
                                const std::string& description,
                                const std::map<std::uint8_t, std::string>& texts,
                                std::uint16_t seq) {
  return CheckAlarm(*this, value, &texts, level, key, code, name, description, seq);
}

void KorvVDevice::CheckThresholdWork(std::function<void()> item) {
  if (!item) return;
  if (auto controller = controller_.lock()) {
    controller->SubmitWork(DataId(), std::move(item));
  } else {
    item();
  }
}

bool KorvVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  if (auto obs = Observer()) obs->OnBatchCheck(DataId(), rules);
  return false;
}

bool KorvVDevice::SaveDeviceHistory(const std::uint8_t* data, int len) {
  if (auto obs = Observer()) {
    std::vector<std::uint8_t> block;
    if (data != nullptr && len > 0) block.assign(data, data + len);
    obs->OnSaveHistory(DataId(), DeviceType(), block);
  }
  return true;
}

korv::LocalTime KorvVDevice::LastUpdate() const {
  return korv::FromEpochSeconds(last_update_.load(std::memory_order_acquire));
}

void KorvVDevice::SetLastUpdate(const korv::LocalTime& t) {
  last_update_.store(korv::ToEpochSeconds(t), std::memory_order_release);
}

std::int64_t KorvVDevice::DataAgeSeconds() const {
  return korv::ToEpochSeconds(korv::LocalNow()) - last_update_.load(std::memory_order_acquire);
}

// ---- KorvSPDevice ----------------------------------------------------------

KorvSPDevice::KorvSPDevice() = default;
KorvSPDevice::~KorvSPDevice() = default;

void KorvSPDevice::Reset() {
  processing_.store(false, std::memory_order_release);
  if (child_published_.exchange(false, std::memory_order_acq_rel)) {
    SetLastUpdate(korv::LocalNow());
    SetDataReady(true);
  }
  if (auto obs = Observer()) obs->OnReset(DataId());
}

bool KorvSPDevice::RefreshStatus() { return !processing_.load(std::memory_order_acquire); }

void KorvSPDevice::process(std::uint8_t*, unsigned) {}

bool KorvSPDevice::IsProcessing() const { return processing_.load(std::memory_order_acquire); }
bool KorvSPDevice::IsStalled() const { return false; }

bool KorvSPDevice::SendData(const std::uint8_t* data, unsigned len) {
  return line_ ? line_(data, len) : false;
}

bool KorvSPDevice::SendParityData(const std::uint8_t* data, unsigned len, int) {
  return SendData(data, len);
}

bool KorvSPDevice::OpenPort(const std::string&) { return false; }
void KorvSPDevice::ClosePort() { line_ = nullptr; }

void KorvSPDevice::AttachLine(LineWriter writer) { line_ = std::move(writer); }

void KorvSPDevice::BeginExchange() {
  poll_count_ = 0;
  requests_.fetch_add(1, std::memory_order_acq_rel);
  processing_.store(true, std::memory_order_release);
}

void KorvSPDevice::EndExchange() {
  processing_.store(false, std::memory_order_release);
  child_published_.store(false, std::memory_order_release);
}
