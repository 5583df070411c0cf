#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane {

// True when the bytes are well-formed UTF-8: shortest forms only, no
// surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view bytes);

// Length of the trailing bytes that begin a UTF-8 sequence but do not finish
// it (0 to 3). Only a prefix that some valid sequence could complete counts.
std::size_t IncompleteUtf8Tail(std::string_view bytes);

// Apple's Mac OS Roman, decoded to UTF-8. Every byte maps to one character.
std::string DecodeMacRoman(std::string_view bytes);

// For text that should be UTF-8 but may not be, such as a path's bytes: every
// well-formed UTF-8 character as it is, every other byte as Mac OS Roman.
std::string DecodeLeniently(std::string_view bytes);

// Turns the install process's output chunks into text: each well-formed UTF-8
// character as it is, each other byte as its Mac OS Roman character, exactly
// once and in order. A character cut between two reads is carried over, so the
// text is the same however the reads fall.
class OutputDecoder {
 public:
  // The text of one chunk; empty when there is nothing to deliver yet. Out of
  // memory, throws std::bad_alloc and is as it was.
  std::string decode(std::string_view chunk);
  // At end of stream: whatever is still carried, as Mac OS Roman.
  std::string finish();

 private:
  std::string carry_;
};

}  // namespace corvane
