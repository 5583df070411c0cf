#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "corvane/app/log_positions.h"
#include "corvane/app/log_reader.h"
#include "corvane/app/log_search.h"
#include "corvane/app/text_units.h"

namespace corvane {

// Geometry in the view's units (points, pixels), down from the top left.
struct ViewPoint {
  double x = 0;
  double y = 0;
};

struct ViewRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  double right() const { return x + width; }
  double bottom() const { return y + height; }
  bool operator==(const ViewRect&) const = default;
  ViewRect united(const ViewRect& other) const;
};

// One segment of the log as a toolkit laid it out at the view's width, in
// coordinates of its own: x from the text's left edge, y down from its top.
// Units are UTF-16 units of the segment's text as shown. The toolkit gives
// its rows and what it alone knows: where a caret goes, what lies under a
// point, and which characters are drawn as one.
class SegmentLayout {
 public:
  struct Row {
    double top = 0;
    double height = 0;
    Unit start;
  };

  virtual ~SegmentLayout() = default;
  double height() const { return height_; }
  std::size_t rowCount() const { return rows_.size(); }
  const Row& row(std::size_t row) const { return rows_[row]; }
  Unit rowEnd(std::size_t row) const {
    return row + 1 < rows_.size() ? rows_[row + 1].start : length();
  }
  // The row holding a unit (the last for one past the end), and the row at
  // a height (the nearest one).
  std::size_t rowOf(Unit unit) const;
  std::size_t rowAt(double y) const;
  // The boxes [from, to) is drawn in, one a row, each cluster whole; an
  // empty range is a caret, a box of no width.
  std::vector<ViewRect> rangeRects(Unit from, Unit to) const;

  virtual Unit length() const = 0;
  // Where a caret before `unit` stands on `row`.
  virtual double xAt(std::size_t row, Unit unit) const = 0;
  // The caret place nearest `x` on a row: where a click puts it.
  virtual Unit caretAt(std::size_t row, double x) const = 0;
  // A unit of the character drawn under `x` on a row, or nearest it.
  virtual Unit characterAt(std::size_t row, double x) const = 0;
  // The characters drawn as one (an emoji of several code points, a letter
  // and its accents) around a unit: [first, second).
  virtual std::pair<Unit, Unit> clusterAt(Unit unit) const = 0;
  // The word around the character at `unit`, by the toolkit's own word
  // finder: Japanese has no spaces.
  virtual std::pair<Unit, Unit> wordAt(Unit unit) const = 0;

 protected:
  SegmentLayout() = default;
  SegmentLayout(const SegmentLayout&) = default;
  SegmentLayout& operator=(const SegmentLayout&) = default;
  // From the toolkit's constructor; an empty segment is one row of `height`.
  void setRows(std::vector<Row> rows, double height);

 private:
  std::vector<Row> rows_;
  double height_ = 1;
};

// What the view core needs of a toolkit: lay text out, know a row's height,
// and redraw what changed.
class LogViewSkin {
 public:
  virtual ~LogViewSkin() = default;
  virtual std::unique_ptr<SegmentLayout> lay(std::u16string_view text, double width) = 0;
  // What an arrow key or a wheel's notch scrolls.
  virtual double lineHeight() = 0;
  virtual void viewChanged(LogReader::Changes changes) = 0;

 protected:
  LogViewSkin() = default;
  LogViewSkin(const LogViewSkin&) = default;
  LogViewSkin& operator=(const LogViewSkin&) = default;
};

// The log view, the same on every toolkit: which segments are in view and
// where, what a point hits, the reader's commands (lines, pages, start, end,
// select all, copy), the pointer (clicks by unit, drags that scroll past an
// edge for as long as they are held there), the scroller, and the text as a
// screen reader counts it. A skin lays segments out, paints what shown()
// lists, and turns its toolkit's events into these calls. Main thread only.
class LogViewCore final : private LogReader::View {
 public:
  // Space between the view's edges and the text, left, right and top.
  static constexpr double kMargin = 4;
  // Laid-out segments kept: a page needs a few dozen.
  static constexpr std::size_t kMaxLayouts = 512;
  // A drag held past an edge scrolls once every this long.
  static constexpr std::chrono::milliseconds kAutoscrollInterval{50};
  // What changed: LogReader's bits, the scroller's state, and what the find
  // shows (its count, its matches in view).
  static constexpr LogReader::Changes kScroller = 1U << 4;
  static constexpr LogReader::Changes kFind = 1U << 5;

  // What keys and the scroller ask of the view.
  enum class Command { kLineUp, kLineDown, kPageUp, kPageDown, kStart, kEnd, kSelectAll };
  // The command a key binding names by AppKit's standard selector
  // ("moveUp:", "scrollPageDown:", ...), if the log has one.
  static std::optional<Command> CommandNamed(std::string_view selector);

