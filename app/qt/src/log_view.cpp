#include "corvane/qt/log_view.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionFrame>
#include <QTextLayout>
#include <algorithm>
#include <climits>
#include <cmath>

#include "corvane/qt/dim_label.h"
#include "corvane/qt/log_accessibility.h"
#include "corvane/qt/qt_main_queue.h"
#include "corvane/qt/word_finder.h"

namespace corvane::qt {
namespace {

int Clamped(double value) { return static_cast<int>(std::clamp(value, 0.0, double{INT_MAX})); }

// A segment laid out by Qt. Positions are UTF-16 units, as QString counts.
class QtSegmentLayout final : public SegmentLayout {
 public:
  QtSegmentLayout(std::u16string_view text, const QFont& font, double width)
      : layout_(QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())), font) {
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setTabStopDistance(8 * QFontMetricsF(font).horizontalAdvance(u' '));
    layout_.setTextOption(option);
    layout_.setCacheEnabled(true);
    qreal y = 0;
    layout_.beginLayout();
    for (QTextLine line = layout_.createLine(); line.isValid(); line = layout_.createLine()) {
      line.setLineWidth(width);
      line.setPosition({0, y});
      y += line.height();
    }
    layout_.endLayout();
    height_ = std::max(1.0, std::ceil(y));
  }

  const QTextLayout& layout() const { return layout_; }
  double height() const override { return height_; }
  std::size_t rowCount() const override { return static_cast<std::size_t>(layout_.lineCount()); }
  double rowTop(std::size_t row) const override { return lineAt(row).y(); }
  std::size_t rowOf(Unit unit) const override {
    const QTextLine line = layout_.lineForTextPosition(position(unit));
    return line.isValid() ? static_cast<std::size_t>(line.lineNumber()) : rowCount() - 1;
  }
  Unit caretAt(ViewPoint point) const override {
    return Unit(static_cast<std::size_t>(rowAt(point.y).xToCursor(point.x)));
  }
  Unit characterAt(ViewPoint point) const override {
    const int at = rowAt(point.y).xToCursor(point.x, QTextLine::CursorOnCharacter);
    return clusterAt(Unit(static_cast<std::size_t>(at))).first;
  }
  std::pair<Unit, Unit> clusterAt(Unit unit) const override {
    const int at = position(unit);
    if (at >= layout_.text().size()) return {unit, unit};
    const int first = layout_.isValidCursorPosition(at) ? at : layout_.previousCursorPosition(at);
    return {Unit(static_cast<std::size_t>(first)),
            Unit(static_cast<std::size_t>(layout_.nextCursorPosition(first)))};
  }
  std::vector<ViewRect> rangeRects(Unit from, Unit to) const override {
    std::vector<ViewRect> rects;
    const int first = position(clusterAt(from).first);
    const int last = from < to ? position(clusterAt(to - 1).second) : first;
    for (int row = layout_.lineForTextPosition(first).lineNumber();
         row >= 0 && row < layout_.lineCount(); ++row) {
      const QTextLine line = layout_.lineAt(row);
      const int start = std::max(first, line.textStart());
      const int end = std::min(last, line.textStart() + line.textLength());
      if (start > last || (end < start && from < to)) break;
      const double left = line.cursorToX(start);
      const double right = line.cursorToX(std::max(start, end));
      rects.push_back({std::min(left, right), line.y(), std::abs(right - left), line.height()});
      if (from == to) break;
    }
    return rects;
  }
  std::pair<Unit, Unit> wordAt(Unit unit) const override {
    const QString& text = layout_.text();
    const auto [first, second] = WordAround(
        {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())},
        unit.value());
    return {Unit(first), Unit(second)};
  }

 private:
  static int position(Unit unit) {
    return static_cast<int>(std::min<std::size_t>(unit.value(), INT_MAX));
  }
  QTextLine lineAt(std::size_t row) const { return layout_.lineAt(static_cast<int>(row)); }
  QTextLine rowAt(double y) const {
    int row = 0;
    while (row + 1 < layout_.lineCount() && y >= layout_.lineAt(row + 1).y()) ++row;
    return layout_.lineAt(row);
  }

  QTextLayout layout_;
  double height_ = 1;
};

