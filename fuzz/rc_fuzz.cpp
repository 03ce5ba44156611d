// Feeds arbitrary answers and cache blocks to the rectifier group, in an
// order the input chooses, on a group that already holds modules.
//
// Input:
//   byte 0      module count of the first (well-formed) analogue answer, % 5
//   then steps:
//     op        low 3 bits: 0 41_41, 1 41_43, 2 41_44, 3 40_46, 4 42_46,
//               5 cache block, 6 round end, 7 well-formed cache block;
//               bit 7: pass the length negated
//     len       2 bytes, low first (not for 6 and 7; 7 takes one count byte)
//     bytes     `len` bytes (fewer at the end of the input), handed over as
//               an exact-size heap copy so any read past them is caught

#include <json/value.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <streambuf>
#include <vector>

#include "rc/psma_rc.h"

namespace {

// Keeps the restore's trace lines off the terminal while still formatting them.
class Discard : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
};

// Sends std::cout to a Discard that is never destroyed: the standard
// streams still flush std::cout after the program's statics have ended.
void Quiet() {
  static const bool once = [] {
    std::cout.rdbuf(new Discard);
    return true;
  }();
  (void)once;
}

void Require(bool ok) {
  if (!ok) std::abort();
}

std::vector<std::uint8_t> Analogues(std::uint8_t modules) {
  std::vector<std::uint8_t> b = {0, 0, 0, 0x50, 0x42, modules};
  for (int i = 0; i < modules; ++i) {
    const std::uint8_t group[21] = {0, 0, 0x48, 0x42, 4,    0,    0, 0x80, 0x3F, 1,   2,
                                    3, 4, 0x20, 0x20, 0x20, 0x20, 0, 0,    0,    0x40};
    b.insert(b.end(), group, group + sizeof group);
  }
  return b;
}

void CheckCounts(const PsmaRC& rc) { Require(rc.Modules().size() == rc.Record().module_count); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Quiet();
  if (size == 0) return 0;

  auto rc = std::make_shared<PsmaRC>();
  rc->InitV(nullptr, 1, Json::Value(Json::objectValue));
  {
    const auto first = Analogues(data[0] % 5);
    Require(rc->parse41_41(first.data(), static_cast<int>(first.size())) ==
            static_cast<int>(first.size()));
  }

  std::size_t at = 1;
  while (at < size) {
    const std::uint8_t op = data[at++];
    const int kind = op & 7;
    if (kind == 6) {
      rc->RoundDone();
      CheckCounts(*rc);
      continue;
    }
    if (kind == 7) {
      const std::uint8_t count = at < size ? data[at++] % 4 : 0;
      std::vector<std::uint8_t> block(81 + 32 * count, static_cast<std::uint8_t>(op));
      block[73] = count;
      Require(rc->LoadFromCache(block.data(), static_cast<int>(block.size())));
      CheckCounts(*rc);
      continue;
    }
    std::size_t n = 0;
    if (at < size) n = data[at++];
    if (at < size) n |= static_cast<std::size_t>(data[at++]) << 8;
    if (n > size - at) n = size - at;
    std::unique_ptr<std::uint8_t[]> slice(new std::uint8_t[n]);
    if (n != 0) std::memcpy(slice.get(), data + at, n);
    at += n;
    const int len = (op & 0x80) != 0 ? -static_cast<int>(n) : static_cast<int>(n);
    const int room = len > 0 ? len : 0;

    int r = 0;
    switch (kind) {
      case 0:
        r = rc->parse41_41(slice.get(), len);
        Require(r == -1 || (r >= 6 && r <= room));
        break;
      case 1:
        r = rc->parse41_43(slice.get(), len);
        Require(r == -1 || (r >= 2 && r <= room));
        break;
      case 2:
        r = rc->parse41_44(slice.get(), len);
        Require(r == -1 || r == 0 || (r >= 2 && r <= room));
        break;
      case 3:
        r = rc->parse40_46(slice.get(), len);
        Require(r == -1 || (r >= 21 && room >= 21 && (r - 21) % 4 == 0));
        break;
      case 4:
        r = rc->parse42_46(slice.get(), len);
        Require(r == -1 || (r >= 9 && room >= 9));
        break;
      default: {
        const bool ok = rc->LoadFromCache(slice.get(), len);
        Require(!ok || (n >= 81 && n == 81 + 32u * slice[73]));
        break;
      }
    }
    CheckCounts(*rc);
  }
  return 0;
}
