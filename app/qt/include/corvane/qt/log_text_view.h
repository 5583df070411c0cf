#pragma once

#include <QLabel>
#include <QPlainTextEdit>
#include <QString>

namespace corvane::qt {

// The installer's log: read-only, selectable and copyable, wrapping long lines.
//
// Built for heavy output. Appends go straight into the document without undo
// history, and scrolling to the end is coalesced into one scroll per pass of
// the event loop; it follows the end only while the view shows the end, so a
// reader who scrolls back keeps their place. A line longer than
// kMaxBlockLength is shown as several lines: laying out one huge paragraph
// again on every append would freeze the window. Each line records the
// separator that preceded it, so text() and copying give back exactly the text
// that was appended, line ends and all.
//
// The log is bounded: unbounded, a few gigabytes of output exhaust memory,
// and 2^31 characters crash the text layout. It keeps everything up to
// kMaxCharacters (a 100 MB log is shown whole) and kMaxBlocks lines; past
// that the oldest lines go, from then on down to the latest kKeptCharacters,
// and a note above the text says how much was dropped. Dropping from the
// front makes a Qt text document copy all it keeps every few megabytes; at
// 100 MB each copy would hold up the window for a few tenths of a second.
class LogTextView : public QPlainTextEdit {
  Q_OBJECT
  // The exact text, for tools that read the window from outside the code.
  Q_PROPERTY(QString logText READ text)

 public:
  static constexpr int kMaxBlockLength = 4096;
  static constexpr int kMaxCharacters = 110'000'000;
  static constexpr int kKeptCharacters = 8'000'000;
  static constexpr int kMaxBlocks = 1'600'000;

  explicit LogTextView(QWidget* parent = nullptr, int maxCharacters = kMaxCharacters,
                       int keptCharacters = kKeptCharacters, int maxBlocks = kMaxBlocks);

  void appendLogText(const QString& text);
  // Scrolls to the end on the next pass of the event loop.
  void requestScrollToEnd();

  // Exactly the text appended so far.
  QString text() const;
  // Exactly the appended text between two document positions.
  QString textBetween(int start, int end) const;
  // Characters and lines of the oldest output dropped to keep within bounds.
  qint64 droppedCharacters() const { return droppedCharacters_; }
  qint64 droppedLines() const { return droppedLines_; }

 protected:
  QMimeData* createMimeDataFromSelection() const override;

 private:
  void scrollToEndNow();
  bool showsEnd() const;
  void dropOldestLines(int characterLimit);

  const int maxCharacters_;
  const int keptCharacters_;
  const int maxBlocks_;
  bool scrollPending_ = false;
  bool followEnd_ = true;
  bool pendingCarriageReturn_ = false;
  qint64 droppedCharacters_ = 0;
  qint64 droppedLines_ = 0;
  QLabel* droppedNote_ = nullptr;
};

}  // namespace corvane::qt
