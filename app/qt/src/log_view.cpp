#include "corvane/qt/log_view.h"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionFrame>
#include <QStyleOptionSlider>
#include <QTextLayout>
#include <algorithm>
#include <climits>
#include <tuple>

#include "corvane/qt/find_bar.h"
#include "corvane/qt/log_accessibility.h"
#include "corvane/qt/qt_main_queue.h"

namespace corvane::qt {
namespace {

using Command = LogViewCore::Command;

int Clamped(double value) { return static_cast<int>(std::clamp(value, 0.0, double{INT_MAX})); }
// The whole pixels a rectangle touches.
QRect Touched(const ViewRect& rect) {
  return QRectF(rect.x, rect.y, rect.width, rect.height).toAlignedRect();
}
int Position(Unit unit) { return static_cast<int>(std::min<std::size_t>(unit.value(), INT_MAX)); }
Unit UnitAt(int position) { return Unit(static_cast<std::size_t>(std::max(position, 0))); }

// A segment laid out by Qt, in UTF-16 units as QString counts.
class QtSegmentLayout final : public SegmentLayout {
 public:
  QtSegmentLayout(std::u16string_view text, const QFont& font, double width, double rowHeight)
      : layout_(QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())), font) {
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setTabStopDistance(8 * QFontMetricsF(font).horizontalAdvance(u' '));
    layout_.setTextOption(option);
    layout_.setCacheEnabled(true);
    std::vector<Row> rows;
    layout_.beginLayout();
    for (QTextLine line = layout_.createLine(); line.isValid(); line = layout_.createLine()) {
      line.setLineWidth(width);
      const double top = rows.empty() ? 0 : rows.back().top + rows.back().height;
      line.setPosition({0, top});
      rows.push_back({top, line.height(), UnitAt(line.textStart())});
    }
    layout_.endLayout();
    setRows(std::move(rows), rowHeight);
  }

  const QTextLayout& layout() const { return layout_; }
  Unit length() const override { return UnitAt(static_cast<int>(layout_.text().size())); }
  double xAt(std::size_t row, Unit unit) const override {
    return line(row).cursorToX(Position(unit));
  }
  Unit caretAt(std::size_t row, double x) const override { return UnitAt(line(row).xToCursor(x)); }
  Unit characterAt(std::size_t row, double x) const override {
    return UnitAt(line(row).xToCursor(x, QTextLine::CursorOnCharacter));
  }
  std::pair<Unit, Unit> clusterAt(Unit unit) const override {
    const int at = Position(unit);
    if (unit >= length()) return {unit, unit};
    const int first = layout_.isValidCursorPosition(at) ? at : layout_.previousCursorPosition(at);
    return {UnitAt(first), UnitAt(layout_.nextCursorPosition(first))};
  }
  // ICU's word breaks, which take Japanese words from a dictionary, as a Mac
  // finds them (Unicode's default rules split every ideograph).
  std::pair<Unit, Unit> wordAt(Unit unit) const override {
    // Made once: loading the dictionaries is what costs. Main thread only.
    static const std::unique_ptr<icu::BreakIterator> words = [] {
      UErrorCode status = U_ZERO_ERROR;
      std::unique_ptr<icu::BreakIterator> made(
          icu::BreakIterator::createWordInstance(icu::Locale::getJapanese(), status));
      return U_SUCCESS(status) ? std::move(made) : nullptr;
    }();
    if (!words || unit >= length()) return {unit, unit};
    // An alias of the text, not a copy.
    const icu::UnicodeString text(false, layout_.text().utf16(), Position(length()));
    words->setText(text);
    // The word that ends first after the unit, and where it begins: one
    // past the unit could fall inside a surrogate pair.
    std::int32_t second = words->following(Position(unit));
    if (second == icu::BreakIterator::DONE) second = Position(length());
    const std::int32_t first = words->preceding(second);
    return {UnitAt(first == icu::BreakIterator::DONE ? 0 : first), UnitAt(second)};
  }

 private:
  QTextLine line(std::size_t row) const { return layout_.lineAt(static_cast<int>(row)); }

  QTextLayout layout_;
};

