#include "corvane/app/log_reader.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

namespace corvane {

LogReader::LogReader(std::shared_ptr<LogModel> model, std::shared_ptr<MainQueue> mainQueue,
                     View& view)
    : model_(std::move(model)),
      mainQueue_(std::move(mainQueue)),
      view_(view),
      self_(std::make_shared<LogReader*>(this)),
      top_{model_->firstSegment(), 0} {
  model_->setObserver(this);
  heard_ = snapshot();
}

LogReader::~LogReader() { model_->setObserver(nullptr); }

void LogReader::logDidChange() {
  changedThisFrame_ = true;
  if (updatePosted_) return;
  updatePosted_ = true;
  // The first change after a pause shows at once; later ones a frame after
  // the last update.
  const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - lastUpdate_);
  if (since >= kFrame) {
    mainQueue_->post(updateLater());
  } else {
    mainQueue_->postAfter(kFrame - since, updateLater());
  }
}

std::function<void()> LogReader::updateLater() {
  return [weak = std::weak_ptr<LogReader*>(self_)] {
    if (const auto self = weak.lock()) (*self)->frameDue();
  };
}

void LogReader::frameDue() {
  // While a whole page goes by between two updates, no one reads it, and
  // drawing it costs the same however fast it comes: every eighth frame is
  // enough. A frame that brings nothing ends the flood, and the view shows
  // where the output stopped at once.
  if (flooding_ && changedThisFrame_ && ++framesSkipped_ < kFloodFrames) {
    changedThisFrame_ = false;
    mainQueue_->postAfter(kFrame, updateLater());
    return;
  }
  catchUp();
}

void LogReader::catchUp() {
  updatePosted_ = false;
  changedThisFrame_ = false;
  framesSkipped_ = 0;
  lastUpdate_ = std::chrono::steady_clock::now();
  const Offset shownBefore = shownEnd_;
  if (!settle()) return;
  flooding_ = followsEnd_ && top_.segment.from > shownBefore;
  notify();
}

LogReader::Snapshot LogReader::snapshot() const {
  const LogStore& store = model_->store();
  return {top_, anchor_, cursor_, store.beginOffset(), store.endOffset()};
}

void LogReader::notify(Changes changes) {
  const Snapshot before = std::exchange(heard_, snapshot());
  const Snapshot& now = heard_;
  // New output changes the text in view only where the view reaches the end.
  if (now.end != before.end && shownEnd_ >= before.end) changes |= kText;
  if (now.begin != before.begin) changes |= kNote | kText;
  if (!(now.top == before.top)) changes |= kPlace;
  if (now.anchor != before.anchor || now.cursor != before.cursor) changes |= kSelection;
  // The scroller's range moves with every change of the text.
  if (now.end != before.end) changes |= kPlace;
  if (changes == 0) return;
  damage_ = damageBetween(before, changes);
  view_.readerChanged(changes);
}

LogReader::Damage LogReader::damageBetween(const Snapshot& before, Changes changes) {
  // A new selection, a note or dropped lines, a new layout: all of it.
  if ((changes & (kSelection | kNote)) != 0) return {};
  const Snapshot& now = heard_;
  Damage damage{false, 0, viewHeight_};
  // The old end's segment may show more now, and what follows it is new;
  // what lies above it is as it was drawn.
  const LogModel::Segment ended = model_->segmentAt(before.end);
  const bool grew = now.end != before.end;
  if (!(now.top == before.top)) {
    Place was = before.top;
    was.segment = model_->segmentAt(was.segment.from);
    const std::optional<double> moved = distance(was, now.top);
    if (!moved || std::abs(*moved) >= viewHeight_) return {};
    damage.moved = *moved;
  }
  if (grew) {
    const std::optional<double> at = distance(now.top, {ended, 0});
    if (!at || *at <= 0) return {};
    damage.changedFrom = *at;
  }
  return damage;
}