// A primary selection is read only when another program asks for it, and
// copying gives bytes, not a QString: half the memory for a large selection.
class LogMimeData : public QMimeData {
 public:
  LogMimeData(std::weak_ptr<LogModel> model, Offset from, Offset to)
      : model_(std::move(model)), from_(from), to_(to) {}
  QStringList formats() const override { return {QStringLiteral("text/plain")}; }
  bool hasFormat(const QString& type) const override {
    return type == QStringLiteral("text/plain");
  }

 protected:
  QVariant retrieveData(const QString& type, QMetaType as) const override {
    if (type != QStringLiteral("text/plain")) return {};
    const auto model = model_.lock();
    const std::string text = model ? model->text(from_, to_) : std::string();
    if (as.id() == QMetaType::QString) {
      return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    }
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
  }

 private:
  std::weak_ptr<LogModel> model_;
  Offset from_;
  Offset to_;
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
  core_ = std::make_unique<LogViewCore>(std::move(model), queue_, static_cast<LogViewSkin&>(*this),
                                        kAccessibleUnit);
}

// Updates still queued go with the view.
LogView::~LogView() {
  core_.reset();
  queue_->close();
}

QRect LogView::fromCore(const ViewRect& rect) {
  return QRectF(rect.x, rect.y, std::max(1.0, rect.width), rect.height).toAlignedRect();
}

std::unique_ptr<SegmentLayout> LogView::lay(std::u16string_view text, double width) {
  return std::make_unique<QtSegmentLayout>(text, font(), width);
}

double LogView::lineHeight() { return QFontMetrics(font()).lineSpacing(); }

void LogView::viewChanged(LogReader::Changes changes) {
  if (changes & LogReader::kNote) showNote();
  if (changes & LogViewCore::kScroller) {
    const LogViewCore::Scroller scroller = core_->scroller();
    // Its signals stay on: the scroll area shows and hides the bar by them,
    // and moving contents by pixels is left undone (scrollContentsBy).
    QScrollBar* bar = verticalScrollBar();
    bar->setRange(0, Clamped(scroller.range));
    bar->setPageStep(Clamped(scroller.page));
    bar->setSingleStep(std::max(1, Clamped(scroller.page / 16)));
    bar->setValue(Clamped(scroller.value));
  }
  if (changes & (LogReader::kText | LogReader::kPlace | LogReader::kSelection)) {
    viewport()->update();
  }
  if (changes & LogReader::kText) AnnounceTextChange(this);
  if (changes & LogReader::kSelection) {
    AnnounceSelection(this);
    offerPrimarySelection();
  }
}

void LogView::offerPrimarySelection() {
  const LogReader& reader = core_->reader();
  const LogViewCore::Range range = core_->selectedRange();
  if (range == offered_) return;
  offered_ = range;
  if (reader.hasSelection() && QGuiApplication::clipboard()->supportsSelection()) {
    QGuiApplication::clipboard()->setMimeData(
        new LogMimeData(reader.sharedModel(), reader.selectionStart(), reader.selectionEnd()),
        QClipboard::Selection);
  }
}

void LogView::onScrollBarAction(int action) {
  QScrollBar* bar = verticalScrollBar();
  switch (action) {
    case QAbstractSlider::SliderSingleStepAdd:
    case QAbstractSlider::SliderSingleStepSub:
      core_->scrollLines(action == QAbstractSlider::SliderSingleStepAdd ? 1 : -1);
      break;
    case QAbstractSlider::SliderPageStepAdd:
    case QAbstractSlider::SliderPageStepSub:
      core_->scrollPages(action == QAbstractSlider::SliderPageStepAdd ? 1 : -1);
      break;
    case QAbstractSlider::SliderToMinimum:
      core_->scrollToStart();
      break;
    case QAbstractSlider::SliderToMaximum:
      core_->scrollToEnd();
      break;
    case QAbstractSlider::SliderMove:
      core_->scrollerTo(bar->sliderPosition());
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
    note_->setIndent(static_cast<int>(LogViewCore::kMargin));
    const int height = fontMetrics().height() + 6;
    setViewportMargins(1, 1 + height, 1, 1);
    note_->setGeometry(1, 1, width() - 2, height);
    note_->show();
    border_->raise();
    core_->setSize(viewport()->width(), viewport()->height());
  }
  note_->setText(QString::fromUtf8(note.data(), static_cast<qsizetype>(note.size())));
}

QString LogView::droppedNote() const { return note_ != nullptr ? note_->text() : QString(); }

