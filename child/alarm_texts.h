#pragma once
// The texts of a device's alarm checks as the host takes them (const
// std::string&), made once instead of on every check of every round: a
// round whose answers repeat the previous ones then allocates nothing for
// its alarms.

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
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

// The same for rows whose description is all numbered: none is fixed.
template <typename Row, std::size_t N>
std::vector<AlarmRowTexts> MakeNumberedRowTexts(const Row (&rows)[N]) {
  std::vector<AlarmRowTexts> texts;
  texts.reserve(N);
  for (const Row& row : rows) texts.push_back({row.key, row.code, row.name, ""});
  return texts;
}

// Numbered descriptions, one per (number, row): made again only when the
// count of numbered things (channels, modules, fuses) changes, and shared by
// every device of the program with the same table and count (64 units hold
// one copy). A device's NumberedTexts is used on its polling thread only.
class NumberedTexts {
 public:
  using Texts = std::vector<std::string>;

  // The texts of `table` (any address naming the table) for numbers
  // 1..count, `per_number` of them each, made by `make(number, row)` unless
  // a device already made them.
  template <typename Make>
  void Ensure(const void* table, std::size_t count, std::size_t per_number, Make make) {
    if (texts_ && count == count_ && per_number == per_number_) return;
    const Key key{table, count, per_number};
    std::lock_guard<std::mutex> lock(RegistryMutex());
    std::weak_ptr<const Texts>& shared = Registry()[key];
    texts_ = shared.lock();
    if (!texts_) {
      auto made = std::make_shared<Texts>();
      made->reserve(count * per_number);
      for (std::size_t n = 1; n <= count; ++n) {
        for (std::size_t row = 0; row < per_number; ++row) made->push_back(make(n, row));
      }
      texts_ = std::move(made);
      shared = texts_;
    }
    count_ = count;
    per_number_ = per_number;
  }
  // The text of `number` (from 1) and `row`.
  const std::string& At(std::size_t number, std::size_t row) const {
    return (*texts_)[(number - 1) * per_number_ + row];
  }

 private:
  using Key = std::tuple<const void*, std::size_t, std::size_t>;
  static std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::map<Key, std::weak_ptr<const Texts>>& Registry() {
    static std::map<Key, std::weak_ptr<const Texts>> registry;
    return registry;
  }

  std::shared_ptr<const Texts> texts_;
  std::size_t count_ = 0;
  std::size_t per_number_ = 0;
};

}  // namespace psma
