#pragma once

// What the output decoder needs of UTF-8; the log's text units are the app's.
namespace corvane::utf8 {

inline bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0U) == 0x80U; }

}  // namespace corvane::utf8
