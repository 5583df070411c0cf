#include "corvane/app/log_store.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace corvane {
namespace {

std::uint64_t CodePoints(const std::string& s) {
  std::uint64_t n = 0;
  for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
  return n;
}

// Where each line starts, by the definition of a line end: LF, CR, CRLF,
// U+2028, U+2029.
std::vector<std::size_t> LineStarts(const std::string& s) {
  std::vector<std::size_t> starts{0};
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
    if (s[i] == '\n' || s[i] == '\r') {
      starts.push_back(i + 1);
    } else if (s.compare(i, 3, "\u2028") == 0 || s.compare(i, 3, "\u2029") == 0) {
      i += 2;
      starts.push_back(i + 1);
    }
  }
  return starts;
}

// Random text of everything that ends a line, cut at random places, into a
// store with a random bound: what it keeps is exactly the end of what was
// appended, its lines are those of that text, and what went is counted to the
// character.
TEST(LogStore, KeepsExactlyTheEndAndCountsWhatWent) {
  std::string wide;
  for (int i = 0; i < 700; ++i) wide += "あ😀";
  // clang-format off
  const std::vector<std::string> atoms = {"a", "bc", "あ", "\n", "\r", "\r\n", "\u2029", "\u2028",
      "😀", "\t", std::string(1, '\0'), std::string(300, 'x'), std::string(5000, 'y'), wide};
  // clang-format on
  std::mt19937 random(11);
  for (int round = 0; round < 80; ++round) {
    const std::size_t chunk = std::size_t{16} << (random() % 6);
    const std::size_t budget = chunk * 4 + random() % 20000;
    LogStore store(round % 5 == 0 ? LogStore::kDefaultBudget : budget, chunk);
    std::string all;
    for (int piece = 0; piece < 30; ++piece) {
      std::string text;
      for (auto k = random() % 6; k > 0; --k) text += atoms[random() % atoms.size()];
      store.append(text);
      all += text;
      ASSERT_LE(store.memoryBytes(), store.budget() + chunk) << "round " << round;
    }
    const std::string kept = store.text();
    ASSERT_TRUE(all.ends_with(kept)) << "round " << round;
    ASSERT_NE(static_cast<unsigned char>(kept[0]) & 0xC0U, 0x80U) << "a whole first character";
    const std::string dropped = all.substr(0, all.size() - kept.size());
    ASSERT_EQ(store.droppedCharacters(), CodePoints(dropped)) << "round " << round;
    ASSERT_EQ(store.droppedLines(), LineStarts(dropped).size() - 1) << "round " << round;
    ASSERT_EQ(store.firstLine(), Line(store.droppedLines()));

    // The kept lines, as the text has them. A first line that lost its
    // beginning starts where the kept text does.
    std::vector<std::size_t> starts = LineStarts(all);
    std::erase_if(starts, [&](std::size_t s) { return s < dropped.size(); });
    if (starts.empty() || starts.front() != dropped.size()) {
      ASSERT_TRUE(store.firstLineIsPartial()) << "round " << round;
      starts.insert(starts.begin(), dropped.size());
    }
    ASSERT_EQ(store.endLine() - store.firstLine(), starts.size()) << "round " << round;
    for (std::size_t k = 0; k < starts.size(); ++k) {
      const Line line = store.firstLine() + k;
      ASSERT_EQ(store.lineStart(line), Offset(starts[k]));
      ASSERT_EQ(store.lineAt(Offset(starts[k])), line);
      const Offset end(k + 1 < starts.size() ? starts[k + 1] : all.size());
      ASSERT_EQ(store.lineEnd(line), end);
      // Its text holds no line end; what follows it is one line end, or nothing.
      const Offset content = store.lineContentEnd(line);
      const std::string ending = store.text(content, end);
      ASSERT_EQ(LineStarts(store.text(Offset(starts[k]), content)).size(), 1U);
      ASSERT_TRUE(ending.size() <= 3 &&
                  LineStarts(ending).size() == (k + 1 < starts.size() ? 2 : 1));
    }
  }
}

}  // namespace
}  // namespace corvane
