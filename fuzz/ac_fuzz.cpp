// Feeds arbitrary portions, cache blocks and keys to one AC screen, in the
// order the input chooses, on a screen that already holds a channel count.
//
// Input:
//   byte 0     channel count (mod 8) of a well-formed 0x41 portion fed first
//   then records until the input ends:
//     op       u8: low bits choose the operation (below); bit 0x80 passes a
//              negative length instead of the slice's
//     n        u16, low byte first: slice length (cut to what remains)
//     n bytes  the slice, handed over as an exact-size heap copy
//   operations: 0 parse40_41, 1 parse40_43, 2 parse40_44, 3 LoadFromCache,
//               4 RoundDone, 5 Get_Value with the slice as key

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ac/psma_ac.h"
#include "host/korv_controller.h"

namespace {

std::shared_ptr<KorvController> Controller() {
  static const auto controller = std::make_shared<KorvController>();
  return controller;
}

std::vector<std::uint8_t> WellFormed41(std::uint8_t channels) {
  std::vector<std::uint8_t> out{channels};
  const float values[4] = {230.5f, 231.5f, 232.5f, 50.0f};
  for (std::uint8_t k = 0; k < channels; ++k) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(values);
    out.insert(out.end(), b, b + sizeof values);
    out.push_back(0);
  }
  out.insert(out.end(), 12, 0x41);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  auto ac = std::make_shared<PsmaAC>();
  ac->Init(Controller(), 11, Json::Value());
  ac->InitV(nullptr, 11, Json::Value());
  const auto first = WellFormed41(data[0] % 8);
  ac->parse40_41(first.data(), static_cast<int>(first.size()));

  std::size_t pos = 1;
  while (pos + 3 <= size) {
    const std::uint8_t op = data[pos];
    std::size_t n = data[pos + 1] | static_cast<std::size_t>(data[pos + 2]) << 8;
    pos += 3;
    if (n > size - pos) n = size - pos;
    std::unique_ptr<std::uint8_t[]> slice(new std::uint8_t[n]);
    if (n > 0) std::memcpy(slice.get(), data + pos, n);
    pos += n;
    const int len = (op & 0x80) ? -1 - static_cast<int>(n) : static_cast<int>(n);
    switch ((op & 0x7F) % 6) {
      case 0:
        ac->parse40_41(slice.get(), len);
        break;
      case 1:
        ac->parse40_43(slice.get(), len);
        break;
      case 2:
        ac->parse40_44(slice.get(), len);
        break;
      case 3:
        ac->LoadFromCache(slice.get(), len);
        break;
      case 4:
        ac->RoundDone();
        break;
      default:
        try {
          ac->Get_Value(0, std::string(reinterpret_cast<const char*>(slice.get()), n));
        } catch (const std::out_of_range&) {
        }
        break;
    }
  }
  Controller()->DrainWork();
  return 0;
}
