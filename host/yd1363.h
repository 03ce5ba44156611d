#pragma once
// YD/T 1363.3 framing: ASCII hexadecimal between SOI '~' and EOI CR.
//   SOI VER ADR CID1 CID2 LENGTH INFO CHKSUM EOI
// LENGTH is 16 bits: the low 12 (LENID) count the INFO hex characters, the
// high 4 (LCHKSUM) make the sum of the three LENID nibbles and itself 0 mod 16.
// CHKSUM is the two's complement of the sum of the characters from VER to the
// end of INFO, mod 65536.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace yd1363 {

constexpr std::uint8_t kSoi = '~';
constexpr std::uint8_t kEoi = '\r';

// Characters between SOI and EOI around INFO: VER ADR CID1 CID2 LENGTH (12)
// and CHKSUM (4).
constexpr unsigned kHeaderChars = 12;
constexpr unsigned kChecksumChars = 4;
// LENID holds at most 4095; INFO is whole bytes, so at most 4094 characters.
constexpr unsigned kMaxInfoChars = 4094;
constexpr unsigned kMaxInfoBytes = kMaxInfoChars / 2;
// Characters of a whole frame, SOI and EOI included, for `info_bytes` of INFO.
constexpr unsigned FrameChars(unsigned info_bytes) {
  return 2 + kHeaderChars + 2 * info_bytes + kChecksumChars;
}

// LENGTH word for `lenid` (12 bits) with its length checksum.
std::uint16_t LengthWord(std::uint16_t lenid);

// Checksum of the characters between SOI and CHKSUM.
std::uint16_t FrameChecksum(const std::uint8_t* chars, std::size_t n);

// Encodes a request (or an answer, with the return code as `cid2`) into `out`.
void EncodeRequest(std::uint8_t ver, std::uint8_t adr, std::uint8_t cid1, std::uint8_t cid2,
                   const std::uint8_t* info, unsigned info_len, std::vector<std::uint8_t>& out);

// The link faults of a YD/T 1363.3 line, a closed set. The framing finds the
// first five; the protocol layer adds the address, the return code and the
// timeout; the polling engine adds the port.
enum class Fault : int {
  kNone = 0,
  kTimeout = 1,            // no answer within the answer time
  kBadChecksum = 2,        // CHKSUM does not match the characters
  kBadLengthChecksum = 3,  // LCHKSUM does not match LENID
  kBadLength = 4,          // frame shorter than its LENGTH, or an odd LENID
  kBadHex = 5,             // a character that is not a hexadecimal digit
  kWrongAddress = 6,       // an answer from another unit
  kReturnCode = 7,         // the unit answered with a non-zero return code
  kFrameTooLong = 8,       // more characters than LENGTH announces
  kPort = 9,               // the port itself failed, or opened again after it failed
};

// A short text for each fault: "bad checksum", "return code", ... "port".
const char* FaultText(Fault fault);
// The fault of a process_error code; kNone for a number outside the set.
Fault FaultOfCode(int code);

// Name of a return code: "VER error" for 01 ... "invalid data" for 06, and
// "unknown" for any other non-zero value ("normal" for 00).
const char* ReturnCodeName(std::uint8_t rtn);

// Whether a frame's CID2 is a command (40..7F: a request, another master's
// or an echo) rather than an answer's return code (00..06, 80..EF).
constexpr bool IsCommandCode(std::uint8_t cid2) { return cid2 >= 0x40 && cid2 <= 0x7F; }

// One decoded frame.
struct Frame {
  std::uint8_t ver = 0;
  std::uint8_t adr = 0;
  std::uint8_t cid1 = 0;
  std::uint8_t cid2 = 0;  // the return code in an answer
  std::uint16_t lenid = 0;
  std::vector<std::uint8_t> info;  // lenid / 2 bytes
};

// Finds frames in a byte stream that arrives in any chunking. It holds only
// the frame being read, decoded as it comes: bytes before an SOI are skipped,
// an SOI inside a frame starts the frame again (the broken one is dropped
// without a word: it cannot be told from line noise), and a frame that turns
// out bad is reported once, after which the decoder hunts for the next SOI.
// Lower-case hex digits are accepted; the checksum is taken over the
// characters as they came.
class Decoder {
 public:
  enum class Event { kNone, kFrame, kFault };

  Decoder();

  // Takes one byte. kFrame: frame() holds a checked frame. kFault: fault()
  // and detail() tell what was wrong with the frame just dropped.
  Event Push(std::uint8_t c);

  const Frame& frame() const { return frame_; }
  Fault fault() const { return fault_; }
  const std::string& detail() const { return detail_; }

  // Forgets any partial frame (stale input before a new request).
  void Reset();
  // Whether an SOI has been seen and its frame is not complete yet.
  bool InFrame() const { return state_ == State::kInFrame; }
  // Characters of the frame being read, SOI and EOI included, once its
  // LENGTH has been read; 0 before.
  unsigned ExpectedChars() const;

 private:
  enum class State { kHunting, kInFrame };
  Event Fail(Fault fault, std::string detail);
  Event Finish();

  State state_ = State::kHunting;
  unsigned count_ = 0;       // characters after SOI
  unsigned sum_ = 0;         // of the characters from VER to the end of INFO
  unsigned info_chars_ = 0;  // LENID, once the header is read
  bool header_done_ = false;
  std::uint8_t header_[6] = {};  // VER ADR CID1 CID2 LENGTH(2)
  std::uint8_t high_nibble_ = 0;
  std::uint16_t checksum_ = 0;  // CHKSUM as received
  Frame frame_;
  Fault fault_ = Fault::kNone;
  std::string detail_;
};

}  // namespace yd1363
