#include "gateway/core/observer.h"

#include <fmt/format.h>
#include <syslog.h>

#include <utility>

#include "gateway/core/journal.h"
#include "gateway/core/store.h"
#include "plugin/io_codes.h"

namespace korv_host {

UnitTable::~UnitTable() = default;

Observer::Observer(UnitTable& units, Store& store, Output& output,
                   std::chrono::seconds history_every)
    : units_(units), store_(store), output_(output), history_every_(history_every) {}

void Observer::HistoryEvery(std::chrono::seconds every) {
  std::lock_guard<std::mutex> lock(history_mutex_);
  history_every_ = every;
}

void Observer::HistoryDue(unsigned device, const std::string& type) {
  std::lock_guard<std::mutex> lock(history_mutex_);
  history_[{device, type}].due = true;
}

Observer::UnitState& Observer::StateOf(unsigned unit) {
  std::lock_guard<std::mutex> lock(states_mutex_);
  return states_[unit];  // a map's elements stay where they are
}

void Observer::Restored(unsigned unit, KorvVDevice& child, const std::string& block) {
  const std::vector<std::uint8_t> bytes(block.begin(), block.end());
  Values(unit, child, Source::kCache, &bytes);
}

void Observer::Forget(unsigned unit) {
  std::lock_guard<std::mutex> lock(states_mutex_);
  const auto found = states_.find(unit);
  if (found == states_.end()) return;
  Keep(unit, found->second);
  states_.erase(found);
}

void Observer::Keep() {
  std::lock_guard<std::mutex> lock(states_mutex_);
  for (const auto& [unit, state] : states_) Keep(unit, state);
}

void Observer::Keep(unsigned unit, const UnitState& state) {
  for (const auto& [child, published] : state.blocks) {
    const auto& [device, type] = child;
    store_.SaveLastBlock(device, type, published.kind, published.block, unit);
    bool kept = false;
    {
      std::lock_guard<std::mutex> lock(history_mutex_);
      const auto found = history_.find(child);
      kept = found != history_.end() && found->second.block == published.block;
    }
    if (!kept) store_.SaveHistory(device, type, published.block, unit);
  }
}

void Observer::Values(unsigned unit, KorvVDevice& child, Source source,
                      const std::vector<std::uint8_t>* block) {
  if (block == nullptr) return;
  ValuesEvent told;
  told.device = child.DataId();
  told.type = child.DeviceType();
  told.source = source;
  std::shared_ptr<const ChildDescription>& description = StateOf(unit).children[&child];
  if (description == nullptr) {
    auto asked = std::make_shared<ChildDescription>();
    psma::BlockLayout layout;
    if (psma::BlockLayoutOf(child, layout, asked->error)) asked->layout = std::move(layout);
    description = std::move(asked);
  }
  told.description = description;
  if (description->layout) {
    psma::DecodeBlock(*description->layout, block->data(), block->size(), told.fields);
  }
  // Whether the round moved the screen's values beyond its thresholds.
  unsigned char changed = 0;
  int returned = 0;
  if (source == Source::kRound &&
      child.DeviceIoControl(psma::kIoValuesChanged, nullptr, 0, &changed, 1, returned) == 0 &&
      returned == 1) {
    told.changed = changed != 0;
  }
  output_.OnValues(unit, told);
}

void Observer::OnLog(unsigned device, const std::string& line) {
  unsigned unit = device;
  units_.UnitOfDevice(device, unit);
  output_.OnLog(unit, {device, line});
}

void Observer::OnAlarmCheck(const korv::AlarmCheck& c) {
  if (c.transition == korv::AlarmTransition::None) return;
  unsigned unit = 0;
  if (!units_.UnitOfChild(c.device, c.device_type, unit)) {
    store_.SaveAlarm(c);
    output_.OnAlarm(c.device, c);
    return;
  }
  store_.SaveAlarm(c, unit);
  HistoryDue(c.device, c.device_type);
  // Told under the round's header, when the exchange ends.
  UnitState& state = StateOf(unit);
  std::lock_guard<std::mutex> lock(states_mutex_);
  state.alarms.push_back(c);
}

void Observer::TellAlarms(unsigned unit, UnitState& state) {
  std::vector<korv::AlarmCheck> alarms;
  {
    std::lock_guard<std::mutex> lock(states_mutex_);
    alarms.swap(state.alarms);
  }
  for (const auto& c : alarms) output_.OnAlarm(unit, c);
}

void Observer::OnSendSP(unsigned device, const std::string& type, int kind,
                        const std::vector<std::uint8_t>& block, bool) {
  unsigned unit = 0;
  if (!units_.UnitOfChild(device, type, unit)) {
    store_.SaveLastBlock(device, type, kind, block);
    return;
  }
  UnitState& state = StateOf(unit);
  state.published = true;
  UnitState::Published& published = state.blocks[{device, type}];
  published.kind = kind;
  published.block = block;
  // The child tells whether this round moved its values before it
  // publishes; its history block comes later, from the threshold worker.
  for (const auto& child : units_.ChildrenOf(unit)) {
    if (child->DataId() != device || child->DeviceType() != type) continue;
    unsigned char changed = 0;
    int returned = 0;
    if (child->DeviceIoControl(psma::kIoValuesChanged, nullptr, 0, &changed, 1, returned) == 0 &&
        returned == 1 && changed != 0) {
      HistoryDue(device, type);
    }
    break;
  }
}

void Observer::OnSaveHistory(unsigned device, const std::string& type,
                             const std::vector<std::uint8_t>& block) {
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(history_mutex_);
    History& history = history_[{device, type}];
    const bool keep = history.due || !history.saved || *history.saved + history_every_ <= now;
    if (!keep) return;
    history.due = false;
    history.saved = now;
    history.block = block;
  }
  unsigned unit = device;
  units_.UnitOfChild(device, type, unit);
  store_.SaveHistory(device, type, block, unit);
}

