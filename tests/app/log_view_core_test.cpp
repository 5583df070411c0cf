#include "corvane/app/log_view_core.h"

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

// Where each line starts, by the definition of a line end: LF, CR, CRLF,
// U+2028, U+2029.
std::vector<std::uint64_t> LineStarts(const std::string& s) {
  std::vector<std::uint64_t> starts{0};
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

// What the store keeps of text cut anywhere, in chunks of any size, is
// exactly its end, with what went counted to the character and the line,
// and its lines those of the text. Segments are a line's text cut every
// 4,096 bytes, moved back to a character's start; walked forward and back,
// found by offset, and shown with NUL as ␀ in as many UTF-16 units as the
// text has. Offsets map to indexes in UTF-16 units and in characters, and
// back, as screen readers ask.
TEST(LogModel, CutsLinesIntoSegmentsAndMapsThemToUtf16) {
  const std::vector<Atom> atoms = {{"a", u"a"},   {"あ", u"あ"},
                                   {"😀", u"😀"},   {"𠮷", u"𠮷"},
                                   {"é", u"é"},   {std::string(1, '\0'), u"\u2400"},
                                   {"\t", u"\t"}, {"\u2400", u"\u2400"}};
  // CRLF is two characters and one line end.
  const std::vector<std::vector<Atom>> ends = {{{"\n", u"\n"}},
                                               {{"\r", u"\r"}, {"\n", u"\n"}},
                                               {{"\r", u"\r"}},
                                               {{"\u2028", u"\u2028"}},
                                               {{"\u2029", u"\u2029"}}};
  std::mt19937 random(5);
  for (int round = 0; round < 12; ++round) {
    const std::size_t chunk = std::size_t{16} << (random() % 9);
    LogModel model(round % 2 == 0 ? LogStore::kDefaultBudget : chunk * 4 + random() % 20000, chunk);
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
      ASSERT_LE(model.store().memoryBytes(), model.store().budget() + chunk);
    }
    // A last line longer than all a small store keeps: its beginning goes.
    for (int k = 0; round % 4 == 1 && k < 60000; ++k) add(atoms[k % 3 == 0 ? 0 : 1]);
    model.append(pending);

    const LogStore& store = model.store();
    const std::uint64_t begin = store.beginOffset().value();
    ASSERT_EQ(store.text(), oracle.text.substr(begin));
    ASSERT_EQ(store.droppedCharacters(), oracle.charactersAt(begin));
    std::vector<std::uint64_t> starts = LineStarts(oracle.text);
    const auto gone = std::upper_bound(starts.begin(), starts.end(), begin) - starts.begin() - 1;
    ASSERT_EQ(store.droppedLines(), static_cast<std::uint64_t>(gone));
    ASSERT_EQ(store.firstLine(), Line(store.droppedLines()));
    starts.erase(starts.begin(), std::lower_bound(starts.begin(), starts.end(), begin));
    // A first line that lost its beginning starts where the kept text does.
    if (starts.empty() || starts.front() != begin) {
      ASSERT_TRUE(store.firstLineIsPartial());
      starts.insert(starts.begin(), begin);
    }
    ASSERT_EQ(store.endLine() - store.firstLine(), starts.size());
    for (std::size_t k = 0; k < starts.size(); ++k) {
      const Line line = store.firstLine() + k;
      const Offset end(k + 1 < starts.size() ? starts[k + 1] : oracle.text.size());
      ASSERT_TRUE(store.lineStart(line) == Offset(starts[k]) && store.lineEnd(line) == end);
      ASSERT_EQ(store.lineAt(Offset(starts[k])), line);
      // Its text holds no line end; what follows it is one line end, or nothing.
      const Offset content = store.lineContentEnd(line);
      const std::string ending = store.text(content, end);
      ASSERT_EQ(LineStarts(store.text(Offset(starts[k]), content)).size(), 1U);
      ASSERT_TRUE(ending.size() <= 3 &&
                  LineStarts(ending).size() == (k + 1 < starts.size() ? 2U : 1U));
    }
    std::vector<Segment> walked{model.firstSegment()};
    for (Segment s = walked.back(); model.next(s);) walked.push_back(s);
    for (std::size_t i = 0; i < walked.size(); ++i) {
      const Segment& s = walked[i];
      const Offset lineStart = std::max(store.lineStart(s.line), Offset(begin));
      ASSERT_EQ(s.from, i == 0 || walked[i - 1].line != s.line ? lineStart : walked[i - 1].to);
      ASSERT_LE(s.to - s.from, LogModel::kSegmentBytes + 3);
      ASSERT_TRUE(oracle.isCharacterStart(s.from.value()) && oracle.isCharacterStart(s.to.value()));
      if (s.to != store.lineContentEnd(s.line)) {
        // Cut at the multiple of 4,096 from the line's start, or just before it.
        ASSERT_LE(lineStart + (s.index + 1) * LogModel::kSegmentBytes - s.to, 3U);
      }
      const std::uint64_t from = s.from.value();
      ASSERT_EQ(model.displayText(s),
                oracle.shown.substr(oracle.unitsAt(from),
                                    oracle.unitsAt(s.to.value()) - oracle.unitsAt(from)));
      for (std::uint64_t at = from; at <= s.to.value(); at += 1 + random() % 97) {
        if (!oracle.isCharacterStart(at)) continue;
        const Unit units = model.unitAt(s, Offset(at));
        ASSERT_EQ(units.value(), oracle.unitsAt(at) - oracle.unitsAt(from));
        ASSERT_EQ(model.offsetAt(s, units), Offset(at));
        const TextIndex index(oracle.unitsAt(at) - oracle.unitsAt(begin));
        const TextIndex character(oracle.charactersAt(at) - oracle.charactersAt(begin));
        ASSERT_EQ(store.indexAt(Offset(at), TextUnit::kUtf16), index);
        ASSERT_EQ(store.offsetAt(index, TextUnit::kUtf16), Offset(at));
        const std::uint64_t unit = oracle.unitsAt(at);
        if (unit < oracle.shown.size() && oracle.shown[unit] >= 0xD800 &&
            oracle.shown[unit] < 0xDC00) {
          ASSERT_EQ(store.offsetAt(index + 1, TextUnit::kUtf16), Offset(at)) << "inside a pair";
        }
        ASSERT_EQ(store.indexAt(Offset(at), TextUnit::kCharacter), character);
        ASSERT_EQ(store.offsetAt(character, TextUnit::kCharacter), Offset(at));
        ASSERT_EQ(model.segmentAt(Offset(at)),
                  s.to == Offset(at) && i + 1 < walked.size() && walked[i + 1].from == Offset(at)
                      ? walked[i + 1]
                      : s);
      }
    }
    std::vector<Segment> back{model.lastSegment()};
    for (Segment s = back.back(); model.previous(s);) back.push_back(s);
    ASSERT_TRUE(std::equal(walked.rbegin(), walked.rend(), back.begin(), back.end()));
  }
}

