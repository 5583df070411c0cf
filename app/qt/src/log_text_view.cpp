#include "corvane/qt/log_text_view.h"

#include "corvane/qt/dim_label.h"

#include <QApplication>
#include <QLocale>
#include <QMimeData>
#include <QPlainTextDocumentLayout>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

#include <algorithm>
#include <system_error>
#include <utility>

namespace corvane::qt {
namespace {

// What preceded a block in the appended text. QTextDocument turns every one of
// these into a block break, so the view keeps which one it was.
enum Separator : int {
  kLineFeed = -1,  // QTextBlock's default user state
  kContinuation = 1,
  kCarriageReturn = 2,
  kCarriageReturnLineFeed = 3,
  kParagraphSeparator = 4,
  kBeginningOfFrame = 5,
  kEndOfFrame = 6,
};

constexpr char16_t kParagraphSeparatorChar = 0x2029;
constexpr char16_t kBeginningOfFrameChar = 0xFDD0;
constexpr char16_t kEndOfFrameChar = 0xFDD1;

QString SeparatorText(int state) {
  switch (state) {
    case kContinuation:
      return {};
    case kCarriageReturn:
      return QStringLiteral("\r");
    case kCarriageReturnLineFeed:
      return QStringLiteral("\r\n");
    case kParagraphSeparator:
      return QString(QChar(kParagraphSeparatorChar));
    case kBeginningOfFrame:
      return QString(QChar(kBeginningOfFrameChar));
    case kEndOfFrame:
      return QString(QChar(kEndOfFrameChar));
    default:
      return QStringLiteral("\n");
  }
}

bool IsBreak(char16_t c) {
  return c == u'\n' || c == u'\r' || c == kParagraphSeparatorChar || c == kBeginningOfFrameChar ||
         c == kEndOfFrameChar;
}

struct Appended {
  bool pendingCarriageReturn;
  qint64 lineEnds;
};

// Appends `text` to `document`, each line end as a block break that records
// which one it was. A CR at the end of `text` may start a CRLF: it is left
// pending, for the next append to decide.
Appended AppendTo(QTextDocument* document, const QString& text, bool pendingCarriageReturn) {
  Appended appended{false, 0};
  QTextCursor cursor(document);
  cursor.movePosition(QTextCursor::End);
  cursor.beginEditBlock();

  int lineLength = cursor.block().length() - 1;
  auto insertRun = [&](qsizetype from, qsizetype to) {
    while (from < to) {
      qsizetype take = std::min<qsizetype>(to - from, LogTextView::kMaxBlockLength - lineLength);
      // Never split a surrogate pair across two lines.
      if (take > 0 && from + take < to &&
          QChar::isHighSurrogate(text.at(from + take - 1).unicode())) {
        --take;
      }
      if (take <= 0) {
        cursor.insertBlock();
        cursor.block().setUserState(kContinuation);
        lineLength = 0;
        continue;
      }
      cursor.insertText(text.sliced(from, take));
      lineLength += static_cast<int>(take);
      from += take;
    }
  };
  auto insertBreak = [&](int separator) {
    cursor.insertBlock();
    if (separator != kLineFeed) cursor.block().setUserState(separator);
    lineLength = 0;
    ++appended.lineEnds;
  };

  qsizetype i = 0;
  if (pendingCarriageReturn) {
    if (text.front() == u'\n') {
      insertBreak(kCarriageReturnLineFeed);
      i = 1;
    } else {
      insertBreak(kCarriageReturn);
    }
  }
  // Plain lines, ended by a line feed and short enough to be one block each,
  // go into the document in one insertion: per-line cursor calls are what
  // heavy output costs.
  qsizetype batchStart = i;
  auto flushBatch = [&](qsizetype end) {
    if (end > batchStart) cursor.insertText(text.sliced(batchStart, end - batchStart));
    batchStart = end;
  };
  const qsizetype n = text.size();
  qsizetype runStart = i;
  for (; i < n; ++i) {
    const char16_t c = text.at(i).unicode();
    if (!IsBreak(c)) continue;
    if (c == u'\n' && lineLength + (i - runStart) <= LogTextView::kMaxBlockLength) {
      lineLength = 0;
      runStart = i + 1;
      ++appended.lineEnds;
      continue;
    }
    flushBatch(runStart);
    insertRun(runStart, i);
    runStart = i + 1;
    switch (c) {
      case u'\n':
        insertBreak(kLineFeed);
        break;
      case u'\r':
        if (i + 1 == n) {
          appended.pendingCarriageReturn = true;
        } else if (text.at(i + 1) == u'\n') {
          insertBreak(kCarriageReturnLineFeed);
          ++i;
          runStart = i + 1;
        } else {
          insertBreak(kCarriageReturn);
        }
        break;
      case kParagraphSeparatorChar:
        insertBreak(kParagraphSeparator);
        break;
      case kBeginningOfFrameChar:
        insertBreak(kBeginningOfFrame);
        break;
      default:
        insertBreak(kEndOfFrame);
        break;
    }
    batchStart = runStart;
  }
  if (lineLength + (n - runStart) <= LogTextView::kMaxBlockLength) {
    flushBatch(n);
  } else {
    flushBatch(runStart);
    insertRun(runStart, n);
  }
  cursor.endEditBlock();
  return appended;
}

bool Exceeds(const QTextDocument* document, int characters, int blocks) {
  return document->characterCount() > characters || document->blockCount() > blocks;
}

}  // namespace

LogTextView::LogTextView(QWidget* parent, int maxCharacters, int keptCharacters, int maxBlocks,
                         int keptBlocks)
    : QPlainTextEdit(parent),
      maxCharacters_(maxCharacters),
      keptCharacters_(keptCharacters),
      maxBlocks_(maxBlocks),
      keptBlocks_(keptBlocks) {
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setCursorWidth(0);  // read-only: no insertion point, as in a macOS text view
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  viewport()->installEventFilter(this);
  quiet_.setSingleShot(true);
  quiet_.setInterval(500);
  connect(&quiet_, &QTimer::timeout, this, &LogTextView::disposeRetired);
}

LogTextView::~LogTextView() {
  if (disposal_.joinable()) disposal_.join();
  delete retired_;
}

void LogTextView::appendLogText(const QString& text) {
  if (text.isEmpty()) return;
  // Decided before the text moves the end away.
  if (!scrollPending_) followEnd_ = showsEnd();
  QTextDocument* shown = document();
  // The second document holds a quarter of what is kept: the view lays out
  // each of its lines afresh when it takes it.
  if (tail_ == nullptr && !bounded_ &&
      Exceeds(shown, maxCharacters_ - keptCharacters_ / 4, maxBlocks_ - keptBlocks_ / 4)) {
    startTail();
  }
  const Appended appended = AppendTo(shown, text, pendingCarriageReturn_);
  if (tail_ != nullptr) AppendTo(tail_, text, pendingCarriageReturn_);
  pendingCarriageReturn_ = appended.pendingCarriageReturn;
  appendedCharacters_ += text.size();
  lineEnds_ += appended.lineEnds;
  if (retired_ != nullptr) quiet_.start();

  if (tail_ != nullptr) {
    if (Exceeds(tail_, keptCharacters_ / 4, keptBlocks_ / 4)) {
      tailFirstBlock_ += dropOldestLines(tail_, keptCharacters_ / 4, keptBlocks_ / 4, tailDropped_);
    }
    if (Exceeds(shown, maxCharacters_, maxBlocks_)) showTail();
  } else if (bounded_ && Exceeds(shown, keptCharacters_, keptBlocks_)) {
    // A reader scrolled back keeps their place, as far as it is kept. The
    // scroll bar counts lines as laid out, wrapped ones included.
    const QTextBlock top = firstVisibleBlock();
    const int lineInTop = verticalScrollBar()->value() - top.firstLineNumber();
    const int topNumber = top.blockNumber();
    keepReaderAt(topNumber - dropOldestLines(shown, keptCharacters_, keptBlocks_, dropped_),
                 lineInTop);
    showDroppedNote();
  }
}

void LogTextView::startTail() {
  tail_ = new QTextDocument(this);
  tail_->setUndoRedoEnabled(false);
  tail_->setDefaultFont(document()->defaultFont());
  tail_->setDefaultTextOption(document()->defaultTextOption());
  tail_->setDocumentMargin(document()->documentMargin());
  // A pending CR goes into both documents with the next append.
  tailDropped_ = {appendedCharacters_ - (pendingCarriageReturn_ ? 1 : 0), lineEnds_};
  // The line in progress goes on in the tail's first block.
  tailFirstBlock_ = document()->blockCount() - 1;
}

int LogTextView::dropOldestLines(QTextDocument* document, int characterLimit, int blockLimit,
                                 Dropped& dropped) {
  // A little more than the excess, so that this runs now and then rather than
  // on every append.
  const int characters = document->characterCount() - (characterLimit - characterLimit / 64);
  const int blocks = document->blockCount() - (blockLimit - blockLimit / 64);
  int removedCharacters = 0;
  int removedBlocks = 0;
  QTextBlock keep = document->begin();
  while (keep.next().isValid() && (removedCharacters < characters || removedBlocks < blocks)) {
    const QTextBlock next = keep.next();
    dropped.characters += keep.length() - 1 + SeparatorText(next.userState()).size();
    dropped.lines += next.userState() != kContinuation;
    removedCharacters += keep.length();
    ++removedBlocks;
    keep = next;
  }
  QTextCursor cursor(document);
  cursor.setPosition(keep.position(), QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
  return removedBlocks;
}

void LogTextView::showTail() {
  QTextDocument* full = document();
  const QTextBlock top = firstVisibleBlock();
  const int topNumber = top.blockNumber() - tailFirstBlock_;
  const int lineInTop = verticalScrollBar()->value() - top.firstLineNumber();

  QTextDocument* tail = std::exchange(tail_, nullptr);
  tail->setDocumentLayout(new QPlainTextDocumentLayout(tail));
  full->setParent(nullptr);  // or setDocument() deletes it, here and now
  setDocument(tail);
  full->disconnect();
  full->documentLayout()->disconnect();
  dropped_ = tailDropped_;
  bounded_ = true;
  retired_ = full;
  quiet_.start();

  keepReaderAt(topNumber, lineInTop);
  showDroppedNote();
}

void LogTextView::disposeRetired() {
  // The text control keeps the cursors of a double or triple click until the
  // next press; freed elsewhere, the document must no longer be in them.
  if (retired_ == nullptr || disposal_.joinable() || mayHoldOldCursors_) return;
  // Freeing the hundreds of megabytes of a full log takes tens of
  // milliseconds; QTextDocument is reentrant, so another thread does it. It
  // still slows this one (the allocator, the kernel's lock on the address
  // space), so it waits for a pause in the output.
  QTextDocument* retired = std::exchange(retired_, nullptr);
  retired->moveToThread(nullptr);
  try {
    disposal_ = std::thread([retired] { delete retired; });
  } catch (const std::system_error&) {
    delete retired;
  }
}

bool LogTextView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == viewport()) {
    if (event->type() == QEvent::MouseButtonDblClick) {
      mayHoldOldCursors_ = true;
      lastDoubleClick_.start();
    } else if (event->type() == QEvent::MouseButtonPress && mayHoldOldCursors_ &&
               lastDoubleClick_.hasExpired(QApplication::doubleClickInterval())) {
      // Not a triple click: this press clears the cursors, once handled.
      mayHoldOldCursors_ = false;
      if (retired_ != nullptr) quiet_.start();
    }
  }
  return QPlainTextEdit::eventFilter(watched, event);
}