// The primary selection is read only when another program asks for it, and
// as bytes, not a QString: half the memory for a large selection.
class LogMimeData : public QMimeData {
 public:
  LogMimeData(std::weak_ptr<LogModel> model, Offset from, Offset to)
      : model_(std::move(model)), from_(from), to_(to) {}
  QStringList formats() const override { return {QStringLiteral("text/plain")}; }
  bool hasFormat(const QString& type) const override { return formats().contains(type); }

 protected:
  QVariant retrieveData(const QString& type, QMetaType as) const override {
    const auto model = model_.lock();
    const std::string text = model && hasFormat(type) ? model->text(from_, to_) : std::string();
    const QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
    return as.id() == QMetaType::QString ? QVariant(QString::fromUtf8(bytes)) : QVariant(bytes);
  }

 private:
  std::weak_ptr<LogModel> model_;
  Offset from_;
  Offset to_;
};

// The log's sunken frame, drawn above the text and the scroll bar. Drawn by
// the scroll area itself, it lies under them, and at a fractional scale
// (1.5, say) rounding lets them cover its right and bottom edges. Masked to
// its edge, it does not lie over the text: rows drawn or moved there need
// nothing of it.
class FrameBorder : public QWidget {
 public:
  explicit FrameBorder(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
  }
  void fit(const QRect& area) {
    setGeometry(area);
    setMask(QRegion(rect()) - QRegion(rect().adjusted(1, 1, -1, -1)));
    raise();
  }

 protected:
  void paintEvent(QPaintEvent* /*event*/) override {
    QPainter painter(this);
    QStyleOptionFrame option;
    option.initFrom(this);
    option.frameShape = QFrame::StyledPanel;
    option.state |= QStyle::State_Sunken;
    option.lineWidth = 1;
    style()->drawPrimitive(QStyle::PE_Frame, &option, &painter, this);
  }
};

// While output streams its knob moves by a pixel only every so many lines:
// drawn again only then.
class LogScrollBar : public QScrollBar {
 public:
  explicit LogScrollBar(QWidget* parent) : QScrollBar(Qt::Vertical, parent) {}

  void follow(const LogViewCore::Scroller& scroller) {
    // Its signals stay on: the scroll area shows and hides the bar by them.
    following_ = true;
    setRange(0, Clamped(scroller.range));
    setPageStep(Clamped(scroller.page));
    setSingleStep(std::max(1, Clamped(scroller.page / 16)));
    setValue(Clamped(scroller.value));
    following_ = false;
    if (looks() != looks_) update();
    looks_ = looks();
  }

 protected:
  void sliderChange(SliderChange change) override {
    if (following_) return;
    looks_ = looks();
    QScrollBar::sliderChange(change);
  }

 private:
  // The knob, and whether the arrows can go on.
  std::tuple<QRect, bool, bool> looks() const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    return {
        style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
        value() == minimum(), value() == maximum()};
  }

  bool following_ = false;
  std::tuple<QRect, bool, bool> looks_;
};

}  // namespace

LogView::LogView(std::shared_ptr<LogModel> model, QWidget* parent)
    : QAbstractScrollArea(parent),
      queue_(std::make_shared<QtMainQueue>()),
      core_(std::make_unique<LogViewCore>(std::move(model), queue_,
                                          static_cast<LogViewSkin&>(*this), kAccessibleUnit)) {
  InstallLogAccessibility();
  setVerticalScrollBar(new LogScrollBar(this));
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFocusPolicy(Qt::StrongFocus);
  setFrameShape(QFrame::NoFrame);
  setViewportMargins(1, 1, 1, 1);
  border_ = new FrameBorder(this);
  findBar_ = new FindBar(this);
  viewport()->setCursor(Qt::IBeamCursor);
  verticalScrollBar()->installEventFilter(this);
  connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, &LogView::onScrollBarAction);
}

// Updates still queued go with the view.
LogView::~LogView() {
  core_.reset();
  queue_->close();
}

std::unique_ptr<SegmentLayout> LogView::lay(std::u16string_view text, double width) {
  return std::make_unique<QtSegmentLayout>(text, font(), width, lineHeight());
}

double LogView::lineHeight() { return QFontMetrics(font()).lineSpacing(); }

