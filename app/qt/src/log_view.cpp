#include "corvane/qt/log_view.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionFrame>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <climits>
#include <cmath>
#include <new>

#include "corvane/qt/dim_label.h"
#include "corvane/qt/log_accessibility.h"

namespace corvane::qt {
namespace {

constexpr int kMargin = 4;
constexpr int kFrameMilliseconds = 16;
constexpr std::size_t kMaxLayouts = 512;
// Larger appends are not read out one by one: no one listens to a flood.
constexpr std::uint64_t kMaxAnnounced = std::uint64_t{16} * 1024;

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0U) == 0x80U; }

QString FromUtf8(const std::string& bytes) {
  return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// UTF-16 units of the stored bytes up to `length`: NUL and ␀ are one each.
int Utf16Index(const std::string& bytes, std::size_t length) {
  int units = 0;
  for (std::size_t i = 0; i < length && i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (!IsContinuation(bytes[i])) units += b >= 0xF0U ? 2 : 1;
  }
  return units;
}

std::size_t ByteIndex(const std::string& bytes, int units) {
  std::size_t i = 0;
  for (int seen = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (IsContinuation(bytes[i])) continue;
    const int width = b >= 0xF0U ? 2 : 1;
    if (seen + width > units) break;
    seen += width;
  }
  return i;
}

// Copying gives bytes, not a QString: half the memory for a large selection.
// A primary selection is read only when another program asks for it.
class LogMimeData : public QMimeData {
 public:
  LogMimeData(std::weak_ptr<LogModel> model, std::uint64_t from, std::uint64_t to)
      : model_(std::move(model)), from_(from), to_(to) {}
  QStringList formats() const override { return {QStringLiteral("text/plain")}; }
  bool hasFormat(const QString& mimeType) const override {
    return mimeType == QStringLiteral("text/plain");
  }

 protected:
  QVariant retrieveData(const QString& mimeType, QMetaType type) const override {
    if (mimeType != QStringLiteral("text/plain")) return {};
    const auto model = model_.lock();
    const std::string text = model ? model->text(from_, to_) : std::string();
    if (type.id() == QMetaType::QString) return FromUtf8(text);
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
  }

 private:
  std::weak_ptr<LogModel> model_;
  std::uint64_t from_;
  std::uint64_t to_;
};

// The log's sunken frame, drawn above the text and the scroll bar. Drawn by the
// scroll area itself, as usual, it lies under them, and at a fractional scale
// (1.5, say) rounding lets them cover its right and bottom edges.
class FrameBorder : public QWidget {
 public:
  explicit FrameBorder(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
  }

 protected:
  void paintEvent(QPaintEvent* /*event*/) override {
    QPainter painter(this);
    QStyleOptionFrame option;
    option.initFrom(this);
    option.rect = rect();
    option.frameShape = QFrame::StyledPanel;
    option.state |= QStyle::State_Sunken;
    option.lineWidth = 1;
    style()->drawPrimitive(QStyle::PE_Frame, &option, &painter, this);
  }
};

}  // namespace

bool LogView::Position::operator<(const Position& other) const {
  return segment.from != other.segment.from ? segment.from < other.segment.from : row < other.row;
}

LogView::LogView(std::shared_ptr<LogModel> model, QWidget* parent)
    : QAbstractScrollArea(parent), model_(std::move(model)) {
  InstallLogAccessibility();
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFocusPolicy(Qt::StrongFocus);
  setFrameShape(QFrame::NoFrame);
  setViewportMargins(1, 1, 1, 1);
  border_ = new FrameBorder(this);
  viewport()->setCursor(Qt::IBeamCursor);
  verticalScrollBar()->installEventFilter(this);
  connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, &LogView::onScrollBarAction);
  refreshTimer_.setSingleShot(true);
  connect(&refreshTimer_, &QTimer::timeout, this, &LogView::refresh);
  top_ = {model_->firstSegment(), 0};
  model_->setObserver(this);
}

LogView::~LogView() { model_->setObserver(nullptr); }

