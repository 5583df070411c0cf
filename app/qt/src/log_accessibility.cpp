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

// Larger appends are not read out one by one: no one listens to a flood.
constexpr std::uint64_t kMaxAnnounced = std::uint64_t{16} * 1024;

int Clamped(TextIndex index) {
  return static_cast<int>(std::min<std::uint64_t>(index.value(), INT_MAX));
}

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
    state.readOnly = true;
    state.multiLine = true;
    state.selectableText = true;
    return state;
  }

  void selection(int index, int* start, int* end) const override {
    *start = *end = 0;
    if (index != 0 || !core().reader().hasSelection()) return;
    const LogViewCore::Range range = core().selectedRange();
    *start = Clamped(range.from);
    *end = Clamped(range.to);
  }
  int selectionCount() const override { return core().reader().hasSelection() ? 1 : 0; }
  void addSelection(int start, int end) override { setSelection(0, start, end); }
  void removeSelection(int /*index*/) override { setCursorPosition(cursorPosition()); }
  void setSelection(int /*index*/, int start, int end) override {
    core().setSelectedRange({index(start), index(end)});
  }
  int cursorPosition() const override { return Clamped(core().caretIndex()); }
  void setCursorPosition(int position) override {
    core().setSelectedRange({index(position), index(position)});
  }

  QString text(int start, int end) const override {
    const int count = characterCount();
    if (end < 0 || end > count) end = count;
    return FromUtf16(core().text({index(std::clamp(start, 0, end)), index(end)}));
  }
  QString textAtOffset(int offset, QAccessible::TextBoundaryType boundary, int* start,
                       int* end) const override {
    *start = *end = -1;
    if (offset < 0 || offset > characterCount()) return {};
    LogViewCore::Range range{TextIndex(0), core().length()};
    if (boundary == QAccessible::CharBoundary) {
      range = core().characterRange(index(offset));
    } else if (boundary == QAccessible::WordBoundary && offset < characterCount()) {
      range = core().wordRange(index(offset));
    } else if (boundary != QAccessible::NoBoundary) {
      // A line, line end included, for sentences and paragraphs too.
      range = core().lineRange(index(offset));
    }
    *start = Clamped(range.from);
    *end = Clamped(range.to);
    return text(*start, *end);
  }
  QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundary, int* start,
                           int* end) const override {
    int atStart = 0;
    int atEnd = 0;
    textAtOffset(offset, boundary, &atStart, &atEnd);
    if (atStart <= 0) {
      *start = *end = -1;
      return {};
    }
    return textAtOffset(atStart - 1, boundary, start, end);
  }
  QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundary, int* start,
                          int* end) const override {
    int atStart = 0;
    int atEnd = 0;
    textAtOffset(offset, boundary, &atStart, &atEnd);
    if (atEnd < 0 || atEnd >= characterCount()) {
      *start = *end = -1;
      return {};
    }
    return textAtOffset(atEnd, boundary, start, end);
  }
  int characterCount() const override { return Clamped(core().length()); }
  QRect characterRect(int offset) const override {
    const QRect rect = LogView::fromCore(core().characterBox(index(offset)));
    return {view_->viewport()->mapToGlobal(rect.topLeft()), rect.size()};
  }
  int offsetAtPoint(const QPoint& point) const override {
    return Clamped(core().indexAt(LogView::toCore(view_->viewport()->mapFromGlobal(point))));
  }
  void scrollToSubstring(int start, int /*end*/) override { core().scrollToIndex(index(start)); }
  QString attributes(int offset, int* start, int* end) const override {
    *start = *end = offset;
    return {};
  }

 private:
  LogViewCore& core() const { return view_->core(); }
  static TextIndex index(int at) { return TextIndex(static_cast<std::uint64_t>(std::max(at, 0))); }

  LogView* view_;
};

QAccessibleInterface* LogAccessibleFactory(const QString& /*key*/, QObject* object) {
  if (auto* view = qobject_cast<LogView*>(object)) return new LogAccessible(view);
  return nullptr;
}

// A text change as AT-SPI has it, its length in characters. Qt's own event
// would give the length in UTF-16 units, and none for what a log drops
// unseen; so it is sent on Qt's connection to the accessibility bus.
void SendTextChanged(LogView* view, const char* kind, TextIndex at, std::uint64_t length,
                     const QString& text) {
  QDBusConnection bus(QStringLiteral("a11y"));
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(view);
  if (!bus.isConnected() || accessible == nullptr) return;
  QDBusMessage signal = QDBusMessage::createSignal(
      QStringLiteral("/org/a11y/atspi/accessible/") +
          QString::number(QAccessible::uniqueId(accessible)),
      QStringLiteral("org.a11y.atspi.Event.Object"), QStringLiteral("TextChanged"));
  QDBusArgument application;
  application.beginStructure();
  application << bus.baseService() << QDBusObjectPath("/org/a11y/atspi/accessible/root");
  application.endStructure();
  signal << QString::fromLatin1(kind) << Clamped(at)
         << static_cast<int>(std::min<std::uint64_t>(length, INT_MAX))
         << QVariant::fromValue(QDBusVariant(text)) << QVariant::fromValue(application);
  bus.send(signal);
}

}  // namespace

void InstallLogAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(LogAccessibleFactory);
    return true;
  }();
  (void)installed;
}

void AnnounceTextChange(LogView* view) {
  const LogViewCore::TextChange change = view->core().takeTextChange(kMaxAnnounced);
  if (!QAccessible::isActive()) return;
  if (change.removed > 0) SendTextChanged(view, "delete", TextIndex(0), change.removed, {});
  if (!change.inserted.empty()) {
    SendTextChanged(view, "insert", change.insertedAt, change.insertedLength,
                    FromUtf16(change.inserted));
  }
}

void AnnounceSelection(LogView* view) {
  if (!QAccessible::isActive()) return;
  const LogViewCore& core = view->core();
  QAccessibleTextCursorEvent caret(view, Clamped(core.caretIndex()));
  QAccessible::updateAccessibility(&caret);
  const LogViewCore::Range range = core.selectedRange();
  QAccessibleTextSelectionEvent selection(view, Clamped(range.from), Clamped(range.to));
  QAccessible::updateAccessibility(&selection);
}

}  // namespace corvane::qt
