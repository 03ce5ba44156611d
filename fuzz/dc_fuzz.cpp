// Arbitrary answers, cache blocks, round ends and value requests on a DC
// screen that already holds full counts from a valid round.
//
// Input: a sequence of steps, each
//   op (1 byte) | length (u16, low byte first) | that many bytes (or what is left)
// op % 5: 0 parse42_41, 1 parse42_44, 2 LoadFromCache, 3 RoundDone, 4 Get_Value
// (the bytes are the key); op & 0x80 passes a negative length instead.
// Each slice goes to the device as an exact-size heap copy, so a read past
// its length is a read past the allocation.

#include <json/value.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "dc/psma_dc.h"
#include "host/korv_controller.h"
#include "root/psma.h"

namespace {

struct Host {
  std::shared_ptr<KorvController> controller = std::make_shared<KorvController>();
  std::shared_ptr<Psma> root = std::make_shared<Psma>();
  Host() { root->Init(controller, 1, Json::Value()); }
};

Host& TheHost() {
  static Host host;
  return host;
}

// A round with every count at its capacity: 3, 6 and 5 values, 64 and 13 states.
void Prime(PsmaDC& dc) {
  std::vector<std::uint8_t> analogue(11 + 4 * (3 + 6 + 5), 0x01);
  analogue[8] = 3;
  analogue[9 + 12] = 6;
  analogue[10 + 12 + 24] = 5;
  dc.parse42_41(analogue.data(), static_cast<int>(analogue.size()));
  std::vector<std::uint8_t> alarms(3 + 64 + 13, 0x03);
  alarms[1] = 64;
  alarms[2 + 64] = 13;
  dc.parse42_44(alarms.data(), static_cast<int>(alarms.size()));
  dc.RoundDone();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Host& host = TheHost();
  auto dc = std::make_shared<PsmaDC>();
  dc->InitV(host.root.get(), 21, Json::Value());
  Prime(*dc);

  std::size_t at = 0;
  while (at + 3 <= size) {
    const std::uint8_t op = data[at];
    std::size_t n = data[at + 1] | (std::size_t{data[at + 2]} << 8);
    at += 3;
    if (n > size - at) n = size - at;
    std::unique_ptr<std::uint8_t[]> slice(new std::uint8_t[n > 0 ? n : 1]);
    if (n > 0) std::memcpy(slice.get(), data + at, n);
    at += n;
    const int len = (op & 0x80) ? -1 - static_cast<int>(n) : static_cast<int>(n);

    switch (op % 5) {
      case 0:
        dc->parse42_41(slice.get(), len);
        break;
      case 1:
        dc->parse42_44(slice.get(), len);
        break;
      case 2:
        dc->LoadFromCache(slice.get(), len);
        break;
      case 3:
        dc->RoundDone();
        break;
      default:
        try {
          (void)dc->Get_Value(0, std::string(reinterpret_cast<const char*>(slice.get()), n));
        } catch (const std::out_of_range&) {
        }
        break;
    }
  }
  dc->RoundDone();
  host.controller->DrainWork();  // the rounds' items, before the next input
  return 0;
}
