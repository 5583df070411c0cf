#include "corvane/app/log_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "manual_main_queue.h"

namespace corvane {
namespace {

using Segment = LogModel::Segment;

// One character of the text, as stored, and as a view shows it in UTF-16.
struct Atom {
  std::string bytes;
  std::u16string shown;
};

// Text of known characters: where each starts in bytes, and in UTF-16 units
// as shown.
struct Oracle {
  std::string text;
  std::u16string shown;
  std::vector<std::uint64_t> starts;
  std::vector<std::uint64_t> units;

  // Characters before an offset, and UTF-16 units as shown.
  std::uint64_t charactersAt(std::uint64_t offset) const {
    return static_cast<std::uint64_t>(std::lower_bound(starts.begin(), starts.end(), offset) -
                                      starts.begin());
  }
  std::uint64_t unitsAt(std::uint64_t offset) const {
    const auto k = charactersAt(offset);
    return k == starts.size() ? shown.size() : units[k];
  }
  bool isCharacterStart(std::uint64_t offset) const {
    return offset == text.size() || std::binary_search(starts.begin(), starts.end(), offset);
  }
};

// Segments are a line's text cut every 4,096 bytes, moved back to a
// character's start; walked forward and back, found by offset, and shown
// with NUL as ␀ in as many UTF-16 units as the text has. Offsets map to
// indexes in UTF-16 units and in characters, and back, as screen readers ask.
TEST(LogModel, CutsLinesIntoSegmentsAndMapsThemToUtf16) {
  const std::vector<Atom> atoms = {{"a", u"a"},   {"あ", u"あ"},
                                   {"😀", u"😀"},   {"𠮷", u"𠮷"},
                                   {"é", u"é"},   {std::string(1, '\0'), u"\u2400"},
                                   {"\t", u"\t"}, {"\u2400", u"\u2400"}};
  // CRLF is two characters and one line end.
  const std::vector<std::vector<Atom>> ends = {
      {{"\n", u"\n"}}, {{"\r", u"\r"}, {"\n", u"\n"}}, {{"\r", u"\r"}}, {{"\u2028", u"\u2028"}}};
  std::mt19937 random(5);
  for (int round = 0; round < 12; ++round) {
    LogModel model(round % 2 == 0 ? LogStore::kDefaultBudget : 64 * 1024, 4096);
    Oracle oracle;
    std::string pending;
    auto add = [&](const Atom& atom) {
      oracle.starts.push_back(oracle.text.size());
      oracle.units.push_back(oracle.shown.size());
      oracle.text += atom.bytes;
      oracle.shown += atom.shown;
      pending += atom.bytes;
    };
    for (int line = 0; line < 60; ++line) {
      // Mostly short lines; some of several segments.
      const auto length = random() % 8 == 0 ? 3000 + random() % 9000 : random() % 90;
      for (std::size_t k = 0; k < length; ++k) add(atoms[random() % 7 == 0 ? random() % 8 : 0]);
      for (const Atom& end : ends[random() % ends.size()]) add(end);
      // Cut anywhere, even inside a character's bytes: the store takes it whole.
      if (random() % 3 == 0) model.append(std::exchange(pending, {}));
    }
    model.append(pending);

    const LogStore& store = model.store();
    const std::uint64_t begin = store.beginOffset();
    ASSERT_EQ(store.text(), oracle.text.substr(begin));
    std::vector<Segment> walked{model.firstSegment()};
    for (Segment s = walked.back(); model.next(s);) walked.push_back(s);
    for (std::size_t i = 0; i < walked.size(); ++i) {
      const Segment& s = walked[i];
      const std::uint64_t lineStart = std::max(store.lineStart(s.line), begin);
      ASSERT_EQ(s.from, i == 0 || walked[i - 1].line != s.line ? lineStart : walked[i - 1].to);
      ASSERT_LE(s.to - s.from, LogModel::kSegmentBytes + 3);
      ASSERT_TRUE(oracle.isCharacterStart(s.from) && oracle.isCharacterStart(s.to));
      if (s.to != store.lineContentEnd(s.line)) {
        // Cut at the multiple of 4,096 from the line's start, or just before it.
        ASSERT_LE(lineStart + (s.index + 1) * LogModel::kSegmentBytes - s.to, 3U);
      }
      ASSERT_EQ(model.displayText(s),
                oracle.shown.substr(oracle.unitsAt(s.from),
                                    oracle.unitsAt(s.to) - oracle.unitsAt(s.from)));
      for (std::uint64_t at = s.from; at <= s.to; at += 1 + random() % 97) {
        if (!oracle.isCharacterStart(at)) continue;
        const std::size_t units = model.unitsBefore(s, at);
        ASSERT_EQ(units, oracle.unitsAt(at) - oracle.unitsAt(s.from));
        ASSERT_EQ(model.offsetAtUnits(s, units), at);
        const std::uint64_t index = oracle.unitsAt(at) - oracle.unitsAt(begin);
        const std::uint64_t character = oracle.charactersAt(at) - oracle.charactersAt(begin);
        ASSERT_EQ(store.indexAt(at, TextUnit::kUtf16), index);
        ASSERT_EQ(store.offsetAt(index, TextUnit::kUtf16), at);
        const std::uint64_t unit = oracle.unitsAt(at);
        if (unit < oracle.shown.size() && oracle.shown[unit] >= 0xD800 &&
            oracle.shown[unit] < 0xDC00) {
          ASSERT_EQ(store.offsetAt(index + 1, TextUnit::kUtf16), at) << "inside a pair";
        }
        ASSERT_EQ(store.indexAt(at, TextUnit::kCharacter), character);
        ASSERT_EQ(store.offsetAt(character, TextUnit::kCharacter), at);
        ASSERT_EQ(
            model.segmentAt(at),
            s.to == at && i + 1 < walked.size() && walked[i + 1].from == at ? walked[i + 1] : s);
      }
    }
    std::vector<Segment> back{model.lastSegment()};
    for (Segment s = back.back(); model.previous(s);) back.push_back(s);
    ASSERT_TRUE(std::equal(walked.rbegin(), walked.rend(), back.begin(), back.end()));
  }
}

// A view of rows ten units high, twenty UTF-16 units a row, whose words are
// split at spaces.
class FakeView : public LogReader::View {
 public:
  explicit FakeView(const LogModel& model) : model_(model) {}
  double heightOf(const Segment& segment) override {
    return 10.0 * static_cast<double>(rows(segment));
  }
  double rowTopOf(const Segment& segment, std::uint64_t offset) override {
    return 10.0 * static_cast<double>(
                      std::min(model_.unitsBefore(segment, offset) / 20, rows(segment) - 1));
  }
  double rowTopFrom(const Segment& segment, double y) override {
    return std::min(heightOf(segment), 10.0 * std::ceil(y / 10.0));
  }
  std::pair<std::size_t, std::size_t> wordAt(const Segment& segment, std::size_t unit) override {
    const std::u16string text = model_.displayText(segment);
    std::size_t first = unit;
    std::size_t second = unit;
    while (first > 0 && text[first - 1] != u' ') --first;
    while (second < text.size() && text[second] != u' ') ++second;
    return {first, second};
  }
  void readerChanged() override {}
  void forgetLayouts() override {}

