#include "corvane/qt/log_accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <algorithm>
#include <climits>
#include <new>

#include "corvane/qt/log_view.h"

namespace corvane::qt {
namespace {

// The log to screen readers: the kept text in characters, with NUL as ␀;
// lines and words are found around the offset asked for, never over the whole
// text.
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
    if (index == 0 && reader().hasSelection()) {
      *start = indexAt(reader().selectionStart());
      *end = indexAt(reader().selectionEnd());
    }
  }
  int selectionCount() const override { return reader().hasSelection() ? 1 : 0; }
  void addSelection(int start, int end) override { setSelection(0, start, end); }
  void removeSelection(int /*index*/) override { view_->reader().select(0, 0); }
  void setSelection(int /*index*/, int start, int end) override {
    view_->reader().select(offsetAt(start), offsetAt(end));
  }
  int cursorPosition() const override { return indexAt(reader().selectionEnd()); }
  void setCursorPosition(int position) override {
    view_->reader().select(offsetAt(position), offsetAt(position));
  }

  QString text(int start, int end) const override {
    const int count = characterCount();
    if (end < 0 || end > count) end = count;
    start = std::clamp(start, 0, end);
    try {
      const std::u16string text = view_->model().shownText(offsetAt(start), offsetAt(end));
      return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
    } catch (const std::bad_alloc&) {
      // Asked for more than memory allows: nothing, and the log makes room.
      view_->reader().model().relieveMemory();
      return {};
    }
  }
  QString textAtOffset(int offset, QAccessible::TextBoundaryType boundary, int* start,
                       int* end) const override {
    *start = *end = -1;
    const int count = characterCount();
    if (offset < 0 || offset > count) return {};
    const LogStore& store = view_->model().store();
    const std::uint64_t at = offsetAt(offset);
    std::pair<std::uint64_t, std::uint64_t> range;
    if (boundary == QAccessible::NoBoundary) {
      range = {store.beginOffset(), store.endOffset()};
    } else if (boundary == QAccessible::CharBoundary) {
      range = {at, offsetAt(offset + 1)};
    } else if (boundary == QAccessible::WordBoundary && at < store.endOffset()) {
      range = wordAround(at);
    } else {
      // A line, line end included, for sentences and paragraphs too.
      const std::uint64_t line = store.lineAt(at);
      range = {store.lineStart(line), store.lineEnd(line)};
    }
    *start = indexAt(range.first);
    *end = indexAt(range.second);
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
  int characterCount() const override {
    return static_cast<int>(
        std::min<std::uint64_t>(view_->model().store().length(kAccessibleUnit), INT_MAX));
  }
  QRect characterRect(int offset) const override {
    const QRect rect = view_->offsetRect(offsetAt(offset));
    if (rect.isNull()) return {};
    return {view_->viewport()->mapToGlobal(rect.topLeft()), rect.size()};
  }
  int offsetAtPoint(const QPoint& point) const override {
    return indexAt(view_->offsetAt(view_->viewport()->mapFromGlobal(point)));
  }
  void scrollToSubstring(int start, int /*end*/) override {
    view_->reader().scrollToOffset(offsetAt(start));
  }
  QString attributes(int offset, int* start, int* end) const override {
    *start = *end = offset;
    return {};
  }

 private:
  const LogReader& reader() const { return view_->reader(); }
  std::uint64_t offsetAt(int index) const {
    return view_->model().store().offsetAt(static_cast<std::uint64_t>(std::max(index, 0)),
                                           kAccessibleUnit);
  }
  int indexAt(std::uint64_t offset) const {
    return static_cast<int>(
        std::min<std::uint64_t>(view_->model().store().indexAt(offset, kAccessibleUnit), INT_MAX));
  }
  std::pair<std::uint64_t, std::uint64_t> wordAround(std::uint64_t offset) const {
    return view_->reader().unitAround(offset, LogReader::Unit::kWord);
  }

  LogView* view_;
};

QAccessibleInterface* LogAccessibleFactory(const QString& /*key*/, QObject* object) {
  if (auto* view = qobject_cast<LogView*>(object)) return new LogAccessible(view);
  return nullptr;
}

}  // namespace

void InstallLogAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(LogAccessibleFactory);
    return true;
  }();
  (void)installed;
}

}  // namespace corvane::qt
