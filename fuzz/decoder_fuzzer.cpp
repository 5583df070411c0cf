// Feeds the output decoder bytes cut into chunks at places the fuzzer picks,
// the way reads of the install process's pipe cut them.
//
// Input: byte 0 is the number of cuts n (mod 16); the next n bytes are the
// lengths of the first n chunks (0 allowed); the rest is the data. Lengths
// that run past the data are clipped, and what remains after the cuts is the
// last chunk.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/engine/output_decoder.h"

namespace {

// Names the broken property before trapping; optimised builds merge traps.
void Check(bool ok, const char* property) {
  if (ok) return;
  std::fprintf(stderr, "decoder property violated: %s\n", property);
  __builtin_trap();
}

// An independent UTF-8 check, by decoding code points, so that a fault in the
// decoder's own table-driven check cannot hide itself.
bool ReferenceValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t len;
    char32_t cp;
    char32_t min;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, cp = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// True when some bytes appended to s would make it valid UTF-8 while s itself
// is not: s is the start of a character that was cut.
bool IsCutCharacter(std::string_view s) {
  if (s.empty() || s.size() > 3) return false;
  std::string probe(s);
  for (int c = 0x80; c <= 0xBF; ++c) {
    probe.resize(s.size());
    probe += static_cast<char>(c);
    // Pad with the smallest continuation byte; for every lead byte, some
    // second byte followed by 0x80s gives a valid character when any does.
    while (probe.size() < 4 && !ReferenceValidUtf8(probe)) probe += '\x80';
    if (ReferenceValidUtf8(probe)) return true;
  }
  return false;
}

// Each character on its own, found by trying lengths: a well-formed one as it
// is, any other byte as its Mac OS Roman character.
std::string ReferenceLenient(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t length = 1;
    while (length <= 4 && i + length <= s.size() && !ReferenceValidUtf8(s.substr(i, length)))
      ++length;
    if (length <= 4 && i + length <= s.size()) {
      out.append(s.substr(i, length));
      i += length;
    } else {
      out += corvane::DecodeMacRoman(s.substr(i, 1));
      ++i;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(input), size);
  if (all.empty()) return 0;
  const std::size_t cuts = static_cast<std::uint8_t>(all[0]) % 16;
  if (all.size() < 1 + cuts) return 0;
  const std::string_view data = all.substr(1 + cuts);

  std::vector<std::string_view> chunks;
  std::size_t at = 0;
  for (std::size_t k = 0; k < cuts; ++k) {
    const std::size_t len = static_cast<std::uint8_t>(all[1 + k]);
    chunks.push_back(data.substr(at, len));
    at += chunks.back().size();
  }
  chunks.push_back(data.substr(at));

  const bool valid = ReferenceValidUtf8(data);
  Check(corvane::IsValidUtf8(data) == valid, "IsValidUtf8 agrees with a code point decoder");

  const std::string expected = ReferenceLenient(data);
  Check(corvane::DecodeLeniently(data) == expected,
        "lenient decoding decodes each character on its own");
  Check(ReferenceValidUtf8(expected), "lenient decoding gives valid UTF-8");

  corvane::OutputDecoder decoder;
  std::string output;
  std::size_t consumed = 0;
  for (const std::string_view chunk : chunks) {
    const std::string piece = decoder.decode(chunk);
    Check(ReferenceValidUtf8(piece), "every piece of output is valid UTF-8");
    output += piece;
    consumed += chunk.size();
    // What is held back is the start of one cut character, nothing more: the
    // output so far is the whole decoding of all but those bytes.
    std::size_t held = 0;
    while (held <= 3 && held <= consumed &&
           ReferenceLenient(data.substr(0, consumed - held)) != output) {
      ++held;
    }
    Check(held <= 3 && held <= consumed, "the output so far is what was read, decoded");
    Check(held == 0 || IsCutCharacter(data.substr(consumed - held, held)),
          "only a cut character is held back");
  }
  output += decoder.finish();
  Check(output == expected, "the text is the same however the stream is cut");
  return 0;
}
