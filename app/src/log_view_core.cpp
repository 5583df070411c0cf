#include "corvane/app/log_view_core.h"

#include <algorithm>
#include <cmath>
#include <new>

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

LogViewCore::LogViewCore(std::shared_ptr<LogModel> model, std::shared_ptr<MainQueue> mainQueue,
                         LogViewSkin& skin, TextUnit accessibleUnit)
    : mainQueue_(std::move(mainQueue)),
      skin_(skin),
      unit_(accessibleUnit),
      self_(std::make_shared<LogViewCore*>(this)),
      reader_(std::make_unique<LogReader>(std::move(model), mainQueue_,
                                          static_cast<LogReader::View&>(*this))) {
  heardDropped_ = store().dropped(unit_);
  heardEnd_ = store().endOffset();
}

LogViewCore::~LogViewCore() { reader_.reset(); }

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
  return layout->rowTop(layout->rowOf(model().unitAt(segment, offset)));
}

double LogViewCore::rowTopFrom(const Segment& segment, double y) {
  const auto layout = layoutOf(segment);
  for (std::size_t row = 0; row < layout->rowCount(); ++row) {
    if (layout->rowTop(row) >= y - 0.5) return layout->rowTop(row);
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
  const Scroller now = measure();
  if (!(now == scroller_)) {
    scroller_ = now;
    changes |= kScroller;
  }
  skin_.viewChanged(changes);
}

LogViewCore::Scroller LogViewCore::measure() {
  const LogReader::Scroller bytes = reader_->scroller();
  return {bytes.range > 0, bytes.value, bytes.range, bytes.page};
}

void LogViewCore::setSize(double width, double height) {
  if (width != width_) layouts_.clear();
  width_ = std::max(1.0, width);
  height_ = std::max(1.0, height);
  reader_->setViewHeight(height_ - kMargin);
}

void LogViewCore::relayout() {
  layouts_.clear();
  reader_->relayout();
}

void LogViewCore::setActive(bool active) {
  if (active == active_) return;
  active_ = active;
  skin_.viewChanged(LogReader::kSelection);
}

std::vector<LogViewCore::Shown> LogViewCore::shown() {
  std::vector<Shown> shown;
  const Offset from = reader_->selectionStart();
  const Offset to = reader_->selectionEnd();
  try {
    Segment segment = reader_->top().segment;
    for (double y = kMargin - reader_->top().y; y < height_;) {
      Shown& each = shown.emplace_back(Shown{layoutOf(segment), segment, {kMargin, y}, {}, {}});
      if (from < to && from <= segment.to && to > segment.from) {
        each.selectedFrom = model().unitAt(segment, from);
        each.selectedTo = model().unitAt(segment, to);
      }
      y += each.layout->height();
      if (!model().next(segment)) break;
    }
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
  point.y = std::max(point.y, kMargin);
  const Shown* hit = shownAt(point.y, all);
  if (hit == nullptr) return store().endOffset();
  // Below the last of the text: its end.
  if (point.y >= hit->origin.y + hit->layout->height() && hit->segment == model().lastSegment()) {
    return store().endOffset();
  }
  return model().offsetAt(hit->segment,
                          hit->layout->caretAt({point.x - hit->origin.x, point.y - hit->origin.y}));
}

Offset LogViewCore::characterAt(ViewPoint point) {
  const std::vector<Shown> all = shown();
  point.y = std::max(point.y, kMargin);
  const Shown* hit = shownAt(point.y, all);
  if (hit == nullptr) return store().endOffset();
  return model().offsetAt(
      hit->segment, hit->layout->characterAt({point.x - hit->origin.x, point.y - hit->origin.y}));
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
  double y = kMargin - reader_->top().y;
  if (!(target.from < segment.from)) {
    for (int walked = 0; walked < kWalk; ++walked) {
      if (segment == target) return y;
      y += layoutOf(segment)->height();
      if (!model().next(segment)) return y;
    }
    return y + estimatedDistance(segment, target);
  }
  for (int walked = 0; walked < kWalk && model().previous(segment);) {
    y -= layoutOf(segment)->height();
    if (segment == target) return y;
    ++walked;
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

void LogViewCore::scrollLines(double lines) { reader_->scrollBy(lines * skin_.lineHeight()); }

double LogViewCore::pageDistance() {
  const double line = skin_.lineHeight();
  return std::max(line, height_ - kMargin - line);
}

void LogViewCore::scrollPages(double pages) { reader_->scrollBy(pages * pageDistance()); }

void LogViewCore::scrollBy(double distance) { reader_->scrollBy(distance); }

void LogViewCore::scrollToStart() { reader_->scrollToStart(); }

void LogViewCore::scrollToEnd() { reader_->scrollToEnd(); }

void LogViewCore::selectAll() { reader_->selectAll(); }

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
  reader_->dragTo(caretAt({point.x, std::clamp(point.y, kMargin, height_ - 1)}));
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
  reader_->dragTo(caretAt({dragPoint_.x, std::clamp(dragPoint_.y, kMargin, height_ - 1)}));
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
  const Offset from = characterAt({kMargin, kMargin});
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

}  // namespace corvane
