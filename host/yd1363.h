#pragma once
// YD/T 1363.3 framing: ASCII hexadecimal between SOI '~' and EOI CR.
//   SOI VER ADR CID1 CID2 LENGTH INFO CHKSUM EOI
// LENGTH is 16 bits: the low 12 (LENID) count the INFO hex characters, the
// high 4 (LCHKSUM) make the sum of the three LENID nibbles and itself 0 mod 16.
// CHKSUM is the two's complement of the sum of the characters from VER to the
// end of INFO, mod 65536.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace yd1363 {

constexpr std::uint8_t kSoi = '~';
constexpr std::uint8_t kEoi = '\r';

// LENGTH word for `lenid` (12 bits) with its length checksum.
std::uint16_t LengthWord(std::uint16_t lenid);

// Checksum of the characters between SOI and CHKSUM.
std::uint16_t FrameChecksum(const std::uint8_t* chars, std::size_t n);

// Encodes a request (or an answer, with the return code as `cid2`) into `out`.
void EncodeRequest(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1, std::uint8_t cid2,
                   const std::uint8_t* info, unsigned info_len, std::vector<std::uint8_t>& out);

}  // namespace yd1363
