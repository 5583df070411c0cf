#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// How an interface counts text: UTF-16 code units (NSAccessibility, Qt's
// strings, AppKit's ranges) or characters, that is code points (AT-SPI).
enum class TextUnit { kUtf16, kCharacter };

namespace utf8 {

inline bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0U) == 0x80U; }

// Units of the character that `lead` starts: a character above U+FFFF is a
// surrogate pair in UTF-16.
inline unsigned Width(char lead, TextUnit unit) {
  return unit == TextUnit::kUtf16 && static_cast<unsigned char>(lead) >= 0xF0U ? 2 : 1;
}

// Characters and UTF-16 units of well-formed UTF-8, counted in one pass.
struct Counts {
  std::uint64_t characters = 0;
  std::uint64_t utf16 = 0;
  std::uint64_t in(TextUnit unit) const { return unit == TextUnit::kUtf16 ? utf16 : characters; }
};

inline Counts Count(std::string_view text) {
  std::uint64_t leads = 0;
  std::uint64_t astral = 0;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    leads += (b & 0xC0U) != 0x80U;
    astral += b >= 0xF0U;
  }
  return {leads, leads + astral};
}

// Bytes from the start of `text` before the character that holds unit
// `index`; a unit inside a surrogate pair gives its character's start, an
// index past the end the text's size.
inline std::size_t ByteIndex(std::string_view text, std::uint64_t index, TextUnit unit) {
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i < text.size(); ++i) {
    if (IsContinuation(text[i])) continue;
    seen += Width(text[i], unit);
    if (seen > index) break;
  }
  return i;
}

// Well-formed UTF-8 as UTF-16.
std::u16string ToUtf16(std::string_view text);

}  // namespace utf8
}  // namespace corvane
