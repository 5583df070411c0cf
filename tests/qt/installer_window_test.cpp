#include "corvane/qt/installer_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <random>

#include "corvane/qt/log_text_view.h"
#include "corvane/qt/spinner_widget.h"

namespace corvane::qt {
namespace {

class InstallerWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    built = BuildInstallerWindow({[this] { ++opens; }, [this] { ++quits; }});
    window = static_cast<QtWindow*>(built.window.get())->widget();
  }

  template <typename T>
  T* Control(const char* name) {
    auto* control = window->findChild<T*>(name);
    EXPECT_NE(control, nullptr) << name;
    return control;
  }

  InstallerWindow built;
  QWidget* window = nullptr;
  int opens = 0;
  int quits = 0;
};

TEST_F(InstallerWindowTest, LayoutFontsAndInitialState) {
  EXPECT_EQ(window->windowTitle(), "Corvane Installer");
  EXPECT_EQ(window->minimumSize(), QSize(620, 420));
  EXPECT_EQ(window->maximumSize(), QSize(620, 420));
  EXPECT_TRUE(window->isVisible());
  const Qt::WindowFlags flags = window->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);

  auto* heading = Control<QLabel>(names::kHeading);
  auto* status = Control<QLabel>(names::kStatusLabel);
  auto* spinner = Control<SpinnerWidget>(names::kSpinner);
  auto* log = Control<LogTextView>(names::kLogView);
  auto* open = Control<QPushButton>(names::kOpenButton);
  auto* quit = Control<QPushButton>(names::kQuitButton);
  ASSERT_TRUE(heading && status && spinner && log && open && quit);

  EXPECT_EQ(heading->geometry(), QRect(28, 30, 560, 28));
  EXPECT_EQ(status->geometry(), QRect(28, 64, 500, 20));
  EXPECT_EQ(spinner->geometry(), QRect(558, 62, 24, 24));
  EXPECT_EQ(log->geometry(), QRect(28, 100, 564, 246));
  EXPECT_EQ(open->geometry(), QRect(370, 364, 106, 32));
  EXPECT_EQ(quit->geometry(), QRect(486, 364, 106, 32));

  EXPECT_EQ(heading->font().pixelSize(), 20);
  EXPECT_TRUE(heading->font().bold());
  EXPECT_EQ(status->font().pixelSize(), 13);
  EXPECT_FALSE(status->font().bold());
  EXPECT_EQ(log->font().pixelSize(), 12);
  EXPECT_EQ(log->font().weight(), QFont::Normal);
  const QFontMetrics metrics(log->font());
  EXPECT_EQ(metrics.horizontalAdvance('i'), metrics.horizontalAdvance('W')) << "monospaced";

  EXPECT_EQ(heading->text(), "Corvane をインストールしています");
  EXPECT_EQ(status->text(), "環境構築を準備しています...");
  EXPECT_TRUE(spinner->isAnimating());
  EXPECT_TRUE(log->toPlainText().isEmpty());
  EXPECT_EQ(open->text(), "アプリを開く");
  EXPECT_FALSE(open->isEnabled());
  EXPECT_EQ(quit->text(), "閉じる");
  EXPECT_TRUE(quit->isEnabled());

  // Children in creation order: the order they stack in.
  QStringList order;
  for (QObject* child : window->children()) order << child->objectName();
  EXPECT_EQ(order, (QStringList{names::kHeading, names::kStatusLabel, names::kSpinner,
                                names::kLogView, names::kOpenButton, names::kQuitButton}));
}

TEST_F(InstallerWindowTest, ButtonsReachTheirActionsOnlyWhenEnabled) {
  auto* open = Control<QPushButton>(names::kOpenButton);
  auto* quit = Control<QPushButton>(names::kQuitButton);
  ASSERT_TRUE(open && quit);
  QTest::mouseClick(open, Qt::LeftButton);
  EXPECT_EQ(opens, 0) << "disabled until success";
  built.openButton->setEnabled(true);
  QTest::mouseClick(open, Qt::LeftButton);
  EXPECT_EQ(opens, 1);
  QTest::mouseClick(quit, Qt::LeftButton);
  EXPECT_EQ(quits, 1);
}

