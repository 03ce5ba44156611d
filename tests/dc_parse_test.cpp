// The DC screen's parse operations: what each portion stores, what it
// returns, the protocol-error lines and the trace line, on a device whose
// record already holds a full set of earlier values.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "answers/bytes.h"
#include "dc/psma_dc.h"
#include "root/psma.h"
#include "support/host_fixture.h"

using psma_answers::Bytes;
using Rec = tele_c_psma_dc;

namespace {

constexpr int kWhole = -1000;  // pass the whole answer as len

void SetF32(Rec& r, std::size_t offset, float f) {
  std::memcpy(reinterpret_cast<std::uint8_t*>(&r) + offset, &f, 4);
}
void SetBytes(Rec& r, std::size_t offset, std::vector<std::uint8_t> b) {
  std::memcpy(reinterpret_cast<std::uint8_t*>(&r) + offset, b.data(), b.size());
}
std::uint8_t* At(Rec& r, std::size_t offset) {
  return reinterpret_cast<std::uint8_t*>(&r) + offset;
}

// A record in which every field holds a value no answer below sends.
Rec Earlier() {
  Rec r;
  std::memset(&r, 0, sizeof r);
  r.data_id = 21;
  r.v = 1.0f;
  r.i = 2.0f;
  r.dc_m = 3;
  for (int k = 0; k < 3; ++k) SetF32(r, offsetof(Rec, m_value) + 4 * k, 3.5f + k);
  r.dc_n = 6;
  for (int k = 0; k < 6; ++k) SetF32(r, offsetof(Rec, n_value) + 4 * k, 10.0f + k);
  r.p_count = 5;
  for (int k = 0; k < 5; ++k) SetF32(r, offsetof(Rec, user_p) + 4 * k, 100.0f + k);
  r.dc_v_alert = 9;
  r.alert_m_count = 64;
  for (int k = 0; k < 64; ++k) *At(r, offsetof(Rec, alert_m_state) + k) = 0x80 + k;
  r.alert_p_count = 13;
  for (int k = 0; k < 13; ++k) *At(r, offsetof(Rec, alert_p_state) + k) = 0x40 + k;
  for (int k = 0; k < 7; ++k) *At(r, offsetof(Rec, round_time) + k) = 0x11 * (k + 1);
  return r;
}

// Where two records first differ, or "" when they are equal.
std::string Difference(const Rec& want, const Rec& got) {
  const auto* a = reinterpret_cast<const std::uint8_t*>(&want);
  const auto* b = reinterpret_cast<const std::uint8_t*>(&got);
  for (std::size_t k = 0; k < sizeof(Rec); ++k) {
    if (a[k] != b[k]) {
      return "first difference at offset " + std::to_string(k) + ": want " + std::to_string(a[k]) +
             " got " + std::to_string(b[k]);
    }
  }
  return "";
}

using Parse = int (PsmaDC::*)(const std::uint8_t*, int);

class DcParseTest : public testing_support::HostFixture {
 protected:
  void SetUp() override {
    HostFixture::SetUp();
    root = std::make_shared<Psma>();
    root->Init(controller, 1, Json::Value());
  }
  // A screen (data id 21) holding the earlier record.
  std::shared_ptr<PsmaDC> Screen() {
    auto d = std::make_shared<PsmaDC>();
    d->InitV(root.get(), 21, Json::Value());
    const Rec earlier = Earlier();
    EXPECT_TRUE(d->LoadFromCache(reinterpret_cast<const std::uint8_t*>(&earlier), sizeof earlier));
    return d;
  }
  // Feeds the first `len` bytes as an exact-size heap copy, so a read past
  // len is a read past the allocation.
  int Feed(PsmaDC& d, Parse op, const Bytes& answer, int len) {
    if (len == kWhole) len = answer.size();
    const int n = std::max(0, len);
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[n > 0 ? n : 1]);
    if (n > 0) std::memcpy(copy.get(), answer.data(), static_cast<std::size_t>(n));
    return (d.*op)(copy.get(), len);
  }
  std::vector<std::string> Logs() const {
    std::vector<std::string> out;
    for (const auto& c : observer->Calls("log")) out.push_back(c.substr(c.find(' ', 4) + 1));
    return out;
  }

  std::shared_ptr<Psma> root;
};