void LogView::viewChanged(LogReader::Changes changes) {
  if (changes & LogViewCore::kScroller) {
    static_cast<LogScrollBar*>(verticalScrollBar())->follow(core_->scroller());
  }
  if (changes & ~LogViewCore::kScroller) {
    // Rows that moved are moved, not drawn again; only what changed is.
    const LogViewCore::Redraw& redraw = core_->redraw();
    const int moved = static_cast<int>(redraw.moved);
    if (redraw.whole || moved != redraw.moved) {
      viewport()->update();
    } else {
      if (moved != 0) viewport()->scroll(0, -moved, Touched(redraw.moving));
      if (redraw.dirty.height > 0) viewport()->update(Touched(redraw.dirty));
    }
  }
  if (changes & LogViewCore::kFind) findBar_->refresh();
  AnnounceChanges(this, changes);
  const LogReader& reader = core_->reader();
  if ((changes & LogReader::kSelection) && reader.hasSelection() &&
      QGuiApplication::clipboard()->supportsSelection()) {
    QGuiApplication::clipboard()->setMimeData(
        new LogMimeData(reader.sharedModel(), reader.selectionStart(), reader.selectionEnd()),
        QClipboard::Selection);
  }
}

void LogView::onScrollBarAction(int action) {
  static constexpr std::pair<int, Command> kActions[] = {
      {QAbstractSlider::SliderSingleStepSub, Command::kLineUp},
      {QAbstractSlider::SliderSingleStepAdd, Command::kLineDown},
      {QAbstractSlider::SliderPageStepSub, Command::kPageUp},
      {QAbstractSlider::SliderPageStepAdd, Command::kPageDown},
      {QAbstractSlider::SliderToMinimum, Command::kStart},
      {QAbstractSlider::SliderToMaximum, Command::kEnd}};
  QScrollBar* bar = verticalScrollBar();
  for (const auto& [which, command] : kActions) {
    if (which == action) core_->perform(command);
  }
  if (action == QAbstractSlider::SliderMove) core_->scrollerTo(bar->sliderPosition());
  // What the bar does next with the action, it does from where we are.
  bar->setSliderPosition(bar->value());
}

// The scroll bar follows the view core, which says what to draw: nothing to
// do when its value is set.
void LogView::scrollContentsBy(int /*dx*/, int /*dy*/) {}

