// Arbitrary bytes from the line, in arbitrary chunks, through the frame
// decoder and the protocol layer. The first byte picks the chunk sizes.
// Every decoded frame must hold what its LENGTH says and survive a round
// trip through the encoder; the protocol layer must hand over exactly the
// frame's bytes.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "host/pmbus_protocol.h"
#include "host/yd1363.h"

namespace {

class Probe : public PMBusProtocol {
 public:
  using VDeviceInterface::LoadFromCache;
  bool LoadFromCache(const std::uint8_t*, int) override { return true; }
  bool process_payload() override {
    if (answer_len_ < 6) std::abort();
    const unsigned lenid = answer_[4] | (answer_[5] << 8);
    if (answer_len_ != 6 + lenid / 2) std::abort();
    std::uint8_t sum = 0;
    for (unsigned k = 0; k < answer_len_; ++k) sum = static_cast<std::uint8_t>(sum + answer_[k]);
    sink += sum;
    // Sometimes ask again at once, as a round does.
    if (sum & 1) write_pmbus_cmd(0x40, 0x41);
    return true;
  }
  unsigned sink = 0;
};

void CheckFrame(const yd1363::Frame& f) {
  if (f.lenid % 2 != 0 || f.info.size() != f.lenid / 2u || f.info.size() > yd1363::kMaxInfoBytes) {
    std::abort();
  }
  std::vector<std::uint8_t> again;
  yd1363::EncodeRequest(f.ver, f.adr, f.cid1, f.cid2, f.info.data(),
                        static_cast<unsigned>(f.info.size()), again);
  yd1363::Decoder d;
  int frames = 0;
  for (std::uint8_t c : again) {
    if (d.Push(c) == yd1363::Decoder::Event::kFrame) {
      ++frames;
      const auto& g = d.frame();
      if (g.ver != f.ver || g.adr != f.adr || g.cid1 != f.cid1 || g.cid2 != f.cid2 ||
          g.info != f.info) {
        std::abort();
      }
    }
  }
  if (frames != 1) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t pattern = data[0];
  ++data;
  --size;

  yd1363::Decoder decoder;
  for (std::size_t k = 0; k < size; ++k) {
    if (decoder.Push(data[k]) == yd1363::Decoder::Event::kFrame) CheckFrame(decoder.frame());
  }

  Probe probe;
  probe.AttachLine([](const std::uint8_t*, unsigned) { return true; });
  std::vector<std::uint8_t> chunk;
  std::size_t pos = 0;
  unsigned turn = 0;
  while (pos < size) {
    // Chunk sizes from 1 to 16, in a pattern the first byte chooses.
    const std::size_t n = 1 + ((pattern >> (turn % 4)) + turn) % 16;
    ++turn;
    const std::size_t take = n < size - pos ? n : size - pos;
    if (!probe.IsProcessing()) probe.write_pmbus_cmd(0x40, 0x41);
    chunk.assign(data + pos, data + pos + take);
    probe.process(chunk.data(), static_cast<unsigned>(chunk.size()));
    pos += take;
  }
  return 0;
}