void LogView::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(viewport());
  // Rows scroll whole: the one before the top row stays out of the margin.
  const int margin = static_cast<int>(LogViewCore::kMargin);
  painter.setClipRect(0, margin, viewport()->width(), viewport()->height() - margin);
  painter.setPen(palette().color(QPalette::Text));
  // The selection keys act on is drawn as the window's; another, dimmed.
  const QPalette::ColorGroup group = core_->active() ? QPalette::Active : QPalette::Inactive;
  QTextCharFormat selected;
  selected.setBackground(palette().brush(group, QPalette::Highlight));
  selected.setForeground(palette().brush(group, QPalette::HighlightedText));
  for (const LogViewCore::Shown& shown : core_->shown()) {
    QList<QTextLayout::FormatRange> selections;
    if (shown.selectedFrom < shown.selectedTo) {
      const auto start = static_cast<int>(shown.selectedFrom.value());
      selections.push_back({start, static_cast<int>(shown.selectedTo.value()) - start, selected});
    }
    static_cast<const QtSegmentLayout&>(*shown.layout)
        .layout()
        .draw(&painter, {shown.origin.x, shown.origin.y}, selections);
  }
}

void LogView::copy() {
  // A copy is what was selected when copied, whatever comes or goes after.
  const std::optional<std::string> text = core_->copy();
  if (!text) return;
  auto* mime = new QMimeData;
  mime->setData(QStringLiteral("text/plain"),
                QByteArray(text->data(), static_cast<qsizetype>(text->size())));
  QGuiApplication::clipboard()->setMimeData(mime);
}

void LogView::press(QMouseEvent* event, int clicks) {
  core_->press(toCore(event->position()), clicks, event->modifiers() & Qt::ShiftModifier);
}

void LogView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
  // A third press soon after a double click, near it, takes the whole line.
  const bool triple = sinceDoubleClick_.isValid() &&
                      !sinceDoubleClick_.hasExpired(QApplication::doubleClickInterval()) &&
                      (event->position().toPoint() - doubleClickAt_).manhattanLength() <
                          QApplication::startDragDistance();
  sinceDoubleClick_.invalidate();
  press(event, triple ? 3 : 1);
}

void LogView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  sinceDoubleClick_.start();
  doubleClickAt_ = event->position().toPoint();
  press(event, 2);
}

void LogView::mouseMoveEvent(QMouseEvent* event) {
  if (event->buttons() & Qt::LeftButton) core_->drag(toCore(event->position()));
}

void LogView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) core_->release();
}

void LogView::wheelEvent(QWheelEvent* event) {
  // A touchpad's pixels as they come; a wheel's notches as lines.
  if (!event->pixelDelta().isNull()) {
    core_->scrollBy(-event->pixelDelta().y());
  } else {
    core_->scrollLines(-event->angleDelta().y() / 120.0 * QApplication::wheelScrollLines());
  }
  event->accept();
}

void LogView::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  if (event->matches(QKeySequence::Copy)) {
    copy();
  } else if (event->matches(QKeySequence::SelectAll)) {
    core_->selectAll();
  } else if (key == Qt::Key_Up || key == Qt::Key_Down) {
    core_->scrollLines(key == Qt::Key_Up ? -1 : 1);
  } else if (key == Qt::Key_PageUp || key == Qt::Key_PageDown) {
    core_->scrollPages(key == Qt::Key_PageUp ? -1 : 1);
  } else if (key == Qt::Key_Home || key == Qt::Key_End) {
    key == Qt::Key_Home ? core_->scrollToStart() : core_->scrollToEnd();
  } else {
    return QAbstractScrollArea::keyPressEvent(event);
  }
  event->accept();
}

void LogView::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* copyAction = menu.addAction(QStringLiteral("コピー"), this, &LogView::copy);
  copyAction->setShortcut(QKeySequence::Copy);
  copyAction->setEnabled(core_->reader().hasSelection());
  menu.addAction(QStringLiteral("すべてを選択"), this, [this] { core_->selectAll(); })
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
  border_->setGeometry(rect());
  border_->raise();
  if (note_ != nullptr) note_->setGeometry(1, 1, width() - 2, note_->height());
  core_->setSize(viewport()->width(), viewport()->height());
}

void LogView::followFocus() { core_->setActive(hasFocus() && isActiveWindow()); }

void LogView::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  followFocus();
}

void LogView::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  followFocus();
}

void LogView::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) core_->relayout();
  if (event->type() == QEvent::ActivationChange) followFocus();
}

}  // namespace corvane::qt