void LogTextView::keepReaderAt(int topNumber, int lineInTop) {
  if (followEnd_) return;
  verticalScrollBar()->setValue(
      topNumber < 0 ? 0 : document()->findBlockByNumber(topNumber).firstLineNumber() + lineInTop);
}

void LogTextView::showDroppedNote() {
  if (droppedNote_ == nullptr) {
    droppedNote_ = new DimLabel({}, this);
    droppedNote_->setIndent(4);
    const int height = fontMetrics().height() + 6;
    setViewportMargins(0, height, 0, 0);
    const QRect area = contentsRect();
    droppedNote_->setGeometry(area.x(), area.y(), area.width(), height);
    droppedNote_->show();
  }
  const QLocale japanese(QLocale::Japanese);
  droppedNote_->setText(
      QStringLiteral("以前の出力 %1 行 (%2 文字) を省略しました")
          .arg(japanese.toString(dropped_.lines), japanese.toString(dropped_.characters)));
}

bool LogTextView::showsEnd() const {
  const QScrollBar* bar = verticalScrollBar();
  return bar->value() >= bar->maximum();
}

void LogTextView::requestScrollToEnd() {
  // A reader who has scrolled back keeps their place.
  if (scrollPending_ || (!followEnd_ && !showsEnd())) return;
  scrollPending_ = true;
  QTimer::singleShot(0, this, [this] { scrollToEndNow(); });
}

