#include "corvane/app/text_units.h"

namespace corvane::utf8 {

std::u16string ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char b = p[i];
    char32_t c = b;
    std::size_t length = 1;
    if (b >= 0xF0U) {
      c = b & 0x07U;
      length = 4;
    } else if (b >= 0xE0U) {
      c = b & 0x0FU;
      length = 3;
    } else if (b >= 0xC0U) {
      c = b & 0x1FU;
      length = 2;
    }
    for (std::size_t k = 1; k < length && i + k < n; ++k) c = (c << 6) | (p[i + k] & 0x3FU);
    i += length;
    if (c >= 0x10000U) {
      c -= 0x10000U;
      out.push_back(static_cast<char16_t>(0xD800U + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00U + (c & 0x3FFU)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

}  // namespace corvane::utf8