int LogView::textWidth() const { return std::max(1, viewport()->width() - 2 * kMargin); }

int LogView::contentHeight() const { return std::max(1, viewport()->height() - kMargin); }

const LogView::Layout& LogView::layoutOf(const LogModel::Segment& segment) const {
  auto found = layouts_.find(segment.from);
  if (found != layouts_.end() && found->second->segment == segment) return *found->second;
  // A page needs a few dozen; dropping all now and then is simpler than
  // tracking which were used last.
  if (layouts_.size() >= kMaxLayouts) layouts_.clear();
  auto built = std::make_unique<Layout>();
  built->segment = segment;
  built->bytes = model_->text(segment.from, segment.to);
  QTextLayout& layout = built->layout;
  layout.setText(ShownText(built->bytes));
  layout.setFont(font());
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  option.setTabStopDistance(8 * QFontMetricsF(font()).horizontalAdvance(u' '));
  layout.setTextOption(option);
  layout.setCacheEnabled(true);
  qreal y = 0;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(textWidth());
    line.setPosition({0, y});
    y += line.height();
  }
  layout.endLayout();
  built->height = std::max(1, static_cast<int>(std::ceil(y)));
  return *(layouts_[segment.from] = std::move(built));
}

LogView::Position LogView::endPosition() const {
  // The last page: the earliest row from which everything to the end fits.
  LogModel::Segment segment = model_->lastSegment();
  Position top{segment, layoutOf(segment).layout.lineCount() - 1};
  int room = contentHeight();
  bool first = true;
  do {
    const QTextLayout& layout = layoutOf(segment).layout;
    for (int row = layout.lineCount() - 1; row >= 0; --row) {
      const int height = static_cast<int>(std::ceil(layout.lineAt(row).height()));
      if (height > room && !first) return top;
      room -= height;
      top = {segment, row};
      first = false;
    }
  } while (room > 0 && model_->previous(segment));
  return top;
}

LogView::Position LogView::positionOf(std::uint64_t offset) const {
  const LogModel::Segment segment = model_->segmentAt(offset);
  const Layout& layout = layoutOf(segment);
  const QTextLine line = layout.layout.lineForTextPosition(
      Utf16Index(layout.bytes, static_cast<std::size_t>(offset - segment.from)));
  return {segment, line.isValid() ? line.lineNumber() : 0};
}

void LogView::setTop(Position top, bool byReader) {
  const Position end = endPosition();
  top_ = end < top ? end : top;
  if (byReader) model_->setFollowsEnd(!(top_ < end));
  syncScrollBar(end);
  viewport()->update();
}

void LogView::scrollRows(int rows) {
  Position top = top_;
  for (; rows > 0; --rows) {
    if (top.row + 1 < layoutOf(top.segment).layout.lineCount()) {
      ++top.row;
    } else if (model_->next(top.segment)) {
      top.row = 0;
    } else {
      break;
    }
  }
  for (; rows < 0; ++rows) {
    if (top.row > 0) {
      --top.row;
    } else if (model_->previous(top.segment)) {
      top.row = layoutOf(top.segment).layout.lineCount() - 1;
    } else {
      break;
    }
  }
  setTop(top, true);
}

bool LogView::showsEnd() const { return !(top_ < endPosition()); }

void LogView::logDidChange() {
  if (refreshTimer_.isActive()) return;
  // The first change after a pause shows at once; later ones once a frame,
  // or every third while a whole page goes by between two: no one
  // reads a flood, and drawing it costs the same however fast it comes.
  const int frame = flooding_ ? 3 * kFrameMilliseconds : kFrameMilliseconds;
  const qint64 since = sinceRefresh_.isValid() ? sinceRefresh_.elapsed() : frame;
  if (since >= frame) {
    refresh();
  } else {
    refreshTimer_.start(static_cast<int>(frame - since));
  }
}

void LogView::catchUp() {
  refreshTimer_.stop();
  refresh();
}

void LogView::refresh() {
  sinceRefresh_.start();
  whileMemoryLasts([this] { catchUpWithModel(); });
}