std::optional<double> LogReader::distance(const Place& from, const Place& to) {
  if (to < from) {
    const std::optional<double> back = distance(to, from);
    return back ? std::optional<double>(-*back) : std::nullopt;
  }
  // Looked for no farther than a view's height: past it, nothing drawn is
  // kept anyway.
  double y = -from.y;
  for (LogModel::Segment segment = from.segment; segment.from != to.segment.from;) {
    y += heightOf(segment);
    if (y >= viewHeight_) return viewHeight_;
    if (!model_->next(segment)) return std::nullopt;
  }
  return std::min(y + to.y, viewHeight_);
}

bool LogReader::settle() {
  try {
    const LogStore& store = model_->store();
    // Dropped lines take the reader's place with them; anything else keeps it.
    if (top_.segment.from < store.beginOffset()) {
      top_ = {model_->firstSegment(), 0};
    } else {
      top_.segment = model_->segmentAt(top_.segment.from);
      top_.y = std::min(top_.y, heightOf(top_.segment) - 1);
    }
    for (Offset* offset : {&anchor_, &cursor_, &unitBase_.first, &unitBase_.second}) {
      *offset = std::clamp(*offset, store.beginOffset(), store.endOffset());
    }
    const Place end = endPlace();
    top_ = followsEnd_ ? end : std::min(top_, end);
    (void)scroller();
    return true;
  } catch (const std::bad_alloc&) {
    // Out of memory laying out: the log gives up older output, and the view
    // tries again a frame later, rather than the program ending.
    view_.forgetLayouts();
    model_->relieveMemory();
    updatePosted_ = true;
    mainQueue_->postAfter(kFrame, updateLater());
    return false;
  }
}

double LogReader::heightOf(const LogModel::Segment& segment) {
  return std::max(1.0, view_.heightOf(segment));
}

void LogReader::setViewHeight(double height) {
  viewHeight_ = std::max(1.0, height);
  relayout();
}

void LogReader::relayout() {
  if (settle()) notify(kText | kPlace | kSelection);
}

LogReader::Place LogReader::endPlace() {
  LogModel::Segment segment = model_->lastSegment();
  double height = heightOf(segment);
  double room = viewHeight_;
  while (height < room && model_->previous(segment)) {
    room -= height;
    height = heightOf(segment);
  }
  if (height <= room) return {segment, 0};
  // The row cut by the top edge goes, rather than show half of it.
  const double y = view_.rowTopFrom(segment, height - room);
  if (y < height) return {segment, y};
  return model_->next(segment) ? Place{segment, 0} : Place{segment, height - room};
}

// Bytes a segment stands for on the scroller: an empty line counts one.
double LogReader::valueOf(const Place& place) {
  const auto bytes =
      static_cast<double>(std::max<std::uint64_t>(1, place.segment.to - place.segment.from));
  return static_cast<double>(place.segment.from - model_->store().beginOffset()) +
         std::min(1.0, place.y / heightOf(place.segment)) * bytes;
}

LogReader::Scroller LogReader::scroller() {
  // The bytes in view, so that the knob shows how much of it is seen.
  std::uint64_t shown = 0;
  LogModel::Segment segment = top_.segment;
  for (double y = -top_.y; y < viewHeight_;) {
    shown += segment.to - segment.from + 1;
    y += heightOf(segment);
    shownEnd_ = segment.to;
    if (!model_->next(segment)) break;
  }
  const double range = valueOf(endPlace());
  return {std::min(valueOf(top_), range), range,
          static_cast<double>(std::max<std::uint64_t>(shown, 1))};
}

void LogReader::moveTo(Place place) {
  const Place end = endPlace();
  top_ = end < place ? end : place;
  followsEnd_ = !(top_ < end);
  notify();
}

void LogReader::scrollBy(double distance) { moveTo(below(top_, distance)); }

LogReader::Place LogReader::below(Place place, double distance) {
  place.y += distance;
  while (place.y < 0 && model_->previous(place.segment)) place.y += heightOf(place.segment);
  place = past(place);
  place.y = std::max(0.0, place.y);
  return place;
}