// A toolkit's layout as a test can reckon it: rows of at most twenty UTF-16
// units, ten high; a character six wide a unit, so twelve beyond U+FFFF; an
// emoji with a skin tone is one cluster. Its word finder is a poor one:
// spaces part words, and it cuts other text that is not ASCII unit by unit.
class FakeLayout final : public SegmentLayout {
 public:
  explicit FakeLayout(std::u16string_view text) : text_(text) {
    for (std::size_t at = 0; at < text_.size();) {
      clusters_.push_back(at);
      at += text_[at] >= 0xD800 && text_[at] < 0xDC00 ? 2U : 1U;
      // A skin tone (U+1F3FB-U+1F3FF) joins the emoji before it.
      while (at + 1 < text_.size() && text_[at] == 0xD83C && text_[at + 1] >= 0xDFFB &&
             text_[at + 1] <= 0xDFFF) {
        at += 2;
      }
    }
    clusters_.push_back(text_.size());
    std::vector<Row> rows{{0, 10, Unit(0)}};
    for (std::size_t k = 0; k + 1 < clusters_.size(); ++k) {
      if (clusters_[k + 1] - rows.back().start.value() > 20) {
        rows.push_back({rows.back().top + 10, 10, Unit(clusters_[k])});
      }
    }
    setRows(rows, 10);
  }
  Unit length() const override { return Unit(text_.size()); }
  double xAt(std::size_t row, Unit unit) const override {
    return 6.0 * static_cast<double>(unit - this->row(row).start);
  }
  Unit caretAt(std::size_t row, double x) const override { return hit(row, x, 0.5); }
  Unit characterAt(std::size_t row, double x) const override { return hit(row, x, 1); }
  std::pair<Unit, Unit> clusterAt(Unit unit) const override {
    if (unit.value() >= text_.size()) return {unit, unit};
    const auto next = std::upper_bound(clusters_.begin(), clusters_.end(), unit.value());
    return {Unit(*(next - 1)), Unit(*next)};
  }
  std::pair<Unit, Unit> wordAt(Unit unit) const override {
    std::size_t first = unit.value();
    std::size_t second = unit.value();
    if (second < text_.size() && text_[second] >= 0x80) return {unit, unit + 1};
    while (first > 0 && text_[first - 1] != u' ' && text_[first - 1] < 0x80) --first;
    while (second < text_.size() && text_[second] != u' ' && text_[second] < 0x80) ++second;
    return {Unit(first), Unit(second)};
  }