// Out of memory while drawing, the view tries again a frame later and the log
// gives up older output, rather than the program ending.
template <typename Work>
void LogView::whileMemoryLasts(Work work) {
  try {
    work();
  } catch (const std::bad_alloc&) {
    layouts_.clear();
    model_->relieveMemory();
    refreshTimer_.start(kFrameMilliseconds);
  }
}

void LogView::catchUpWithModel() {
  const LogStore& store = model_->store();
  // Dropped lines take the reader's place with them; anything else keeps it.
  if (top_.segment.from < store.beginOffset()) {
    top_ = {model_->firstSegment(), 0};
  } else {
    const LogModel::Segment now = model_->segmentAt(top_.segment.from);
    if (!(now == top_.segment))
      top_ = {now, std::min(top_.row, layoutOf(now).layout.lineCount() - 1)};
  }
  anchor_ = std::clamp(anchor_, store.beginOffset(), store.endOffset());
  cursor_ = std::clamp(cursor_, store.beginOffset(), store.endOffset());
  const Position end = endPosition();
  const std::uint64_t shownBefore = lastSegmentShown_.to;
  top_ = model_->followsEnd() ? end : std::min(top_, end);
  flooding_ = model_->followsEnd() && top_.segment.from > shownBefore;
  showNote();
  syncScrollBar(end);
  viewport()->update();
  announceNewText();
}

void LogView::syncScrollBar(const Position& end) {
  const LogStore& store = model_->store();
  // Page step: the bytes in view, so the handle shows how much of it is seen.
  std::uint64_t shown = 0;
  LogModel::Segment segment = top_.segment;
  for (int y = -static_cast<int>(layoutOf(segment).layout.lineAt(top_.row).y());
       y < contentHeight();) {
    shown += segment.to - segment.from + 1;
    y += layoutOf(segment).height;
    lastSegmentShown_ = segment;
    if (!model_->next(segment)) break;
  }
  auto value = [&](std::uint64_t offset) {
    return static_cast<int>(std::min<std::uint64_t>(offset - store.beginOffset(), INT_MAX));
  };
  // Its signals stay on: the scroll area shows and hides the bar by them, and
  // moving contents by pixels is left undone (scrollContentsBy).
  QScrollBar* bar = verticalScrollBar();
  bar->setRange(0, value(end.segment.from));
  bar->setPageStep(static_cast<int>(std::clamp<std::uint64_t>(shown, 1, INT_MAX)));
  bar->setSingleStep(static_cast<int>(std::clamp<std::uint64_t>(shown / 16, 1, INT_MAX)));
  bar->setValue(top_ < end ? value(top_.segment.from) : bar->maximum());
}

void LogView::onScrollBarAction(int action) {
  QScrollBar* bar = verticalScrollBar();
  switch (action) {
    case QAbstractSlider::SliderSingleStepAdd:
      scrollRows(1);
      break;
    case QAbstractSlider::SliderSingleStepSub:
      scrollRows(-1);
      break;
    case QAbstractSlider::SliderPageStepAdd:
    case QAbstractSlider::SliderPageStepSub: {
      const int rows = std::max(1, contentHeight() / QFontMetrics(font()).lineSpacing() - 1);
      scrollRows(action == QAbstractSlider::SliderPageStepAdd ? rows : -rows);
      break;
    }
    case QAbstractSlider::SliderToMinimum:
      setTop({model_->firstSegment(), 0}, true);
      break;
    case QAbstractSlider::SliderToMaximum:
      setTop(endPosition(), true);
      break;
    case QAbstractSlider::SliderMove:
      setTop(bar->sliderPosition() >= bar->maximum()
                 ? endPosition()
                 : positionOf(model_->store().beginOffset() +
                              static_cast<std::uint64_t>(bar->sliderPosition())),
             true);
      break;
    default:
      break;
  }
  // What the bar does next with the action, it does from where we are.
  bar->setSliderPosition(bar->value());
}

void LogView::scrollContentsBy(int /*dx*/, int /*dy*/) {
  // The scroll bar is ours to follow; nothing to move by pixels.
  viewport()->update();
}

