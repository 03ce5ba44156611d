#pragma once
// What the unit's three children (AC screen, DC screen, rectifier group)
// share: their settings (the data id into the record, the check and the
// reading of their own keys), one device lock, the locked parse with its
// gathered output, the check that data may be served, the hand-over of a
// round's work item to the host's threshold worker, and the answers to the
// plug-in's control codes.
//
// Threads: the polling thread parses answers and ends rounds, the host's
// cache restore may run on another thread, any host thread reads values and
// asks control codes, and the threshold worker runs each round's item. The
// records are guarded by `mutex_`; nothing that calls into the host or writes
// to standard output runs while it is held.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "child/deferred_output.h"
#include "host/korv_device.h"
#include "plugin/io_codes.h"

namespace psma {

class ChildDevice : public KorvSPDevice {
 public:
  ~ChildDevice() override;

  // Values this many whole seconds old or older are not served.
  static constexpr std::int64_t kStaleSeconds = 61;

  // Why a child of this kind cannot take `settings`, its element of the
  // root's settings, naming the key; "" when it can. The root asks each
  // element before it makes any child, so a refusal keeps the children it
  // has. None here; a kind with keys of its own hides this with its check.
  static std::string SettingsProblem(const Json::Value& settings);

  // Takes the data id into the record (SetRecordId, under the device lock),
  // then the child's own keys (TakeSettings, which may raise the JSON
  // library's conversion error before the host's InitV is reached), then
  // the host's InitV.
  bool InitV(KorvVDevice* parent, unsigned id, const Json::Value& settings) override;

  // kIoValuesChanged: whether the last round moved the values (one byte),
  // for a device that tells it, else -2. kIoValueKeys: ValueKeys().
  // kIoValueClasses: ValueClasses(). kIoBlockLayout: Layout(). Any other
  // code: the host's default (-2).
  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                      int& returned) override;

 protected:
  ChildDevice();

  // The record's data id; the device lock is held.
  virtual void SetRecordId(unsigned id) = 0;
  // The child's own keys of its settings element; none here.
  virtual void TakeSettings(const Json::Value& settings);

  // Throws std::out_of_range "数据未就绪" before the first round or restore,
  // and "数据已超时" once the data is kStaleSeconds old. A negative age (the
  // clock was set back) counts as fresh.
  void RequireServable() const;

  // Runs `body(DeferredOutput&)` under the device lock, then writes the log
  // and trace lines it gathered, in order, once the lock is free. Returns
  // what the body returns.
  template <typename Body>
  auto ParseLocked(Body&& body) -> decltype(body(std::declval<DeferredOutput&>())) {
    // The gathered output is the device's own and keeps its room between
    // parses; parse_mutex_ keeps two parsing threads off it (readers of the
    // records take only mutex_, so they never wait for the host's log).
    std::lock_guard<std::mutex> parsing(parse_mutex_);
    parse_out_.Clear();
    std::unique_lock<std::mutex> lock(mutex_);
    auto result = body(parse_out_);
    lock.unlock();
    parse_out_.Flush(*this);
    return result;
  }

  // A copy of `field`, one of the device's records, taken under the device
  // lock: consistent in itself on any thread.
  template <typename T>
  T CopyLocked(const T& field) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return field;
  }

  // A restored record is in place: the time first, so that a reader who
  // sees the ready flag never sees restored data as stale.
  void MarkRestored();

  // The round's pending rules and a copy of `block` (exactly what the round
  // sent) go to the threshold worker, which runs the rules and saves the
  // block. While a shared owner holds the device, the item holds it too, so
  // it lives until the item has run; without one nothing could keep it alive
  // for the worker, and the item runs here, on the calling thread. Room for
  // the next round's rules is kept, and the item's storage is reused from
  // round to round: a steady round allocates nothing here.
  void HandOverRound(const std::uint8_t* block, std::size_t len);

  // The answer to kIoValuesChanged; none (-2) unless a device tells it.
  virtual std::optional<bool> LastRoundMoved() const;
  // The keys Get_Value serves now, in the order a host should show them.
  virtual std::vector<std::string> ValueKeys() const = 0;
  // What every key the child may ever serve measures (kIoValueClasses).
  virtual std::vector<KeyClass> ValueClasses() const = 0;
  // The layout of the block the child publishes (kIoBlockLayout).
  virtual const BlockLayout& Layout() const = 0;

  // Guards the device's records.
  mutable std::mutex mutex_;

 private:
  // What one round hands to the threshold worker.
  struct RoundWork {
    std::shared_ptr<KorvVDevice> keep;  // the device, while the item is queued
    std::vector<rule_value> rules;
    std::vector<std::uint8_t> block;
  };
  std::unique_ptr<RoundWork> TakeRoundWork();
  // Runs the item, then gives its storage back to the free list.
  void RunRoundWork(RoundWork* work);

  std::mutex parse_mutex_;  // held over a whole ParseLocked, before mutex_
  DeferredOutput parse_out_;

  // Storage of items that have run, for the next rounds: the polling thread
  // takes, the worker gives back.
  std::mutex round_work_mutex_;
  std::vector<std::unique_ptr<RoundWork>> free_round_work_;
};

}  // namespace psma
