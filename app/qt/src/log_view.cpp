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
#include <algorithm>
#include <climits>
#include <cmath>
#include <new>

#include "corvane/qt/dim_label.h"
#include "corvane/qt/log_accessibility.h"
#include "corvane/qt/qt_main_queue.h"
#include "corvane/qt/word_finder.h"

namespace corvane::qt {
namespace {

constexpr int kMargin = 4;
constexpr std::size_t kMaxLayouts = 512;
// Larger appends are not read out one by one: no one listens to a flood.
constexpr std::uint64_t kMaxAnnounced = std::uint64_t{16} * 1024;

int Clamped(double value) { return static_cast<int>(std::clamp(value, 0.0, double{INT_MAX})); }

// A primary selection is read only when another program asks for it, and
// copying gives bytes, not a QString: half the memory for a large selection.
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
    if (type.id() == QMetaType::QString) {
      return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    }
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

LogView::LogView(std::shared_ptr<LogModel> model, QWidget* parent)
    : QAbstractScrollArea(parent), queue_(std::make_shared<QtMainQueue>()) {
  InstallLogAccessibility();
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFocusPolicy(Qt::StrongFocus);
  setFrameShape(QFrame::NoFrame);
  setViewportMargins(1, 1, 1, 1);
  border_ = new FrameBorder(this);
  viewport()->setCursor(Qt::IBeamCursor);
  verticalScrollBar()->installEventFilter(this);
  connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, &LogView::onScrollBarAction);
  reader_ = std::make_unique<LogReader>(std::move(model), queue_, static_cast<View&>(*this));
}

// Updates still queued go with the view.
LogView::~LogView() {
  reader_.reset();
  queue_->close();
}

const LogView::Layout& LogView::layoutOf(const LogModel::Segment& segment) const {
  auto found = layouts_.find(segment.from);
  if (found != layouts_.end() && found->second->segment == segment) return *found->second;
  // A page needs a few dozen; dropping all now and then is simpler than
  // tracking which were used last.
  if (layouts_.size() >= kMaxLayouts) layouts_.clear();
  auto built = std::make_unique<Layout>();
  built->segment = segment;
  const std::u16string text = model().displayText(segment);
  QTextLayout& layout = built->layout;
  layout.setText(QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())));
  layout.setFont(font());
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  option.setTabStopDistance(8 * QFontMetricsF(font()).horizontalAdvance(u' '));
  layout.setTextOption(option);
  layout.setCacheEnabled(true);
  qreal y = 0;
  layout.beginLayout();
  const int width = std::max(1, viewport()->width() - 2 * kMargin);
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    line.setPosition({0, y});
    y += line.height();
  }
  layout.endLayout();
  built->height = std::max(1, static_cast<int>(std::ceil(y)));
  return *(layouts_[segment.from] = std::move(built));
}

double LogView::heightOf(const LogModel::Segment& segment) { return layoutOf(segment).height; }

double LogView::rowTopOf(const LogModel::Segment& segment, std::uint64_t offset) {
  const QTextLine line = layoutOf(segment).layout.lineForTextPosition(
      static_cast<int>(model().unitsBefore(segment, offset)));
  return line.isValid() ? line.y() : 0;
}

double LogView::rowTopFrom(const LogModel::Segment& segment, double y) {
  const Layout& layout = layoutOf(segment);
  for (int row = 0; row < layout.layout.lineCount(); ++row) {
    if (layout.layout.lineAt(row).y() >= y - 0.5) return layout.layout.lineAt(row).y();
  }
  return layout.height;
}

std::pair<std::size_t, std::size_t> LogView::wordAt(const LogModel::Segment& segment,
                                                    std::size_t unit) {
  const QString text = layoutOf(segment).layout.text();
  return WordAround(
      {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())},
      unit);
}

template <typename Visit>
void LogView::forEachShown(Visit visit) const {
  LogModel::Segment segment = reader_->top().segment;
  double y = kMargin - reader_->top().y;
  while (y < viewport()->height()) {
    const Layout& layout = layoutOf(segment);
    if (visit(layout, y)) return;
    y += layout.height;
    if (!model().next(segment)) return;
  }
}

void LogView::readerChanged() {
  showNote();
  const LogReader::Scroller scroller = reader_->scroller();
  // Its signals stay on: the scroll area shows and hides the bar by them, and
  // moving contents by pixels is left undone (scrollContentsBy).
  QScrollBar* bar = verticalScrollBar();
  bar->setRange(0, Clamped(scroller.range));
  bar->setPageStep(Clamped(scroller.page));
  bar->setSingleStep(std::max(1, Clamped(scroller.page / 16)));
  bar->setValue(Clamped(scroller.value));
  viewport()->update();
  announceNewText();
  offerPrimarySelection();
}

