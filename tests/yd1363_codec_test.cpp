// The YD/T 1363.3 codec against frames published with other implementations
// of the standard, and the decoder's behaviour on a noisy line.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "host/yd1363.h"

namespace {

using yd1363::Decoder;
using yd1363::Fault;

std::vector<std::uint8_t> Chars(const std::string& s) { return {s.begin(), s.end()}; }

std::string Encode(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1, std::uint8_t cid2,
                   std::vector<std::uint8_t> info) {
  std::vector<std::uint8_t> out;
  yd1363::EncodeRequest(ver, adr, cid1, cid2, info.data(), static_cast<unsigned>(info.size()), out);
  return {out.begin(), out.end()};
}

// What a decoder makes of a byte stream: one text per event.
std::vector<std::string> Decode(Decoder& d, const std::string& stream) {
  std::vector<std::string> events;
  for (char c : stream) {
    switch (d.Push(static_cast<std::uint8_t>(c))) {
      case Decoder::Event::kNone:
        break;
      case Decoder::Event::kFrame: {
        const auto& f = d.frame();
        std::string e = "frame";
        for (std::uint8_t b : {f.ver, f.adr, f.cid1, f.cid2}) e += ' ' + std::to_string(b);
        e += " lenid " + std::to_string(f.lenid) + " info";
        for (std::uint8_t b : f.info) e += ' ' + std::to_string(b);
        events.push_back(e);
        break;
      }
      case Decoder::Event::kFault:
        events.push_back(std::string("fault ") + yd1363::FaultText(d.fault()));
        break;
    }
  }
  return events;
}

std::vector<std::string> Decode(const std::string& stream) {
  Decoder d;
  return Decode(d, stream);
}

TEST(Yd1363Encode, PublishedFrames) {
  EXPECT_EQ(Encode(0x20, 0x02, 0x46, 0x42, {0x02}), "~20024642E00202FD33\r");
  EXPECT_EQ(Encode(0x21, 0x01, 0x2A, 0x50, {}), "~21012A500000FDA4\r");
  EXPECT_EQ(Encode(0x21, 0x01, 0x2A, 0x00, {}), "~21012A000000FDA9\r");
}

TEST(Yd1363Encode, LengthChecksumNibble) {
  const struct {
    std::uint16_t lenid, word;
  } cases[] = {{0x012, 0xD012}, {0x0FF, 0x20FF}, {0x088, 0x0088},
               {0x000, 0x0000}, {0x002, 0xE002}, {0xFFF, 0x3FFF}};
  for (const auto& c : cases) EXPECT_EQ(yd1363::LengthWord(c.lenid), c.word) << c.lenid;
  // LENID 0x088: the field is still four characters, "0088".
  const std::string f = Encode(0x20, 0x01, 0x40, 0x00, std::vector<std::uint8_t>(0x44, 0));
  EXPECT_EQ(f.substr(9, 4), "0088");
}

TEST(Yd1363Decode, PublishedFramesInAnyChunking) {
  const std::string answer = "~21012A000000FDA9\r";
  const std::string request = "~20024642E00202FD33\r";
  EXPECT_EQ(Decode(answer), (std::vector<std::string>{"frame 33 1 42 0 lenid 0 info"}));
  EXPECT_EQ(Decode(request), (std::vector<std::string>{"frame 32 2 70 66 lenid 2 info 2"}));
  // One decoder, the stream cut at every point: the frame comes out once.
  const std::string both = request + answer;
  for (std::size_t cut = 0; cut <= both.size(); ++cut) {
    Decoder d;
    auto events = Decode(d, both.substr(0, cut));
    const auto rest = Decode(d, both.substr(cut));
    events.insert(events.end(), rest.begin(), rest.end());
    EXPECT_EQ(events.size(), 2u) << cut;
  }
}

TEST(Yd1363Decode, FaultsAndTheFramesAroundThem) {
  const struct {
    const char* name;
    std::string stream;
    std::vector<std::string> events;
  } cases[] = {
      {"checksum off by one", "~21012A000000FDA8\r", {"fault bad checksum"}},
      {"length checksum wrong", "~21012A001000FDA9\r", {"fault bad length checksum"}},
      {"odd LENID", "~21012A00F001FDA9\r", {"fault bad length"}},
      {"odd LENID, its length and checksum right", "~21012A00F0010FD62\r", {"fault bad length"}},
      {"not a hex digit", "~21012A0G0000FDA9\r", {"fault bad hex digit"}},
      {"EOI inside the header", "~21012A\r", {"fault bad length"}},
      {"shorter than LENGTH", "~20014000E0020\r", {"fault bad length"}},
      {"longer than LENGTH", "~21012A000000FDA900\r", {"fault frame too long"}},
      {"one character longer than LENGTH", "~21012A000000FDA90\r", {"fault frame too long"}},
      {"garbage before, CR and all",
       "xx\r\n\x01\xff~21012A000000FDA9\r",
       {"frame 33 1 42 0 lenid 0 info"}},
      {"frame cut by the next SOI", "~2101~21012A000000FDA9\r", {"frame 33 1 42 0 lenid 0 info"}},
      {"resync after a fault",
       "~21012A0G0000FDA9\r~21012A000000FDA9\r",
       {"fault bad hex digit", "frame 33 1 42 0 lenid 0 info"}},
      {"trailing garbage is ignored",
       "~21012A000000FDA9\rjunk\r",
       {"frame 33 1 42 0 lenid 0 info"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Decode(c.stream), c.events) << c.name;
}

// A character that is no hex digit is named, printable or not, with its place
// in the frame (the SOI not counted).
TEST(Yd1363Decode, ABadCharacterIsNamedWithItsPlace) {
  const struct {
    std::string stream;
    const char* detail;
  } cases[] = {
      {"~21012A0G", "'G' at character 8 of the frame"},
      {"~2 ", "' ' at character 2 of the frame"},
      {"~2\x7F", "0x7F at character 2 of the frame"},
      {"~2\x1F", "0x1F at character 2 of the frame"},
  };
  for (const auto& c : cases) {
    Decoder d;
    EXPECT_EQ(Decode(d, c.stream), std::vector<std::string>{"fault bad hex digit"}) << c.detail;
    EXPECT_EQ(d.detail(), c.detail);
  }
}

TEST(Yd1363Decode, LowerCaseDigitsWithTheirOwnChecksum) {
  // The checksum covers the characters as sent: lower-case digits sum
  // differently, and the sender's checksum says so.
  std::string frame = Encode(0x20, 0x01, 0x4A, 0x00, {0xAB, 0xCD});
  std::string lower = frame;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  lower[0] = '~';
  EXPECT_EQ(Decode(lower), (std::vector<std::string>{"fault bad checksum"}));
  const auto body = Chars(lower.substr(1, lower.size() - 6));
  const std::uint16_t chk = yd1363::FrameChecksum(body.data(), body.size());
  char tail[8];
  std::snprintf(tail, sizeof tail, "%04x\r", chk);
  lower = lower.substr(0, lower.size() - 5) + tail;
  EXPECT_EQ(Decode(lower), (std::vector<std::string>{"frame 32 1 74 0 lenid 4 info 171 205"}));
}

TEST(Yd1363Decode, BudgetOfTheFrameBeingRead) {
  Decoder d;
  EXPECT_EQ(d.ExpectedChars(), 0u);
  Decode(d, "~2001400");
  EXPECT_TRUE(d.InFrame());
  EXPECT_EQ(d.ExpectedChars(), 0u) << "LENGTH not read yet";
  Decode(d, "0D012");
  EXPECT_EQ(d.ExpectedChars(), 2u + 12 + 0x12 + 4);
  d.Reset();
  EXPECT_FALSE(d.InFrame());
  EXPECT_TRUE(Decode(d, "0102030405060708090000\r").empty()) << "after Reset the rest is noise";
}

TEST(Yd1363Decode, LargestFrameRoundTrips) {
  std::vector<std::uint8_t> info(yd1363::kMaxInfoBytes);
  for (std::size_t k = 0; k < info.size(); ++k) info[k] = static_cast<std::uint8_t>(k * 7);
  const std::string f = Encode(0x20, 0x01, 0x42, 0x00, info);
  EXPECT_EQ(f.size(), yd1363::FrameChars(yd1363::kMaxInfoBytes));
  info.push_back(1);  // one more than a frame holds: cut to the largest
  EXPECT_EQ(Encode(0x20, 0x01, 0x42, 0x00, info).size(), f.size());
  info.pop_back();
  Decoder d;
  const auto events = Decode(d, f);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(d.frame().info, info);
}

}  // namespace
