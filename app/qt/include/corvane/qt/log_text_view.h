#pragma once

#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QString>
#include <QTextDocument>
#include <QTimer>

#include <thread>

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
// that it keeps only the latest kKeptCharacters and kKeptBlocks, and a note
// above the text says how much was dropped. Trimming a full document from the
// front would have it copy all it keeps every few megabytes, tenths of a
// second each at 100 MB; instead, near the bound a second document starts
// taking the latest output too, and at the bound it replaces the full one,
// which is freed on another thread once the output pauses.
class LogTextView : public QPlainTextEdit {
  Q_OBJECT
  // The exact text, for tools that read the window from outside the code.
  Q_PROPERTY(QString logText READ text)

 public:
  static constexpr int kMaxBlockLength = 4096;
  static constexpr int kMaxCharacters = 110'000'000;
  static constexpr int kKeptCharacters = 2'000'000;
  static constexpr int kMaxBlocks = 1'600'000;
  static constexpr int kKeptBlocks = 50'000;

  explicit LogTextView(QWidget* parent = nullptr, int maxCharacters = kMaxCharacters,
                       int keptCharacters = kKeptCharacters, int maxBlocks = kMaxBlocks,
                       int keptBlocks = kKeptBlocks);
  ~LogTextView() override;

  void appendLogText(const QString& text);
  // Scrolls to the end on the next pass of the event loop.
  void requestScrollToEnd();

  // Exactly the text appended so far.
  QString text() const;
  // Exactly the appended text between two document positions.
  QString textBetween(int start, int end) const;
  // Characters and lines of the oldest output dropped to keep within bounds.
  qint64 droppedCharacters() const { return dropped_.characters; }
  qint64 droppedLines() const { return dropped_.lines; }

 protected:
  QMimeData* createMimeDataFromSelection() const override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Dropped {
    qint64 characters = 0;
    qint64 lines = 0;
  };

  void scrollToEndNow();
  bool showsEnd() const;
  void keepReaderAt(int topNumber, int lineInTop);
  void startTail();
  void showTail();
  void disposeRetired();
  // Returns how many blocks went.
  static int dropOldestLines(QTextDocument* document, int characterLimit, int blockLimit,
                             Dropped& dropped);
  void showDroppedNote();

  const int maxCharacters_;
  const int keptCharacters_;
  const int maxBlocks_;
  const int keptBlocks_;
  bool scrollPending_ = false;
  bool followEnd_ = true;
  bool pendingCarriageReturn_ = false;
  qint64 appendedCharacters_ = 0;
  qint64 lineEnds_ = 0;
  Dropped dropped_;
  // The latest output, which replaces the shown document at the bound; what
  // went before its first character; the shown block that its first block
  // goes on from.
  QTextDocument* tail_ = nullptr;
  Dropped tailDropped_;
  int tailFirstBlock_ = 0;
  // Past the bound, the shown document keeps to the kept bounds.
  bool bounded_ = false;
  QTextDocument* retired_ = nullptr;
  QTimer quiet_;
  std::thread disposal_;
  bool mayHoldOldCursors_ = false;
  QElapsedTimer lastDoubleClick_;
  QLabel* droppedNote_ = nullptr;
};

}  // namespace corvane::qt
