#include "host/yd1363.h"

namespace yd1363 {
namespace {

const char kHex[] = "0123456789ABCDEF";

void PutHex(std::vector<std::uint8_t>& out, std::uint8_t byte) {
  out.push_back(static_cast<std::uint8_t>(kHex[byte >> 4]));
  out.push_back(static_cast<std::uint8_t>(kHex[byte & 0x0F]));
}

}  // namespace

std::uint16_t LengthWord(std::uint16_t lenid) {
  lenid &= 0x0FFF;
  const unsigned sum = (lenid & 0x0F) + ((lenid >> 4) & 0x0F) + ((lenid >> 8) & 0x0F);
  const unsigned lchk = (~sum + 1) & 0x0F;
  return static_cast<std::uint16_t>((lchk << 12) | lenid);
}

std::uint16_t FrameChecksum(const std::uint8_t* chars, std::size_t n) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += chars[i];
  return static_cast<std::uint16_t>((~sum + 1) & 0xFFFF);
}

void EncodeRequest(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1, std::uint8_t cid2,
                   const std::uint8_t* info, unsigned info_len, std::vector<std::uint8_t>& out) {
  if (info == nullptr) info_len = 0;
  if (info_len > 0x0FFF / 2) info_len = 0x0FFF / 2;  // LENID holds at most 4095 characters
  out.clear();
  out.reserve(18 + 2 * info_len);
  out.push_back(kSoi);
  PutHex(out, ver);
  PutHex(out, adr);
  PutHex(out, cid1);
  PutHex(out, cid2);
  const std::uint16_t length = LengthWord(static_cast<std::uint16_t>(2 * info_len));
  PutHex(out, static_cast<std::uint8_t>(length >> 8));
  PutHex(out, static_cast<std::uint8_t>(length & 0xFF));
  for (unsigned i = 0; i < info_len; ++i) PutHex(out, info[i]);
  const std::uint16_t chk = FrameChecksum(out.data() + 1, out.size() - 1);
  PutHex(out, static_cast<std::uint8_t>(chk >> 8));
  PutHex(out, static_cast<std::uint8_t>(chk & 0xFF));
  out.push_back(kEoi);
}

}  // namespace yd1363
