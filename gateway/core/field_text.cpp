#include "gateway/core/field_text.h"

#include <fmt/format.h>

namespace korv_host {

std::string FieldName(const psma::BlockLayout& layout, const psma::FieldValue& v) {
  return psma::ElementName(FieldOf(layout, v).name, v.element + 1u);
}

std::string FieldWord(const psma::BlockLayout& layout, const psma::FieldValue& v) {
  const psma::FieldLayout& f = FieldOf(layout, v);
  if (f.type != psma::FieldType::kU8 || !v.present) return {};
  const std::string* word = f.WordOf(v.code);
  return word != nullptr ? *word : std::to_string(v.code);
}

std::string FieldExact(const psma::BlockLayout& layout, const psma::FieldValue& v) {
  if (!v.present) return {};
  if (FieldOf(layout, v).type == psma::FieldType::kU8) return std::to_string(v.code);
  return fmt::format("{}", v.value);
}

std::string FieldRounded(const psma::BlockLayout& layout, const psma::FieldValue& v) {
  const psma::FieldLayout& f = FieldOf(layout, v);
  if (!v.present) return {};
  if (f.type == psma::FieldType::kU8) return FieldWord(layout, v);
  std::string text = fmt::format("{:.{}f}", v.value, f.Decimals());
  if (!text.empty() && text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos) {
    text.erase(0, 1);  // a small negative reading rounds to 0, not "-0.0"
  }
  return text;
}

std::string FieldReadable(const psma::BlockLayout& layout, const psma::FieldValue& v) {
  std::string text = FieldRounded(layout, v);
  const char* unit = psma::ValueUnit(FieldOf(layout, v).value_class);
  if (!text.empty() && *unit != '\0') text += std::string(" ") + unit;
  return text;
}

}  // namespace korv_host
