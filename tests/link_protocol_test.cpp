// The protocol layer on the receiving side: answers from the line to the
// answer frame, link faults to process_error, and loss of contact told once.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <json/reader.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/pmbus_protocol.h"
#include "support/host_fixture.h"

using testing_support::HostFixture;

namespace {

const std::uint8_t kGroup = 0xFF;

class Probe : public PMBusProtocol {
 public:
  Probe() { type_name_ = "probe"; }
  using VDeviceInterface::LoadFromCache;
  bool LoadFromCache(const std::uint8_t*, int) override { return true; }
  bool process_payload() override {
    answers.emplace_back(answer_, answer_ + answer_len_);
    if (reply) write_pmbus_cmd(0x41, 0x41);
    return true;
  }
  void Feed(const std::string& s) {
    std::vector<std::uint8_t> b(s.begin(), s.end());
    process(b.data(), static_cast<unsigned>(b.size()));
  }
  std::vector<std::vector<std::uint8_t>> answers;
  bool reply = false;
};

class States : public testing_support::RecordingObserver {
 public:
  void OnLinkState(unsigned device, bool answering, const std::string& text) override {
    std::lock_guard<std::mutex> lock(m);
    lines.push_back(std::to_string(device) + (answering ? " up " : " down ") + text);
  }
  void OnLinkRounds(unsigned device, bool completing, const std::string& text) override {
    std::lock_guard<std::mutex> lock(m);
    lines.push_back(std::to_string(device) + (completing ? " rounds " : " no rounds ") + text);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(m);
    return lines;
  }
  std::mutex m;
  std::vector<std::string> lines;
};

std::string Answer(std::uint8_t adr, std::uint8_t cid1, std::uint8_t rtn,
                   std::vector<std::uint8_t> info = {}) {
  std::vector<std::uint8_t> out;
  yd1363::EncodeRequest(0x20, adr, cid1, rtn, info.data(), static_cast<unsigned>(info.size()), out);
  return {out.begin(), out.end()};
}

// An answer whose LENGTH says `lenid` INFO characters, with its length and
// frame checksums right.
std::string WrongLength(std::uint8_t adr, std::uint8_t cid1, std::vector<std::uint8_t> info,
                        std::uint16_t lenid) {
  std::vector<std::uint8_t> out;
  yd1363::EncodeRequest(0x20, adr, cid1, 0x00, info.data(), static_cast<unsigned>(info.size()),
                        out);
  const std::string length = fmt::format("{:04X}", yd1363::LengthWord(lenid));
  std::copy(length.begin(), length.end(), out.begin() + 9);
  const std::uint16_t chk = yd1363::FrameChecksum(out.data() + 1, out.size() - 6);
  const std::string sum = fmt::format("{:04X}", chk);
  std::copy(sum.begin(), sum.end(), out.end() - 5);
  return {out.begin(), out.end()};
}

class LinkProtocolTest : public HostFixture {
 protected:
  void SetUp() override {
    HostFixture::SetUp();
    states = std::make_shared<States>();
    controller->SetObserver(states);
    probe = std::make_shared<Probe>();
    probe->Init(controller, 1, Json::Value());
    probe->AttachLine([this](const std::uint8_t* b, unsigned n) {
      sent.emplace_back(b, b + n);
      return true;
    });
  }
  std::vector<std::string> Links() { return states->Calls("link"); }