void LogTextView::scrollToEndNow() {
  scrollPending_ = false;
  QScrollBar* bar = verticalScrollBar();
  bar->setValue(bar->maximum());
}

QString LogTextView::textBetween(int start, int end) const {
  QString out;
  if (end <= start) return out;
  const QTextDocument* doc = document();
  // A block starting at `end` counts for its separator, which lies just before it.
  for (QTextBlock block = doc->findBlock(start); block.isValid() && block.position() <= end;
       block = block.next()) {
    const int blockStart = block.position();
    // A block's separator sits just before it, in the previous block's end.
    if (blockStart > start) out += SeparatorText(block.userState());
    const int from = std::max(start, blockStart) - blockStart;
    const int to = std::min(end, blockStart + block.length() - 1) - blockStart;
    if (to > from) out += block.text().mid(from, to - from);
  }
  return out;
}

QString LogTextView::text() const {
  QString all = textBetween(0, document()->characterCount());
  if (pendingCarriageReturn_) all += u'\r';
  return all;
}

QMimeData* LogTextView::createMimeDataFromSelection() const {
  const QTextCursor selection = textCursor();
  auto* mime = new QMimeData;
  mime->setText(textBetween(selection.selectionStart(), selection.selectionEnd()));
  return mime;
}

}  // namespace corvane::qt