TEST_F(InstallerWindowTest, LogTakesNoTypingAndScrollsToTheEnd) {
  auto* log = Control<LogTextView>(names::kLogView);
  ASSERT_TRUE(log);
  built.logView->appendText("first line\n");
  log->setFocus();
  QTest::keyClicks(log, "typed");
  QTest::keyClick(log, Qt::Key_Backspace);
  QTest::keyClick(log, Qt::Key_Return);
  EXPECT_EQ(log->text(), "first line\n");

  for (int i = 0; i < 200; ++i) built.logView->appendText("line " + std::to_string(i) + "\n");
  built.logView->scrollToEnd();
  QApplication::processEvents();
  EXPECT_GT(log->verticalScrollBar()->maximum(), 0);
  EXPECT_EQ(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
}

TEST_F(InstallerWindowTest, StatusLabelStaysOnOneLine) {
  auto* status = Control<QLabel>(names::kStatusLabel);
  ASSERT_TRUE(status);
  built.statusLabel->setText(std::string(40, 'x') +
                             " インストーラーを起動できませんでした: " + std::string(200, 'y'));
  QApplication::processEvents();
  EXPECT_FALSE(status->wordWrap());
  EXPECT_EQ(status->geometry(), QRect(28, 64, 500, 20));
  EXPECT_LE(status->sizeHint().height(), 20);
}

TEST(LogTextView, TextAndCopyAreExactlyWhatWasAppended) {
  LogTextView view;
  const QString pieces[] = {
      "plain\n",
      "crlf\r\n",
      "lone\rcr",
      " then split\r",
      "\nlf after cr\r",
      "x",
      QString::fromUtf8("nbsp\u00A0 line\u2028sep para\u2029sep tab\t nul"),
      QString(QChar(0)),
      QString::fromUtf8("\uFDD0frame\uFDD1 😀\n"),
      QString(10000, 'a') + "\n",  // a huge line, shown as several
      QString(LogTextView::kMaxBlockLength - 1, 'b') + QString::fromUtf8("😀😀") + "\n",
      "ends with cr\r"};
  QString all;
  for (const QString& piece : pieces) {
    view.appendLogText(piece);
    all += piece;
    ASSERT_EQ(view.text(), all);
  }
  for (QTextBlock block = view.document()->begin(); block.isValid(); block = block.next()) {
    EXPECT_LE(block.length() - 1, LogTextView::kMaxBlockLength);
    // No surrogate pair is cut between two lines.
    if (block.length() > 1) {
      EXPECT_FALSE(block.text().back().isHighSurrogate());
    }
  }

  view.selectAll();
  view.copy();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), all.chopped(1))
      << "a CR waiting for a possible LF is not in the document yet";

  // A partial selection maps document positions back to the exact text:
  // "pl[ain\ncrlf\r\nl]one".
  QTextCursor part(view.document());
  part.setPosition(2);
  part.setPosition(12, QTextCursor::KeepAnchor);
  view.setTextCursor(part);
  view.copy();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "ain\ncrlf\r\nl");
}

// Random text of everything that ends or splits a line, cut at random places.
TEST(LogTextView, RandomAppendsComeBackExactly) {
  const QString atoms[] = {"a",
                           "bc",
                           "あ",
                           "\n",
                           "\r",
                           "\r\n",
                           "\u2029",
                           "\u2028",
                           "\uFDD0",
                           "\uFDD1",
                           "😀",
                           QString(QChar(0)),
                           "\t",
                           QString(700, 'x'),
                           QString(3000, 'y')};
  std::mt19937 random(7);
  for (int round = 0; round < 60; ++round) {
    LogTextView view;
    QString all;
    for (int piece = 0; piece < 40; ++piece) {
      QString text;
      for (int k = std::uniform_int_distribution<int>(0, 12)(random); k > 0; --k) {
        text += atoms[std::uniform_int_distribution<std::size_t>(0, std::size(atoms) - 1)(random)];
      }
      view.appendLogText(text);
      all += text;
    }
    ASSERT_EQ(view.text(), all) << "round " << round;
    for (QTextBlock block = view.document()->begin(); block.isValid(); block = block.next()) {
      ASSERT_LE(block.length() - 1, LogTextView::kMaxBlockLength);
    }
  }
}

}  // namespace
}  // namespace corvane::qt
