// What the three children share: the hand-over of a round's work item to the
// threshold worker, whoever holds the device, the value keys each offers and
// what each key measures.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ac/psma_ac.h"
#include "dc/psma_dc.h"
#include "plugin/io_codes.h"
#include "plugin/providers.h"
#include "rc/psma_rc.h"
#include "support/host_fixture.h"
#include "support/json.h"

namespace {

using Calls = std::vector<std::string>;

class ChildDeviceTest : public testing_support::HostFixture {
 protected:
  // The calls of device 7's work item: handed over, rules run, block saved.
  Calls ItemCalls() const {
    Calls out;
    for (const auto& c : observer->Calls()) {
      for (const char* prefix : {"work 7", "batch 7 ", "save 7 "}) {
        if (c.rfind(prefix, 0) == 0) out.push_back(c);
      }
    }
    return out;
  }

  std::mutex gate_;
};

// A host may keep a provider's device by unique pointer: nothing can then
// keep it alive for the worker, so the item runs at once on the polling
// thread. A shared owner's device goes to the worker and lives until the item
// has run. The worker is held while the round ends, so where the item ran
// shows in the calls.
TEST_F(ChildDeviceTest, TheRoundsWorkItemNeverRunsOnAFreedDevice) {
  const struct {
    const char* type;
    KorvSPDevice* (*make)();
    int block;  // bytes a new device's round publishes
  } kinds[] = {
      {"psma-ac", [] { return PsmaACProvider().create(); }, 40},
      {"psma-dc", [] { return PsmaDCProvider().create(); }, 158},
      {"psma-rc", [] { return PsmaRCProvider().create(); }, 81},
  };
  for (const auto& kind : kinds) {
    for (const bool shared : {false, true}) {
      SCOPED_TRACE(std::string(kind.type) + (shared ? " held shared" : " held by unique_ptr"));
      const std::string save = "save 7 " + std::to_string(kind.block);
      const Calls ran = {"batch 7 0", save};
      const Calls queued = {"work 7"};
      const Calls queued_then_ran = {"work 7", "batch 7 0", save};
      observer->Clear();
      std::unique_lock<std::mutex> hold(gate_);
      controller->SubmitWork(0, [this] { std::lock_guard<std::mutex> wait(gate_); });

      std::unique_ptr<KorvSPDevice> owned(kind.make());
      std::shared_ptr<KorvSPDevice> owner;
      if (shared) owner.reset(owned.release());
      KorvSPDevice& device = shared ? *owner : *owned;
      ASSERT_EQ(device.DeviceType(), kind.type);
      device.Init(controller, 7, Json::Value());
      device.RoundDone();
      EXPECT_EQ(ItemCalls(), shared ? queued : ran);

      const std::weak_ptr<KorvSPDevice> watch = owner;
      owned.reset();
      owner.reset();
      EXPECT_EQ(watch.expired(), !shared) << "a queued item holds a shared device";
      hold.unlock();
      controller->DrainWork();
      EXPECT_TRUE(watch.expired());
      EXPECT_EQ(ItemCalls(), shared ? queued_then_ran : ran);
    }
  }
}

// The six fixed keys, then four per channel in channel order.
Calls AcKeys(int channels) {
  Calls keys = {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert"};
  for (int k = 0; k < channels; ++k) {
    for (const char* field : {"a", "b", "c", "f"}) {
      keys.push_back("channel_" + std::to_string(k) + "_" + field);
    }
  }
  return keys;
}

// An AC screen restored with `channels` channels.
std::shared_ptr<KorvVDevice> RestoredAC(int channels) {
  auto ac = std::make_shared<PsmaAC>();
  std::vector<std::uint8_t> block(sizeof(tele_c_psma_ac) +
                                  channels * sizeof(tele_c_psma_ac_channel));
  block[offsetof(tele_c_psma_ac, channel_count)] = static_cast<std::uint8_t>(channels);
  EXPECT_TRUE(ac->LoadFromCache(block.data(), static_cast<int>(block.size())));
  return ac;
}

template <typename Device>
std::shared_ptr<KorvVDevice> AfterARound() {
  auto device = std::make_shared<Device>();
  device->RoundDone();
  return device;
}

// Every listed key is served; the answer is 0 even for an empty list.
TEST_F(ChildDeviceTest, ValueKeysAreTheKeysGetValueServes) {
  const struct {
    const char* name;
    std::function<std::shared_ptr<KorvVDevice>()> make;
    Calls keys;
  } cases[] = {
      {"AC screen before its first round", [] { return std::make_shared<PsmaAC>(); }, {}},
      {"AC screen without channels", [] { return AfterARound<PsmaAC>(); }, AcKeys(0)},
      {"AC screen with two channels", [] { return RestoredAC(2); }, AcKeys(2)},
      {"AC screen with 255 channels", [] { return RestoredAC(255); }, AcKeys(255)},
      {"DC screen before its first round", [] { return std::make_shared<PsmaDC>(); }, {"v", "i"}},
      {"DC screen", [] { return AfterARound<PsmaDC>(); }, {"v", "i"}},
      {"rectifier group", [] { return AfterARound<PsmaRC>(); }, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto device = c.make();
    std::vector<char> room(1 << 15);
    int returned = -1;
    EXPECT_EQ(device->DeviceIoControl(psma::kIoValueKeys, nullptr, 0, room.data(),
                                      static_cast<int>(room.size()), returned),
              0);
    EXPECT_EQ(psma::ValueKeysOf(*device), c.keys);
    if (!device->IsDataReady()) continue;
    for (const auto& key : c.keys) EXPECT_NO_THROW(device->Get_Value(0, key)) << key;
  }
}

// A host's buffer that cannot hold the keys or their classes gets -1 and
// the room it needs, and not a byte is written into it.
TEST_F(ChildDeviceTest, AnswersTooBigForTheHostsRoomAreRefusedWithTheRoomTheyNeed) {
  const auto dc = AfterARound<PsmaDC>();
  for (const int code : {psma::kIoValueKeys, psma::kIoValueClasses}) {
    std::vector<char> room(256, 'x');
    int needed = -1;
    ASSERT_EQ(
        dc->DeviceIoControl(code, nullptr, 0, room.data(), static_cast<int>(room.size()), needed),
        0)
        << code;
    ASSERT_GT(needed, 0) << code;
    const struct {
      const char* name;
      bool null_out;
      int out_len;
    } cases[] = {
        {"no buffer, said to be big", true, 256},
        {"a negative length", false, -1},
        {"one byte short", false, needed - 1},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " " + std::to_string(code));
      std::vector<char> small(256, 'x');
      int returned = -1;
      EXPECT_EQ(dc->DeviceIoControl(code, nullptr, 0, c.null_out ? nullptr : small.data(),
                                    c.out_len, returned),
                -1);
      EXPECT_EQ(returned, needed);
      EXPECT_EQ(small, std::vector<char>(256, 'x'));
    }
  }
}

// Every key a child serves has its class, asked once, before any key is
// served; a key it never serves has none.
TEST_F(ChildDeviceTest, ValueClassesNameWhatEveryServedKeyMeasures) {
  using psma::ValueClass;
  const struct {
    const char* name;
    KorvSPDevice* (*fresh)();  // a new device of the kind: what a host asks at start
    std::function<std::shared_ptr<KorvVDevice>()> make;
    std::vector<std::pair<std::string, ValueClass>> measured;  // every key served now
  } cases[] = {
      {"AC screen with two channels",
       [] { return PsmaACProvider().create(); },
       [] { return RestoredAC(2); },
       {{"ia", ValueClass::kCurrent},
        {"ib", ValueClass::kCurrent},
        {"ic", ValueClass::kCurrent},
        {"ia_alert", ValueClass::kState},
        {"ib_alert", ValueClass::kState},
        {"ic_alert", ValueClass::kState},
        {"channel_0_a", ValueClass::kVoltage},
        {"channel_0_b", ValueClass::kVoltage},
        {"channel_0_c", ValueClass::kVoltage},
        {"channel_0_f", ValueClass::kFrequency},
        {"channel_1_a", ValueClass::kVoltage},
        {"channel_1_b", ValueClass::kVoltage},
        {"channel_1_c", ValueClass::kVoltage},
        {"channel_1_f", ValueClass::kFrequency}}},
      {"DC screen",
       [] { return PsmaDCProvider().create(); },
       [] { return AfterARound<PsmaDC>(); },
       {{"v", ValueClass::kVoltage}, {"i", ValueClass::kCurrent}}},
      {"rectifier group",
       [] { return PsmaRCProvider().create(); },
       [] { return AfterARound<PsmaRC>(); },
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<psma::KeyClass> rows =
        psma::ValueClassesOf(*std::unique_ptr<KorvSPDevice>(c.fresh()));
    const auto device = c.make();
    Calls keys;
    for (const auto& [key, value_class] : c.measured) {
      keys.push_back(key);
      const psma::KeyClass* row = psma::ClassOfKey(rows, key);
      ASSERT_NE(row, nullptr) << key;
      EXPECT_EQ(row->value_class, value_class) << key;
    }
    EXPECT_EQ(psma::ValueKeysOf(*device), keys);
    EXPECT_EQ(psma::ClassOfKey(rows, "channel_0_ab"), nullptr);
    EXPECT_EQ(psma::ClassOfKey(rows, "a_channel_0_a"), nullptr);
  }
}

// A screen reads no settings of its own: none, or any object, is taken;
// anything else is refused with its reason.
TEST(ChildSettings, NoneOrAnObjectIsTakenAnythingElseRefused) {
  const struct {
    const char* json;
    bool ok;
  } cases[] = {{"null", true}, {"{}", true}, {R"({"any": 1})", true}, {"[]", false}, {"3", false}};
  for (const auto& c : cases) {
    std::unique_ptr<KorvSPDevice> dc(PsmaDCProvider().create());
    EXPECT_EQ(dc->InitSetting(testing_support::ParseJson(c.json)), c.ok) << c.json;
    EXPECT_EQ(dc->SettingsError(), c.ok ? "" : "the settings must be an object") << c.json;
  }
}

// A key pattern's one '*' stands for any text, none included; the text on
// either side of it must not overlap.
TEST(ValueClassesOf, AKeyPatternsStarStandsForAnyTextAtAll) {
  const struct {
    const char* pattern;
    const char* key;
    bool matches;
  } cases[] = {
      {"channel_*_a", "channel_12_a", true},
      {"channel_*_a", "channel__a", true},
      {"channel_*_a", "channel_a", false},
      {"channel_*_a", "channel_0_ab", false},
      {"channel_*_a", "xchannel_0_a", false},
      {"v*", "v", true},
      {"*v", "v", true},
      {"*", "", true},
      {"v", "v", true},
      {"v", "vv", false},
      {"v", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(psma::KeyMatches(c.pattern, c.key), c.matches) << c.pattern << " " << c.key;
  }
}

// A device that answers kIoValueClasses with fixed bytes.
class Answers : public KorvVDevice {
 public:
  explicit Answers(std::string bytes) : bytes_(std::move(bytes)) {}
  float Get_Value(unsigned, const std::string&) const override { return 0; }
  using VDeviceInterface::LoadFromCache;
  bool LoadFromCache(const std::uint8_t*, int) override { return true; }
  int DeviceIoControl(int code, const void*, int, void* out, int out_len, int& returned) override {
    returned = static_cast<int>(bytes_.size());
    if (code != psma::kIoValueClasses && code != psma::kIoBlockLayout) return -2;
    if (out_len < returned) return -1;
    std::copy(bytes_.begin(), bytes_.end(), static_cast<char*>(out));
    return 0;
  }

 private:
  std::string bytes_;
};

// A host reads the rows a device answers and no further: a row cut short or
// of a class it does not know ends the list.
TEST(ValueClassesOf, ReadsWholeRowsOfKnownClassesOnly) {
  using namespace std::string_literals;
  const struct {
    std::string answer;
    std::vector<std::string> patterns;
  } cases[] = {
      {"v\0\x01i\0\x02"s, {"v", "i"}},
      {"v\0\x01i\0"s, {"v"}},   // the last row has no class byte
      {"v\0\x01i"s, {"v"}},     // nor its NUL
      {"v\0\x05i\0\x02"s, {}},  // a class after kNumber
      {""s, {}},
      {std::string(300, 'k') + "\0\x03"s, {std::string(300, 'k')}},  // more than the first room
  };
  for (const auto& c : cases) {
    Answers device(c.answer);
    std::vector<std::string> patterns;
    for (const auto& row : psma::ValueClassesOf(device)) patterns.push_back(row.pattern);
    EXPECT_EQ(patterns, c.patterns) << c.answer.size();
  }
}

// A host takes a device's description whole and sound or not at all, and
// decodes a block through it without reading at or past the block's end.
TEST(BlockLayoutOf, TakesASoundDescriptionAndDecodesOnlyInsideTheBlock) {
  const auto doc = [](const std::string& field) {
    return R"({"kind":5157,"stale_after_s":61,"fields":[)" + field + "]}";
  };
  const std::string module =
      R"({"name":"m{n}.i","type":"f32","offset":1,"count":3,"stride":5,"count_at":0,)"
      R"("class":"current","resolution":0.1,"placeholder":3184315597})";
  const std::string state = R"({"name":"s","type":"u8","offset":0,"class":"state",)"
                            R"("resolution":1,"states":{"2":"two"}})";
  // Count 2: 1.5 A, then the placeholder (-0.1), then a third the count
  // leaves out.
  const std::vector<std::uint8_t> two = {2,    0,    0, 0xc0, 0x3f, 0, 0xcd, 0xcc,
                                         0xcc, 0xbd, 0, 0,    0,    0, 0x40, 0};
  const struct {
    std::string answer;
    std::vector<std::uint8_t> block;
    std::string seen;  // the decoded elements, or the refusal
  } cases[] = {
      {doc(module), two, "m1.i=1.5 m2.i=none"},
      {doc(module + "," + state), {3, 0, 0, 0xc0, 0x3f, 0}, "m1.i=1.5 s=3"},  // 2nd cut short
      {doc(state), {2}, "s=two"},
      {doc(module), {}, ""},  // the count lies outside the block
      {doc(module + "," + module), two, "field \"m{n}.i\" twice"},
      {doc(R"({"name":"x{n}","type":"f32","offset":0,"count":2,"stride":3,"class":"number",)"
           R"("resolution":1})"),
       two, "field \"x{n}\": bad stride"},
      {doc(R"({"name":"x","type":"f32","offset":0,"count":2,"stride":4,"class":"number",)"
           R"("resolution":1})"),
       two, "field \"x\": bad name"},
      {doc(R"({"name":"x","type":"f32","offset":0,"class":"state","resolution":1})"), two,
       "field \"x\": a state is a u8, a value an f32"},
      {doc(R"({"name":"x","type":"f32","offset":65537,"class":"number","resolution":1})"), two,
       "field \"x\": bad offset"},
      {doc(R"({"name":"x","type":"f32","offset":0,"class":"number","resolution":0})"), two,
       "field \"x\": bad resolution"},
      {doc(R"({"name":"x","type":"f32","offset":0,"class":"number","resolution":1e-10})"), two,
       "field \"x\": bad resolution"},
      {doc(R"({"name":"X","type":"u8","offset":0,"class":"state","resolution":1})"), two,
       "field \"X\": bad name"},
      {doc(module) + "{}", two, "not a description"},
      {"", two, "no description"},
  };
  for (const auto& c : cases) {
    Answers device(c.answer);
    psma::BlockLayout layout;
    std::string seen;
    if (!psma::BlockLayoutOf(device, layout, seen)) {
      if (seen.rfind("not a description", 0) == 0) seen = "not a description";
    } else {
      std::vector<psma::FieldValue> values;
      psma::DecodeBlock(layout, c.block.data(), c.block.size(), values);
      for (const auto& v : values) {
        const psma::FieldLayout& f = layout.fields[v.field];
        seen += (seen.empty() ? "" : " ") + psma::ElementName(f.name, v.element + 1u) + "=";
        if (!v.present) {
          seen += "none";
        } else if (f.type == psma::FieldType::kU8) {
          seen += f.WordOf(v.code) ? *f.WordOf(v.code) : std::to_string(v.code);
        } else {
          seen += testing::PrintToString(v.value);
        }
      }
    }
    EXPECT_EQ(seen, c.seen) << c.answer;
  }
}

}  // namespace