 private:
  // The cluster whose box holds `x`, or, with `past` 0.5, the caret place
  // nearest it.
  Unit hit(std::size_t row, double x, double past) const {
    const std::size_t end = rowEnd(row).value();
    for (auto k =
             std::lower_bound(clusters_.begin(), clusters_.end(), this->row(row).start.value());
         k + 1 < clusters_.end() && *k < end; ++k) {
      const double left = xAt(row, Unit(*k));
      if (x < left + (xAt(row, Unit(*(k + 1))) - left) * past) return Unit(*k);
    }
    return Unit(end);
  }

  std::u16string text_;
  std::vector<std::size_t> clusters_;
};

class FakeSkin : public LogViewSkin {
 public:
  std::unique_ptr<SegmentLayout> lay(std::u16string_view text, double /*width*/) override {
    return std::make_unique<FakeLayout>(text);
  }
  double lineHeight() override { return 10; }
  void viewChanged(LogReader::Changes changed) override { changes |= changed; }
  LogReader::Changes changes = 0;
};

// A view 120 wide (a row of twenty fits) and 104 high: ten rows under the
// top margin.
class LogViewCoreTest : public ::testing::Test {
 protected:
  LogViewCoreTest() { core.setSize(120 + 2 * LogViewCore::kMargin, 104); }
  static std::string lines(int from, int to) {
    std::string text;
    for (int i = from; i < to; ++i) text += "line " + std::to_string(i) + " of the log\n";
    return text;
  }
  void append(const std::string& text) {
    model->append(text);
    reader.catchUp();
  }
  Offset find(std::string_view text) const {
    return model->store().beginOffset() + model->store().text().find(text);
  }
  // The kept line the view shows at its top.
  std::string topLine() const {
    const LogStore& store = model->store();
    const Line line = store.lineAt(reader.top().segment.from);
    return store.text(store.lineStart(line), store.lineEnd(line));
  }
  // The middle of where an offset is drawn, as a pointer would press it.
  ViewPoint on(Offset offset, double within = 0.5) {
    const ViewRect box = core.frameFor(offset, offset + 1);
    return {box.x + box.width * within, box.y + box.height / 2};
  }

  std::shared_ptr<testing::ManualMainQueue> queue = std::make_shared<testing::ManualMainQueue>();
  std::shared_ptr<LogModel> model = std::make_shared<LogModel>(32 * 1024, 4096);
  FakeSkin skin;
  LogViewCore core{model, queue, skin, TextUnit::kCharacter};
  LogReader& reader = core.reader();
};

// The view follows the end until the reader moves away from it, keeps their
// place as old lines go, and follows again once they are back at the end.
// Updates come at most once a frame.
TEST_F(LogViewCoreTest, FollowsTheEndByWhatTheReaderDid) {
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

  core.scrollBy(-35);
  EXPECT_FALSE(reader.followsEnd());
  const std::string place = topLine();
  const double y = reader.top().y;
  reader.select(find(place), find(place) + place.size());
  append(lines(210, 1300));
  ASSERT_GT(model->store().droppedLines(), 0U);
  ASSERT_LT(model->store().beginOffset(), reader.top().segment.from);
  EXPECT_TRUE(topLine() == place && reader.top().y == y) << "the reader's place";
  EXPECT_EQ(core.copy(), place) << "the selection, its text";
  append(lines(1300, 4000));
  EXPECT_EQ(reader.top().segment, model->firstSegment()) << "its lines went: the first kept";
  EXPECT_FALSE(reader.followsEnd());
  EXPECT_FALSE(core.copy().has_value()) << "what went is no longer selected";

  core.scrollBy(1e9);
  EXPECT_TRUE(reader.followsEnd()) << "scrolled to the end, it follows again";
  append(lines(4000, 4010));
  EXPECT_TRUE(reader.showsEnd());
  EXPECT_EQ(topLine(), "line 4003 of the log\n") << "eight rows under the note on what went";
}