void LogView::offerPrimarySelection() {
  const std::uint64_t from = reader_->selectionStart();
  const std::uint64_t to = reader_->selectionEnd();
  if (from == selectionShown_[0] && to == selectionShown_[1]) return;
  selectionShown_[0] = from;
  selectionShown_[1] = to;
  if (from != to && QGuiApplication::clipboard()->supportsSelection()) {
    QGuiApplication::clipboard()->setMimeData(new LogMimeData(reader_->sharedModel(), from, to),
                                              QClipboard::Selection);
  }
}

void LogView::onScrollBarAction(int action) {
  QScrollBar* bar = verticalScrollBar();
  const int line = QFontMetrics(font()).lineSpacing();
  const int page = std::max(line, viewport()->height() - kMargin - line);
  switch (action) {
    case QAbstractSlider::SliderSingleStepAdd:
    case QAbstractSlider::SliderSingleStepSub:
      reader_->scrollBy(action == QAbstractSlider::SliderSingleStepAdd ? line : -line);
      break;
    case QAbstractSlider::SliderPageStepAdd:
    case QAbstractSlider::SliderPageStepSub:
      reader_->scrollBy(action == QAbstractSlider::SliderPageStepAdd ? page : -page);
      break;
    case QAbstractSlider::SliderToMinimum:
      reader_->scrollToStart();
      break;
    case QAbstractSlider::SliderToMaximum:
      reader_->scrollToEnd();
      break;
    case QAbstractSlider::SliderMove:
      reader_->scrollToValue(bar->sliderPosition() >= bar->maximum()
                                 ? HUGE_VAL
                                 : static_cast<double>(bar->sliderPosition()));
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
  const std::string note = model().droppedNote();
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
  note_->setText(QString::fromUtf8(note.data(), static_cast<qsizetype>(note.size())));
}

QString LogView::droppedNote() const { return note_ != nullptr ? note_->text() : QString(); }

void LogView::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(viewport());
  // Rows scroll whole: the one before the top row stays out of the margin.
  painter.setClipRect(0, kMargin, viewport()->width(), viewport()->height() - kMargin);
  painter.setPen(palette().color(QPalette::Text));
  QTextCharFormat selected;
  selected.setBackground(palette().brush(QPalette::Highlight));
  selected.setForeground(palette().brush(QPalette::HighlightedText));
  const std::uint64_t from = reader_->selectionStart();
  const std::uint64_t to = reader_->selectionEnd();
  try {
    forEachShown([&](const Layout& layout, double y) {
      const LogModel::Segment& segment = layout.segment;
      QList<QTextLayout::FormatRange> selections;
      if (from < to && from <= segment.to && to > segment.from) {
        const auto start = static_cast<int>(model().unitsBefore(segment, from));
        const auto end = static_cast<int>(model().unitsBefore(segment, to));
        if (end > start) selections.push_back({start, end - start, selected});
      }
      layout.layout.draw(&painter, {static_cast<qreal>(kMargin), y}, selections);
      return false;
    });
  } catch (const std::bad_alloc&) {
    // Out of memory laying out: the next frame tries again, with less kept.
    layouts_.clear();
    reader_->catchUp();
  }
}

QRect LogView::offsetRect(std::uint64_t offset) const {
  QRect rect;
  forEachShown([&](const Layout& layout, double y) {
    const LogModel::Segment& segment = layout.segment;
    if (offset < segment.from || offset > segment.to) return false;
    const auto index = static_cast<int>(model().unitsBefore(segment, offset));
    const QTextLine line = layout.layout.lineForTextPosition(index);
    if (line.isValid()) {
      rect = QRect(
          static_cast<int>(kMargin + line.cursorToX(index)), static_cast<int>(y + line.y()),
          std::max(1, QFontMetrics(font()).averageCharWidth()), static_cast<int>(line.height()));
    }
    return true;
  });
  return rect;
}

std::uint64_t LogView::offsetAt(QPoint point) const {
  std::uint64_t offset = model().store().endOffset();
  forEachShown([&](const Layout& layout, double y) {
    if (point.y() >= y + layout.height) return false;
    const QTextLayout& text = layout.layout;
    int row = 0;
    while (row + 1 < text.lineCount() &&
           point.y() >= y + text.lineAt(row).y() + text.lineAt(row).height()) {
      ++row;
    }
    const int index = text.lineAt(row).xToCursor(point.x() - kMargin);
    offset = model().offsetAtUnits(layout.segment, static_cast<std::size_t>(std::max(index, 0)));
    return true;
  });
  return offset;
}