  LogViewCore(std::shared_ptr<LogModel> model, std::shared_ptr<MainQueue> mainQueue,
              LogViewSkin& skin, TextUnit accessibleUnit);
  ~LogViewCore() override;
  LogViewCore(const LogViewCore&) = delete;
  LogViewCore& operator=(const LogViewCore&) = delete;

  LogReader& reader() { return *reader_; }
  const LogReader& reader() const { return *reader_; }
  LogModel& model() const { return reader_->model(); }
  const LogStore& store() const { return reader_->model().store(); }

  // The view's size. A new width lays the text out again.
  void setSize(double width, double height);
  // The font changed: everything is laid out again.
  void relayout();
  // Whether the selection is the one keys act on: it is drawn so.
  void setActive(bool active);
  bool active() const { return active_; }

  // What to draw after the change the skin last heard of: everything, or
  // only `dirty` once the pixels already drawn in `moving` (the rows' area)
  // have moved up by `moved` (down when negative). A skin that cannot move
  // its pixels by that much draws `moving` whole.
  struct Redraw {
    bool whole = true;
    double moved = 0;
    ViewRect moving;
    ViewRect dirty;
  };
  const Redraw& redraw() const { return redraw_; }

  // The strip across the top where the note on dropped output is drawn;
  // none while nothing was dropped. The text begins below it.
  ViewRect noteRect() const;
  double textTop() const { return noteRect().height + kMargin; }

  // What to draw, top down: each segment in view, where its layout goes,
  // the units of it that are selected, and those the find matched.
  struct Shown {
    std::shared_ptr<const SegmentLayout> layout;
    LogModel::Segment segment;
    ViewPoint origin;
    Unit selectedFrom;
    Unit selectedTo;
    std::vector<std::pair<Unit, Unit>> found;
  };
  std::vector<Shown> shown();

  // What a point hits: the caret place nearest it (a click), the character
  // under it (a double click, a screen reader's finger).
  Offset caretAt(ViewPoint point);
  Offset characterAt(ViewPoint point);
  // The boxes of [from, to) in the view, one a row, also where they lie out
  // of view; and all of them as one.
  std::vector<ViewRect> rectsFor(Offset from, Offset to);
  ViewRect frameFor(Offset from, Offset to);

  // The reader's commands.
  void perform(Command command);
  void scrollLines(double lines);
  void scrollBy(double distance);
  // Exactly the text selected; nothing when none is, or when there is no
  // memory for a copy of that much (nothing is lost then).
  std::optional<std::string> copy() const;
  // How far a page goes: the view less a row, so that one row stays.
  double pageDistance();

  // The pointer: a press with its click count (1 a caret, 2 a word, 3 a
  // line), Shift extending; drags extend by the unit pressed.
  void press(ViewPoint point, int clicks, bool extend);
  void drag(ViewPoint point);
  void release();
  bool dragging() const { return dragging_; }

  // The scroller, in bytes of the kept output (LogReader's), with what a
  // toolkit's scroller takes: on while the log is longer than the view, the
  // knob's place from 0 to 1, and its length as a part of the track.
  struct Scroller {
    bool on = false;
    double value = 0;
    double range = 0;
    double page = 1;
    double fraction() const { return range > 0 ? value / range : 0; }
    double proportion() const { return page / (page + range); }
    bool operator==(const Scroller&) const = default;
  };
  Scroller scroller() { return scroller_; }
  void scrollerTo(double value);
  void scrollerToFraction(double fraction);

  // The text as a screen reader reads it, counted in the unit given at
  // construction, NUL shown as ␀; lines are the log's own, however wrapped.
  struct Range {
    TextIndex from;
    TextIndex to;
    bool operator==(const Range&) const = default;
  };
  TextUnit accessibleUnit() const { return unit_; }
  TextIndex length() const { return store().length(unit_); }
  std::u16string text(Range range) const;
  Offset offsetOf(TextIndex index) const { return store().offsetAt(index, unit_); }
  TextIndex indexOf(Offset offset) const { return store().indexAt(offset, unit_); }
  Range rangeOf(Offset from, Offset to) const { return {indexOf(from), indexOf(to)}; }
  Range selectedRange() const;
  // Selects a range, and shows it.
  void setSelectedRange(Range range);
  TextIndex caretIndex() const { return indexOf(reader_->cursor()); }
  Range visibleRange();
  // Lines count from the first kept one.
  std::uint64_t lineForIndex(TextIndex index) const;
  std::optional<Range> rangeForLine(std::uint64_t line) const;
  // The code point, the cluster, the word and the line at an index.
  Range characterRange(TextIndex index) const;
  Range clusterRange(TextIndex index);
  Range wordRange(TextIndex index);
  Range lineRange(TextIndex index) const;
  // The character, word or line at an index, or the one before or after
  // it (`step` -1 or 1), as AT-SPI asks; none past either end.
  enum class Boundary { kCharacter, kWord, kLine, kAll };
  std::optional<Range> textAround(TextIndex index, Boundary boundary, int step);
  // Units of the text as it was when `dropped` had gone from its start;
  // what has gone since reads as spaces.
  std::u16string textSince(std::uint64_t dropped, std::uint64_t from, std::uint64_t count) const;
  ViewRect frameForRange(Range range) { return frameFor(offsetOf(range.from), offsetOf(range.to)); }
  // A character's own box: its cluster's.
  ViewRect characterBox(TextIndex index);
  TextIndex indexAt(ViewPoint point) { return indexOf(characterAt(point)); }
  void scrollToIndex(TextIndex index) { reader_->scrollToOffset(offsetOf(index)); }

