#include "host/yd1363.h"

#include <fmt/format.h>

namespace yd1363 {
namespace {

const char kHex[] = "0123456789ABCDEF";

void PutHex(std::vector<std::uint8_t>& out, std::uint8_t byte) {
  out.push_back(static_cast<std::uint8_t>(kHex[byte >> 4]));
  out.push_back(static_cast<std::uint8_t>(kHex[byte & 0x0F]));
}

// Value of a hex digit, upper or lower case, or -1.
int HexValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Printable(std::uint8_t c) {
  if (c >= 0x20 && c < 0x7F) return fmt::format("'{}'", static_cast<char>(c));
  return fmt::format("0x{:02X}", c);
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
  if (info_len > kMaxInfoBytes) info_len = kMaxInfoBytes;
  out.clear();
  out.reserve(FrameChars(info_len));
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

const char* FaultText(Fault fault) {
  switch (fault) {
    case Fault::kNone:
      return "no fault";
    case Fault::kTimeout:
      return "no answer";
    case Fault::kBadChecksum:
      return "bad checksum";
    case Fault::kBadLengthChecksum:
      return "bad length checksum";
    case Fault::kBadLength:
      return "bad length";
    case Fault::kBadHex:
      return "bad hex digit";
    case Fault::kWrongAddress:
      return "wrong address";
    case Fault::kReturnCode:
      return "return code";
    case Fault::kFrameTooLong:
      return "frame too long";
    case Fault::kPort:
      return "port";
  }
  return "unknown fault";
}

Fault FaultOfCode(int code) {
  return code >= static_cast<int>(Fault::kTimeout) && code <= static_cast<int>(Fault::kPort)
             ? static_cast<Fault>(code)
             : Fault::kNone;
}

const char* ReturnCodeName(std::uint8_t rtn) {
  switch (rtn) {
    case 0x00:
      return "normal";
    case 0x01:
      return "VER error";
    case 0x02:
      return "CHKSUM error";
    case 0x03:
      return "LCHKSUM error";
    case 0x04:
      return "CID2 invalid";
    case 0x05:
      return "command format error";
    case 0x06:
      return "invalid data";
    default:
      return "unknown";
  }
}

Decoder::Decoder() { frame_.info.reserve(kMaxInfoBytes); }

void Decoder::Reset() {
  state_ = State::kHunting;
  count_ = 0;
}

unsigned Decoder::ExpectedChars() const {
  if (state_ != State::kInFrame || !header_done_) return 0;
  return 2 + kHeaderChars + info_chars_ + kChecksumChars;
}

Decoder::Event Decoder::Fail(Fault fault, std::string detail) {
  state_ = State::kHunting;
  fault_ = fault;
  detail_ = std::move(detail);
  return Event::kFault;
}

Decoder::Event Decoder::Push(std::uint8_t c) {
  if (c == kSoi) {
    // A new frame; whatever was being read is dropped.
    state_ = State::kInFrame;
    count_ = 0;
    sum_ = 0;
    info_chars_ = 0;
    header_done_ = false;
    checksum_ = 0;
    frame_.info.clear();
    return Event::kNone;
  }
  if (state_ != State::kInFrame) return Event::kNone;
  if (c == kEoi) return Finish();

  const int v = HexValue(c);
  if (v < 0) {
    return Fail(Fault::kBadHex,
                fmt::format("{} at character {} of the frame", Printable(c), count_ + 1));
  }
  const unsigned at = count_++;
  if (at < kHeaderChars) {
    sum_ += c;
    if (at % 2 == 0) {
      high_nibble_ = static_cast<std::uint8_t>(v);
      return Event::kNone;
    }
    header_[at / 2] = static_cast<std::uint8_t>((high_nibble_ << 4) | v);
    if (at + 1 < kHeaderChars) return Event::kNone;
    // The header is complete: check LENGTH before reading on.
    const std::uint16_t length = static_cast<std::uint16_t>((header_[4] << 8) | header_[5]);
    const std::uint16_t lenid = length & 0x0FFF;
    if (LengthWord(lenid) != length) {
      return Fail(Fault::kBadLengthChecksum,
                  fmt::format("LENGTH {:04X}, expected {:04X}", length, LengthWord(lenid)));
    }
    if (lenid % 2 != 0) {
      return Fail(Fault::kBadLength, fmt::format("odd LENID {:03X}", lenid));
    }
    info_chars_ = lenid;
    header_done_ = true;
    return Event::kNone;
  }
  const unsigned info_end = kHeaderChars + info_chars_;
  if (at < info_end) {
    sum_ += c;
    if ((at - kHeaderChars) % 2 == 0) {
      high_nibble_ = static_cast<std::uint8_t>(v);
    } else {
      frame_.info.push_back(static_cast<std::uint8_t>((high_nibble_ << 4) | v));
    }
    return Event::kNone;
  }
  if (at < info_end + kChecksumChars) {
    checksum_ = static_cast<std::uint16_t>((checksum_ << 4) | v);
    return Event::kNone;
  }
  return Fail(Fault::kFrameTooLong, fmt::format("more than the {} characters its LENGTH announces",
                                                info_end + kChecksumChars));
}

Decoder::Event Decoder::Finish() {
  const unsigned expected = kHeaderChars + info_chars_ + kChecksumChars;
  if (!header_done_ || count_ != expected) {
    return Fail(
        Fault::kBadLength,
        header_done_
            ? fmt::format("frame of {} characters, its LENGTH announces {}", count_, expected)
            : fmt::format("frame of {} characters ends inside its header", count_));
  }
  const std::uint16_t computed = static_cast<std::uint16_t>((~sum_ + 1) & 0xFFFF);
  if (computed != checksum_) {
    return Fail(Fault::kBadChecksum,
                fmt::format("CHKSUM {:04X}, computed {:04X}", checksum_, computed));
  }
  state_ = State::kHunting;
  frame_.ver = header_[0];
  frame_.adr = header_[1];
  frame_.cid1 = header_[2];
  frame_.cid2 = header_[3];
  frame_.lenid = static_cast<std::uint16_t>(info_chars_);
  return Event::kFrame;
}

}  // namespace yd1363