void LogView::showNote() {
  const std::string note = model_->droppedNote();
  if (note.empty()) return;
  if (note_ == nullptr) {
    note_ = new DimLabel({}, this);
    note_->setIndent(kMargin);
    const int height = fontMetrics().height() + 6;
    setViewportMargins(1, 1 + height, 1, 1);
    note_->setGeometry(1, 1, width() - 2, height);
    note_->show();
    border_->raise();
  }
  note_->setText(FromUtf8(note));
}

QString LogView::droppedNote() const { return note_ != nullptr ? note_->text() : QString(); }

void LogView::paintEvent(QPaintEvent* /*event*/) {
  whileMemoryLasts([this] { paintRows(); });
}

void LogView::paintRows() {
  QPainter painter(viewport());
  // Rows scroll whole: the one before the top row stays out of the margin.
  painter.setClipRect(0, kMargin, viewport()->width(), viewport()->height() - kMargin);
  painter.setPen(palette().color(QPalette::Text));
  QTextCharFormat selected;
  selected.setBackground(palette().brush(QPalette::Highlight));
  selected.setForeground(palette().brush(QPalette::HighlightedText));
  const std::uint64_t from = selectionStart();
  const std::uint64_t to = selectionEnd();

  LogModel::Segment segment = top_.segment;
  if (segment.from < model_->store().beginOffset()) segment = model_->firstSegment();
  qreal y = kMargin - layoutOf(segment).layout.lineAt(std::max(0, top_.row)).y();
  while (y < viewport()->height()) {
    const Layout& layout = layoutOf(segment);
    QList<QTextLayout::FormatRange> selections;
    if (from < to && from <= segment.to && to > segment.from) {
      const int start = Utf16Index(
          layout.bytes, static_cast<std::size_t>(std::max(from, segment.from) - segment.from));
      const int end = Utf16Index(layout.bytes,
                                 static_cast<std::size_t>(std::min(to, segment.to) - segment.from));
      if (end > start) selections.push_back({start, end - start, selected});
    }
    layout.layout.draw(&painter, {static_cast<qreal>(kMargin), y}, selections);
    y += layout.height;
    if (!model_->next(segment)) break;
  }
}

QRect LogView::offsetRect(std::uint64_t offset) const {
  LogModel::Segment segment = top_.segment;
  qreal y = kMargin - layoutOf(segment).layout.lineAt(top_.row).y();
  while (y < viewport()->height()) {
    const Layout& layout = layoutOf(segment);
    if (offset >= segment.from && offset <= segment.to) {
      const int index = Utf16Index(layout.bytes, static_cast<std::size_t>(offset - segment.from));
      const QTextLine line = layout.layout.lineForTextPosition(index);
      if (!line.isValid()) return {};
      const qreal x = line.cursorToX(index);
      const QFontMetrics metrics(font());
      return QRect(static_cast<int>(kMargin + x), static_cast<int>(y + line.y()),
                   std::max(1, metrics.averageCharWidth()), static_cast<int>(line.height()));
    }
    y += layout.height;
    if (!model_->next(segment)) break;
  }
  return {};
}

std::uint64_t LogView::offsetAt(QPoint point) const {
  LogModel::Segment segment = top_.segment;
  qreal y = kMargin - layoutOf(segment).layout.lineAt(top_.row).y();
  for (;;) {
    const Layout& layout = layoutOf(segment);
    if (point.y() < y + layout.height) {
      const QTextLayout& text = layout.layout;
      int row = 0;
      while (row + 1 < text.lineCount() &&
             point.y() >= y + text.lineAt(row).y() + text.lineAt(row).height()) {
        ++row;
      }
      const int index = text.lineAt(row).xToCursor(point.x() - kMargin);
      return segment.from + ByteIndex(layout.bytes, index);
    }
    y += layout.height;
    if (!model_->next(segment)) return model_->store().endOffset();
  }
}

void LogView::scrollToOffset(std::uint64_t offset) {
  if (!offsetRect(offset).isNull() && offsetRect(offset).bottom() < viewport()->height()) return;
  setTop(positionOf(offset), true);
}

