// The simulator's scenario loader: arbitrary text read as JSON and loaded
// as a scenario, as psma-sim --scenario and korv-host --simulate load one.
// A scenario it takes must answer every request of the command table with
// one well-formed frame from its own address, through a few rounds so its
// phases apply; one it refuses must say where.

#include <json/reader.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "host/yd1363.h"
#include "tools/psma-sim/scenario.h"
#include "tools/psma-sim/unit_sim.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

struct Request {
  std::uint8_t cid1, cid2;
  bool group;
};

// A round in the order the root asks, identification first.
const Request kRound[] = {{0x40, 0x51, false}, {0x40, 0x41, true},  {0x40, 0x43, true},
                          {0x40, 0x44, true},  {0x41, 0x41, false}, {0x41, 0x43, false},
                          {0x41, 0x44, false}, {0x42, 0x41, false}, {0x42, 0x44, false},
                          {0x40, 0x46, false}, {0x42, 0x46, false}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value doc;
  const char* text = reinterpret_cast<const char*>(data);
  if (!reader->parse(text, text + size, &doc, nullptr)) return 0;

  psma_sim::Scenario scenario;
  std::string error;
  if (!scenario.Load(doc, error)) {
    Require(!error.empty() && error[0] == '/');
    return 0;
  }
  psma_sim::UnitSim unit(scenario);
  const std::uint8_t address = unit.scenario().unit().address;
  const std::uint8_t version = unit.scenario().unit().version;
  for (int round = 0; round < 3; ++round) {
    for (const auto& r : kRound) {
      yd1363::Frame request;
      request.ver = version;
      request.adr = address;
      request.cid1 = r.cid1;
      request.cid2 = r.cid2;
      if (r.group) request.info = {0xFF};
      request.lenid = static_cast<std::uint16_t>(2 * request.info.size());
      const auto answer = unit.Answer(request, 12.5 * round);
      // The phases may move the address: then the request is not for this unit.
      if (unit.scenario().unit().address != address) return 0;
      Require(answer.has_value());
      yd1363::Decoder decoder;
      int frames = 0;
      for (std::uint8_t c : *answer) {
        const auto event = decoder.Push(c);
        Require(event != yd1363::Decoder::Event::kFault);
        if (event == yd1363::Decoder::Event::kFrame) {
          ++frames;
          Require(decoder.frame().adr == address && decoder.frame().cid1 == r.cid1);
        }
      }
      Require(frames == 1);
    }
  }
  return 0;
}