struct Case {
  const char* name;
  Bytes answer;
  int len;
  int result;
  std::function<void(Rec&)> stored;  // what the parse changes in Earlier()
  std::vector<std::string> logs;
  const char* trace = nullptr;  // 0x41 only
};

const char* const kDcM = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 21 read dc_m is ";
const char* const kDcN = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 21 read dc_n is ";
const char* const kUserP = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 21 read p_count is ";
const char* const kOver41 = "PMBusPowerAC:ProcotolError 21 read 42_41 read overflow ";
const char* const kOver44 = "PMBusPowerAC:ProcotolError 21 read 42_44 read overflow ";
const char* const kAlertP = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError 21 read 42_44 p is ";

void VI(Rec& r, float v, float i) {
  r.v = v;
  r.i = i;
}

TEST_F(DcParseTest, AnalogueAnswer) {
  const Bytes vi = Bytes().f32(53.5f).f32(120.25f);  // trace: 0 0 56 42
  const Case cases[] = {
      {"two groups, no user values, next screen follows",
       Bytes(vi).u8(2).f32(1.5f).f32(2.5f).u8(3).f32(7).f32(8).f32(9).u8(0).rep(0xAA, 9),
       kWhole,
       31,
       [](Rec& r) {
         VI(r, 53.5f, 120.25f);
         r.dc_m = 2;
         SetF32(r, offsetof(Rec, m_value), 1.5f);
         SetF32(r, offsetof(Rec, m_value) + 4, 2.5f);
         r.dc_n = 3;
         for (int k = 0; k < 3; ++k) SetF32(r, offsetof(Rec, n_value) + 4 * k, 7.0f + k);
         r.p_count = 0;
       },
       {},
       "parse 42 41: 0 0 56 42\n"},
      {"trace in lowercase hexadecimal without leading zeros",
       Bytes().u8s({0x43, 0x5A, 0x0F, 0x10}).f32(1).u8(0).u8(0).u8(0),
       kWhole,
       11,
       [](Rec& r) {
         SetBytes(r, offsetof(Rec, v), {0x43, 0x5A, 0x0F, 0x10});
         r.i = 1;
         r.dc_m = r.dc_n = r.p_count = 0;
       },
       {},
       "parse 42 41: 43 5a f 10\n"},
      {"m above 3 is kept and its values skipped",
       Bytes(vi).u8(4).f32(1).f32(2).f32(3).f32(4).u8(1).f32(5).u8(1).f32(6),
       kWhole,
       35,
       [](Rec& r) {
         VI(r, 53.5f, 120.25f);
         r.dc_m = 4;
         r.dc_n = 1;
         SetF32(r, offsetof(Rec, n_value), 5);
         r.p_count = 1;
         SetF32(r, offsetof(Rec, user_p), 6);
       },
       {std::string(kDcM) + "4, MAX_M is 3"}},
      {"n above 6 is kept and its values skipped",
       Bytes(vi).u8(0).u8(7).rep(0x01, 28).u8(0),
       kWhole,
       39,
       [](Rec& r) {
         VI(r, 53.5f, 120.25f);
         r.dc_m = 0;
         r.dc_n = 7;
         r.p_count = 0;
       },
       {std::string(kDcN) + "7, MAX_N is 6"}},
      {"p above 5 takes the whole rest of the field",
       Bytes(vi).u8(0).u8(0).u8(6).rep(0x02, 24).rep(0xAA, 10),
       kWhole,
       45,
       [](Rec& r) {
         VI(r, 53.5f, 120.25f);
         r.dc_m = r.dc_n = 0;
         r.p_count = 6;
       },
       {std::string(kUserP) + "6, support user_p max is 5"}},
      {"p above 5 returns len even when its values are missing",
       Bytes(vi).u8(0).u8(0).u8(6).u8(1),
       kWhole,
       12,
       [](Rec& r) {
         VI(r, 53.5f, 120.25f);
         r.dc_m = r.dc_n = 0;
         r.p_count = 6;
       },
       {std::string(kUserP) + "6, support user_p max is 5"}},
      {"every count over its capacity logs in order",
       Bytes(vi).u8(4).rep(0, 16).u8(7).rep(0, 28).u8(255),
       kWhole,
       55,
       [](Rec& r) {
         VI(r, 53.5f, 120.25f);
         r.dc_m = 4;
         r.dc_n = 7;
         r.p_count = 255;
       },
       {std::string(kDcM) + "4, MAX_M is 3", std::string(kDcN) + "7, MAX_N is 6",
        std::string(kUserP) + "255, support user_p max is 5"}},
      {"user values: four equal non-zero bytes are -0.1, zero bytes 0.0",
       Bytes(vi).u8(0).u8(0).u8(5).rep(0x20, 4).rep(0xFF, 4).rep(0, 4).u8s({1, 1, 1, 2}).f32(3.25f),
       kWhole,
       31,
       [](Rec& r) {
         VI(r, 53.5f, 120.25f);
         r.dc_m = r.dc_n = 0;
         r.p_count = 5;
         SetBytes(r, offsetof(Rec, user_p),
                  {0xCD, 0xCC, 0xCC, 0xBD, 0xCD, 0xCC, 0xCC, 0xBD, 0, 0, 0, 0, 1, 1, 1, 2});
         SetF32(r, offsetof(Rec, user_p) + 16, 3.25f);
       },
       {}},
      {"one byte short: the p count lies beyond len",
       Bytes(vi).u8(2).f32(1.5f).f32(2.5f).u8(3).f32(7).f32(8).f32(9).u8(0),
       30,
       -1,
       [](Rec& r) {
         VI(r, 53.5f, 120.25f);
         r.dc_m = 2;
         SetF32(r, offsetof(Rec, m_value), 1.5f);
         SetF32(r, offsetof(Rec, m_value) + 4, 2.5f);
         r.dc_n = 3;
         for (int k = 0; k < 3; ++k) SetF32(r, offsetof(Rec, n_value) + 4 * k, 7.0f + k);
       },
       {std::string(kOver41) + "31 - 30"}},
      {"a group crossing the end stores none of its values",
       Bytes(vi).u8(3).f32(7).f32(8),
       kWhole,
       -1,
       [](Rec& r) {
         VI(r, 53.5f, 120.25f);
         r.dc_m = 3;
       },
       {std::string(kOver41) + "23 - 17"}},
      {"user values crossing the end are not stored",
       Bytes(vi).u8(1).f32(7).u8(1).f32(8).u8(2).f32(9),
       kWhole,
       -1,
       [](Rec& r) {
         VI(r, 53.5f, 120.25f);
         r.dc_m = 1;
         SetF32(r, offsetof(Rec, m_value), 7);
         r.dc_n = 1;
         SetF32(r, offsetof(Rec, n_value), 8);
         r.p_count = 2;
       },
       {std::string(kOver41) + "27 - 23"}},
      {"skipped group running past the end",
       Bytes(vi).u8(4).rep(0x01, 10),
       kWhole,
       -1,
       [](Rec& r) {
         VI(r, 53.5f, 120.25f);
         r.dc_m = 4;
       },
       {std::string(kDcM) + "4, MAX_M is 3", std::string(kOver41) + "27 - 19"}},
      {"current crossing the end: only the voltage",
       Bytes(vi),
       6,
       -1,
       [](Rec& r) { r.v = 53.5f; },
       {std::string(kOver41) + "11 - 6"},
       "parse 42 41: 0 0 56 42\n"},
      {"two bytes: the trace shows what is there",
       Bytes().u8s({0x43, 0x5A}),
       kWhole,
       -1,
       [](Rec&) {},
       {std::string(kOver41) + "11 - 2"},
       "parse 42 41: 43 5a\n"},
      {"no bytes",
       Bytes(),
       kWhole,
       -1,
       [](Rec&) {},
       {std::string(kOver41) + "11 - 0"},
       "parse 42 41:\n"},
      {"negative len reads nothing",
       Bytes(vi),
       -1,
       -1,
       [](Rec&) {},
       {std::string(kOver41) + "11 - -1"},
       "parse 42 41:\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto d = Screen();
    observer->Clear();
    testing::internal::CaptureStdout();
    const int result = Feed(*d, &PsmaDC::parse42_41, c.answer, c.len);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, c.result);
    Rec want = Earlier();
    c.stored(want);
    EXPECT_EQ(Difference(want, d->Record()), "");
    EXPECT_EQ(Logs(), c.logs);
    if (c.trace != nullptr) {
      EXPECT_EQ(out, c.trace);
    }
  }
}

