// korv-host's Setup on a site file with a value of the wrong type: one line
// that names the unit and the key, whichever layer reads the key.

#include <gtest/gtest.h>

#include <string>

#include "gateway/core/runner.h"
#include "support/json.h"

namespace {

TEST(SiteKeys, AWrongTypedValueNamesItsUnitAndKey) {
  const std::string ok = R"("type": "psma", "port": "/dev/x", "rcSetting": {})";
  const struct {
    std::string units;  // the "units" array
    std::string names;  // what the error must say
  } cases[] = {
      {"[{" + ok + R"(, "data_id": 1, "acSetting": [{"data_id": "x"}]}])",
       R"(site: units[0]: settings refused: "acSetting"[0] "data_id": )"},
      {"[{" + ok + R"(, "data_id": 1, "dcSetting": [{"data_id": 21}, {"data_id": [2]}]}])",
       R"(site: units[0]: settings refused: "dcSetting"[1] "data_id": )"},
      {"[{" + ok +
           R"(, "data_id": 1, "acSetting": [{"data_id": 11, "appSetting": {"diff_v": [5]}}]}])",
       R"(site: units[0]: "acSetting"[0] "appSetting" "diff_v" must be a number)"},
      {"[{" + ok +
           R"(, "data_id": 1, "dcSetting": [{"data_id": 21, "appSetting": {"diff_i": {}}}]}])",
       R"(site: units[0]: "dcSetting"[0] "appSetting" "diff_i" must be a number)"},
      {"[{" + ok +
           R"(, "data_id": 1, "acSetting": [{"data_id": 11, "appSetting": {"diff_v": "nan"}}]}])",
       R"(site: units[0]: "acSetting"[0] "appSetting" "diff_v" must be a number from 0 to 3.4e38)"},
      {"[{" + ok +
           R"(, "data_id": 1, "dcSetting": [{"data_id": 21, "appSetting": {"diff_i": "1e999"}}]}])",
       R"(site: units[0]: "dcSetting"[0] "appSetting" "diff_i" must be a number from 0 to 3.4e38)"},
      {"[{" + ok +
           R"(, "data_id": 1, "dcSetting": [{"data_id": 21, "appSetting": {"diff_v": -5}}]}])",
       R"(site: units[0]: "dcSetting"[0] "appSetting" "diff_v" must be a number from 0 to 3.4e38)"},
      // One data id names one device of the site.
      {"[{" + ok + R"(, "data_id": 1, "dcSetting": [{"data_id": 21}]}, {)" + ok +
           R"(, "data_id": 2, "dcSetting": [{"data_id": 21}]}])",
       "site: units[1]: the psma-dc with data_id 21 has the id of units[0]'s psma-dc"},
      {"[{" + ok + R"(, "data_id": 1, "dcSetting": [{"data_id": 21}, {"data_id": 21}]}])",
       "site: units[0]: the psma-dc with data_id 21 has the id of units[0]'s psma-dc"},
      {"[{" + ok + R"(, "data_id": 1, "acSetting": [{"data_id": 2}]}, {)" + ok +
           R"(, "data_id": 2}])",
       "site: units[0]: the psma-ac with data_id 2 has the id of units[1]"},
      {"[{" + ok + R"(, "data_id": 1, "address": "1"}])",
       R"(site: units[0]: "address" must be 0..255)"},
      {"[{" + ok + R"(, "data_id": 1, "answer_timeout_ms": "x"}])",
       R"(site: units[0]: "answer_timeout_ms" must be 1..60000)"},
      {"[{" + ok + R"(, "data_id": 1}, {)" + ok + R"(, "data_id": "x"}])",
       R"(site: units[1]: "data_id" must be a whole number)"},
      {R"([{"type": "psma", "data_id": 1, "port": 5, "rcSetting": {}}])",
       R"(site: units[0]: "port" must be a device path)"},
      {R"([{"type": "psma", "data_id": 1, "port": "", "rcSetting": {}}])",
       R"(site: units[0]: "port" must be a device path)"},
  };
  for (const auto& c : cases) {
    korv_host::Options options;
    options.site = testing_support::ParseJson(R"({"units": )" + c.units + "}");
    options.plugin = PSMA_PLUGIN_PATH;
    korv_host::Runner runner(options);
    std::string error;
    EXPECT_FALSE(runner.Setup(error)) << c.units;
    EXPECT_EQ(error.rfind(c.names, 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST(SiteKeys, AnUnknownKeyOrAWrongShapeNamesItsUnitAndKey) {
  const std::string ok = R"("type": "psma", "data_id": 1, "port": "/dev/x")";
  const struct {
    std::string units;  // the "units" array
    std::string error;  // the whole line
  } cases[] = {
      {"[{" + ok + R"(, "rcSetting": {}, "acSettings": []}])",
       R"(site: units[0]: unknown key "acSettings" (did you mean "acSetting"?))"},
      {"[{" + ok + R"(, "rcSetting": {}, "adress": 2}])",
       R"(site: units[0]: unknown key "adress" (did you mean "address"?))"},
      {"[{" + ok + R"(, "rcSetting": {}, "adres": 2}])",
       R"(site: units[0]: unknown key "adres" (did you mean "address"?))"},
      {"[{" + ok + R"(, "rcSetting": {}, "bogus": 1}])", R"(site: units[0]: unknown key "bogus")"},
      // Edits are counted alike in either case, a replaced letter as one.
      {"[{" + ok + R"(, "rcSetting": {}, "dcSetting": [{"DATA_ID": 21}]}])",
       R"(site: units[0]: "dcSetting"[0]: unknown key "DATA_ID" (did you mean "data_id"?))"},
      {"[{" + ok + R"(, "rcSetting": {}, "tipo": "psma"}])",
       R"(site: units[0]: unknown key "tipo" (did you mean "type"?))"},
      {"[{" + ok + R"(, "rcSetting": {"x": 1}}])",
       R"(site: units[0]: "rcSetting": unknown key "x")"},
      {"[{" + ok + R"(, "rcSetting": {}, "dcSetting": [{"data-id": 21}]}])",
       R"(site: units[0]: "dcSetting"[0]: unknown key "data-id" (did you mean "data_id"?))"},
      {"[{" + ok + R"(, "rcSetting": {}, "acSetting": [{"appSetting": {"diffv": 1}}]}])",
       R"(site: units[0]: "acSetting"[0] "appSetting": unknown key "diffv" (did you mean "diff_v"?))"},
      {"[{" + ok + R"(, "rcSetting": {}, "acSetting": {"data_id": 11}}])",
       R"(site: units[0]: "acSetting" must be an array of objects)"},
      {"[{" + ok + R"(, "rcSetting": {}, "dcSetting": [21]}])",
       R"(site: units[0]: "dcSetting"[0] must be an object)"},
      {"[{" + ok + R"(, "rcSetting": []}])", R"(site: units[0]: "rcSetting" must be an object)"},
      {"[{" + ok + R"(, "rcSetting": {}, "acSetting": [{"appSetting": [5]}]}])",
       R"(site: units[0]: "acSetting"[0] "appSetting" must be an object)"},
      {"[{" + ok + R"(, "rcSetting": {}, "acSetting": [{"appSetting": {"diff_v": "abc"}}]}])",
       R"(site: units[0]: "acSetting"[0] "appSetting" "diff_v" must be a number)"},
      {"[{" + ok + R"(, "rcSetting": {}, "dcSetting": [{"appSetting": {"diff_i": true}}]}])",
       R"(site: units[0]: "dcSetting"[0] "appSetting" "diff_i" must be a number)"},
      // The gateway's keys never reach the device; its own it checks itself.
      {"[{" + ok + R"(, "rcSetting": {}, "scenario": "s.json", "scenari": 1}])",
       R"(site: units[0]: unknown key "scenari" (did you mean "scenario"?))"},
      {"[{" + ok + R"(, "rcSetting": {}, "TYPE": "psma"}])",
       R"(site: units[0]: unknown key "TYPE" (did you mean "type"?))"},
      {"[{" + ok + R"(, "rcSetting": {}, "dcSetting": [{"appSetting": {"diff_v": "1 V"}}]}])",
       R"(site: units[0]: "dcSetting"[0] "appSetting" "diff_v" must be a number)"},
      {"[{" + ok + R"(, "rcSetting": {}}], "unit": 1)",
       R"(site: unknown key "unit" (did you mean "units"?))"},
  };
  for (const auto& c : cases) {
    korv_host::Options options;
    options.site = testing_support::ParseJson(R"({"units": )" + c.units + "}");
    options.plugin = PSMA_PLUGIN_PATH;
    korv_host::Runner runner(options);
    std::string error;
    EXPECT_FALSE(runner.Setup(error)) << c.units;
    EXPECT_EQ(error, c.error);
  }
}

TEST(SiteKeys, ANumberOrANumericTextIsAThreshold) {
  korv_host::Options options;
  options.site = testing_support::ParseJson(
      R"({"units": [{"type": "psma", "data_id": 1, "port": "/dev/null", "rcSetting": {},
          "scenario": "unused.json", "baud": 9600, "answer_timeout_ms": 500,
          "acSetting": [{"data_id": 11, "appSetting": {"diff_v": "5", "diff_i": 2.5}}],
          "dcSetting": [{"data_id": 21, "appSetting": {"diff_v": null}}]}]})");
  options.plugin = PSMA_PLUGIN_PATH;
  korv_host::Runner runner(options);
  std::string error;
  EXPECT_FALSE(runner.Setup(error));  // the port only
  EXPECT_NE(error.find("unit 1: not a serial port"), std::string::npos) << error;
}

}  // namespace