  std::shared_ptr<States> states;
  std::shared_ptr<Probe> probe;
  std::vector<std::string> sent;
};

TEST_F(LinkProtocolTest, AnswerBecomesTheAnswerFrame) {
  probe->write_pmbus_cmd(0x42, 0x41);
  probe->Feed(Answer(0x01, 0x42, 0x00, {0x00, 0x01, 0xAB}));
  ASSERT_EQ(probe->answers.size(), 1u);
  // version, address, CID1, return code, LENID low/high (6 = 0x006), INFO.
  EXPECT_EQ(probe->answers[0],
            (std::vector<std::uint8_t>{0x20, 0x01, 0x42, 0x00, 0x06, 0x00, 0x00, 0x01, 0xAB}));
  EXPECT_FALSE(probe->IsProcessing()) << "no new request: the exchange is over";
  EXPECT_TRUE(Links().empty());
}

TEST_F(LinkProtocolTest, ReturnCodesEndTheExchangeWithTheirText) {
  const struct {
    std::uint8_t adr, rtn;
    const char* text;
    yd1363::Fault fault = yd1363::Fault::kReturnCode;
  } cases[] = {
      {1, 0x01, "link 1 return code: 01 (VER error) (answer to 40/41)"},
      {1, 0x02, "link 1 return code: 02 (CHKSUM error) (answer to 40/41)"},
      {1, 0x03, "link 1 return code: 03 (LCHKSUM error) (answer to 40/41)"},
      {1, 0x04, "link 1 return code: 04 (CID2 invalid) (answer to 40/41)"},
      {1, 0x05, "link 1 return code: 05 (command format error) (answer to 40/41)"},
      {1, 0x06, "link 1 return code: 06 (invalid data) (answer to 40/41)"},
      {1, 0xE7, "link 1 return code: E7 (unknown) (answer to 40/41)"},
  };
  for (const auto& c : cases) {
    states->Clear();
    probe->write_pmbus_cmd(0x40, 0x41);
    probe->Feed(Answer(c.adr, 0x40, c.rtn));
    EXPECT_EQ(Links(), (std::vector<std::string>{c.text}));
    EXPECT_EQ(states->Faults(), (std::vector<yd1363::Fault>{c.fault})) << c.text;
    EXPECT_FALSE(probe->IsProcessing());
  }
  EXPECT_TRUE(probe->answers.empty());
}

// A unit told lost hears each input in turn: only a valid frame from its own
// address is contact; another address's frame and an echo of the request
// leave the exchange open for the answer behind them.
TEST_F(LinkProtocolTest, OnlyAValidFrameFromTheAskedAddressIsContact) {
  for (int k = 0; k < 5; ++k) {
    probe->write_pmbus_cmd(0x40, 0x41);
    probe->AnswerTimedOut();
  }
  std::vector<std::uint8_t> request;
  yd1363::EncodeRequest(0x20, 1, 0x40, 0x41, &kGroup, 1, request);
  const std::string echo(request.begin(), request.end());
  const std::string stray = "link 1 wrong address: from address 2, expected 1 (answer to 40/41)";
  const std::string echoed =
      "link 1 echo: the request to 40/41 came back from the line; echoes are skipped";
  using yd1363::Fault;
  const struct {
    std::string input;
    std::vector<std::string> links;
    std::vector<Fault> faults;  // an echo is no fault of the unit's
    bool open, answering;
  } cases[] = {
      {Answer(2, 0x40, 0x00), {stray}, {Fault::kWrongAddress}, true, false},
      {Answer(0, 0x40, 0x00),
       {"link 1 wrong address: from address 0, expected 1 (answer to 40/41)"},
       {Fault::kWrongAddress},
       true,
       false},
      {"~21012A000000FDA8\r",
       {"link 1 bad checksum: CHKSUM FDA8, computed FDA9 (answer to 40/41)"},
       {Fault::kBadChecksum},
       false,
       false},
      {echo, {echoed}, {Fault::kNone}, true, false},
      {echo, {}, {}, true, false},  // told once
      // Another master asking the unit: a command in CID2 is no answer.
      {Answer(1, 0x42, 0x44),
       {"link 1 another master's request 42/44 to address 1 skipped"},
       {Fault::kNone},
       true,
       false},
      {Answer(2, 0x40, 0x00) + Answer(1, 0x40, 0x00, {7}),
       {stray},
       {Fault::kWrongAddress},
       false,
       true},
  };
  for (const auto& c : cases) {
    states->Clear();
    probe->write_pmbus_cmd(0x40, 0x41, &kGroup, 1);
    probe->Feed(c.input);
    EXPECT_EQ(Links(), c.links) << c.input;
    EXPECT_EQ(states->Faults(), c.faults) << c.input;
    EXPECT_EQ(probe->IsProcessing(), c.open) << c.input;
    EXPECT_EQ(probe->Answering(), c.answering) << c.input;
  }
  EXPECT_EQ(probe->Echoes(), 2u);
  ASSERT_EQ(probe->answers.size(), 1u);
  EXPECT_EQ(probe->answers[0].back(), 7);
}

// A fault that repeats is told once a repeat window with its count; the unit
// that keeps answering with faults is asked less often and told completing
// no round, until a round completes.
TEST_F(LinkProtocolTest, RepeatedFaultsAreToldOnceAWindowWithTheirCountAndWaitedFor) {
  controller->SetRepeatWindow(60);
  auto child = std::make_shared<Probe>();
  child->InitV(probe.get(), 2, Json::Value());
  const std::string rtn = "link 1 return code: 04 (CID2 invalid) (answer to 40/41)";
  const std::string rtn5 = "link 1 return code: 05 (command format error) (answer to 40/41)";
  const std::string stray = "link 1 wrong address: from address 2, expected 1 (answer to 40/41)";
  const std::string length =
      "link 1 bad length: frame of 18 characters, its LENGTH announces 20 (answer to 40/41)";
  const struct {
    int advance;
    std::string input;  // "round": a round completes
    std::vector<std::string> links;
    bool waits;  // the next poll waits
  } rows[] = {
      {0, Answer(1, 0x40, 0x04), {rtn}, false},  // the first is asked again at once
      {0, Answer(1, 0x40, 0x04), {}, true},
      {1, Answer(1, 0x40, 0x04), {}, true},
      {0, Answer(1, 0x40, 0x04), {}, true},
      {0, Answer(1, 0x40, 0x04), {}, true},  // the fifth in a row: no round completes
      {60, Answer(1, 0x40, 0x04), {rtn + " (repeated 4 times)", rtn}, true},
      {0, Answer(1, 0x40, 0x04), {}, true},
      {0, Answer(1, 0x40, 0x05), {rtn + " (repeated 1 times)", rtn5}, true},  // another text
      {0, Answer(2, 0x40, 0) + Answer(2, 0x40, 0) + Answer(2, 0x40, 0), {stray}, true},
      {0, WrongLength(1, 0x40, {7}, 4), {stray + " (repeated 2 times)", length}, true},
      {0, WrongLength(1, 0x40, {7}, 4), {}, true},
      {0, "round", {}, false},  // the count waits for its window
      {0, WrongLength(1, 0x40, {7}, 4), {}, false},
      {60, "round", {length + " (repeated 2 times)"}, false},
  };
  for (const auto& row : rows) {
    states->Clear();
    korv::AdvanceLocalNow(row.advance);
    probe->write_pmbus_cmd(0x40, 0x41);
    if (row.input == "round") {
      const std::uint8_t block[1] = {1};
      child->SendSP(5157, block, 1, false);
      probe->Reset();
    } else {
      probe->Feed(row.input);
    }
    EXPECT_EQ(Links(), row.links) << row.input;
    EXPECT_EQ(probe->RetryAt() > std::chrono::steady_clock::now(), row.waits) << row.input;
  }
  EXPECT_EQ(states->Lines(),
            (std::vector<std::string>{
                "1 up answering",
                "1 no rounds answering, but no round completes (5 refused or faulty answers in a "
                "row)",
                "1 rounds completing rounds again"}));
}

TEST_F(LinkProtocolTest, FramingFaultsAreReportedWithTheRequestTheyAnswer) {
  probe->write_pmbus_cmd(0x40, 0x51);
  probe->Feed("noise~21012A000000FDA8\r");
  EXPECT_EQ(Links(), (std::vector<std::string>{
                         "link 1 bad checksum: CHKSUM FDA8, computed FDA9 (answer to 40/51)"}));
  EXPECT_EQ(states->Faults(), (std::vector<yd1363::Fault>{yd1363::Fault::kBadChecksum}));
  EXPECT_FALSE(probe->IsProcessing());
}

TEST_F(LinkProtocolTest, NothingOutstandingMeansNothingIsTaken) {
  probe->Feed(Answer(0x01, 0x40, 0x00));
  probe->Feed("~21012A000000FDA8\r");
  EXPECT_TRUE(probe->answers.empty());
  EXPECT_TRUE(Links().empty());
}

TEST_F(LinkProtocolTest, InputAfterTheAnswerIsStale) {
  probe->reply = true;  // the answer sends the next request at once
  probe->write_pmbus_cmd(0x40, 0x41);
  const std::string two = Answer(0x01, 0x40, 0x00, {1}) + Answer(0x01, 0x41, 0x00, {2});
  probe->Feed(two);
  EXPECT_EQ(probe->answers.size(), 1u) << "the second frame came before its request";
  EXPECT_TRUE(probe->IsProcessing());
  // A frame split across chunks is still whole: stale input is only what
  // arrived before the request.
  const std::string a = Answer(0x01, 0x41, 0x00, {3});
  probe->reply = false;
  probe->Feed(a.substr(0, 7));
  probe->Feed(a.substr(7));
  ASSERT_EQ(probe->answers.size(), 2u);
  EXPECT_EQ(probe->answers[1].back(), 3);
}

TEST_F(LinkProtocolTest, LossOfContactIsToldOnceAndItsEndOnce) {
  for (int k = 0; k < 8; ++k) {
    probe->write_pmbus_cmd(0x40, 0x41);
    probe->AnswerTimedOut();
    EXPECT_FALSE(probe->IsProcessing());
  }
  const auto links = Links();
  ASSERT_EQ(links.size(), 1u) << "two silent retries, then one warning";
  EXPECT_NE(links[0].find("no answer: 40/41 not answered within"), std::string::npos) << links[0];
  EXPECT_NE(links[0].find("no answer to 3 requests in a row"), std::string::npos) << links[0];
  EXPECT_EQ(states->Faults(), (std::vector<yd1363::Fault>{yd1363::Fault::kTimeout}));
  EXPECT_EQ(states->Lines(), (std::vector<std::string>{"1 down not answering"}));
  EXPECT_FALSE(probe->Answering());
  // Asked once every 5 s from here on.
  const auto retry = probe->RetryAt() - std::chrono::steady_clock::now();
  EXPECT_GT(retry, std::chrono::milliseconds(4900));
  EXPECT_LE(retry, PMBusProtocol::kLostRetry);

  probe->write_pmbus_cmd(0x40, 0x41);
  probe->Feed(Answer(0x01, 0x40, 0x00));
  probe->write_pmbus_cmd(0x40, 0x41);
  probe->Feed(Answer(0x01, 0x40, 0x00));
  EXPECT_EQ(states->Lines(),
            (std::vector<std::string>{"1 down not answering", "1 up answering again"}));
  EXPECT_TRUE(probe->Answering());

  // Two timeouts and an answer: nothing to tell.
  for (int k = 0; k < 2; ++k) {
    probe->write_pmbus_cmd(0x40, 0x41);
    probe->AnswerTimedOut();
  }
  probe->write_pmbus_cmd(0x40, 0x41);
  probe->Feed(Answer(0x01, 0x40, 0x00));
  EXPECT_EQ(states->Lines().size(), 2u);
  EXPECT_EQ(Links().size(), 1u);
}

TEST_F(LinkProtocolTest, TimeoutsInARowWarnAtTheThirdAndTellTheLossAtTheFifth) {
  // After this many timeouts in a row: warnings told, and whether the unit is told lost.
  const struct {
    int timeouts;
    std::size_t warnings;
    bool lost;
  } steps[] = {{1, 0, false}, {2, 0, false}, {3, 1, false},
               {4, 1, false}, {5, 1, true},  {6, 1, true}};
  int done = 0;
  for (const auto& s : steps) {
    for (; done < s.timeouts; ++done) {
      probe->write_pmbus_cmd(0x40, 0x41);
      probe->AnswerTimedOut();
    }
    EXPECT_EQ(Links().size(), s.warnings) << s.timeouts << " timeouts";
    EXPECT_EQ(probe->Answering(), !s.lost) << s.timeouts << " timeouts";
    EXPECT_EQ(states->Lines().size(), s.lost ? 1u : 0u) << s.timeouts << " timeouts";
  }
}

TEST_F(LinkProtocolTest, FirstContactIsToldAndATimeoutWithoutExchangeIsNothing) {
  probe->AnswerTimedOut();
  EXPECT_TRUE(Links().empty());
  probe->write_pmbus_cmd(0x40, 0x51);
  probe->Feed(Answer(0x01, 0x40, 0x00));
  EXPECT_EQ(states->Lines(), (std::vector<std::string>{"1 up answering"}));
}

// A warning was told: the answer after it is told as the unit answering again.
TEST_F(LinkProtocolTest, AnAnswerAfterAWarningIsAnsweringAgain) {
  for (int k = 0; k < 3; ++k) {
    probe->write_pmbus_cmd(0x40, 0x41);
    probe->AnswerTimedOut();
  }
  probe->write_pmbus_cmd(0x40, 0x41);
  probe->Feed(Answer(0x01, 0x40, 0x00));
  EXPECT_EQ(states->Lines(), (std::vector<std::string>{"1 up answering again"}));
}

TEST_F(LinkProtocolTest, AnswerBudgetGrowsWithTheCharactersTheAnswerHolds) {
  using std::chrono::microseconds;
  Json::Value settings;
  settings["answer_timeout_ms"] = 300;
  ASSERT_TRUE(probe->InitSetting(settings));
  probe->write_pmbus_cmd(0x40, 0x41, &kGroup, 1);  // 20-character request
  // 9600 baud, 10 bits a character: 1041 us each (rounded down per total).
  const auto chars = [](int n) { return microseconds(n * 10 * 1000000LL / 9600); };
  EXPECT_EQ(probe->AnswerBudget(), microseconds(300000) + chars(20 + 18));
  probe->Feed("~2001400");  // LENGTH not complete yet
  EXPECT_EQ(probe->AnswerBudget(), microseconds(300000) + chars(20 + 18));
  probe->Feed("0D012");  // LENID 0x012: 18 INFO characters on the way
  EXPECT_EQ(probe->AnswerBudget(), microseconds(300000) + chars(20 + 18 + 18));
  EXPECT_EQ(probe->AnswerDeadline() - probe->AnswerBudget() <= std::chrono::steady_clock::now(),
            true);
}

// A unit whose settings leave the link out: address 1, a round every
// second, 9600 baud, a second of patience.
TEST(LinkSettings, AUnitWithNoSettingsHasTheDefaults) {
  Probe p;
  ASSERT_TRUE(p.InitSetting(Json::Value(Json::objectValue)));
  EXPECT_EQ(p.Address(), 1);
  EXPECT_EQ(p.RoundSeconds(), 1);
  EXPECT_EQ(p.BaudRate(), 9600);
  EXPECT_EQ(p.AnswerTimeout(), std::chrono::milliseconds(1000));
}

TEST(LinkSettings, AnswerTimeoutIsMilliseconds) {
  const struct {
    const char* json;
    int ms;  // the unit's patience after the settings; 0: refused
  } cases[] = {
      {"{}", 1000},
      {R"({"answer_timeout_ms": 1})", 1},
      {R"({"answer_timeout_ms": 60000})", 60000},
      {R"({"answer_timeout_ms": 0})", 0},
      {R"({"answer_timeout_ms": 60001})", 0},
      {R"({"answer_timeout_ms": "200"})", 0},
      {R"({"answer_timeout_ms": 1.5})", 0},
  };
  for (const auto& c : cases) {
    Probe p;
    Json::CharReaderBuilder b;
    Json::Value v;
    std::string errors;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    ASSERT_TRUE(r->parse(c.json, c.json + std::strlen(c.json), &v, &errors));
    EXPECT_EQ(p.InitSetting(v), c.ms > 0) << c.json;
    if (c.ms > 0) {
      EXPECT_EQ(p.AnswerTimeout(), std::chrono::milliseconds(c.ms)) << c.json;
    }
  }
}

}  // namespace
