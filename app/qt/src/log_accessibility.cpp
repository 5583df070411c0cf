#include "corvane/qt/log_accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <algorithm>
#include <climits>

#include "corvane/qt/log_view.h"

namespace corvane::qt {
namespace {

using Range = LogViewCore::Range;

// Larger appends are not read out one by one: no one listens to a flood.
constexpr std::uint64_t kMaxAnnounced = std::uint64_t{16} * 1024;

int Clamped(std::uint64_t value) {
  return static_cast<int>(std::min<std::uint64_t>(value, INT_MAX));
}
TextIndex IndexOf(int index) { return TextIndex(static_cast<std::uint64_t>(std::max(index, 0))); }
QString FromUtf16(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// The log to screen readers, by the view core's rules, in characters.
class LogAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit LogAccessible(LogView* view)
      : QAccessibleWidget(view, QAccessible::EditableText), view_(view) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }
  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.readOnly = state.multiLine = state.selectableText = true;
    return state;
  }
  // The note on dropped output, which is drawn, not a widget of its own.
  QString text(QAccessible::Text which) const override {
    if (which != QAccessible::Description) return QAccessibleWidget::text(which);
    return QString::fromStdString(core().model().droppedNote());
  }

  void selection(int index, int* start, int* end) const override {
    const bool any = index == 0 && core().reader().hasSelection();
    *start = any ? Clamped(core().selectedRange().from.value()) : 0;
    *end = any ? Clamped(core().selectedRange().to.value()) : 0;
  }
  int selectionCount() const override { return core().reader().hasSelection() ? 1 : 0; }
  void addSelection(int start, int end) override { setSelection(0, start, end); }
  void removeSelection(int /*index*/) override { setCursorPosition(cursorPosition()); }
  void setSelection(int /*index*/, int start, int end) override {
    core().setSelectedRange({IndexOf(start), IndexOf(end)});
  }
  int cursorPosition() const override { return Clamped(core().caretIndex().value()); }
  void setCursorPosition(int at) override { setSelection(0, at, at); }

  QString text(int start, int end) const override {
    end = end < 0 || end > characterCount() ? characterCount() : end;
    return FromUtf16(core().text({IndexOf(std::clamp(start, 0, end)), IndexOf(end)}));
  }
  QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                       int* end) const override {
    return around(offset, type, 0, start, end);
  }
  QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                           int* end) const override {
    return around(offset, type, -1, start, end);
  }
  QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                          int* end) const override {
    return around(offset, type, 1, start, end);
  }
  int characterCount() const override { return Clamped(core().length().value()); }
  QRect characterRect(int offset) const override {
    const ViewRect box = core().characterBox(IndexOf(offset));
    const QPoint at = view_->viewport()->mapToGlobal(QPointF(box.x, box.y)).toPoint();
    return {at, QSizeF(box.width, box.height).toSize()};
  }
  int offsetAtPoint(const QPoint& point) const override {
    const QPointF at = view_->viewport()->mapFromGlobal(QPointF(point));
    return Clamped(core().indexAt({at.x(), at.y()}).value());
  }
  void scrollToSubstring(int start, int /*end*/) override { core().scrollToIndex(IndexOf(start)); }
  QString attributes(int offset, int* start, int* end) const override {
    *start = *end = offset;
    return {};
  }

 private:
  LogViewCore& core() const { return view_->core(); }
  QString around(int offset, QAccessible::TextBoundaryType type, int step, int* start,
                 int* end) const {
    using Boundary = LogViewCore::Boundary;
    // Sentences and paragraphs are lines.
    const Boundary boundary = type == QAccessible::CharBoundary   ? Boundary::kCharacter
                              : type == QAccessible::WordBoundary ? Boundary::kWord
                              : type == QAccessible::NoBoundary   ? Boundary::kAll
                                                                  : Boundary::kLine;
    const std::optional<Range> range = core().textAround(IndexOf(offset), boundary, step);
    *start = range ? Clamped(range->from.value()) : -1;
    *end = range ? Clamped(range->to.value()) : -1;
    return range ? text(*start, *end) : QString();
  }

  LogView* view_;
};

// A text change as AT-SPI has it, in characters. Qt's own event gives the
// length in UTF-16 units, and has none for text that goes unseen; so it is
// sent on Qt's own connection to the accessibility bus.
void SendTextChanged(LogView* view, const char* kind, TextIndex at, std::uint64_t length,
                     const QString& text) {
  QDBusConnection bus(QStringLiteral("a11y"));
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(view);
  if (!bus.isConnected() || accessible == nullptr) return;
  QDBusMessage signal = QDBusMessage::createSignal(
      QStringLiteral("/org/a11y/atspi/accessible/%1").arg(QAccessible::uniqueId(accessible)),
      QStringLiteral("org.a11y.atspi.Event.Object"), QStringLiteral("TextChanged"));
  QDBusArgument application;
  application.beginStructure();
  application << bus.baseService() << QDBusObjectPath("/org/a11y/atspi/accessible/root");
  application.endStructure();
  signal << QString::fromLatin1(kind) << Clamped(at.value()) << Clamped(length)
         << QVariant::fromValue(QDBusVariant(text)) << QVariant::fromValue(application);
  bus.send(signal);
}

QAccessibleInterface* LogAccessibleFactory(const QString& /*key*/, QObject* object) {
  if (auto* view = qobject_cast<LogView*>(object)) return new LogAccessible(view);
  return nullptr;
}

}  // namespace

void InstallLogAccessibility() {
  static const bool installed = (QAccessible::installFactory(LogAccessibleFactory), true);
  (void)installed;
}

void AnnounceChanges(LogView* view, LogReader::Changes changes) {
  LogViewCore& core = view->core();
  // Taken whether anyone listens or not: a listener that comes later hears
  // of what comes later.
  const LogViewCore::TextChange change =
      changes & LogReader::kText ? core.takeTextChange(QAccessible::isActive() ? kMaxAnnounced : 0)
                                 : LogViewCore::TextChange{};
  if (!QAccessible::isActive()) return;
  if (change.removed > 0) SendTextChanged(view, "delete", TextIndex(0), change.removed, {});
  if (!change.inserted.empty()) {
    SendTextChanged(view, "insert", change.insertedAt, change.insertedLength,
                    FromUtf16(change.inserted));
  }
  if (!(changes & LogReader::kSelection)) return;
  QAccessibleTextCursorEvent caret(view, Clamped(core.caretIndex().value()));
  QAccessible::updateAccessibility(&caret);
  const Range range = core.selectedRange();
  QAccessibleTextSelectionEvent selection(view, Clamped(range.from.value()),
                                          Clamped(range.to.value()));
  QAccessible::updateAccessibility(&selection);
}

}  // namespace corvane::qt
