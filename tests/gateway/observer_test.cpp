// korv-host's observer: what the host calls of a unit's devices become for
// the outputs. A round is told when the unit's exchange ends after one of its
// children published, with the alarm events of that exchange and the values
// of all its children; everything else passes through as it came.

#include "gateway/core/observer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "child/layout_builder.h"
#include "gateway/core/field_text.h"
#include "gateway/core/store.h"
#include "plugin/io_codes.h"

namespace {

using korv_host::Observer;

// A screen with two values that tells whether its round moved them, or a
// group with none that tells nothing.
class Child : public KorvVDevice {
 public:
  Child(unsigned id, const char* type) {
    data_id_ = id;
    type_name_ = type;
  }
  float Get_Value(unsigned, const std::string& key) const override {
    if (type_name_ == "psma-dc" && key == "v") return 53.5f;
    if (type_name_ == "psma-dc" && key == "i") return 120.25f;
    throw std::out_of_range("no such key");
  }
  int class_asks = 0;
  using VDeviceInterface::LoadFromCache;
  bool LoadFromCache(const std::uint8_t*, int) override { return true; }
  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                      int& returned) override {
    if (type_name_ != "psma-dc") {
      return KorvVDevice::DeviceIoControl(code, in, in_len, out, out_len, returned);
    }
    if (code == psma::kIoValuesChanged)
      return psma::AnswerValuesChanged(true, out, out_len, returned);
    if (code == psma::kIoValueKeys)
      return psma::AnswerValueKeys({"v", "i"}, out, out_len, returned);
    if (code == psma::kIoBlockLayout) {
      ++class_asks;
      psma::BlockLayout layout;
      layout.kind = 5158;
      layout.stale_after_s = 61;
      layout.fields = {psma::layout::Value("output.voltage", 0, psma::ValueClass::kVoltage, 0.01),
                       psma::layout::Value("load.current", 4, psma::ValueClass::kCurrent, 0.1)};
      return psma::AnswerBlockLayout(psma::LayoutJson(layout), out, out_len, returned);
    }
    returned = 0;
    return -2;
  }
};

// A DC screen's block: 53.5 V, 120.25 A.
const std::string kDcBlock("\x00\x00\x56\x42\x00\x80\xf0\x42", 8);

// Unit 1: a DC screen (21) and the rectifier group (1).
class Units : public korv_host::UnitTable {
 public:
  bool UnitOfChild(unsigned device, const std::string& type, unsigned& unit) const override {
    for (const auto& child : children_) {
      if (child->DataId() == device && child->DeviceType() == type) {
        unit = 1;
        return true;
      }
    }
    return false;
  }
  bool UnitOfDevice(unsigned device, unsigned& unit) const override {
    for (const auto& child : children_) {
      if (child->DataId() == device || device == 1) {
        unit = 1;
        return true;
      }
    }
    return false;
  }
  const std::vector<std::shared_ptr<KorvVDevice>>& ChildrenOf(unsigned unit) const override {
    static const std::vector<std::shared_ptr<KorvVDevice>> none;
    return unit == 1 ? children_ : none;
  }
  void RoundTold(unsigned unit, int round) override {
    told.push_back(std::to_string(unit) + ":" + std::to_string(round));
  }

  KorvVDevice& dc() { return *children_[0]; }
  std::vector<std::string> told;

 private:
  std::vector<std::shared_ptr<KorvVDevice>> children_{std::make_shared<Child>(21, "psma-dc"),
                                                      std::make_shared<Child>(1, "psma-rc")};
};