LogReader::Place LogReader::past(Place place) {
  // Each segment passed takes its own height off, not the next one's.
  for (double height = heightOf(place.segment); place.y >= height;) {
    if (!model_->next(place.segment)) break;
    place.y -= height;
    height = heightOf(place.segment);
  }
  return place;
}

void LogReader::scrollToStart() { moveTo({model_->firstSegment(), 0}); }

void LogReader::scrollToEnd() { moveTo(endPlace()); }

void LogReader::scrollToValue(double value) {
  if (value >= valueOf(endPlace())) {
    scrollToEnd();
    return;
  }
  const Offset offset =
      model_->store().beginOffset() + static_cast<std::uint64_t>(std::max(0.0, value));
  const LogModel::Segment segment = model_->segmentAt(offset);
  const auto bytes = static_cast<double>(std::max<std::uint64_t>(1, segment.to - segment.from));
  const double within = value - static_cast<double>(segment.from - model_->store().beginOffset());
  const double height = heightOf(segment);
  moveTo({segment, std::min(std::clamp(within / bytes, 0.0, 1.0) * height, height - 1)});
}

LogReader::Place LogReader::placeOf(Offset offset) {
  const LogModel::Segment segment = model_->segmentAt(offset);
  return {segment, view_.rowTopOf(segment, offset)};
}

bool LogReader::inView(const Place& place) {
  Place bottom = top_;
  bottom.y += viewHeight_;
  bottom = past(bottom);
  return !(place < top_) && place < bottom;
}

void LogReader::scrollToOffset(Offset offset) {
  const Place place = placeOf(offset);
  if (!inView(place)) moveTo(place);
}

void LogReader::centreOn(Offset offset, bool always) {
  const Place place = placeOf(offset);
  if (always || !inView(place)) moveTo(below(place, -viewHeight_ / 2));
}

std::pair<Offset, Offset> LogReader::unitAround(Offset offset, Granularity unit) {
  const LogStore& store = model_->store();
  offset = std::clamp(offset, store.beginOffset(), store.endOffset());
  if (unit == Granularity::kCharacter) return {offset, offset};
  const Line line = store.lineAt(offset);
  if (unit == Granularity::kLine) return {store.lineStart(line), store.lineEnd(line)};
  const LogModel::Segment segment = model_->segmentAt(offset);
  const Unit length = model_->unitAt(segment, segment.to);
  if (length == Unit(0)) return {offset, offset};
  const auto [first, second] =
      view_.wordAt(segment, std::min(model_->unitAt(segment, offset), length - 1));
  return {model_->offsetAt(segment, first), model_->offsetAt(segment, second)};
}

void LogReader::press(Offset offset, Granularity unit, bool extend) {
  unit_ = unit;
  if (extend) {
    unitBase_ = {anchor_, anchor_};
    dragTo(offset);
    return;
  }
  unitBase_ = unitAround(offset, unit);
  select(unitBase_.first, unitBase_.second);
}

void LogReader::dragTo(Offset offset) {
  const auto [from, to] = unitAround(offset, unit_);
  if (from < unitBase_.first) {
    select(unitBase_.second, from);
  } else {
    select(unitBase_.first, std::max(to, unitBase_.second));
  }
}

void LogReader::select(Offset anchor, Offset cursor) {
  const LogStore& store = model_->store();
  anchor_ = std::clamp(anchor, store.beginOffset(), store.endOffset());
  cursor_ = std::clamp(cursor, store.beginOffset(), store.endOffset());
  notify();
}

void LogReader::selectAll() {
  unit_ = Granularity::kCharacter;
  unitBase_ = {model_->store().beginOffset(), model_->store().beginOffset()};
  select(model_->store().beginOffset(), model_->store().endOffset());
}

std::string LogReader::selectedText() const {
  return model_->text(selectionStart(), selectionEnd());
}

}  // namespace corvane
