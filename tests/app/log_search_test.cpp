#include "corvane/app/log_search.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "corvane/app/log_model.h"
#include "manual_main_queue.h"

namespace corvane {
namespace {

using namespace std::string_literals;

// Folding as a platform's has it for what a search must take: two cases,
// full-width letters, ß as two letters, a ligature, the Kelvin sign, an
// accent split off its letter, a soft hyphen that counts as nothing.
class Folding : public TextFolding {
 public:
  std::u32string fold(char32_t c) const override {
    if (c >= U'A' && c <= U'Z') return {c + 32};
    if (c >= U'Ａ' && c <= U'Ｚ') return {c - U'Ａ' + U'a'};
    if (c >= U'ａ' && c <= U'ｚ') return {c - U'ａ' + U'a'};
    if (c == U'ß') return U"ss";
    if (c == U'ﬁ') return U"fi";
    if (c == U'\u212A') return U"k";
    if (c == U'é') return U"e\u0301";
    if (c == U'\u00AD') return U"";
    return {c};
  }
};

// A log of chunks of sixteen bytes, so that matches cross them, and a search
// over it.
struct Searched {
  Searched(std::size_t budget, unsigned blockShift)
      : model(budget, 16),
        search(
            model.store(), queue, [] {}, blockShift) {}
  void finish() {
    search.resume();
    while (queue->runOne()) {
    }
    EXPECT_TRUE(search.complete());
  }
  std::shared_ptr<testing::ManualMainQueue> queue = std::make_shared<testing::ManualMainQueue>();
  LogModel model;
  LogSearch search;
};

// Each code point of some UTF-8 text, where it starts, and as it folds.
struct Point {
  std::size_t at;
  std::u32string folded;
};
std::vector<Point> Points(std::string_view text, const TextFolding* fold) {
  std::vector<Point> points;
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t c = lead & (0xFFU >> (length == 1 ? 1 : length + 1));
    for (std::size_t k = 1; k < length; ++k) c = c << 6 | (text[at + k] & 0x3FU);
    if (c == 0) c = U'␀';
    points.push_back({at, fold ? fold->fold(c) : std::u32string{c}});
    at += length;
  }
  return points;
}

// Random text cut anywhere, long ASCII stretches among other bytes, old
// lines dropped as more comes: the search finds what a slow one finds, at
// every character, and steps and counts by them.
TEST(LogSearch, FindsWhatASlowSearchFindsInTextThatComesAndGoes) {
  const Folding folding;
  const std::vector<std::string> atoms = {"a",  "A",  "s",  "S",  "ß",      "ﬁ",
                                          "fi", "é",  "́",   "Ａ", "\u00AD", "\0"s,
                                          "␀",  "\n", "あ", "😀",  "\u212A", "k"};
  std::mt19937 random(7);
  auto pick = [&](std::size_t count) {
    std::string text;
    for (std::size_t k = 0; k < count; ++k) {
      // Stretches of ASCII long enough to be searched sixteen bytes at once.
      text += random() % 3 == 0 ? atoms[random() % atoms.size()]
                                : std::string(1 + random() % 40, "asfie "[random() % 6]);
    }
    return text;
  };
  for (int round = 0; round < 60; ++round) {
    const TextFolding* fold = round % 2 == 0 ? &folding : nullptr;
    // Blocks of 64 bytes, so that steps and drops cross them.
    Searched searched(2048, 6);
    std::string needle = pick(1 + random() % 3);
    std::size_t cut = std::min<std::size_t>(needle.size(), 1 + random() % 8);
    while (cut < needle.size() && utf8::IsContinuation(needle[cut])) ++cut;
    needle.resize(cut);
    std::u32string want;
    for (const Point& point : Points(needle, fold)) want += point.folded;
    searched.search.start(needle, fold);
    for (int append = 0; append < 10; ++append) {
      searched.model.append(pick(random() % 80));
      searched.finish();
      const LogStore& store = searched.model.store();
      const std::string text = store.text();
      const std::vector<Point> points = Points(text, fold);
      std::vector<LogSearch::Match> slow;
      for (std::size_t first = 0; first < points.size() && !want.empty(); ++first) {
        if (points[first].folded.empty() || points[first].folded[0] != want[0]) continue;
        std::size_t matched = 0;
        for (std::size_t k = first; k < points.size(); ++k) {
          const std::u32string& folded = points[k].folded;
          if (want.compare(matched, folded.size(), folded) != 0) break;
          matched += folded.size();
          if (matched < want.size()) continue;
          const std::size_t end = k + 1 < points.size() ? points[k + 1].at : text.size();
          slow.push_back({store.beginOffset() + points[first].at, store.beginOffset() + end});
          break;
        }
      }
      ASSERT_EQ(searched.search.matchesIn(Offset(0), store.endOffset()), slow)
          << "round " << round << " after " << append << ": " << needle;
      ASSERT_EQ(searched.search.count(), slow.size());
      for (int probe = 0; probe < 8; ++probe) {
        const Offset at = store.beginOffset() + random() % (store.keptBytes() + 1);
        const auto after =
            std::find_if(slow.begin(), slow.end(), [&](auto& m) { return m.from >= at; });
        const auto before = static_cast<std::size_t>(after - slow.begin());
        EXPECT_EQ(searched.search.countBefore(at), before);
        EXPECT_EQ(searched.search.firstFrom(at),
                  after == slow.end() ? std::nullopt : std::optional(*after));
        EXPECT_EQ(searched.search.lastBefore(at),
                  before == 0 ? std::nullopt : std::optional(slow[before - 1]));
      }
    }
  }
}

}  // namespace
}  // namespace corvane
