#pragma once

#include <QPlainTextEdit>
#include <QString>

namespace corvane::qt {

// The installer's log: read-only, selectable and copyable, wrapping long lines.
//
// Built for heavy output. Appends go straight into the document without undo
// history, and scrolling to the end is coalesced into one scroll per pass of
// the event loop. A line longer than kMaxBlockLength is shown as several lines:
// laying out one huge paragraph again on every append would freeze the window.
// Each line records the separator that preceded it, so text() and copying give
// back exactly the text that was appended, line ends and all.
class LogTextView : public QPlainTextEdit {
  Q_OBJECT
  // The exact text, for tools that read the window from outside the code.
  Q_PROPERTY(QString logText READ text)

 public:
  static constexpr int kMaxBlockLength = 4096;

  explicit LogTextView(QWidget* parent = nullptr);

  void appendLogText(const QString& text);
  // Scrolls to the end on the next pass of the event loop.
  void requestScrollToEnd();

  // Exactly the text appended so far.
  QString text() const;
  // Exactly the appended text between two document positions.
  QString textBetween(int start, int end) const;

 protected:
  QMimeData* createMimeDataFromSelection() const override;

 private:
  void scrollToEndNow();

  bool scrollPending_ = false;
  bool pendingCarriageReturn_ = false;
};

}  // namespace corvane::qt
