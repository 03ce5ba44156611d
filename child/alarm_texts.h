#pragma once
// The texts of a device's alarm checks as the host takes them (const
// std::string&), made once instead of on every check of every round: a
// round whose answers repeat the previous ones then allocates nothing for
// its alarms.

#include <cstddef>
#include <string>
#include <vector>

namespace psma {

// The fixed texts of one row of an alarm table.
struct AlarmRowTexts {
  std::string key;
  std::string code;
  std::string name;
  std::string description;
};

// The rows' fixed texts, in row order; `description` of a row whose
// description depends on a channel or module number is its fixed part.
template <typename Row, std::size_t N>
std::vector<AlarmRowTexts> MakeRowTexts(const Row (&rows)[N]) {
  std::vector<AlarmRowTexts> texts;
  texts.reserve(N);
  for (const Row& row : rows) texts.push_back({row.key, row.code, row.name, row.description});
  return texts;
}

// Numbered descriptions, one per (number, row): made again only when the
// count of numbered things (channels, modules) changes. Used on the polling
// thread only.
class NumberedTexts {
 public:
  // The texts for numbers 1..count, `per_number` of them each, made by
  // `make(number, row)` when the count differs from the one they were made for.
  template <typename Make>
  void Ensure(std::size_t count, std::size_t per_number, Make make) {
    if (made_ && count == count_ && per_number == per_number_) return;
    texts_.clear();
    texts_.reserve(count * per_number);
    for (std::size_t n = 1; n <= count; ++n) {
      for (std::size_t row = 0; row < per_number; ++row) texts_.push_back(make(n, row));
    }
    count_ = count;
    per_number_ = per_number;
    made_ = true;
  }
  // The text of `number` (from 1) and `row`.
  const std::string& At(std::size_t number, std::size_t row) const {
    return texts_[(number - 1) * per_number_ + row];
  }

 private:
  std::vector<std::string> texts_;
  std::size_t count_ = 0;
  std::size_t per_number_ = 0;
  bool made_ = false;
};

}  // namespace psma