void LogView::copy() const {
  if (!reader_->hasSelection()) return;
  try {
    // A copy is what was selected when copied, whatever comes or goes after.
    const std::string text = reader_->selectedText();
    auto* mime = new QMimeData;
    mime->setData(QStringLiteral("text/plain"),
                  QByteArray(text.data(), static_cast<qsizetype>(text.size())));
    QGuiApplication::clipboard()->setMimeData(mime);
  } catch (const std::bad_alloc&) {
    // No room for a copy of that much: nothing is copied, nothing lost.
  }
}

void LogView::press(QMouseEvent* event, LogReader::Unit unit) {
  dragging_ = true;
  reader_->press(offsetAt(event->position().toPoint()), unit,
                 unit == LogReader::Unit::kCharacter && (event->modifiers() & Qt::ShiftModifier));
}

void LogView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
  // A third press soon after a double click, near it, takes the whole line.
  const bool triple = sinceDoubleClick_.isValid() &&
                      !sinceDoubleClick_.hasExpired(QApplication::doubleClickInterval()) &&
                      (event->position().toPoint() - doubleClickAt_).manhattanLength() <
                          QApplication::startDragDistance();
  sinceDoubleClick_.invalidate();
  press(event, triple ? LogReader::Unit::kLine : LogReader::Unit::kCharacter);
}

void LogView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  sinceDoubleClick_.start();
  doubleClickAt_ = event->position().toPoint();
  press(event, LogReader::Unit::kWord);
}

void LogView::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_ || !(event->buttons() & Qt::LeftButton)) return;
  const QPoint point = event->position().toPoint();
  // Dragged past an edge, the text comes to the pointer.
  const int line = QFontMetrics(font()).lineSpacing();
  if (point.y() < 0) reader_->scrollBy(-line);
  if (point.y() > viewport()->height()) reader_->scrollBy(line);
  reader_->dragTo(offsetAt(point));
}

void LogView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) dragging_ = false;
}

void LogView::wheelEvent(QWheelEvent* event) {
  // A touchpad's pixels as they come; a wheel's notches as lines.
  if (!event->pixelDelta().isNull()) {
    reader_->scrollBy(-event->pixelDelta().y());
  } else {
    reader_->scrollBy(-event->angleDelta().y() / 120.0 * QApplication::wheelScrollLines() *
                      QFontMetrics(font()).lineSpacing());
  }
  event->accept();
}

void LogView::keyPressEvent(QKeyEvent* event) {
  const int line = QFontMetrics(font()).lineSpacing();
  const int page = std::max(line, viewport()->height() - kMargin - line);
  if (event->matches(QKeySequence::Copy)) {
    copy();
  } else if (event->matches(QKeySequence::SelectAll)) {
    reader_->selectAll();
  } else if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) {
    reader_->scrollBy(event->key() == Qt::Key_Up ? -line : line);
  } else if (event->key() == Qt::Key_PageUp || event->key() == Qt::Key_PageDown) {
    reader_->scrollBy(event->key() == Qt::Key_PageUp ? -page : page);
  } else if (event->key() == Qt::Key_Home) {
    reader_->scrollToStart();
  } else if (event->key() == Qt::Key_End) {
    reader_->scrollToEnd();
  } else {
    return QAbstractScrollArea::keyPressEvent(event);
  }
  event->accept();
}

void LogView::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* copyAction = menu.addAction(QStringLiteral("コピー"), this, &LogView::copy);
  copyAction->setShortcut(QKeySequence::Copy);
  copyAction->setEnabled(reader_->hasSelection());
  menu.addAction(QStringLiteral("すべてを選択"), this, [this] { reader_->selectAll(); })
      ->setShortcut(QKeySequence::SelectAll);
  menu.exec(event->globalPos());
}

bool LogView::eventFilter(QObject* watched, QEvent* event) {
  // The wheel over the scroll bar scrolls the text too, not bytes.
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
  reader_->setViewHeight(viewport()->height() - kMargin);
}

void LogView::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    layouts_.clear();
    reader_->relayout();
  }
}

void LogView::announceNewText() {
  const LogStore& store = model().store();
  const std::uint64_t from = std::max(announcedEnd_, store.beginOffset());
  announcedEnd_ = store.endOffset();
  if (!QAccessible::isActive() || from >= announcedEnd_ || announcedEnd_ - from > kMaxAnnounced) {
    return;
  }
  const std::u16string text = model().shownText(from, announcedEnd_);
  QAccessibleTextInsertEvent inserted(
      this, Clamped(static_cast<double>(store.indexAt(from, kAccessibleUnit))),
      QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())));
  QAccessible::updateAccessibility(&inserted);
}

}  // namespace corvane::qt