 private:
  std::size_t rows(const Segment& segment) const {
    return std::max<std::size_t>(1, (model_.unitsBefore(segment, segment.to) + 19) / 20);
  }
  const LogModel& model_;
};

class LogReaderTest : public ::testing::Test {
 protected:
  std::string lines(int from, int to) {
    std::string text;
    for (int i = from; i < to; ++i) text += "line " + std::to_string(i) + " of the log\n";
    return text;
  }
  void append(const std::string& text) {
    model->append(text);
    reader.catchUp();
  }
  // The kept line the view shows at its top.
  std::string topLine() {
    const LogStore& store = model->store();
    const std::uint64_t line = store.lineAt(reader.top().segment.from);
    return store.text(store.lineStart(line), store.lineEnd(line));
  }

  std::shared_ptr<testing::ManualMainQueue> queue = std::make_shared<testing::ManualMainQueue>();
  std::shared_ptr<LogModel> model = std::make_shared<LogModel>(32 * 1024, 4096);
  FakeView view{*model};
  LogReader reader{model, queue, view};
};

// The view follows the end until the reader moves away from it, keeps their
// place as old lines go, and follows again once they are back at the end.
// Updates come at most once a frame.
TEST_F(LogReaderTest, FollowsTheEndByWhatTheReaderDid) {
  reader.setViewHeight(100);
  model->append(lines(0, 100));
  model->append(lines(100, 200));
  EXPECT_EQ(queue->pending(), 1U) << "two appends, one update";
  queue->runOne();
  EXPECT_TRUE(reader.showsEnd() && reader.followsEnd());
  model->append(lines(200, 210));
  ASSERT_EQ(queue->pending(), 0U) << "within a frame of the last: later";
  // A flood, a page a frame: drawn every eighth frame, and in the frame after
  // one that brings nothing.
  int end = 210;
  auto frame = [&](int more) {
    model->append(lines(end, end + more));
    end += more;
    return queue->runDelayed();
  };
  for (int i = 1; i < LogReader::kFloodFrames; ++i) frame(20);
  EXPECT_EQ(topLine(), "line 191 of the log\n") << "not drawn yet";
  frame(20);
  EXPECT_EQ(topLine(), "line " + std::to_string(end - 9) + " of the log\n")
      << "the last ten rows, the empty last line too";
  frame(20);
  EXPECT_TRUE(frame(0) && topLine() == "line " + std::to_string(end - 9) + " of the log\n");
  EXPECT_FALSE(queue->runDelayed());
  for (const auto delay : queue->delays)
    EXPECT_TRUE(delay.count() > 0 && delay <= LogReader::kFrame);

  reader.scrollBy(-35);
  EXPECT_FALSE(reader.followsEnd());
  const std::string place = topLine();
  const double y = reader.top().y;
  append(lines(210, 1300));
  ASSERT_GT(model->store().droppedLines(), 0U);
  ASSERT_LT(model->store().beginOffset(), reader.top().segment.from);
  EXPECT_TRUE(topLine() == place && reader.top().y == y) << "the reader's place";
  append(lines(1300, 4000));
  EXPECT_EQ(reader.top().segment, model->firstSegment()) << "its lines went: the first kept";
  EXPECT_FALSE(reader.followsEnd());

  reader.scrollBy(1e9);
  EXPECT_TRUE(reader.followsEnd()) << "scrolled to the end, it follows again";
  append(lines(4000, 4010));
  EXPECT_TRUE(reader.showsEnd());
  EXPECT_EQ(topLine(), "line 4001 of the log\n");
}

// Characters, words and whole lines; Shift extends from the anchor; a drag
// extends by the unit pressed; the selection keeps its text as old lines go,
// and what went is no longer selected.
TEST_F(LogReaderTest, SelectsByUnitAndKeepsItsTextAsLinesGo) {
  reader.setViewHeight(100);
  const std::string longLine = "long " + std::string(10'000, 'x') + " end\r\n";
  append(lines(0, 50) + longLine + "pick a word here\n" + lines(50, 60));
  const LogStore& store = model->store();
  const std::uint64_t word = store.beginOffset() + store.text().find("word");
  reader.press(word + 2, LogReader::Unit::kWord, false);
  EXPECT_EQ(reader.selectedText(), "word");
  reader.press(word + 8, LogReader::Unit::kCharacter, true);
  EXPECT_EQ(reader.selectedText(), "word her") << "Shift: from the anchor";
  reader.press(word + 2, LogReader::Unit::kWord, false);
  reader.dragTo(word - 2);
  EXPECT_EQ(reader.selectedText(), "a word") << "by words, back from the one pressed";

  const std::uint64_t inLong = store.beginOffset() + store.text().find(longLine) + 7'000;
  reader.press(inLong, LogReader::Unit::kLine, false);
  EXPECT_EQ(reader.selectedText(), longLine) << "the whole line, over its segments";

  reader.select(word, word + 4);
  append(lines(60, 900));
  ASSERT_LT(store.lineAt(store.beginOffset()), store.lineAt(word)) << "still kept";
  EXPECT_EQ(reader.selectedText(), "word");
  append(lines(900, 4000));
  EXPECT_EQ(reader.selectionStart(), store.beginOffset());
  EXPECT_FALSE(reader.hasSelection()) << "what went is no longer selected";
}

}  // namespace
}  // namespace corvane
