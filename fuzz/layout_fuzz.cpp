// Feeds a description and a block to a host's reading of them: the
// description as a device might answer it, then the block decoded through
// it.
//
// Input: u16 (low byte first) length n of the description, its n bytes
// (cut to what remains), then the block.
//
// Beside a crash or a sanitizer report, aborts when a decoded element lies
// outside the block or belongs to no field, or a description written again
// does not read back as itself.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "plugin/block_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::size_t n = data[0] | (std::size_t{data[1]} << 8);
  data += 2;
  size -= 2;
  if (n > size) n = size;
  // Exact-size heap copies, so a read past either end is seen.
  const std::vector<char> text(data, data + n);
  const std::vector<std::uint8_t> block(data + n, data + size);
  psma::BlockLayout layout;
  std::string error;
  if (!psma::ParseLayout(text.data(), text.size(), layout, error)) {
    if (error.empty()) std::abort();  // a refusal says why
    return 0;
  }
  std::vector<psma::FieldValue> fields;
  psma::DecodeBlock(layout, block.data(), block.size(), fields);
  for (const auto& v : fields) {
    if (v.field >= layout.fields.size()) std::abort();
    const psma::FieldLayout& f = layout.fields[v.field];
    const std::size_t at = std::size_t{f.offset} + std::size_t{v.element} * f.stride;
    if (at + psma::FieldTypeSize(f.type) > block.size()) std::abort();
    (void)psma::ElementName(f.name, v.element + 1u);
  }
  const std::string again = psma::LayoutJson(layout);
  psma::BlockLayout reread;
  if (!psma::ParseLayout(again.data(), again.size(), reread, error) ||
      reread.fields.size() != layout.fields.size()) {
    std::abort();
  }
  return 0;
}
