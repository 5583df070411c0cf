#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "corvane/engine/utf8.h"

namespace corvane {

// How an interface counts text: UTF-16 code units (NSAccessibility, Qt's
// strings, AppKit's ranges) or characters, that is code points (AT-SPI).
enum class TextUnit { kUtf16, kCharacter };

namespace utf8 {

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

// Eight bytes at a time: a character is a byte that is no continuation byte
// (10xxxxxx); one above U+FFFF starts with 11110xxx.
inline Counts Count(std::string_view text) {
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  // How many bytes have their top bit set in `bits`, which has no other.
  auto bytesSet = [](std::uint64_t bits) { return ((bits >> 7) * kOnes) >> 56; };
  std::uint64_t continuations = 0;
  std::uint64_t astral = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, text.data() + i, sizeof word);
    const std::uint64_t high = word & kHigh;
    if (high == 0) continue;
    const std::uint64_t second = (word << 1) & kHigh;
    continuations += bytesSet(high & ~second);
    astral += bytesSet(high & second & (word << 2) & (word << 3));
  }
  for (; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    continuations += (b & 0xC0U) == 0x80U;
    astral += b >= 0xF0U;
  }
  const std::uint64_t characters = text.size() - continuations;
  return {characters, characters + astral};
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
