#include "corvane/app/log_view_core.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

namespace corvane {
namespace {

// Segments laid out to find where something lies out of view; past them, the
// distance is estimated.
constexpr int kWalk = 64;

using Segment = LogModel::Segment;
using Granularity = LogReader::Granularity;

}  // namespace

ViewRect ViewRect::united(const ViewRect& other) const {
  if (width <= 0 && height <= 0) return other;
  if (other.width <= 0 && other.height <= 0) return *this;
  const double left = std::min(x, other.x);
  const double top = std::min(y, other.y);
  return {left, top, std::max(right(), other.right()) - left,
          std::max(bottom(), other.bottom()) - top};
}

void SegmentLayout::setRows(std::vector<Row> rows, double height) {
  rows_ = std::move(rows);
  if (rows_.empty()) rows_.push_back({0, height, Unit(0)});
  // Whole units: the reader's place adds and takes heights, which must come
  // back to where it was.
  height_ = std::ceil(std::max({1.0, height, rows_.back().top + rows_.back().height}));
}

std::size_t SegmentLayout::rowOf(Unit unit) const {
  const auto after = std::upper_bound(rows_.begin() + 1, rows_.end(), unit,
                                      [](Unit at, const Row& row) { return at < row.start; });
  return static_cast<std::size_t>(after - rows_.begin()) - 1;
}

std::size_t SegmentLayout::rowAt(double y) const {
  std::size_t row = 0;
  while (row + 1 < rows_.size() && y >= rows_[row + 1].top) ++row;
  return row;
}

std::vector<ViewRect> SegmentLayout::rangeRects(Unit from, Unit to) const {
  const Unit end = length();
  const Unit first = from < end ? clusterAt(from).first : end;
  const Unit last = from < to ? std::min(clusterAt(to - 1).second, end) : first;
  if (first == last) {
    const std::size_t row = rowOf(first);
    return {{xAt(row, first), rows_[row].top, 0, rows_[row].height}};
  }
  std::vector<ViewRect> rects;
  for (std::size_t row = rowOf(first); row < rows_.size() && rows_[row].start < last; ++row) {
    const Unit start = std::max(first, rows_[row].start);
    const Unit stop = std::min(last, rowEnd(row));
    if (!(start < stop)) continue;
    const double left = xAt(row, start);
    const double right = xAt(row, stop);
    rects.push_back(
        {std::min(left, right), rows_[row].top, std::abs(right - left), rows_[row].height});
  }
  return rects;
}

LogViewCore::LogViewCore(std::shared_ptr<LogModel> model, std::shared_ptr<MainQueue> mainQueue,
                         LogViewSkin& skin, TextUnit accessibleUnit)
    : mainQueue_(std::move(mainQueue)),
      skin_(skin),
      unit_(accessibleUnit),
      self_(std::make_shared<LogViewCore*>(this)),
      reader_(std::make_unique<LogReader>(std::move(model), mainQueue_,
                                          static_cast<LogReader::View&>(*this))),
      search_(std::make_unique<LogSearch>(store(), mainQueue_, [this] { searchProgressed(); })) {
  heardDropped_ = store().dropped(unit_);
  heardEnd_ = store().endOffset();
}

LogViewCore::~LogViewCore() {
  search_.reset();
  reader_.reset();
}

std::shared_ptr<const SegmentLayout> LogViewCore::layoutOf(const Segment& segment) {
  auto found = layouts_.find(segment.from.value());
  if (found != layouts_.end() && found->second.segment == segment) return found->second.layout;
  // Dropping all now and then is simpler than tracking which were used last.
  if (layouts_.size() >= kMaxLayouts) layouts_.clear();
  std::shared_ptr<const SegmentLayout> layout =
      skin_.lay(model().displayText(segment), std::max(1.0, width_ - 2 * kMargin));
  layouts_[segment.from.value()] = {segment, layout};
  return layout;
}

double LogViewCore::heightOf(const Segment& segment) { return layoutOf(segment)->height(); }

double LogViewCore::rowTopOf(const Segment& segment, Offset offset) {
  const auto layout = layoutOf(segment);
  return layout->row(layout->rowOf(model().unitAt(segment, offset))).top;
}

double LogViewCore::rowTopFrom(const Segment& segment, double y) {
  const auto layout = layoutOf(segment);
  for (std::size_t row = 0; row < layout->rowCount(); ++row) {
    if (layout->row(row).top >= y - 0.5) return layout->row(row).top;
  }
  return layout->height();
}

std::pair<Unit, Unit> LogViewCore::wordAt(const Segment& segment, Unit unit) {
  const auto layout = layoutOf(segment);
  auto [first, second] = layout->wordAt(unit);
  if (!(first <= unit && unit < second)) std::tie(first, second) = layout->clusterAt(unit);
  // A word finder may cut inside what is drawn as one character, an emoji
  // of several code points: the word takes the whole of it.
  return {layout->clusterAt(first).first, layout->clusterAt(second - 1).second};
}

void LogViewCore::readerChanged(LogReader::Changes changes) {
  // The note's first showing leaves less room for rows: the reader measures
  // again, and the view hears of both at once.
  if (height_ - textTop() != textHeight_) {
    carried_ |= changes;
    textHeight_ = height_ - textTop();
    reader_->setViewHeight(textHeight_);
    return;
  }
  const LogReader::Changes carried = std::exchange(carried_, 0);
  changes |= carried;
  // Matches found meanwhile may lie in rows already drawn.
  redraw_ = carried != 0 || finding() ? Redraw{} : redrawOf(reader_->damage());
  if (finding()) {
    search_->resume();
    // Another selection may be another match, or none.
    if (changes & LogReader::kSelection) changes |= kFind;
  }
  const Scroller now = measure();
  if (!(now == scroller_)) {
    scroller_ = now;
    changes |= kScroller;
  }
  skin_.viewChanged(changes);
}

LogViewCore::Redraw LogViewCore::redrawOf(const LogReader::Damage& damage) const {
  if (damage.whole) return {};
  const double top = textTop();
  const double rows = height_ - top;
  // What changed, and what the move uncovers: below when the rows go up,
  // above when they go down.
  double from = std::min(damage.changedFrom, rows);
  double to = rows;
  if (damage.moved > 0) from = std::min(from, rows - damage.moved);
  if (damage.moved < 0) {
    if (!(from < rows)) to = -damage.moved;
    from = 0;
  }
  return {false,
          damage.moved,
          {0, top, width_, rows},
          {0, top + from, width_, std::max(0.0, to - from)}};
}

LogViewCore::Scroller LogViewCore::measure() {
  const LogReader::Scroller bytes = reader_->scroller();
  return {bytes.range > 0, bytes.value, bytes.range, bytes.page};
}

void LogViewCore::setSize(double width, double height) {
  if (width != width_) layouts_.clear();
  width_ = std::max(1.0, width);
  height_ = std::max(1.0, height);
  textHeight_ = height_ - textTop();
  reader_->setViewHeight(textHeight_);
}

ViewRect LogViewCore::noteRect() const {
  if (store().droppedCharacters() == 0) return {0, 0, width_, 0};
  return {0, 0, width_, std::ceil(skin_.lineHeight()) + 6};
}

void LogViewCore::relayout() {
  layouts_.clear();
  reader_->relayout();
}

void LogViewCore::setActive(bool active) {
  if (active == active_) return;
  active_ = active;
  redraw_ = {};
  skin_.viewChanged(LogReader::kSelection);
}

std::vector<LogViewCore::Shown> LogViewCore::shown() {
  std::vector<Shown> shown;
  const Offset from = reader_->selectionStart();
  const Offset to = reader_->selectionEnd();
  try {
    Segment segment = reader_->top().segment;
    for (double y = textTop() - reader_->top().y; y < height_;) {
      Shown& each = shown.emplace_back(Shown{layoutOf(segment), segment, {kMargin, y}, {}, {}, {}});
      if (from < to && from <= segment.to && to > segment.from) {
        each.selectedFrom = model().unitAt(segment, from);
        each.selectedTo = model().unitAt(segment, to);
      }
      y += each.layout->height();
      if (!model().next(segment)) break;
    }
    markFound(shown);
  } catch (const std::bad_alloc&) {
    // Out of memory laying out: older output goes, and the view tries again
    // a frame later, rather than the program ending.
    layouts_.clear();
    model().relieveMemory();
    mainQueue_->postAfter(LogReader::kFrame, [weak = std::weak_ptr<LogViewCore*>(self_)] {
      if (const auto self = weak.lock()) (*self)->reader_->catchUp();
    });
    return {};
  }
  return shown;
}

const LogViewCore::Shown* LogViewCore::shownAt(double y, const std::vector<Shown>& shown) const {
  for (const Shown& each : shown) {
    if (y < each.origin.y + each.layout->height()) return &each;
  }
  return shown.empty() ? nullptr : &shown.back();
}

Offset LogViewCore::caretAt(ViewPoint point) {
  const std::vector<Shown> all = shown();
  // The margin above the top row belongs to that row.
  point.y = std::max(point.y, textTop());
  const Shown* hit = shownAt(point.y, all);
  if (hit == nullptr) return store().endOffset();
  const SegmentLayout& layout = *hit->layout;
  // Below the last of the text: its end.
  if (point.y >= hit->origin.y + layout.height() && hit->segment == model().lastSegment()) {
    return store().endOffset();
  }
  const std::size_t row = layout.rowAt(point.y - hit->origin.y);
  return model().offsetAt(hit->segment, layout.caretAt(row, point.x - hit->origin.x));
}

Offset LogViewCore::characterAt(ViewPoint point) {
  const std::vector<Shown> all = shown();
  point.y = std::max(point.y, textTop());
  const Shown* hit = shownAt(point.y, all);
  if (hit == nullptr) return store().endOffset();
  const SegmentLayout& layout = *hit->layout;
  const std::size_t row = layout.rowAt(point.y - hit->origin.y);
  const Unit unit = layout.characterAt(row, point.x - hit->origin.x);
  return model().offsetAt(hit->segment, layout.clusterAt(unit).first);
}

double LogViewCore::estimatedDistance(const Segment& from, const Segment& to) {
  // A row for each segment between, as many as line and segment numbers
  // tell; only the direction and the order of size matter this far out.
  const double lines = to.line >= from.line ? static_cast<double>(to.line - from.line)
                                            : -static_cast<double>(from.line - to.line);
  const double within = static_cast<double>(to.index) - static_cast<double>(from.index);
  return (lines + within) * skin_.lineHeight();
}

double LogViewCore::topOf(const Segment& target) {
  Segment segment = reader_->top().segment;
  double y = textTop() - reader_->top().y;
  if (!(target.from < segment.from)) {
    for (int walked = 0; walked < kWalk; ++walked) {
      if (segment == target) return y;
      y += layoutOf(segment)->height();
      if (!model().next(segment)) return y;
    }
    return y + estimatedDistance(segment, target);
  }
  for (int walked = 0; walked < kWalk && model().previous(segment); ++walked) {
    y -= layoutOf(segment)->height();
    if (segment == target) return y;
  }
  return y + estimatedDistance(segment, target);
}

std::vector<ViewRect> LogViewCore::rectsFor(Offset from, Offset to) {
  const LogStore& kept = store();
  from = std::clamp(from, kept.beginOffset(), kept.endOffset());
  to = std::clamp(to, from, kept.endOffset());
  std::vector<ViewRect> rects;
  Segment segment = model().segmentAt(from);
  const Segment last = model().segmentAt(to);
  double y = topOf(segment);
  for (int laid = 0;; ++laid) {
    if (laid == kWalk) {
      // The rest, too long to lay out: whole rows down to the last.
      const double bottom = y + estimatedDistance(segment, last) + skin_.lineHeight();
      rects.push_back({kMargin, y, width_ - 2 * kMargin, bottom - y});
      break;
    }
    const auto layout = layoutOf(segment);
    const Unit first = model().unitAt(segment, std::max(from, segment.from));
    const Unit second = model().unitAt(segment, std::min(to, segment.to));
    for (const ViewRect& box : layout->rangeRects(first, second)) {
      rects.push_back({box.x + kMargin, box.y + y, box.width, box.height});
    }
    if (!(segment.to < to) || !model().next(segment)) break;
    y += layout->height();
  }
  return rects;
}

ViewRect LogViewCore::frameFor(Offset from, Offset to) {
  ViewRect frame;
  for (const ViewRect& rect : rectsFor(from, to)) frame = frame.united(rect);
  return frame;
}

std::optional<LogViewCore::Command> LogViewCore::CommandNamed(std::string_view selector) {
  static constexpr std::pair<std::string_view, Command> kNames[] = {
      {"moveUp:", Command::kLineUp},
      {"scrollLineUp:", Command::kLineUp},
      {"moveDown:", Command::kLineDown},
      {"scrollLineDown:", Command::kLineDown},
      {"pageUp:", Command::kPageUp},
      {"scrollPageUp:", Command::kPageUp},
      {"pageDown:", Command::kPageDown},
      {"scrollPageDown:", Command::kPageDown},
      {"moveToBeginningOfDocument:", Command::kStart},
      {"scrollToBeginningOfDocument:", Command::kStart},
      {"moveToEndOfDocument:", Command::kEnd},
      {"scrollToEndOfDocument:", Command::kEnd},
      {"selectAll:", Command::kSelectAll},
  };
  for (const auto& [name, command] : kNames) {
    if (name == selector) return command;
  }
  return std::nullopt;
}

void LogViewCore::perform(Command command) {
  switch (command) {
    case Command::kLineUp:
    case Command::kLineDown:
      scrollLines(command == Command::kLineUp ? -1 : 1);
      break;
    case Command::kPageUp:
    case Command::kPageDown:
      reader_->scrollBy((command == Command::kPageUp ? -1 : 1) * pageDistance());
      break;
    case Command::kStart:
      reader_->scrollToStart();
      break;
    case Command::kEnd:
      reader_->scrollToEnd();
      break;
    case Command::kSelectAll:
      reader_->selectAll();
      break;
  }
}

void LogViewCore::scrollLines(double lines) { reader_->scrollBy(lines * skin_.lineHeight()); }

void LogViewCore::scrollBy(double distance) { reader_->scrollBy(distance); }

double LogViewCore::pageDistance() {
  const double line = skin_.lineHeight();
  return std::max(line, textHeight_ - line);
}

std::optional<std::string> LogViewCore::copy() const {
  if (!reader_->hasSelection()) return std::nullopt;
  try {
    return reader_->selectedText();
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

void LogViewCore::press(ViewPoint point, int clicks, bool extend) {
  dragging_ = true;
  dragPoint_ = point;
  const Granularity unit = clicks >= 3   ? Granularity::kLine
                           : clicks == 2 ? Granularity::kWord
                                         : Granularity::kCharacter;
  // A caret goes between characters; a word or line is that of the
  // character pressed.
  const Offset at = unit == Granularity::kCharacter ? caretAt(point) : characterAt(point);
  reader_->press(at, unit, unit == Granularity::kCharacter && extend);
}

void LogViewCore::drag(ViewPoint point) {
  if (!dragging_) return;
  dragPoint_ = point;
  if ((point.y < 0 || point.y > height_) && !autoscrolling_) {
    autoscrolling_ = true;
    autoscroll();
    return;
  }
  reader_->dragTo(caretAt({point.x, std::clamp(point.y, textTop(), height_ - 1)}));
}

void LogViewCore::autoscroll() {
  const double over = dragPoint_.y < 0 ? dragPoint_.y : std::max(0.0, dragPoint_.y - height_);
  if (!dragging_ || over == 0) {
    autoscrolling_ = false;
    return;
  }
  // The farther past the edge, the faster, up to a page a step.
  const double line = skin_.lineHeight();
  const double distance = std::min(line * (1 + std::floor(std::abs(over) / line)), pageDistance());
  reader_->scrollBy(std::copysign(distance, over));
  reader_->dragTo(caretAt({dragPoint_.x, std::clamp(dragPoint_.y, textTop(), height_ - 1)}));
  mainQueue_->postAfter(kAutoscrollInterval, [weak = std::weak_ptr<LogViewCore*>(self_)] {
    if (const auto self = weak.lock()) (*self)->autoscroll();
  });
}

void LogViewCore::release() { dragging_ = false; }

void LogViewCore::scrollerTo(double value) {
  // A toolkit's scroller counts whole steps: its last one is the end.
  if (value >= std::floor(scroller_.range)) {
    reader_->scrollToEnd();
  } else {
    reader_->scrollToValue(value);
  }
}

void LogViewCore::scrollerToFraction(double fraction) {
  scrollerTo(std::clamp(fraction, 0.0, 1.0) * scroller_.range);
}

std::u16string LogViewCore::text(Range range) const {
  try {
    return model().shownText(offsetOf(range.from), offsetOf(range.to));
  } catch (const std::bad_alloc&) {
    // Asked for more than memory allows: nothing, and the log makes room.
    model().relieveMemory();
    return {};
  }
}

LogViewCore::Range LogViewCore::selectedRange() const {
  return rangeOf(reader_->selectionStart(), reader_->selectionEnd());
}

void LogViewCore::setSelectedRange(Range range) {
  const Offset from = offsetOf(range.from);
  reader_->select(from, offsetOf(range.to));
  reader_->scrollToOffset(from);
}

LogViewCore::Range LogViewCore::visibleRange() {
  const Offset from = characterAt({kMargin, textTop()});
  return rangeOf(from, std::max(from, caretAt({width_, height_ - 1})));
}

std::uint64_t LogViewCore::lineForIndex(TextIndex index) const {
  return store().lineAt(offsetOf(index)) - store().firstLine();
}

std::optional<LogViewCore::Range> LogViewCore::rangeForLine(std::uint64_t line) const {
  if (line >= store().endLine() - store().firstLine()) return std::nullopt;
  const Line kept = store().firstLine() + line;
  return rangeOf(store().lineStart(kept), store().lineEnd(kept));
}

LogViewCore::Range LogViewCore::characterRange(TextIndex index) const {
  const Offset at = offsetOf(index);
  Offset next = std::min(at + 1, store().endOffset());
  while (next < store().endOffset() && utf8::IsContinuation(store().byteAt(next))) ++next;
  return rangeOf(at, next);
}

LogViewCore::Range LogViewCore::clusterRange(TextIndex index) {
  const Offset at = offsetOf(index);
  const Segment segment = model().segmentAt(at);
  // A line end is a character of its own.
  if (!(at < segment.to)) return characterRange(index);
  const auto [first, second] = layoutOf(segment)->clusterAt(model().unitAt(segment, at));
  return rangeOf(model().offsetAt(segment, first), model().offsetAt(segment, second));
}

LogViewCore::Range LogViewCore::wordRange(TextIndex index) {
  const auto [from, to] = reader_->unitAround(offsetOf(index), Granularity::kWord);
  return rangeOf(from, to);
}

LogViewCore::Range LogViewCore::lineRange(TextIndex index) const {
  const Line line = store().lineAt(offsetOf(index));
  return rangeOf(store().lineStart(line), store().lineEnd(line));
}

std::optional<LogViewCore::Range> LogViewCore::textAround(TextIndex index, Boundary boundary,
                                                          int step) {
  auto around = [&](TextIndex at) -> std::optional<Range> {
    if (boundary == Boundary::kAll) return Range{TextIndex(0), length()};
    if (!(at < length())) return std::nullopt;
    if (boundary == Boundary::kCharacter) return characterRange(at);
    return boundary == Boundary::kWord ? wordRange(at) : lineRange(at);
  };
  const std::optional<Range> range = around(index);
  if (!range || step == 0) return range;
  if (step < 0) return range->from > TextIndex(0) ? around(range->from - 1) : std::nullopt;
  return around(range->to);
}

std::u16string LogViewCore::textSince(std::uint64_t dropped, std::uint64_t from,
                                      std::uint64_t count) const {
  const std::uint64_t gone = store().dropped(unit_) - dropped;
  const std::uint64_t skip = from < gone ? std::min(count, gone - from) : 0;
  std::u16string text(skip, u' ');
  const TextIndex start(from + skip - gone);
  if (skip < count) text += this->text({start, start + (count - skip)});
  return text;
}

ViewRect LogViewCore::characterBox(TextIndex index) {
  if (!(index < length())) return {};
  return frameForRange(clusterRange(index));
}

LogViewCore::TextChange LogViewCore::takeTextChange(std::uint64_t limit) {
  TextChange change;
  const std::uint64_t dropped = store().dropped(unit_);
  change.removed = dropped - heardDropped_;
  heardDropped_ = dropped;
  const Offset from = std::max(heardEnd_, store().beginOffset());
  heardEnd_ = store().endOffset();
  change.insertedAt = indexOf(from);
  change.insertedLength = indexOf(heardEnd_) - change.insertedAt;
  if (heardEnd_ - from <= limit) change.inserted = model().shownText(from, heardEnd_);
  return change;
}

void LogViewCore::markFound(std::vector<Shown>& shown) {
  if (!finding() || shown.empty()) return;
  // Matches that begin above the view may reach into it.
  const Offset first = shown.front().segment.from;
  const Offset from = first - std::min(search_->longestMatch(), first - store().beginOffset());
  std::vector<LogSearch::Match> matches = search_->matchesIn(from, shown.back().segment.to);
  if (matches.empty()) return;
  for (Shown& each : shown) {
    const Segment& segment = each.segment;
    // Units counted on through the segment, offset by offset; again from
    // its start for a match that overlaps the last.
    const std::string text = store().text(segment.from, segment.to);
    Offset counted = segment.from;
    Unit units(0);
    auto unitAt = [&](Offset offset) {
      if (offset < counted) std::tie(counted, units) = std::pair(segment.from, Unit(0));
      const auto at = static_cast<std::size_t>(counted - segment.from);
      units += static_cast<std::size_t>(
          utf8::Count(std::string_view(text).substr(at, offset - counted)).utf16);
      counted = offset;
      return units;
    };
    for (const LogSearch::Match& match : matches) {
      if (!(match.to > segment.from && match.from < segment.to)) continue;
      const Unit start = unitAt(std::max(match.from, segment.from));
      each.found.emplace_back(start, unitAt(std::min(match.to, segment.to)));
    }
  }
}

void LogViewCore::find(std::string_view text, bool matchCase) {
  steps_.clear();
  search_->start(text, matchCase ? nullptr : folding_.get());
  if (finding()) steps_.push_back(Step::kFirst);
  settleFind();
  redraw_ = {};
  skin_.viewChanged(kFind);
}

void LogViewCore::findNext() { step(Step::kNext); }

void LogViewCore::findPrevious() { step(Step::kPrevious); }

void LogViewCore::step(Step step) {
  if (!finding()) return;
  steps_.push_back(step);
  settleFind();
}

void LogViewCore::endFind() {
  steps_.clear();
  search_->stop();
  redraw_ = {};
  skin_.viewChanged(kFind);
}

void LogViewCore::settleFind() {
  while (!steps_.empty()) {
    const Offset start = reader_->selectionStart();
    const Offset end = reader_->selectionEnd();
    const bool complete = search_->complete();
    std::optional<LogSearch::Match> target;
    if (steps_.front() == Step::kPrevious) {
      if (search_->searched() < start && !complete) return;
      target = search_->lastBefore(start);
      // Round the start: the last of all.
      if (!target && complete) target = search_->lastBefore(store().endOffset());
    } else {
      // The next one after the match selected, else after the selection.
      Offset from = start;
      if (steps_.front() == Step::kNext) {
        const std::optional<LogSearch::Match> current = search_->matchAt(start);
        from = current && current->to == end && start < end ? start + 1 : end;
      }
      target = search_->firstFrom(from);
      if (!target && !complete) return;
      if (!target) target = search_->firstFrom(store().beginOffset());
    }
    steps_.pop_front();
    if (!target) continue;
    reader_->select(target->from, target->to);
    reader_->centreOn(target->from, false);
  }
}

void LogViewCore::searchProgressed() {
  settleFind();
  // The count shows a few times a second while it grows, and once it is all.
  const auto now = std::chrono::steady_clock::now();
  if (!search_->complete() && now - findHeard_ < std::chrono::milliseconds(100)) return;
  findHeard_ = now;
  redraw_ = {};
  skin_.viewChanged(kFind);
}

LogViewCore::FindStatus LogViewCore::findStatus() {
  FindStatus status{search_->count(), 0, search_->complete()};
  const Offset start = reader_->selectionStart();
  const std::optional<LogSearch::Match> selected =
      reader_->hasSelection() ? search_->matchAt(start) : std::nullopt;
  if (selected && selected->to == reader_->selectionEnd() && start < search_->searched()) {
    status.current = search_->countBefore(start) + 1;
  }
  return status;
}

std::string LogViewCore::FindStatusWords(const FindStatus& status) {
  if (status.count == 0) return status.complete ? "見つかりませんでした" : "検索中…";
  const std::string count = GroupDigits(status.count);
  if (!status.complete) return count + " 件以上一致";
  if (status.current == 0) return count + " 件一致";
  return count + " 件中 " + GroupDigits(status.current) + " 件目";
}

void LogViewCore::centreSelection() { reader_->centreOn(reader_->selectionStart(), true); }

LogViewCore::Piece LogViewCore::textPiece(TextIndex index) const {
  // Blocks of the text, each cut at the first character that starts in it.
  constexpr std::uint64_t kPiece = std::uint64_t{1} << LogSearch::kDefaultBlockShift;
  const LogStore& kept = store();
  auto cut = [&](std::uint64_t at) {
    Offset offset = std::clamp(Offset(at), kept.beginOffset(), kept.endOffset());
    while (offset < kept.endOffset() && utf8::IsContinuation(kept.byteAt(offset))) ++offset;
    return offset;
  };
  const std::uint64_t block = offsetOf(index).value() / kPiece;
  const Offset from = cut(block * kPiece);
  const Offset to = cut((block + 1) * kPiece);
  return {rangeOf(from, to), model().shownText(from, to)};
}

}  // namespace corvane