void Observer::OnReset(unsigned unit) {
  UnitState& state = StateOf(unit);
  const auto first_request = state.first_request;
  state.first_request.reset();
  if (!state.published) {
    TellAlarms(unit, state);  // alarms of an exchange that completed no round
    return;
  }
  state.published = false;
  // The round is told whole before the runner counts it, so whoever waits
  // for the count sees all of it.
  RoundEvent round;
  round.round = ++state.rounds;
  if (first_request) {
    round.duration = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - *first_request);
  }
  output_.OnRound(unit, round);
  TellAlarms(unit, state);
  for (const auto& child : units_.ChildrenOf(unit)) {
    const auto block = state.blocks.find({child->DataId(), child->DeviceType()});
    Values(unit, *child, Source::kRound,
           block != state.blocks.end() ? &block->second.block : nullptr);
  }
  units_.RoundTold(unit, round.round);
}

void Observer::OnLinkError(unsigned unit, yd1363::Fault fault, const std::string& reason) {
  output_.OnFault(unit, {fault, reason});
}

void Observer::OnRequest(unsigned unit, std::uint8_t cid1, std::uint8_t cid2,
                         const std::vector<std::uint8_t>&) {
  UnitState& state = StateOf(unit);
  if (!state.first_request) state.first_request = std::chrono::steady_clock::now();
  output_.OnRequest(unit, {cid1, cid2});
}

void Observer::OnLinkState(unsigned unit, bool answering, const std::string& text) {
  output_.OnLinkState(unit, {answering, text});
  std::string port;
  int baud = 0;
  if (!units_.LineOf(unit, port, baud)) return;
  {
    std::lock_guard<std::mutex> lock(lines_mutex_);
    Line& line = lines_[port];
    if (answering) line.answered = true;
    // A line that cannot be opened says so itself; a silent one is asked
    // at the wrong address or rate, or not reached at all.
    if (answering || line.answered || line.told || text.rfind("not answering", 0) != 0) return;
    line.told = true;
  }
  Say(LOG_WARNING,
      fmt::format("line {}: no unit on it has answered since start: check each unit's "
                  "\"address\" against the unit's own, the line rate ({} baud) against the "
                  "unit's, the wiring (RS-485 A and B, the ground) and, behind a serial device "
                  "server, that its port is raw TCP at the same rate",
                  port, baud));
}

void Observer::OnLinkRounds(unsigned unit, bool completing, const std::string& text) {
  output_.OnLinkState(unit, {true, text, !completing});
}

}  // namespace korv_host
