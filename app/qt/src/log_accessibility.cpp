#include "corvane/qt/log_accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <climits>
#include <new>

#include "corvane/qt/log_view.h"

namespace corvane::qt {
namespace {

// The log to screen readers: the kept text in UTF-16 offsets, as assistive
// interfaces count, with NUL as ␀; boundaries are found within one line, never
// over the whole text.
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
    if (index == 0 && view_->selectionStart() != view_->selectionEnd()) {
      *start = unitsAt(view_->selectionStart());
      *end = unitsAt(view_->selectionEnd());
    }
  }
  int selectionCount() const override {
    return view_->selectionStart() != view_->selectionEnd() ? 1 : 0;
  }
  void addSelection(int start, int end) override { setSelection(0, start, end); }
  void removeSelection(int /*index*/) override { view_->select(0, 0); }
  void setSelection(int /*index*/, int start, int end) override {
    view_->select(offsetAt(start), offsetAt(end));
  }
  int cursorPosition() const override { return unitsAt(view_->selectionEnd()); }
  void setCursorPosition(int position) override {
    view_->select(offsetAt(position), offsetAt(position));
  }

  QString text(int start, int end) const override {
    const int count = characterCount();
    if (end < 0 || end > count) end = count;
    start = std::clamp(start, 0, end);
    try {
      return ShownText(store().text(offsetAt(start), offsetAt(end)));
    } catch (const std::bad_alloc&) {
      // Asked for more than memory allows: nothing, and the log makes room.
      view_->model()->relieveMemory();
      return {};
    }
  }
  QString textAtOffset(int offset, QAccessible::TextBoundaryType boundary, int* start,
                       int* end) const override {
    *start = *end = -1;
    const int count = characterCount();
    if (offset < 0 || offset > count) return {};
    if (boundary == QAccessible::NoBoundary) {
      *start = 0;
      *end = count;
      return text(0, count);
    }
    // The line holding the offset, line end included.
    const std::uint64_t line = store().lineAt(offsetAt(offset));
    const int lineStart = unitsAt(store().lineStart(line));
    const int lineEnd = unitsAt(store().lineEnd(line));
    QString lineText = text(lineStart, lineEnd);
    if (boundary == QAccessible::LineBoundary || boundary == QAccessible::ParagraphBoundary ||
        lineText.isEmpty()) {
      *start = lineStart;
      *end = lineEnd;
      return lineText;
    }
    const auto type = boundary == QAccessible::CharBoundary   ? QTextBoundaryFinder::Grapheme
                      : boundary == QAccessible::WordBoundary ? QTextBoundaryFinder::Word
                                                              : QTextBoundaryFinder::Sentence;
    QTextBoundaryFinder finder(type, lineText);
    finder.setPosition(std::min(offset - lineStart, static_cast<int>(lineText.size()) - 1));
    const qsizetype from = finder.isAtBoundary()
                               ? finder.position()
                               : std::max<qsizetype>(0, finder.toPreviousBoundary());
    finder.setPosition(from);
    const qsizetype to = std::max(finder.toNextBoundary(), from);
    *start = lineStart + static_cast<int>(from);
    *end = lineStart + static_cast<int>(to);
    return lineText.mid(from, to - from);
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
  int characterCount() const override {
    return static_cast<int>(std::min<std::uint64_t>(store().utf16Length(), INT_MAX));
  }
  QRect characterRect(int offset) const override {
    const QRect rect = view_->offsetRect(offsetAt(offset));
    if (rect.isNull()) return {};
    return {view_->viewport()->mapToGlobal(rect.topLeft()), rect.size()};
  }
  int offsetAtPoint(const QPoint& point) const override {
    return unitsAt(view_->offsetAt(view_->viewport()->mapFromGlobal(point)));
  }
  void scrollToSubstring(int start, int /*end*/) override {
    view_->scrollToOffset(offsetAt(start));
  }
  QString attributes(int offset, int* start, int* end) const override {
    *start = *end = offset;
    return {};
  }

 private:
  const LogStore& store() const { return view_->model()->store(); }
  std::uint64_t offsetAt(int units) const {
    return store().offsetAtUtf16(static_cast<std::uint64_t>(std::max(units, 0)));
  }
  int unitsAt(std::uint64_t offset) const {
    return static_cast<int>(std::min<std::uint64_t>(store().utf16At(offset), INT_MAX));
  }

  LogView* view_;
};

QAccessibleInterface* LogAccessibleFactory(const QString& /*key*/, QObject* object) {
  if (auto* view = qobject_cast<LogView*>(object)) return new LogAccessible(view);
  return nullptr;
}

}  // namespace

QString ShownText(const std::string& bytes) {
  QString text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
  text.replace(QChar(0), QChar(0x2400));
  return text;
}

void InstallLogAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(LogAccessibleFactory);
    return true;
  }();
  (void)installed;
}

}  // namespace corvane::qt