  // Finding in all that is kept. find() searches for `text`, ignoring case
  // and width as the platform's folding has it unless `matchCase`, and
  // selects the first match from the selection on; next and previous step
  // from the selection, round the ends. The current match is the selection,
  // shown when out of view; the matches in view are in Shown::found. A step
  // asked for before the search got that far is taken once it has.
  void setFolding(std::unique_ptr<TextFolding> folding) { folding_ = std::move(folding); }
  void find(std::string_view text, bool matchCase);
  void findNext();
  void findPrevious();
  void endFind();
  bool finding() const { return search_->active(); }
  struct FindStatus {
    std::uint64_t count = 0;
    // Of the match that is the selection, from 1; 0 when it is none.
    std::uint64_t current = 0;
    bool complete = true;
  };
  FindStatus findStatus();
  // As a find field shows it, "12 件中 3 件目", "12 件一致", "見つかりませんでした"
  // and the like: of a status, or of this find's (nothing while none).
  static std::string FindStatusWords(const FindStatus& status);
  std::string findStatusText() { return finding() ? FindStatusWords(findStatus()) : ""; }
  // The selection in the middle of the view.
  void centreSelection();
  // The kept text by pieces, for a finder that reads it so: the piece that
  // holds an index, as shown (NUL as ␀).
  struct Piece {
    Range range;
    std::u16string text;
  };
  Piece textPiece(TextIndex index) const;

  // What screen readers have not yet heard of: how much went from the start,
  // and what came at the end (empty when more than `limit` units came: no
  // one listens to a flood).
  struct TextChange {
    std::uint64_t removed = 0;
    TextIndex insertedAt;
    std::uint64_t insertedLength = 0;
    std::u16string inserted;
  };
  TextChange takeTextChange(std::uint64_t limit);

 private:
  // LogReader::View
  double heightOf(const LogModel::Segment& segment) override;
  double rowTopOf(const LogModel::Segment& segment, Offset offset) override;
  double rowTopFrom(const LogModel::Segment& segment, double y) override;
  std::pair<Unit, Unit> wordAt(const LogModel::Segment& segment, Unit unit) override;
  void readerChanged(LogReader::Changes changes) override;
  void forgetLayouts() override { layouts_.clear(); }

  // Shared, so that a layout in use outlives the cache's letting go of it.
  std::shared_ptr<const SegmentLayout> layoutOf(const LogModel::Segment& segment);
  // Where a segment's top lies in the view; estimated by rows of one line
  // each far out of view.
  double topOf(const LogModel::Segment& segment);
  // The shown segment a height falls in, clamped to those shown.
  const Shown* shownAt(double y, const std::vector<Shown>& shown) const;
  void autoscroll();
  Scroller measure();
  Redraw redrawOf(const LogReader::Damage& damage) const;
  // Rows of one line each from a segment to another: the distance between
  // what is too far apart to lay out.
  double estimatedDistance(const LogModel::Segment& from, const LogModel::Segment& to);
  enum class Step { kFirst, kNext, kPrevious };
  void step(Step step);
  // Takes the steps asked for that the search has got far enough for.
  void settleFind();
  void searchProgressed();
  void markFound(std::vector<Shown>& shown);

  const std::shared_ptr<MainQueue> mainQueue_;
  LogViewSkin& skin_;
  const TextUnit unit_;
  struct Cached {
    LogModel::Segment segment;
    std::shared_ptr<const SegmentLayout> layout;
  };
  std::unordered_map<std::uint64_t, Cached> layouts_;
  double width_ = 1;
  double height_ = 1;
  // What the reader was last given as the height rows are shown in, and
  // what changed meanwhile.
  double textHeight_ = 0;
  LogReader::Changes carried_ = 0;
  bool active_ = false;
  Scroller scroller_;
  Redraw redraw_;
  bool dragging_ = false;
  ViewPoint dragPoint_;
  bool autoscrolling_ = false;
  // Held weakly by posted work, which finds the core gone once it is.
  const std::shared_ptr<LogViewCore*> self_;
  // What screen readers last heard: the characters dropped and the end.
  std::uint64_t heardDropped_ = 0;
  Offset heardEnd_;
  std::unique_ptr<TextFolding> folding_;
  std::deque<Step> steps_;
  std::chrono::steady_clock::time_point findHeard_;
  // Last, so that they go first: the reader is the model's observer, and
  // the search reads the model.
  std::unique_ptr<LogReader> reader_;
  std::unique_ptr<LogSearch> search_;
};

}  // namespace corvane