TEST_F(DcParseTest, AlarmAnswer) {
  Bytes full_m;
  for (int k = 0; k < 64; ++k) full_m.u8(k == 4 ? 3 : 0);
  Bytes seventy;
  for (int k = 0; k < 70; ++k) seventy.u8(k);
  const Case cases[] = {
      {"full lists, next screen follows",
       Bytes().u8(1).u8(64).append(full_m).u8(13).rep(0xE4, 13).rep(0xAA, 5),
       kWhole,
       80,
       [&](Rec& r) {
         r.dc_v_alert = 1;
         r.alert_m_count = 64;
         std::memcpy(At(r, offsetof(Rec, alert_m_state)), full_m.data(), 64);
         std::memset(At(r, offsetof(Rec, alert_p_state)), 0xE4, 13);
       },
       {}},
      {"short lists keep the entries behind them",
       Bytes().u8(2).u8(2).u8s({3, 0}).u8(1).u8(0xE1),
       kWhole,
       6,
       [](Rec& r) {
         r.dc_v_alert = 2;
         r.alert_m_count = 2;
         SetBytes(r, offsetof(Rec, alert_m_state), {3, 0});
         r.alert_p_count = 1;
         SetBytes(r, offsetof(Rec, alert_p_state), {0xE1});
       },
       {}},
      {"70 fuses: the first 64 kept, nothing logged, all 70 counted",
       Bytes().u8(0).u8(70).append(seventy).u8(0),
       kWhole,
       73,
       [&](Rec& r) {
         r.dc_v_alert = 0;
         r.alert_m_count = 70;
         std::memcpy(At(r, offsetof(Rec, alert_m_state)), seventy.data(), 64);
         r.alert_p_count = 0;
       },
       {}},
      {"14 user states: logged, the first 13 kept",
       Bytes().u8(0).u8(0).u8(14).u8s({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}),
       kWhole,
       17,
       [](Rec& r) {
         r.dc_v_alert = 0;
         r.alert_m_count = 0;
         r.alert_p_count = 14;
         SetBytes(r, offsetof(Rec, alert_p_state), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
       },
       {std::string(kAlertP) + "14,  alert_p is 13"}},
      {"fuse states crossing the end are not stored",
       Bytes().u8(1).u8(5).u8s({3, 3, 3}),
       kWhole,
       -1,
       [](Rec& r) {
         r.dc_v_alert = 1;
         r.alert_m_count = 5;
       },
       {std::string(kOver44) + "8 - 5"}},
      {"70 fuses of which 66 arrive",
       Bytes().u8(0).u8(70).rep(3, 66),
       kWhole,
       -1,
       [](Rec& r) {
         r.dc_v_alert = 0;
         r.alert_m_count = 70;
       },
       {std::string(kOver44) + "73 - 68"}},
      {"the user count lies beyond len",
       Bytes().u8(0).u8(2).u8s({3, 3}),
       kWhole,
       -1,
       [](Rec& r) {
         r.dc_v_alert = 0;
         r.alert_m_count = 2;
         SetBytes(r, offsetof(Rec, alert_m_state), {3, 3});
       },
       {std::string(kOver44) + "5 - 4"}},
      {"14 user states of which 10 arrive: both lines",
       Bytes().u8(0).u8(0).u8(14).rep(2, 10),
       kWhole,
       -1,
       [](Rec& r) {
         r.dc_v_alert = 0;
         r.alert_m_count = 0;
         r.alert_p_count = 14;
       },
       {std::string(kAlertP) + "14,  alert_p is 13", std::string(kOver44) + "17 - 13"}},
      {"no bytes", Bytes(), kWhole, -1, [](Rec&) {}, {std::string(kOver44) + "3 - 0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto d = Screen();
    observer->Clear();
    testing::internal::CaptureStdout();
    const int result = Feed(*d, &PsmaDC::parse42_44, c.answer, c.len);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no trace for alarm states
    EXPECT_EQ(result, c.result);
    Rec want = Earlier();
    c.stored(want);
    EXPECT_EQ(Difference(want, d->Record()), "");
    EXPECT_EQ(Logs(), c.logs);
  }
}

}  // namespace