// Each change tells the view only what changed, so that it redraws no more.
TEST_F(LogViewCoreTest, TellsTheViewWhatChanged) {
  append(lines(0, 1000));
  core.perform(LogViewCore::Command::kStart);
  skin.changes = 0;
  reader.select(find("line 3"), find("line 4"));
  EXPECT_EQ(skin.changes, LogReader::kSelection) << "a selection: only that";
  skin.changes = 0;
  append(lines(1000, 1010));
  EXPECT_EQ(skin.changes, LogReader::kPlace | LogViewCore::kScroller)
      << "new output out of view: the scroller, not the text";
  EXPECT_TRUE(!core.redraw().whole && core.redraw().moved == 0 && core.redraw().dirty.height == 0)
      << "nothing to draw";
  // A scroll by a few rows moves the rest, and draws what it uncovers.
  core.scrollLines(3);
  EXPECT_TRUE(!core.redraw().whole && core.redraw().moved == 30 &&
              core.redraw().dirty == (ViewRect{0, 74, 128, 30}));
  core.scrollLines(-2);
  EXPECT_TRUE(!core.redraw().whole && core.redraw().moved == -20 &&
              core.redraw().dirty == (ViewRect{0, 4, 128, 20}));
  core.scrollLines(20);
  EXPECT_TRUE(core.redraw().whole) << "a page or more";
  core.perform(LogViewCore::Command::kEnd);
  skin.changes = 0;
  append(lines(1010, 1011));
  EXPECT_TRUE(skin.changes & LogReader::kText) << "new output in view";
  // Following the end, a line moves the rows up one, and only the last two
  // (the new line, and the empty one after it) are drawn.
  EXPECT_FALSE(core.redraw().whole);
  EXPECT_EQ(core.redraw().moved, 10);
  EXPECT_EQ(core.redraw().moving, (ViewRect{0, 4, 128, 100}));
  EXPECT_EQ(core.redraw().dirty, (ViewRect{0, 84, 128, 20}));
  core.perform(LogViewCore::Command::kStart);
  skin.changes = 0;
  append(lines(1011, 2000));
  EXPECT_TRUE(skin.changes & LogReader::kNote) << "lines dropped";
}

// What a screen reader asks, in characters: lines, the character and the
// cluster at an index and their boxes, the character under a point, frames of
// ranges out of view, the selection it sets shown, and what came and went.
TEST_F(LogViewCoreTest, ScreenReaderArithmetic) {
  append(lines(0, 40) + "ok 👍🏽 done\n");
  const TextIndex thumb = core.indexOf(find("👍"));
  const TextIndex tone = thumb + 1;
  EXPECT_EQ(core.length().value(), core.indexOf(model->store().endOffset()).value());
  EXPECT_EQ(core.text({thumb - 3, tone + 2}), u"ok 👍🏽 ");
  EXPECT_EQ(core.lineForIndex(thumb), 40U);
  EXPECT_EQ(core.rangeForLine(40), (LogViewCore::Range{thumb - 3, tone + 7}));
  EXPECT_FALSE(core.rangeForLine(42).has_value()) << "the empty last line is 41";
  EXPECT_EQ(core.characterRange(tone), (LogViewCore::Range{tone, tone + 1}));
  EXPECT_EQ(core.clusterRange(tone), (LogViewCore::Range{thumb, tone + 1}));
  const ViewRect box = core.characterBox(tone);
  EXPECT_TRUE(box == core.characterBox(thumb) && box.width == 24) << "the cluster's own box";
  EXPECT_EQ(core.indexAt({box.x + 20, box.y + 5}), thumb) << "under the point, not after";
  EXPECT_EQ(core.caretAt({box.x + 20, box.y + 5}), find(" done"));
  core.press({box.x + 20, box.y + 5}, 2, false);
  EXPECT_EQ(reader.selectedText(), "👍🏽") << "a double click takes the whole cluster";

  const ViewRect far = core.frameForRange({TextIndex(0), TextIndex(40)});
  EXPECT_TRUE(far.bottom() < 0 && far.height >= 20) << "above the view, two rows";
  core.setSelectedRange({TextIndex(0), TextIndex(4)});
  EXPECT_EQ(topLine(), "line 0 of the log\n") << "a selection set is shown";
  EXPECT_EQ(core.visibleRange().from, TextIndex(0));
  EXPECT_EQ(core.frameForRange({TextIndex(0), TextIndex(25)}), (ViewRect{4, 4, 102, 20}))
      << "two rows: seventeen characters, then seven";

  (void)core.takeTextChange(1 << 20);
  append("new 😀 line\n");
  LogViewCore::TextChange change = core.takeTextChange(1 << 20);
  EXPECT_TRUE(change.removed == 0 && change.insertedLength == 11 &&
              change.inserted == u"new 😀 line\n");
  EXPECT_EQ(change.insertedAt, core.length() - 11);
  const std::uint64_t dropped = model->store().droppedCharacters();
  append(lines(100, 2000));
  change = core.takeTextChange(100);
  EXPECT_EQ(change.removed, model->store().droppedCharacters() - dropped);
  EXPECT_TRUE(change.inserted.empty() && change.insertedLength > 100) << "a flood is not read";
}

}  // namespace
}  // namespace corvane
