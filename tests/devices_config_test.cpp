// Construction of the four devices, the children's thresholds and data ids,
// and the root's children from its settings.

#include <gtest/gtest.h>
#include <json/value.h>

#include <cstring>
#include <memory>

#include "plugin/providers.h"
#include "root/psma.h"
#include "support/json.h"

using testing_support::ParseJson;

namespace {

TEST(Providers, MakeDevicesWithTheirTypesAndDefaults) {
  std::unique_ptr<KorvSPDevice> root(PsmaProvider().create());
  auto* psma = dynamic_cast<Psma*>(root.get());
  ASSERT_NE(psma, nullptr);
  EXPECT_EQ(psma->DeviceType(), "psma");
  EXPECT_EQ(psma->SupportedModels(), (std::vector<std::string>{"PSM-A", "PSM-A10", "PSM-A7"}));
  EXPECT_EQ(psma->ProtocolVersion(), 0x20);
  EXPECT_EQ(psma->BaudRate(), 9600);
  EXPECT_EQ(psma->OptionByte(), 1);
  EXPECT_EQ(psma->Step(), 0);
  EXPECT_TRUE(psma->IdentifyPending());

  EXPECT_EQ(std::unique_ptr<KorvSPDevice>(PsmaACProvider().create())->DeviceType(), "psma-ac");
  EXPECT_EQ(std::unique_ptr<KorvSPDevice>(PsmaDCProvider().create())->DeviceType(), "psma-dc");
  EXPECT_EQ(std::unique_ptr<KorvSPDevice>(PsmaRCProvider().create())->DeviceType(), "psma-rc");
}

TEST(ChildDevices, NewRecordsAreZeroAndThresholdsHaveTheirDefaults) {
  PsmaAC ac;
  const auto& rec = ac.Record();
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&rec);
  EXPECT_TRUE(std::all_of(bytes, bytes + sizeof rec, [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(ac.Channels().empty());
  EXPECT_EQ(ac.DiffV(), 20.0f);
  EXPECT_EQ(ac.DiffI(), 20.0f);

  PsmaDC dc("PSM-A10");
  EXPECT_EQ(dc.DiffV(), 0.1f);
  EXPECT_EQ(dc.DiffI(), 20.0f);
  EXPECT_EQ(dc.ModelText(), "PSM-A10");
  EXPECT_EQ(PsmaDC().ModelText(), "");
}

TEST(ChildDevices, AppSettingThresholds) {
  struct Case {
    const char* settings;
    float ac_v, ac_i, dc_v, dc_i;
  } cases[] = {
      {R"({"appSetting": {"diff_v": "5"}})", 5.0f, 20.0f, 5.0f, 20.0f},
      {R"({"appSetting": {"diff_i": 2.5}})", 20.0f, 2.5f, 0.1f, 2.5f},
      {R"({"appSetting": {"diff_v": "0.5", "diff_i": 10}})", 0.5f, 10.0f, 0.5f, 10.0f},
      {R"({"appSetting": [1, 2]})", 20.0f, 20.0f, 0.1f, 20.0f},
      {R"({"appSetting": "diff_v"})", 20.0f, 20.0f, 0.1f, 20.0f},
      {R"({"appSetting": null})", 20.0f, 20.0f, 0.1f, 20.0f},
      {R"({"appSetting": {"diff_v": null, "diff_i": "abc"}})", 20.0f, 0.0f, 0.1f, 0.0f},
      {R"({"appSetting": {"diff_v": true, "diff_i": "7.25 volts"}})", 0.0f, 7.25f, 0.0f, 7.25f},
      {R"({})", 20.0f, 20.0f, 0.1f, 20.0f},
  };
  for (const auto& c : cases) {
    const Json::Value settings = ParseJson(c.settings);
    PsmaAC ac;
    PsmaDC dc;
    EXPECT_TRUE(ac.InitV(nullptr, 4, settings));
    EXPECT_TRUE(dc.InitV(nullptr, 7, settings));
    EXPECT_EQ(ac.DiffV(), c.ac_v) << c.settings;
    EXPECT_EQ(ac.DiffI(), c.ac_i) << c.settings;
    EXPECT_EQ(dc.DiffV(), c.dc_v) << c.settings;
    EXPECT_EQ(dc.DiffI(), c.dc_i) << c.settings;
    // Copied out: a packed record's field is no place for a reference.
    EXPECT_EQ(std::uint32_t{ac.Record().data_id}, 4u);
    EXPECT_EQ(std::uint32_t{dc.Record().data_id}, 7u);
    EXPECT_EQ(dc.DataId(), 7u);
  }
}

TEST(ChildDevices, ThresholdThatCannotBeTextRaisesBeforeTheHostInitV) {
  for (const char* text :
       {R"({"appSetting": {"diff_v": [1]}})", R"({"appSetting": {"diff_i": {"x": 1}}})"}) {
    PsmaAC ac;
    EXPECT_THROW(ac.InitV(nullptr, 9, ParseJson(text)), Json::Exception) << text;
    EXPECT_EQ(ac.DataId(), 0u) << "the host's InitV was not reached";
  }
}

TEST(ChildDevices, RectifierTakesItsIdWhateverItsSettings) {
  PsmaRC rc;
  EXPECT_TRUE(rc.InitV(nullptr, 3, ParseJson(R"({"appSetting": {"diff_v": [1]}})")));
  EXPECT_EQ(rc.Record().data_id, 3u);
}

Json::Value RootSettings(const char* text) { return ParseJson(text); }

std::vector<unsigned> Ids(const std::vector<std::shared_ptr<KorvVDevice>>& devices) {
  std::vector<unsigned> ids;
  for (const auto& d : devices) ids.push_back(d ? d->DataId() : 0xFFFFFFFFu);
  return ids;
}

TEST(RootSettings, CreatesChildrenAndFindsThemById) {
  Psma root;
  root.Init(std::weak_ptr<KorvController>(), 1, Json::Value());
  ASSERT_TRUE(root.InitSetting(RootSettings(
      R"({"acSetting": [{"data_id": 11}, {"data_id": 12}], "dcSetting": [{"data_id": 21}],
          "rcSetting": {}})")));
  EXPECT_EQ(root.GetChildVDevice(12), root.AcDevices()[1]);
  EXPECT_EQ(root.GetChildVDevice(21), root.DcDevices()[0]);
  EXPECT_EQ(root.GetChildVDevice(1), nullptr) << "the rectifier carries the root's id";
  EXPECT_EQ(Ids(root.GetAllChildVDevices()), (std::vector<unsigned>{11, 12, 21, 1}));
  EXPECT_EQ(root.GetAllChildVDevices().back()->DeviceType(), "psma-rc");
  EXPECT_EQ(root.RcDevice()->Parent(), &root);
  EXPECT_EQ(root.DcDevices()[0]->ModelText(), "");
}

TEST(RootSettings, ChildTopologyCases) {
  struct Case {
    const char* settings;
    bool result;
    std::vector<unsigned> children;  // data ids from GetAllChildVDevices
  } cases[] = {
      // A list or object of the wrong shape is refused before any child is made.
      {R"({"acSetting": {"data_id": 11}, "rcSetting": {}})", false, {}},
      {R"({"acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}]})", false, {11, 21}},
      {R"({"acSetting": [{"data_id": 5}, {"data_id": 5}], "rcSetting": {}})", true, {5, 5, 1}},
      {R"({"acSetting": [{}], "dcSetting": [{"data_id": null}], "rcSetting": {}})",
       true,
       {0, 0, 1}},
      {R"({"acSetting": [{}], "dcSetting": [{"data_id": null}], "rcSetting": 0})", false, {}},
      {R"({"dcSetting": [{"data_id": 4294967295}], "rcSetting": {}})", true, {4294967295u, 1}},
      {R"({"acSetting": [], "dcSetting": "x", "rcSetting": {}})", false, {}},
      {R"({"acSetting": [], "dcSetting": null, "rcSetting": {}})", true, {1}},
      {R"({"rcSetting": null})", false, {}},
  };
  for (const auto& c : cases) {
    Psma root;
    root.Init(std::weak_ptr<KorvController>(), 1, Json::Value());
    EXPECT_EQ(root.InitSetting(RootSettings(c.settings)), c.result) << c.settings;
    EXPECT_EQ(Ids(root.GetAllChildVDevices()), c.children) << c.settings;
  }
}

TEST(RootSettings, DuplicateIdsFindTheFirstChild) {
  Psma root;
  ASSERT_TRUE(root.InitSetting(
      RootSettings(R"({"acSetting": [{"data_id": 5}, {"data_id": 5}], "rcSetting": {}})")));
  EXPECT_EQ(root.GetChildVDevice(5), root.AcDevices()[0]);
}

TEST(RootSettings, DataIdThatAsUIntRefusesRaisesAndKeepsTheOldChildren) {
  Psma root;
  ASSERT_TRUE(
      root.InitSetting(RootSettings(R"({"acSetting": [{"data_id": 11}], "rcSetting": {}})")));
  for (const char* text : {R"({"acSetting": [{"data_id": -1}], "rcSetting": {}})",
                           R"({"acSetting": [{"data_id": "11"}], "rcSetting": {}})",
                           R"({"dcSetting": [{"data_id": 1e12}], "rcSetting": {}})"}) {
    EXPECT_THROW(root.InitSetting(RootSettings(text)), Json::Exception) << text;
    EXPECT_EQ(Ids(root.GetAllChildVDevices()), (std::vector<unsigned>{11, 0})) << text;
  }
}

TEST(RootSettings, SecondInitSettingReplacesTheChildren) {
  Psma root;
  const auto settings = RootSettings(
      R"({"acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}})");
  ASSERT_TRUE(root.InitSetting(settings));
  auto first_rc = root.RcDevice();
  ASSERT_TRUE(root.InitSetting(settings));
  EXPECT_EQ(root.AcDevices().size(), 1u);
  EXPECT_EQ(root.DcDevices().size(), 1u);
  EXPECT_NE(root.RcDevice(), first_rc);
}

