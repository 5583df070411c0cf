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

// Accounts for one piece of output against the bytes not yet delivered:
// either it passes a prefix of them through unchanged as UTF-8, or it is all
// of them as Mac OS Roman. Either way each byte comes out once, in order.
void Consume(std::string& pending, const std::string& piece) {
  Check(ReferenceValidUtf8(piece), "every piece of output is valid UTF-8");
  if (pending.compare(0, piece.size(), piece) == 0) {
    pending.erase(0, piece.size());
    return;
  }
  Check(piece == corvane::DecodeMacRoman(pending),
        "a piece is undelivered bytes passed through, or all of them as Mac OS Roman");
  pending.clear();
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

  corvane::OutputDecoder decoder;
  std::string pending;
  std::string output;
  for (const std::string_view chunk : chunks) {
    pending += chunk;
    const std::string piece = decoder.decode(chunk);
    Consume(pending, piece);
    // Only the start of a character cut at the end of the chunk may be held
    // back; anything else held would be output withheld from the log.
    Check(pending.empty() || IsCutCharacter(pending), "only a cut character is held back");
    output += piece;
  }
  const std::string rest = decoder.finish();
  Consume(pending, rest);
  Check(pending.empty(), "finish delivers every byte still held");
  output += rest;

  if (valid) Check(output == data, "valid UTF-8 comes out unchanged, however it is cut");
  Check(output.empty() == data.empty(), "output is empty only for empty input");

  const std::string lenient = corvane::DecodeLeniently(data);
  Check(ReferenceValidUtf8(lenient), "lenient decoding gives valid UTF-8");
  if (valid) Check(lenient == data, "lenient decoding keeps valid UTF-8 unchanged");
  return 0;
}
