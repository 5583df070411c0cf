#include "corvane/qt/word_finder.h"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>

namespace corvane::qt {

std::pair<std::size_t, std::size_t> WordAround(std::u16string_view text, std::size_t unit) {
  const auto length = static_cast<std::int32_t>(text.size());
  const auto index = static_cast<std::int32_t>(std::min(unit, text.size()));
  // Made once: loading the dictionaries is what costs. Main thread only.
  static const std::unique_ptr<icu::BreakIterator> words = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> made(
        icu::BreakIterator::createWordInstance(icu::Locale::getJapanese(), status));
    return U_SUCCESS(status) ? std::move(made) : nullptr;
  }();
  if (!words || length == 0) return {unit, unit};
  // An alias of the text, not a copy.
  const icu::UnicodeString aliased(false, text.data(), length);
  words->setText(aliased);
  std::int32_t first = words->preceding(index + 1);
  std::int32_t second = words->following(index);
  if (first == icu::BreakIterator::DONE) first = 0;
  if (second == icu::BreakIterator::DONE) second = length;
  return {static_cast<std::size_t>(first), static_cast<std::size_t>(second)};
}

}  // namespace corvane::qt
