#pragma once
// Writes answers byte by byte, so what builds them reads like the wire format.
//   Bytes().u8(2).f32(230.5f).rep(0x20, 4).u8(0)

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace psma_answers {

class Bytes {
 public:
  Bytes() = default;
  Bytes(std::initializer_list<std::uint8_t> b) : v_(b) {}

  Bytes& u8(std::uint8_t b) {
    v_.push_back(b);
    return *this;
  }
  Bytes& u8s(std::initializer_list<std::uint8_t> b) {
    v_.insert(v_.end(), b.begin(), b.end());
    return *this;
  }
  // An f32, least significant byte first.
  Bytes& f32(float f) {
    std::uint8_t b[4];
    std::memcpy(b, &f, 4);
    v_.insert(v_.end(), b, b + 4);
    return *this;
  }
  Bytes& rep(std::uint8_t b, std::size_t n) {
    v_.insert(v_.end(), n, b);
    return *this;
  }
  Bytes& append(const Bytes& other) {
    v_.insert(v_.end(), other.v_.begin(), other.v_.end());
    return *this;
  }

  const std::uint8_t* data() const { return v_.data(); }
  int size() const { return static_cast<int>(v_.size()); }
  const std::vector<std::uint8_t>& vec() const { return v_; }
  operator const std::vector<std::uint8_t>&() const { return v_; }

 private:
  std::vector<std::uint8_t> v_;
};

// An f32 from four bytes as stored.
inline float F32(const std::uint8_t* b) {
  float f;
  std::memcpy(&f, b, 4);
  return f;
}
// The four bytes of a stored f32 field.
inline std::uint32_t Bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

}  // namespace psma_answers