class Events : public korv_host::Output {
 public:
  // The units of the first values told.
  std::vector<std::string> units;
  void OnRound(unsigned unit, const korv_host::RoundEvent& e) override {
    Add("round " + std::to_string(unit) + " " + std::to_string(e.round));
    durations.push_back(e.duration);
  }
  std::vector<std::optional<std::chrono::microseconds>> durations;
  void OnValues(unsigned unit, const korv_host::ValuesEvent& v) override {
    std::string line = "values " + std::to_string(unit) + " " + std::to_string(v.device) + " " +
                       v.type + " " + korv_host::SourceName(v.source);
    const auto* layout = v.description && v.description->layout ? &*v.description->layout : nullptr;
    for (const auto& f : v.fields) {
      line += " " + korv_host::FieldName(*layout, f) + "=" + korv_host::FieldExact(*layout, f);
    }
    if (v.changed) line += *v.changed ? " moved" : " steady";
    Add(line);
    if (units.empty() && v.description != nullptr) {
      for (const auto& f : v.fields) {
        units.push_back(psma::ValueUnit(korv_host::FieldOf(*layout, f).value_class));
      }
    }
  }
  void OnAlarm(unsigned unit, const korv_host::AlarmEvent& c) override {
    Add("alarm " + std::to_string(unit) + " " + std::to_string(c.device) + " " + c.key);
  }
  void OnLog(unsigned unit, const korv_host::LogEvent& e) override {
    Add("log " + std::to_string(unit) + " " + std::to_string(e.device) + " " + e.text);
  }
  void OnFault(unsigned unit, const korv_host::FaultEvent& e) override {
    Add("fault " + std::to_string(unit) + " " + yd1363::FaultText(e.fault) + " " + e.text);
  }
  void OnLinkState(unsigned unit, const korv_host::LinkEvent& e) override {
    Add("link " + std::to_string(unit) + " " + (e.answering ? "up " : "down ") + e.text);
  }
  std::vector<std::string> lines;

 private:
  void Add(std::string line) { lines.push_back(std::move(line)); }
};

korv::AlarmCheck Check(korv::AlarmTransition transition) {
  korv::AlarmCheck c;
  c.device = 21;
  c.device_type = "psma-dc";
  c.key = "DC_0";
  c.transition = transition;
  return c;
}

