#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

namespace corvane::qt {

// The word, run of spaces or punctuation around UTF-16 unit `unit` of
// `text`, as [first, second): ICU's word breaks, which take Japanese words
// from a dictionary, as a Mac finds them (Unicode's default rules split
// every ideograph).
std::pair<std::size_t, std::size_t> WordAround(std::u16string_view text, std::size_t unit);

}  // namespace corvane::qt
