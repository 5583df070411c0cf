#include "corvane/engine/output_decoder.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "corvane/engine/utf8.h"

namespace corvane {
namespace {

// Code points for bytes 0x80 to 0xFF, from Apple's ROMAN.TXT.
constexpr std::array<char16_t, 128> kMacRomanHigh = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3,
    0x00E5, 0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3,
    0x00A7, 0x2022, 0x00B6, 0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA,
    0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D,
    0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1, 0x00CB, 0x00C8, 0x00CD, 0x00CE,
    0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7};

inline std::uint8_t Byte(std::string_view s, std::size_t i) {
  return static_cast<std::uint8_t>(s[i]);
}

// Number of bytes of the sequence a lead byte starts, 0 when it cannot lead,
// and the allowed range of the second byte (which rules out overlong forms,
// surrogates and code points above U+10FFFF).
struct LeadInfo {
  std::uint8_t length;
  std::uint8_t secondMin;
  std::uint8_t secondMax;
};

constexpr LeadInfo Lead(std::uint8_t b) {
  if (b < 0x80) return {1, 0, 0};
  if (b < 0xC2) return {0, 0, 0};
  if (b < 0xE0) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};
  if (b < 0xF0) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b < 0xF4) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// Leads of three bytes whose second may be any continuation byte.
constexpr auto kCommonLead = [] {
  std::array<bool, 256> table{};
  for (int b = 0xE1; b <= 0xEF; ++b) table[static_cast<std::size_t>(b)] = b != 0xED;
  return table;
}();

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  const char* p = bytes.data();
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Skip ASCII eight bytes at a time: most install output is ASCII. In the
    // word that is not, straight to its first byte that is not.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, p + i, sizeof word);
      const std::uint64_t high = word & 0x8080808080808080ULL;
      if (high == 0) {
        i += 8;
        continue;
      }
      if constexpr (std::endian::native == std::endian::little) {
        i += static_cast<std::size_t>(std::countr_zero(high)) / 8;
      }
      break;
    }
    while (i < n && Byte(bytes, i) < 0x80) ++i;
    // A run of multi-byte characters, without going back to the word test
    // between them: Japanese output is mostly such runs.
    while (i < n && Byte(bytes, i) >= 0x80) {
      // Two such characters at once, when there are: the second byte of a
      // lead from E1 to EF, but ED, may be any continuation byte.
      if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t word = 0;
        while (i + 8 <= n) {
          std::memcpy(&word, p + i, sizeof word);
          if ((word & 0x0000C0C000C0C000ULL) != 0x0000808000808000ULL ||
              !kCommonLead[word & 0xFFU] || !kCommonLead[(word >> 24) & 0xFFU]) {
            break;
          }
          i += 6;
        }
        if (i >= n || Byte(bytes, i) < 0x80) break;
      }
      const std::uint8_t b = Byte(bytes, i);
      if (kCommonLead[b]) {
        // Three bytes whose second byte may be any continuation byte: most of
        // the Basic Multilingual Plane, all of kana and the common kanji.
        if (i + 3 > n) return false;
        std::uint16_t tail;
        std::memcpy(&tail, p + i + 1, sizeof tail);
        if ((tail & 0xC0C0U) != 0x8080U) return false;
        i += 3;
        continue;
      }
      const LeadInfo lead = Lead(b);
      if (lead.length == 0 || i + lead.length > n) return false;
      const std::uint8_t second = Byte(bytes, i + 1);
      if (second < lead.secondMin || second > lead.secondMax) return false;
      for (std::size_t k = 2; k < lead.length; ++k) {
        if (!utf8::IsContinuation(bytes[i + k])) return false;
      }
      i += lead.length;
    }
  }
  return true;
}

std::size_t IncompleteUtf8Tail(std::string_view bytes) {
  const std::size_t n = bytes.size();
  // A cut sequence has its lead byte within the last three bytes.
  for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
    const std::size_t start = n - back;
    if (utf8::IsContinuation(bytes[start])) continue;
    const LeadInfo lead = Lead(Byte(bytes, start));
    if (lead.length <= back) return 0;
    if (back >= 2) {
      const std::uint8_t second = Byte(bytes, start + 1);
      if (second < lead.secondMin || second > lead.secondMax) return 0;
    }
    return back;
  }
  return 0;
}

std::string DecodeLeniently(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  std::string text;
  text.reserve(bytes.size() + bytes.size() / 2);
  std::size_t i = 0;
  while (i < bytes.size()) {
    // The longest valid run from here goes through whole; the byte that stops
    // it is one stray byte.
    std::size_t run = i;
    while (run < bytes.size()) {
      const LeadInfo lead = Lead(Byte(bytes, run));
      if (lead.length == 0 || run + lead.length > bytes.size()) break;
      if (lead.length > 1) {
        const std::uint8_t second = Byte(bytes, run + 1);
        if (second < lead.secondMin || second > lead.secondMax) break;
        bool whole = true;
        for (std::size_t k = 2; k < lead.length; ++k) whole &= utf8::IsContinuation(bytes[run + k]);
        if (!whole) break;
      }
      run += lead.length;
    }
    text.append(bytes.substr(i, run - i));
    if (run < bytes.size()) text += DecodeMacRoman(bytes.substr(run, 1));
    i = run + 1;
  }
  return text;
}

std::string DecodeMacRoman(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint8_t b = Byte(bytes, i);
    if (b < 0x80) {
      text += static_cast<char>(b);
      continue;
    }
    const char32_t cp = kMacRomanHigh[b - 0x80U];
    if (cp < 0x800) {
      text += static_cast<char>(0xC0 | (cp >> 6));
      text += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      text += static_cast<char>(0xE0 | (cp >> 12));
      text += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return text;
}

std::string OutputDecoder::decode(std::string_view chunk) {
  std::string bytes;
  bytes.reserve(carry_.size() + chunk.size());
  bytes += carry_;
  bytes += chunk;
  // A character cut by the read waits for its other bytes; every other byte
  // is decoded now, on its own, so the text never depends on where reads fall.
  const std::size_t tail = IncompleteUtf8Tail(bytes);
  std::string text = IsValidUtf8({bytes.data(), bytes.size() - tail})
                         ? std::string()
                         : DecodeLeniently({bytes.data(), bytes.size() - tail});
  // Nothing below allocates (three bytes at most are carried), so a failure
  // above leaves the carry as it was, for the same chunk to be tried again.
  carry_.assign(bytes, bytes.size() - tail, tail);
  if (!text.empty()) return text;
  bytes.resize(bytes.size() - tail);
  return bytes;
}

std::string OutputDecoder::finish() {
  std::string rest = DecodeMacRoman(carry_);
  carry_.clear();
  return rest;
}

}  // namespace corvane