std::uint64_t LogView::selectionStart() const { return std::min(anchor_, cursor_); }
std::uint64_t LogView::selectionEnd() const { return std::max(anchor_, cursor_); }

void LogView::select(std::uint64_t anchor, std::uint64_t cursor) {
  const LogStore& store = model_->store();
  anchor_ = std::clamp(anchor, store.beginOffset(), store.endOffset());
  cursor_ = std::clamp(cursor, store.beginOffset(), store.endOffset());
  viewport()->update();
  if (selectionStart() != selectionEnd() && QGuiApplication::clipboard()->supportsSelection()) {
    QGuiApplication::clipboard()->setMimeData(mimeForSelection(false), QClipboard::Selection);
  }
}

void LogView::selectAll() { select(model_->store().beginOffset(), model_->store().endOffset()); }

void LogView::copy() const {
  if (selectionStart() == selectionEnd()) return;
  try {
    QGuiApplication::clipboard()->setMimeData(mimeForSelection(true));
  } catch (const std::bad_alloc&) {
    // No room for a copy of that much: nothing is copied, nothing lost.
  }
}

QMimeData* LogView::mimeForSelection(bool snapshot) const {
  if (!snapshot) return new LogMimeData(model_, selectionStart(), selectionEnd());
  // A copy is what was selected when copied, whatever comes or goes after.
  const std::string text = model_->text(selectionStart(), selectionEnd());
  auto* mime = new QMimeData;
  mime->setData(QStringLiteral("text/plain"),
                QByteArray(text.data(), static_cast<qsizetype>(text.size())));
  return mime;
}

std::pair<std::uint64_t, std::uint64_t> LogView::unitAround(std::uint64_t offset, Unit unit) const {
  const LogStore& store = model_->store();
  const std::uint64_t line = store.lineAt(offset);
  if (unit == Unit::kLine) return {store.lineStart(line), store.lineEnd(line)};
  if (unit == Unit::kCharacter) return {offset, offset};
  // A word, found as Unicode finds words (Japanese has no spaces), within
  // the segment shown.
  const LogModel::Segment segment = model_->segmentAt(offset);
  const Layout& layout = layoutOf(segment);
  const QString text = layout.layout.text();
  if (text.isEmpty()) return {offset, offset};
  const int index =
      std::min(Utf16Index(layout.bytes, static_cast<std::size_t>(offset - segment.from)),
               static_cast<int>(text.size()) - 1);
  QTextBoundaryFinder finder(QTextBoundaryFinder::Word, text);
  finder.setPosition(index);
  const qsizetype start = finder.isAtBoundary() ? index : finder.toPreviousBoundary();
  finder.setPosition(index);
  qsizetype end = finder.toNextBoundary();
  if (end < 0) end = text.size();
  return {segment.from + ByteIndex(layout.bytes, static_cast<int>(std::max<qsizetype>(start, 0))),
          segment.from + ByteIndex(layout.bytes, static_cast<int>(end))};
}

void LogView::extendSelection(std::uint64_t offset) {
  const auto [from, to] = unitAround(offset, unit_);
  if (from < unitBase_.first) {
    select(unitBase_.second, from);
  } else {
    select(unitBase_.first, std::max(to, unitBase_.second));
  }
}

void LogView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
  const std::uint64_t offset = offsetAt(event->position().toPoint());
  const bool triple = sinceDoubleClick_.isValid() &&
                      !sinceDoubleClick_.hasExpired(QApplication::doubleClickInterval()) &&
                      (event->position().toPoint() - doubleClickAt_).manhattanLength() <
                          QApplication::startDragDistance();
  sinceDoubleClick_.invalidate();
  dragging_ = true;
  if (triple) {
    unit_ = Unit::kLine;
  } else if (event->modifiers() & Qt::ShiftModifier) {
    unitBase_ = {anchor_, anchor_};
    unit_ = Unit::kCharacter;
    extendSelection(offset);
    return;
  } else {
    unit_ = Unit::kCharacter;
  }
  unitBase_ = unitAround(offset, unit_);
  select(unitBase_.first, unitBase_.second);
}

