// What the three children share: the hand-over of a round's work item to the
// threshold worker, whoever holds the device, and the value keys each offers.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ac/psma_ac.h"
#include "dc/psma_dc.h"
#include "plugin/io_codes.h"
#include "plugin/providers.h"
#include "rc/psma_rc.h"
#include "support/host_fixture.h"

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

}  // namespace