// The settings describe the whole unit: a second call replaces every child
// and drops a kind it does not mention; a data id jsoncpp cannot read raises,
// naming the element, and keeps the old children; so does any refusal of
// the settings' keys and shapes, checked first.
TEST(RootSettings, SecondInitSettingDescribesTheWholeUnit) {
  struct Case {
    const char* second;
    bool result;
    std::vector<unsigned> children;
    bool polled;
    std::string error;  // SettingsError(), and the exception's text when it raises
    bool raises;
  } cases[] = {
      {R"({"acSetting": [{"data_id": 12}], "rcSetting": {}})", true, {12, 1}, true, "", false},
      {R"({"dcSetting": [{"data_id": 22}], "rcSetting": {}})", true, {22, 1}, true, "", false},
      {R"({"acSetting": [{"data_id": 12}], "dcSetting": [{"data_id": 22}]})",
       false,
       {12, 22},
       false,
       R"(there is no "rcSetting" object)",
       false},
      {R"({"acSetting": [{"data_id": 12}, {"data_id": "13"}], "rcSetting": {}})",
       false,
       {11, 21, 1},
       true,
       R"("acSetting"[1] "data_id": Value is not convertible to UInt.)",
       true},
      {R"({"acSetting": [{"data_id": 12}], "dcSetting": [{"data_id": -1}], "rcSetting": {}})",
       false,
       {11, 21, 1},
       true,
       R"("dcSetting"[0] "data_id": LargestInt out of UInt range)",
       true},
      // A screen checks its element before anything else is read.
      {R"({"acSetting": [{"data_id": 12}], "dcSetting": [{"data_id": 22, "appSetting": {"diff_i": {}}}], "rcSetting": {}})",
       false,
       {11, 21, 1},
       true,
       R"("dcSetting"[0] "appSetting" "diff_i" must be a number)",
       false},
      {R"({"address": 300, "acSetting": [{"data_id": "x"}, {"appSetting": {"diff_v": [5]}}], "rcSetting": {}})",
       false,
       {11, 21, 1},
       true,
       R"("acSetting"[1] "appSetting" "diff_v" must be a number)",
       false},
      // What the root does not read, it refuses, naming the key and where.
      {R"({"address": 300, "acSettings": [], "rcSetting": {}})",
       false,
       {11, 21, 1},
       true,
       R"(unknown key "acSettings" (did you mean "acSetting"?))",
       false},
      {R"({"port": "/dev/x", "rcSetting": {}})",
       false,
       {11, 21, 1},
       true,
       R"(unknown key "port")",
       false},
      {R"({"dcSetting": [{"data_id": 22}, {"Data_Id": 23}], "rcSetting": {}})",
       false,
       {11, 21, 1},
       true,
       R"("dcSetting"[1]: unknown key "Data_Id" (did you mean "data_id"?))",
       false},
      {R"({"acSetting": [{"appSetting": {"diff_v": 1, "diff": 2}}], "rcSetting": {}})",
       false,
       {11, 21, 1},
       true,
       R"("acSetting"[0] "appSetting": unknown key "diff" (did you mean "diff_v"?))",
       false},
      {R"({"rcSetting": {"data_id": 5}})",
       false,
       {11, 21, 1},
       true,
       R"("rcSetting": unknown key "data_id")",
       false},
      {R"({"acSetting": [[]], "rcSetting": {}})",
       false,
       {11, 21, 1},
       true,
       R"("acSetting"[0] must be an object)",
       false},
      {R"({"dcSetting": {}, "rcSetting": {}})",
       false,
       {11, 21, 1},
       true,
       R"("dcSetting" must be an array of objects)",
       false},
      {R"({"rcSetting": "x"})",
       false,
       {11, 21, 1},
       true,
       R"("rcSetting" must be an object)",
       false},
      {R"({"dcSetting": [{"appSetting": "5"}], "rcSetting": {}})",
       false,
       {11, 21, 1},
       true,
       R"("dcSetting"[0] "appSetting" must be an object)",
       false},
      // A threshold is a number or a text holding one and nothing else.
      {R"({"dcSetting": [{"appSetting": {"diff_v": "0.5", "diff_i": "7.25 volts"}}], "rcSetting": {}})",
       false,
       {11, 21, 1},
       true,
       R"("dcSetting"[0] "appSetting" "diff_i" must be a number)",
       false},
      {R"({"acSetting": [{"appSetting": {"diff_i": false}}], "rcSetting": {}})",
       false,
       {11, 21, 1},
       true,
       R"("acSetting"[0] "appSetting" "diff_i" must be a number)",
       false},
      {R"({"acSetting": [{"appSetting": {"diff_v": "-1e1"}}], "rcSetting": {}})",
       false,
       {11, 21, 1},
       true,
       R"("acSetting"[0] "appSetting" "diff_v" must be a number from 0 to 3.4e38)",
       false},
      {R"({"acSetting": [{"appSetting": {"diff_v": "1e1", "diff_i": null}}], "rcSetting": {}, "baud": 9600, "answer_timeout_ms": 500})",
       true,
       {0, 1},
       true,
       "",
       false},
  };
  for (const auto& c : cases) {
    Psma root;
    root.Init(std::weak_ptr<KorvController>(), 1, Json::Value());
    ASSERT_TRUE(root.InitSetting(RootSettings(
        R"({"acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}})")));
    const auto first = root.GetAllChildVDevices();
    if (c.raises) {
      try {
        root.InitSetting(RootSettings(c.second));
        ADD_FAILURE() << c.second;
      } catch (const Json::LogicError& e) {
        EXPECT_EQ(e.what(), c.error) << c.second;
      }
      EXPECT_EQ(root.GetAllChildVDevices(), first) << c.second;
    } else {
      EXPECT_EQ(root.InitSetting(RootSettings(c.second)), c.result) << c.second;
    }
    EXPECT_EQ(Ids(root.GetAllChildVDevices()), c.children) << c.second;
    EXPECT_EQ(root.SettingsError(), c.error) << c.second;
    EXPECT_EQ(root.RefreshStatus(), c.polled) << c.second;
  }
}

TEST(RootSettings, RefusedLinkSettingsCreateNoChild) {
  Psma root;
  EXPECT_FALSE(root.InitSetting(
      RootSettings(R"({"address": 300, "acSetting": [{"data_id": 11}], "rcSetting": {}})")));
  EXPECT_TRUE(root.GetAllChildVDevices().empty());
}

TEST(RootDevice, AcceptsAnyCacheBlockAndOffersNoValue) {
  Psma root;
  EXPECT_TRUE(root.LoadFromCache(nullptr, 0));
  EXPECT_TRUE(root.LoadFromCache(std::string("\x01\x02", 2)));
  for (const char* key : {"", "v", "channel_0_a"}) {
    try {
      root.Get_Value(0, key);
      ADD_FAILURE() << "no value expected for " << key;
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "数据未就绪");
    }
  }
}

}  // namespace
