#pragma once
// One vocabulary for every output: the name of a decoded field, its value
// as a machine reads it (exact) and as a person reads it (rounded to the
// field's resolution, with its unit; a state as its word). A value the unit
// did not have is absent, never a number.

#include <string>

#include "plugin/block_layout.h"

namespace korv_host {

// "input1.voltage.ab": the field's name with its element's number.
std::string FieldName(const psma::BlockLayout& layout, const psma::FieldValue& v);
// The field's row in the layout.
inline const psma::FieldLayout& FieldOf(const psma::BlockLayout& layout,
                                        const psma::FieldValue& v) {
  return layout.fields[v.field];
}
// A state's word, or its code in decimal when no word names it; "" for a
// value.
std::string FieldWord(const psma::BlockLayout& layout, const psma::FieldValue& v);
// A value as the shortest text that reads back as the same float; a state's
// code in decimal; "" when absent.
std::string FieldExact(const psma::BlockLayout& layout, const psma::FieldValue& v);
// A value at its resolution ("53.50"); a state's word; "" when absent.
std::string FieldRounded(const psma::BlockLayout& layout, const psma::FieldValue& v);
// FieldRounded with the unit ("53.50 V"), for a person.
std::string FieldReadable(const psma::BlockLayout& layout, const psma::FieldValue& v);

}  // namespace korv_host
