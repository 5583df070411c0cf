#include "corvane/qt/log_text_view.h"

#include "corvane/qt/dim_label.h"

#include <QLocale>
#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

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

}  // namespace

LogTextView::LogTextView(QWidget* parent, int maxCharacters, int keptCharacters, int maxBlocks)
    : QPlainTextEdit(parent),
      maxCharacters_(maxCharacters),
      keptCharacters_(keptCharacters),
      maxBlocks_(maxBlocks) {
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setCursorWidth(0);  // read-only: no insertion point, as in a macOS text view
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
}

void LogTextView::appendLogText(const QString& text) {
  if (text.isEmpty()) return;
  // Decided before the text moves the end away.
  if (!scrollPending_) followEnd_ = showsEnd();
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  cursor.beginEditBlock();

  int lineLength = cursor.block().length() - 1;
  auto insertRun = [&](qsizetype from, qsizetype to) {
    while (from < to) {
      qsizetype take = std::min<qsizetype>(to - from, kMaxBlockLength - lineLength);
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
  };

  qsizetype i = 0;
  if (pendingCarriageReturn_) {
    pendingCarriageReturn_ = false;
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
    if (c == u'\n' && lineLength + (i - runStart) <= kMaxBlockLength) {
      lineLength = 0;
      runStart = i + 1;
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
          // A CRLF may be split between two appends: decide on the next one.
          pendingCarriageReturn_ = true;
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
  if (lineLength + (n - runStart) <= kMaxBlockLength) {
    flushBatch(n);
    lineLength += static_cast<int>(n - runStart);
  } else {
    flushBatch(runStart);
    insertRun(runStart, n);
  }
  cursor.endEditBlock();
  const int characterLimit = droppedCharacters_ > 0 ? keptCharacters_ : maxCharacters_;
  if (document()->characterCount() > characterLimit || document()->blockCount() > maxBlocks_) {
    dropOldestLines(characterLimit);
  }
}

void LogTextView::dropOldestLines(int characterLimit) {
  // A little more than the excess, so that this runs now and then rather than
  // on every append; and never much at once, so that each time is brief. Once
  // past kMaxCharacters it takes a hundred or so appends to get down to
  // kKeptCharacters, well before the document's next copy of its text.
  constexpr int kMostCharactersAtOnce = 1'000'000;
  const int characters = std::min(
      kMostCharactersAtOnce, document()->characterCount() - (characterLimit - characterLimit / 64));
  const int blocks = document()->blockCount() - (maxBlocks_ - maxBlocks_ / 512);
  int removedCharacters = 0;
  int removedBlocks = 0;
  QTextBlock keep = document()->begin();
  while (keep.next().isValid() && (removedCharacters < characters || removedBlocks < blocks)) {
    const QTextBlock next = keep.next();
    droppedCharacters_ += keep.length() - 1 + SeparatorText(next.userState()).size();
    droppedLines_ += next.userState() != kContinuation;
    removedCharacters += keep.length();
    ++removedBlocks;
    keep = next;
  }
  if (droppedNote_ == nullptr) {
    droppedNote_ = new DimLabel({}, this);
    droppedNote_->setIndent(4);
    const int height = fontMetrics().height() + 6;
    setViewportMargins(0, height, 0, 0);
    const QRect area = contentsRect();
    droppedNote_->setGeometry(area.x(), area.y(), area.width(), height);
    droppedNote_->show();
  }
  // A reader scrolled back keeps their place, as far as it is kept. The scroll
  // bar counts lines as laid out, wrapped ones included.
  const QTextBlock top = firstVisibleBlock();
  const int topNumber = top.blockNumber() - removedBlocks;
  const int lineInTop = verticalScrollBar()->value() - top.firstLineNumber();
  QTextCursor cursor(document());
  cursor.setPosition(keep.position(), QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
  if (!followEnd_) {
    verticalScrollBar()->setValue(
        topNumber < 0 ? 0 : document()->findBlockByNumber(topNumber).firstLineNumber() + lineInTop);
  }
  const QLocale japanese(QLocale::Japanese);
  droppedNote_->setText(
      QStringLiteral("以前の出力 %1 行 (%2 文字) を省略しました")
          .arg(japanese.toString(droppedLines_), japanese.toString(droppedCharacters_)));
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