TEST(Observer, ARoundIsToldWhenTheExchangeEndsAfterAChildPublished) {
  // A child is told once it published a block: its fields as its block
  // holds them (none of a block too short for them).
  const std::string dc_round =
      "values 1 21 psma-dc round output.voltage=53.5 load.current=120.25 moved";
  const std::string dc_short = "values 1 21 psma-dc round moved";
  const std::string rc_round = "values 1 1 psma-rc round";
  const std::vector<std::uint8_t> block(kDcBlock.begin(), kDcBlock.end());
  const struct {
    const char* what;
    std::function<void(Observer&, Units&)> calls;
    std::vector<std::string> lines;
    std::vector<std::string> rounds;  // unit:round, as the runner hears them
  } cases[] = {
      {"a child published, then its unit's exchange ended",
       [&](Observer& o, Units&) {
         o.OnSendSP(21, "psma-dc", 5158, block, false);
         o.OnReset(1);
       },
       {"round 1 1", dc_round},
       {"1:1"}},
      {"an exchange that ends with nothing published",
       [](Observer& o, Units&) { o.OnReset(1); },
       {},
       {}},
      {"a block of no unit's child",
       [](Observer& o, Units&) {
         o.OnSendSP(99, "psma-dc", 5158, {}, false);
         o.OnReset(1);
       },
       {},
       {}},
      {"another device's exchange ends",
       [](Observer& o, Units&) {
         o.OnSendSP(1, "psma-rc", 5157, {}, false);
         o.OnReset(2);
       },
       {},
       {}},
      {"rounds count on; an end of exchange between them counts nothing",
       [](Observer& o, Units&) {
         o.OnSendSP(1, "psma-rc", 5157, {}, false);
         o.OnReset(1);
         o.OnReset(1);
         o.OnSendSP(21, "psma-dc", 5158, {1, 2}, true);
         o.OnReset(1);
       },
       {"round 1 1", rc_round, "round 1 2", dc_short, rc_round},
       {"1:1", "1:2"}},
      {"a child restored from the database",
       [](Observer& o, Units& units) { o.Restored(1, units.dc(), kDcBlock); },
       {"values 1 21 psma-dc cache output.voltage=53.5 load.current=120.25"},
       {}},
      {"a round's alarms: under its header, before its values",
       [](Observer& o, Units&) {
         o.OnSendSP(21, "psma-dc", 5158, {}, false);
         o.OnAlarmCheck(Check(korv::AlarmTransition::Raised));
         o.OnReset(1);
       },
       {"round 1 1", "alarm 1 21 DC_0", dc_short},
       {"1:1"}},
      {"alarm checks of an exchange without a round: only raises and clears, when it ends",
       [](Observer& o, Units&) {
         o.OnAlarmCheck(Check(korv::AlarmTransition::None));
         o.OnAlarmCheck(Check(korv::AlarmTransition::Raised));
         o.OnAlarmCheck(Check(korv::AlarmTransition::Cleared));
         o.OnReset(1);
         o.OnReset(1);
       },
       {"alarm 1 21 DC_0", "alarm 1 21 DC_0"},
       {}},
      {"an alarm held until its unit's exchange ends",
       [](Observer& o, Units&) { o.OnAlarmCheck(Check(korv::AlarmTransition::Raised)); },
       {},
       {}},
      {"an alarm of no unit's child (the root's model check): at once",
       [](Observer& o, Units&) {
         korv::AlarmCheck c = Check(korv::AlarmTransition::Raised);
         c.device = 1;
         c.device_type = "psma";
         c.key = "device_model";
         o.OnAlarmCheck(c);
       },
       {"alarm 1 1 device_model"},
       {}},
      {"log lines, faults and the link state",
       [](Observer& o, Units&) {
         o.OnLog(1, "AC screens: 1");
         o.OnLog(21, "DC screen: 1");
         o.OnLog(99, "no unit's");
         o.OnLinkError(1, yd1363::Fault::kTimeout, "no answer: 40/41");
         o.OnLinkError(1, yd1363::Fault::kPort, "port /dev/x open again");
         o.OnLinkState(1, false, "not answering");
         o.OnLinkState(1, true, "answering again");
       },
       {"log 1 1 AC screens: 1", "log 1 21 DC screen: 1", "log 99 99 no unit's",
        "fault 1 no answer no answer: 40/41", "fault 1 port port /dev/x open again",
        "link 1 down not answering", "link 1 up answering again"},
       {}},
  };
  for (const auto& c : cases) {
    Units units;
    korv_host::Store store;  // not opened: writes nothing
    Events events;
    Observer observer(units, store, events, std::chrono::seconds(0));
    c.calls(observer, units);
    EXPECT_EQ(events.lines, c.lines) << c.what;
    EXPECT_EQ(units.told, c.rounds) << c.what;
  }
}

// The observer asks a child once what its keys measure, and tells it with
// every value of the child.
TEST(Observer, AChildIsAskedOnceWhatItsKeysMeasure) {
  Units units;
  korv_host::Store store;
  Events events;
  Observer observer(units, store, events, std::chrono::seconds(0));
  observer.Restored(1, units.dc(), kDcBlock);
  for (int round = 0; round < 2; ++round) {
    observer.OnSendSP(21, "psma-dc", 5158, {}, false);
    observer.OnReset(1);
  }
  EXPECT_EQ(static_cast<Child&>(units.dc()).class_asks, 1);
  EXPECT_EQ(events.units, (std::vector<std::string>{"V", "A"}));
}

// A round lasts from the first request of its exchange, not its last one;
// a round whose exchange sent none has no duration.
TEST(Observer, ARoundLastsFromTheFirstRequestOfItsExchange) {
  Units units;
  korv_host::Store store;
  Events events;
  Observer observer(units, store, events, std::chrono::seconds(0));
  observer.OnRequest(1, 0x40, 0x41, {});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  observer.OnRequest(1, 0x42, 0x41, {});
  observer.OnSendSP(21, "psma-dc", 5158, {}, false);
  observer.OnReset(1);
  observer.OnSendSP(21, "psma-dc", 5158, {}, false);
  observer.OnReset(1);
  ASSERT_EQ(events.durations.size(), 2u);
  ASSERT_TRUE(events.durations[0].has_value());
  EXPECT_GE(*events.durations[0], std::chrono::milliseconds(50));
  EXPECT_FALSE(events.durations[1].has_value());
}

}  // namespace
