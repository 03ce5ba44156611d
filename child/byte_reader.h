#pragma once
// A bounded cursor over an answer's information field. Every parse
// operation reads through it, so "never read at or past len" lives here.
//
// The position may run past the end by skipping (counts announced by the
// unit), so an overflow can be reported with the length the counts require;
// but nothing is ever read there: a read that does not fit copies nothing,
// leaves the position unchanged and returns false.

#include <cstdint>
#include <cstring>

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, int len)
      : data_(data), len_(data != nullptr && len > 0 ? len : 0) {}

  // Offset of the next unread byte (may exceed len() after a skip).
  std::int64_t pos() const { return pos_; }
  int len() const { return len_; }
  // Whether `n` bytes lie within the field at the current position.
  bool has(std::int64_t n) const { return n >= 0 && pos_ + n <= len_; }

  // Copies `n` bytes into `dst` and advances, or returns false.
  bool read(void* dst, std::int64_t n) {
    if (!has(n)) return false;
    if (n > 0) std::memcpy(dst, data_ + pos_, static_cast<std::size_t>(n));
    pos_ += n;
    return true;
  }
  bool u8(std::uint8_t& out) { return read(&out, 1); }
  // The `n` bytes at the position without advancing, or nullptr.
  const std::uint8_t* peek(std::int64_t n) const { return has(n) ? data_ + pos_ : nullptr; }
  // Steps over `n` bytes without reading them; may run past the end.
  void skip(std::int64_t n) { pos_ += n; }

 private:
  const std::uint8_t* data_;
  int len_;
  std::int64_t pos_ = 0;
};

// Four equal bytes mean "the unit has no value" (the all-zero case is a real
// 0.0 for the placeholder rules that exclude it).
inline bool AllEqual4(const std::uint8_t* b) {
  return b[0] == b[1] && b[1] == b[2] && b[2] == b[3];
}
inline bool IsPlaceholder4(const std::uint8_t* b) { return AllEqual4(b) && b[0] != 0; }

// Bit pattern of -0.1f, stored where the unit sent no value.
constexpr std::uint8_t kMinusPointOne[4] = {0xCD, 0xCC, 0xCC, 0xBD};
constexpr std::uint8_t kZero4[4] = {0, 0, 0, 0};
