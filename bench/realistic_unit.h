#pragma once
// The unit the benchmarks poll: 2 AC screens with 3 channels in all (1 + 2),
// 2 DC screens with 64 fuses and 13 user-defined states each, 8 rectifier
// modules, every data-flag bit set so every step of the round is asked.

#include <json/reader.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "answers/unit_answers.h"
#include "root/psma.h"

namespace bench_support {

using psma_answers::Bytes;
using psma_answers::Frame;

inline Json::Value RealisticSettings() {
  const std::string text = R"({"acSetting": [{"data_id": 11}, {"data_id": 12}],
      "dcSetting": [{"data_id": 21}, {"data_id": 22}], "rcSetting": {}})";
  Json::Value v;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  reader->parse(text.data(), text.data() + text.size(), &v, nullptr);
  return v;
}

// The answer frame to request cid1/cid2.
inline std::vector<std::uint8_t> RealisticAnswer(std::uint8_t cid1, std::uint8_t cid2) {
  using namespace psma_answers;
  switch ((cid1 << 8) | cid2) {
    case 0x4041:
      return Frame(0x40, Bytes().u8(0x11).u8(2).append(Ac41Portion(1)).append(Ac41Portion(2)));
    case 0x4043:
      return Frame(0x40, Bytes().u8(0x11).u8(2).append(Ac43Portion()).append(Ac43Portion()));
    case 0x4044:
      return Frame(0x40, Bytes().u8(0x11).u8(2).append(Ac44Portion(1)).append(Ac44Portion(2)));
    case 0x4046:
      return Frame(0x40, Ac46());
    case 0x4141:
      return Frame(0x41, Rc41(0x11, 8));
    case 0x4143:
      return Frame(0x41, Rc43(8));
    case 0x4144:
      return Frame(0x41, Rc44(8));
    case 0x4241:
      return Frame(0x42, Bytes().u8(0x11).u8(2).append(Dc41Portion()).append(Dc41Portion()));
    case 0x4244:
      return Frame(0x42, Bytes().u8(0x11).u8(2).append(Dc44Portion()).append(Dc44Portion()));
    case 0x4246:
      return Frame(0x42, Dc46());
    case 0x4051:
      return Frame(0x40, Model("PSM-A"));
    default:
      return Frame(cid1, Bytes());
  }
}

// The answers of one unit, built once so a round measures the plug-in only.
class RealisticUnit {
 public:
  RealisticUnit() {
    for (int k = 0; k < 0x10000; ++k) {
      const auto cid1 = static_cast<std::uint8_t>(k >> 8);
      const auto cid2 = static_cast<std::uint8_t>(k & 0xFF);
      if (cid1 < 0x40 || cid1 > 0x42 || cid2 < 0x41 || cid2 > 0x51) continue;
      answers_[k] = RealisticAnswer(cid1, cid2);
    }
  }
  const std::vector<std::uint8_t>& Answer(std::uint8_t cid1, std::uint8_t cid2) const {
    return answers_[(cid1 << 8) | cid2];
  }
  std::size_t Bytes(std::uint8_t cid1, std::uint8_t cid2) const {
    return Answer(cid1, cid2).size();
  }

  // Answers every request of one round (the clock must allow the poll);
  // returns the number of answers.
  int RunRound(Psma& root) const {
    int answers = 0;
    if (!root.RefreshStatus()) return 0;
    while (root.IsProcessing() && answers < 32) {
      const auto& frame = Answer(root.LastCid1(), root.LastCid2());
      ++answers;
      if (!root.HandleAnswer(frame.data(), static_cast<unsigned>(frame.size()))) break;
    }
    return answers;
  }

 private:
  std::vector<std::uint8_t> answers_[0x10000];
};

}  // namespace bench_support