void LogView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  sinceDoubleClick_.start();
  doubleClickAt_ = event->position().toPoint();
  dragging_ = true;
  unit_ = Unit::kWord;
  unitBase_ = unitAround(offsetAt(doubleClickAt_), unit_);
  select(unitBase_.first, unitBase_.second);
}

void LogView::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_ || !(event->buttons() & Qt::LeftButton)) return;
  const QPoint point = event->position().toPoint();
  // Dragged past an edge, the text comes to the pointer.
  if (point.y() < 0) scrollRows(-1);
  if (point.y() > viewport()->height()) scrollRows(1);
  extendSelection(offsetAt(point));
}

void LogView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) dragging_ = false;
}

void LogView::wheelEvent(QWheelEvent* event) {
  // Whole rows; a touchpad's pixels are gathered until they make one.
  const int lineSpacing = QFontMetrics(font()).lineSpacing();
  if (!event->pixelDelta().isNull()) {
    wheelRemainder_ += event->pixelDelta().y();
  } else {
    wheelRemainder_ +=
        event->angleDelta().y() * QApplication::wheelScrollLines() * lineSpacing / 120;
  }
  const int rows = wheelRemainder_ / lineSpacing;
  wheelRemainder_ -= rows * lineSpacing;
  if (rows != 0) scrollRows(-rows);
  event->accept();
}

void LogView::keyPressEvent(QKeyEvent* event) {
  const int page = std::max(1, contentHeight() / QFontMetrics(font()).lineSpacing() - 1);
  if (event->matches(QKeySequence::Copy)) {
    copy();
  } else if (event->matches(QKeySequence::SelectAll)) {
    selectAll();
  } else if (event->key() == Qt::Key_Up) {
    scrollRows(-1);
  } else if (event->key() == Qt::Key_Down) {
    scrollRows(1);
  } else if (event->key() == Qt::Key_PageUp) {
    scrollRows(-page);
  } else if (event->key() == Qt::Key_PageDown) {
    scrollRows(page);
  } else if (event->key() == Qt::Key_Home) {
    setTop({model_->firstSegment(), 0}, true);
  } else if (event->key() == Qt::Key_End) {
    setTop(endPosition(), true);
  } else {
    return QAbstractScrollArea::keyPressEvent(event);
  }
  event->accept();
}

void LogView::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* copyAction = menu.addAction(QStringLiteral("コピー"), this, &LogView::copy);
  copyAction->setShortcut(QKeySequence::Copy);
  copyAction->setEnabled(selectionStart() != selectionEnd());
  menu.addAction(QStringLiteral("すべてを選択"), this, &LogView::selectAll)
      ->setShortcut(QKeySequence::SelectAll);
  menu.exec(event->globalPos());
}

bool LogView::eventFilter(QObject* watched, QEvent* event) {
  // The wheel over the scroll bar scrolls rows too, not bytes.
  if (watched == verticalScrollBar() && event->type() == QEvent::Wheel) {
    wheelEvent(static_cast<QWheelEvent*>(event));
    return true;
  }
  return QAbstractScrollArea::eventFilter(watched, event);
}

void LogView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  layouts_.clear();
  border_->setGeometry(rect());
  border_->raise();
  if (note_ != nullptr) note_->setGeometry(1, 1, width() - 2, note_->height());
  refresh();
}

void LogView::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    layouts_.clear();
    refresh();
  }
}

void LogView::announceNewText() {
  const LogStore& store = model_->store();
  const std::uint64_t from = std::max(announcedEnd_, store.beginOffset());
  announcedEnd_ = store.endOffset();
  if (!QAccessible::isActive() || from >= announcedEnd_ || announcedEnd_ - from > kMaxAnnounced) {
    return;
  }
  QAccessibleTextInsertEvent inserted(this, static_cast<int>(store.utf16At(from)),
                                      ShownText(store.text(from, announcedEnd_)));
  QAccessible::updateAccessibility(&inserted);
}

}  // namespace corvane::qt
