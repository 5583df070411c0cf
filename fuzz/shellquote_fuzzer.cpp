// Quotes arbitrary bytes and reads the result back the way bash reads a word
// made of single-quoted runs and backslash escapes. Anything else in the
// quoted text (a bare character, an unterminated quote) would be open to the
// shell's expansions, so it counts as a fault.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/engine/install_plan.h"

namespace {

// Bash's reading of such a word: inside '...' every byte is literal up to the
// next apostrophe; outside, a backslash takes the next byte literally, except
// that backslash-newline is a line continuation and stands for nothing.
std::optional<std::string> ReadBashWord(std::string_view word) {
  std::string text;
  std::size_t i = 0;
  while (i < word.size()) {
    if (word[i] == '\'') {
      const std::size_t close = word.find('\'', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      text.append(word.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (word[i] == '\\') {
      if (i + 1 == word.size()) return std::nullopt;
      if (word[i + 1] != '\n') text += word[i + 1];
      i += 2;
    } else {
      return std::nullopt;
    }
  }
  return text;
}

void Check(bool ok, const char* property) {
  if (ok) return;
  std::fprintf(stderr, "ShellQuote property violated: %s\n", property);
  __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(input), size);
  const std::string quoted = corvane::ShellQuote(text);

  const std::optional<std::string> read = ReadBashWord(quoted);
  Check(read && *read == text, "bash reads the quoted word back as the input");

  std::size_t apostrophes = 0;
  for (const char c : text) apostrophes += c == '\'';
  Check(quoted.size() == text.size() + 2 + 3 * apostrophes,
        "two quotes added, and three more bytes per apostrophe");
  return 0;
}