void LogView::paint(const QRect& dirty) {
  QPainter painter(viewport());
  const ViewRect note = core_->noteRect();
  // The note on dropped output, dimmed as the window's secondary text.
  if (dirty.top() < note.height) {
    QColor dim = palette().color(QPalette::Text);
    dim.setAlphaF(0.55F);
    painter.setPen(dim);
    const QString text = QString::fromStdString(core_->model().droppedNote());
    const QRectF strip(LogViewCore::kMargin, 0, note.width - 2 * LogViewCore::kMargin, note.height);
    painter.drawText(strip, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(text, Qt::ElideRight, Clamped(strip.width())));
  }
  // Rows scroll whole: the one before the top row stays out of the margin.
  painter.setClipRect(QRectF(0, core_->textTop(), viewport()->width(), viewport()->height()));
  painter.setPen(palette().color(QPalette::Text));
  // The selection keys act on is drawn as the window's; another, dimmed.
  const QPalette::ColorGroup group = core_->active() ? QPalette::Active : QPalette::Inactive;
  QTextCharFormat selected;
  selected.setBackground(palette().brush(group, QPalette::Highlight));
  selected.setForeground(palette().brush(group, QPalette::HighlightedText));
  QTextCharFormat found;
  found.setBackground(QColor(kFoundBackground));
  found.setForeground(Qt::black);
  for (const LogViewCore::Shown& shown : core_->shown()) {
    // Only rows in the part to draw.
    if (shown.origin.y + shown.layout->height() <= dirty.top() || shown.origin.y > dirty.bottom()) {
      continue;
    }
    QList<QTextLayout::FormatRange> formats;
    for (const auto& [from, to] : shown.found) {
      formats.push_back({Position(from), Position(to) - Position(from), found});
    }
    const int start = Position(shown.selectedFrom);
    const int length = Position(shown.selectedTo) - start;
    if (length > 0) formats.push_back({start, length, selected});
    static_cast<const QtSegmentLayout&>(*shown.layout)
        .layout()
        .draw(&painter, {shown.origin.x, shown.origin.y}, formats);
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

void LogView::mouse(QMouseEvent* event) {
  const ViewPoint point{event->position().x(), event->position().y()};
  if (event->type() == QEvent::MouseMove) {
    if (event->buttons() & Qt::LeftButton) core_->drag(point);
  } else if (event->type() == QEvent::MouseButtonRelease) {
    if (event->button() == Qt::LeftButton) core_->release();
  } else if (event->type() == QEvent::MouseButtonDblClick) {
    sinceDoubleClick_.start();
    doubleClickAt_ = event->position().toPoint();
    core_->press(point, 2, false);
  } else {
    // A third press soon after a double click, near it, takes the whole line.
    const bool triple = sinceDoubleClick_.isValid() &&
                        !sinceDoubleClick_.hasExpired(QApplication::doubleClickInterval()) &&
                        (event->position().toPoint() - doubleClickAt_).manhattanLength() <
                            QApplication::startDragDistance();
    sinceDoubleClick_.invalidate();
    core_->press(point, triple ? 3 : 1, event->modifiers() & Qt::ShiftModifier);
  }
}

void LogView::wheel(QWheelEvent* event) {
  // A touchpad's pixels as they come; a wheel's notches as lines.
  if (!event->pixelDelta().isNull()) {
    core_->scrollBy(-event->pixelDelta().y());
  } else {
    core_->scrollLines(-event->angleDelta().y() / 120.0 * QApplication::wheelScrollLines());
  }
}

void LogView::keyPressEvent(QKeyEvent* event) {
  static constexpr std::pair<int, Command> kKeys[] = {
      {Qt::Key_Up, Command::kLineUp},     {Qt::Key_Down, Command::kLineDown},
      {Qt::Key_PageUp, Command::kPageUp}, {Qt::Key_PageDown, Command::kPageDown},
      {Qt::Key_Home, Command::kStart},    {Qt::Key_End, Command::kEnd}};
  if (event->matches(QKeySequence::Copy)) return copy();
  if (event->matches(QKeySequence::SelectAll)) return core_->perform(Command::kSelectAll);
  for (const auto& [key, command] : kKeys) {
    if (key == event->key()) return core_->perform(command);
  }
  QAbstractScrollArea::keyPressEvent(event);
}

bool LogView::viewportEvent(QEvent* event) {
  switch (event->type()) {
    case QEvent::Paint:
      paint(static_cast<QPaintEvent*>(event)->rect());
      return true;
    case QEvent::Resize:
      core_->setSize(viewport()->width(), viewport()->height());
      break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
      if (static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton) break;
      [[fallthrough]];
    case QEvent::MouseMove:
    case QEvent::MouseButtonRelease:
      mouse(static_cast<QMouseEvent*>(event));
      return true;
    case QEvent::Wheel:
      wheel(static_cast<QWheelEvent*>(event));
      return true;
    case QEvent::ContextMenu: {
      QMenu menu(this);
      menu.addAction(QStringLiteral("コピー"), QKeySequence::Copy, this, &LogView::copy)
          ->setEnabled(core_->reader().hasSelection());
      menu.addAction(QStringLiteral("すべてを選択"), QKeySequence::SelectAll, this,
                     [this] { core_->perform(Command::kSelectAll); });
      menu.exec(static_cast<QContextMenuEvent*>(event)->globalPos());
      return true;
    }
    default:
      break;
  }
  return QAbstractScrollArea::viewportEvent(event);
}

bool LogView::event(QEvent* event) {
  const bool handled = QAbstractScrollArea::event(event);
  switch (event->type()) {
    case QEvent::FontChange:
      core_->relayout();
      break;
    case QEvent::FocusIn:
    case QEvent::FocusOut:
    case QEvent::WindowActivate:
    case QEvent::WindowDeactivate:
      core_->setActive(hasFocus() && isActiveWindow());
      break;
    case QEvent::Resize:
      static_cast<FrameBorder*>(border_)->fit(rect());
      break;
    default:
      break;
  }
  return handled;
}

bool LogView::eventFilter(QObject* watched, QEvent* event) {
  // The wheel over the scroll bar scrolls the text too, not bytes.
  if (watched != verticalScrollBar() || event->type() != QEvent::Wheel) {
    return QAbstractScrollArea::eventFilter(watched, event);
  }
  wheel(static_cast<QWheelEvent*>(event));
  return true;
}

}  // namespace corvane::qt
