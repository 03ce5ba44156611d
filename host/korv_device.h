#pragma once
// The host's device classes, as the plug-in compiles against them:
//   VDeviceInterface <- KorvVDevice <- KorvSPDevice (<- PMBusProtocol)
// The virtual slots are declared in the host's order; do not reorder them.

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/korv_controller.h"
#include "host/local_clock.h"
#include "host/rule_value.h"

class KorvVDevice;

class VDeviceInterface {
 public:
  VDeviceInterface();
  VDeviceInterface(const VDeviceInterface&) = delete;
  VDeviceInterface& operator=(const VDeviceInterface&) = delete;

  // Value of `key`; the default offers none and raises out_of_range("数据未就绪").
  virtual float Get_Value(unsigned index, const std::string& key) const;
  // Restores from a cached block held in a string: passes its bytes and size on.
  virtual bool LoadFromCache(const std::string& block);
  virtual bool LoadFromCache(const std::uint8_t* data, int len) = 0;
  virtual unsigned DataId() const;
  virtual std::string DeviceType() const;
  // Device-specific control; the default supports nothing and returns -2.
  virtual int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                              int& returned);
  // End of a polling round; the default does nothing.
  virtual void RoundDone();
  virtual bool UseControllerDb() const;
  virtual ~VDeviceInterface();

 protected:
  unsigned data_id_ = 0;
  std::string type_name_;
  bool use_controller_db_ = false;
};

class KorvVDevice : public VDeviceInterface, public std::enable_shared_from_this<KorvVDevice> {
 public:
  KorvVDevice();
  ~KorvVDevice() override;

  // Ends the current exchange; the default does nothing.
  virtual void Reset();
  // Attaches a child device to `parent` (its controller is inherited) and
  // stores its data id and settings. True.
  virtual bool InitV(KorvVDevice* parent, unsigned id, const Json::Value& settings);
  // Attaches a top-level device to its controller. True.
  virtual bool Init(std::weak_ptr<KorvController> controller, unsigned id,
                    const Json::Value& settings);
  // Reads the device's own settings; the default accepts any object (or none).
  // A refusal leaves its reason in SettingsError().
  virtual bool InitSetting(const Json::Value& settings);
  virtual bool IsSupportDevice(const std::string& type) const;
  virtual std::shared_ptr<KorvVDevice> GetChildVDevice(unsigned id);
  virtual std::vector<std::shared_ptr<KorvVDevice>> GetAllChildVDevices();
  // Publishes a data block of kind `kind`. True.
  virtual bool SendSP(int kind, const std::uint8_t* data, int len, bool delayed);
  virtual bool SendDelayData(int kind, const std::uint8_t* data, int len);
  virtual bool SendDoData(unsigned channel, int value);
  virtual bool ReadDi(unsigned channel, int& value);
  virtual bool ReadAi(unsigned channel, float& value);
  virtual bool Get_SP_Value(int kind, std::string& block);

  // Renders a "{}" log line through the controller; nothing without one.
  template <typename... Args>
  void InfoLog(const std::string& format, const Args&... args) const {
    if (auto controller = controller_.lock()) controller->InfoLog(DataId(), format, args...);
  }

  // Alarm checks (see KorvController::Check). True when the state changed.
  bool CheckThresholdBool(int level, const std::string& key, const std::string& code,
                          const std::string& name, const std::string& description, bool active,
                          std::uint16_t seq);
  bool CheckAlertMap(std::uint8_t value, int level, const std::string& key, const std::string& code,
                     const std::string& name, const std::string& description,
                     const std::map<std::uint8_t, std::string>& texts, std::uint16_t seq);
  // Hands `item` to the threshold worker; without a controller it runs here.
  void CheckThresholdWork(std::function<void()> item);
  // Runs the round's pending rules; the stand-in host has no rule source and
  // reports the batch to the observer. False: nothing crossed a threshold.
  bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
  // Writes a data block to the device history. True.
  bool SaveDeviceHistory(const std::uint8_t* data, int len);

  // Data-ready flag and last-update time: read and written whole, from any thread.
  bool IsDataReady() const { return ready_.load(std::memory_order_acquire); }
  void SetDataReady(bool ready) { ready_.store(ready, std::memory_order_release); }
  korv::LocalTime LastUpdate() const;
  void SetLastUpdate(const korv::LocalTime& t);
  // Whole seconds from the last update to now (negative after the clock went back).
  std::int64_t DataAgeSeconds() const;

  bool BatchResult() const { return batch_result_.load(std::memory_order_acquire); }
  // Why the last InitSetting refused the settings, naming the key (empty
  // after an accepted call): for the host to tell whoever wrote them.
  const std::string& SettingsError() const { return settings_error_; }
  std::shared_ptr<KorvController> Controller() const { return controller_.lock(); }
  KorvVDevice* Parent() const { return parent_; }
  const Json::Value& Settings() const { return settings_; }

 protected:
  std::shared_ptr<korv::HostObserver> Observer() const;
  // Records why InitSetting refuses (or clears it); returns false for a refusal.
  bool RefuseSettings(std::string reason);

  std::weak_ptr<KorvController> controller_;
  KorvVDevice* parent_ = nullptr;
  Json::Value settings_;
  std::string settings_error_;
  std::uint16_t alarm_seq_ = 0;    // alarm sequence number of the round's checks
  std::vector<rule_value> rules_;  // pending threshold rules of the round
  std::atomic<bool> batch_result_{false};
  // Set when a child published its round's block during the current exchange.
  std::atomic<bool> child_published_{false};

 private:
  std::atomic<bool> ready_{false};
  std::atomic<std::int64_t> last_update_{0};
};

class KorvSPDevice : public KorvVDevice {
 public:
  KorvSPDevice();
  ~KorvSPDevice() override;

  // Ends the exchange. When a child published its round's block during it,
  // the round is complete: the device becomes ready and its last-update time
  // moves to now (a protocol device then moves it back to its round's start,
  // see PMBusProtocol::Reset).
  void Reset() override;

  // False while an exchange is outstanding: no poll now.
  virtual bool RefreshStatus();
  // Bytes received from the line; the protocol layer decodes them.
  virtual void process(std::uint8_t* data, unsigned len);
  virtual bool IsProcessing() const;
  virtual bool IsStalled() const;
  // Writes bytes to the line; false without a line or when the write failed.
  virtual bool SendData(const std::uint8_t* data, unsigned len);
  virtual bool SendParityData(const std::uint8_t* data, unsigned len, int parity);
  virtual bool OpenPort(const std::string& path);
  virtual void ClosePort();

  // The line the device writes to (the polling engine attaches it).
  using LineWriter = std::function<bool(const std::uint8_t*, unsigned)>;
  void AttachLine(LineWriter writer);

  int BaudRate() const { return baud_rate_; }
  std::uint8_t OptionByte() const { return option_; }
  int PollCount() const { return poll_count_; }
  void CountPoll() { ++poll_count_; }

 protected:
  // Marks an exchange outstanding (a request went out).
  void BeginExchange();
  // Ends an exchange without a round end (timeout, refused answer).
  void EndExchange();

  int baud_rate_ = 9600;
  std::uint8_t option_ = 0;  // serial-device option byte (host-defined)
  int poll_count_ = 0;       // polls since the last request went out
  std::atomic<bool> processing_{false};
  std::atomic<std::uint64_t> requests_{0};

 private:
  LineWriter line_;
};
