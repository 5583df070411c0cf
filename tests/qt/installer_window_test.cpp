#include "corvane/qt/installer_window.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <algorithm>
#include <random>

#include "corvane/qt/log_text_view.h"
#include "corvane/qt/qt_platform_services.h"
#include "corvane/qt/spinner_widget.h"

namespace corvane::qt {
namespace {

class InstallerWindowTest : public ::testing::Test {
 protected:
  template <typename T>
  T* Control(const char* name) {
    auto* control = window->findChild<T*>(name);
    if (control == nullptr) throw std::runtime_error(name);
    return control;
  }

  InstallerWindow built = BuildInstallerWindow({[] {}, [] {}});
  QWidget* window = static_cast<QtWindow*>(built.window.get())->widget();
};

TEST_F(InstallerWindowTest, LayoutTextsFontsAndStates) {
  EXPECT_EQ(window->windowTitle(), "Corvane Installer");
  EXPECT_EQ(window->minimumSize(), QSize(620, 420));
  EXPECT_EQ(window->maximumSize(), QSize(620, 420));
  EXPECT_TRUE(window->isVisible());
  const auto buttons = Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint;
  EXPECT_EQ(window->windowFlags() & (buttons | Qt::WindowMaximizeButtonHint), buttons);

  struct Expected {
    const char* name;
    QRect frame;
    QString text;
  };
  const Expected controls[] = {
      {names::kHeading, {28, 30, 560, 28}, "Corvane をインストールしています"},
      {names::kStatusLabel, {28, 64, 500, 20}, "環境構築を準備しています..."},
      {names::kSpinner, {558, 62, 24, 24}, {}},
      {names::kLogView, {28, 100, 564, 246}, {}},
      {names::kOpenButton, {370, 364, 106, 32}, "アプリを開く"},
      {names::kQuitButton, {486, 364, 106, 32}, "閉じる"},
  };
  // Children in creation order: the order they stack in.
  QStringList order;
  for (QObject* child : window->children()) order << child->objectName();
  ASSERT_EQ(order.size(), 6);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(order[i], controls[i].name);
    auto* control = Control<QWidget>(controls[i].name);
    EXPECT_EQ(control->geometry(), controls[i].frame) << controls[i].name;
    EXPECT_EQ(control->property("text").toString(), controls[i].text) << controls[i].name;
  }

  const QFont heading = Control<QLabel>(names::kHeading)->font();
  const QFont status = Control<QLabel>(names::kStatusLabel)->font();
  const QFont log = Control<LogTextView>(names::kLogView)->font();
  EXPECT_TRUE(heading.pixelSize() == 20 && heading.bold());
  EXPECT_TRUE(status.pixelSize() == 13 && !status.bold());
  EXPECT_TRUE(log.pixelSize() == 12 && log.weight() == QFont::Normal);
  EXPECT_EQ(QFontMetrics(log).horizontalAdvance('i'), QFontMetrics(log).horizontalAdvance('W'))
      << "the log's font is monospaced";

  EXPECT_TRUE(Control<SpinnerWidget>(names::kSpinner)->isAnimating());
  EXPECT_TRUE(Control<LogTextView>(names::kLogView)->text().isEmpty());
  EXPECT_FALSE(Control<QPushButton>(names::kOpenButton)->isEnabled());
  EXPECT_TRUE(Control<QPushButton>(names::kQuitButton)->isEnabled());

  // A long status stays on one line; the log takes no typing.
  built.statusLabel->setText("インストーラーを起動できませんでした: " + std::string(200, 'y'));
  EXPECT_FALSE(Control<QLabel>(names::kStatusLabel)->wordWrap());
  EXPECT_LE(Control<QLabel>(names::kStatusLabel)->sizeHint().height(), 20);
  built.logView->appendText("first line\n");
  Control<LogTextView>(names::kLogView)->setFocus();
  QTest::keyClicks(Control<LogTextView>(names::kLogView), "typed");
  QTest::keyClick(Control<LogTextView>(names::kLogView), Qt::Key_Backspace);
  EXPECT_EQ(Control<LogTextView>(names::kLogView)->text(), "first line\n");
}

// Past its bounds the log keeps the latest output and says how much went; it
// follows the end, except while a reader has scrolled back.
TEST(LogTextView, KeepsTheLatestOutputAndTheReadersPlace) {
  LogTextView view(nullptr, 20'000, 18'000, 1'000, 900);
  view.resize(564, 246);
  view.show();
  QString all;
  auto append = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      const QString line = QString("line %1 %2\r\n").arg(i).arg(QString(i % 7 ? 10 : 150, 'x'));
      // Each CRLF split across two appends: the second document starts at a
      // pending CR.
      for (const QString& piece : {line.chopped(1), QString("\n")}) {
        view.appendLogText(piece);
        view.requestScrollToEnd();
      }
      all += line;
    }
    QApplication::processEvents();
  };
  auto topLine = [&] { return view.cursorForPosition({2, 2}).block().text(); };
  QScrollBar* bar = view.verticalScrollBar();
  append(0, 450);
  EXPECT_EQ(bar->value(), bar->maximum());
  ASSERT_EQ(view.droppedCharacters(), 0);
  bar->setValue(bar->maximum() - 20);
  const QString top = topLine();
  // The full document goes at the bound, on another thread; not while the
  // text control may still hold a double click's cursors into it.
  const QPointer<QTextDocument> full = view.document();
  QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, {5, 5});
  append(450, 700);
  EXPECT_EQ(topLine(), top);
  // Past the pause in the output it waits for, and a double click's interval.
  QTest::qWait(std::max(1'000, QApplication::doubleClickInterval() + 50));
  EXPECT_FALSE(full.isNull());
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, {5, 5});
  for (int i = 0; i < 1000 && !full.isNull(); ++i) QTest::qWait(10);
  EXPECT_TRUE(full.isNull());
  EXPECT_LE(view.document()->characterCount(), 18'000) << "once past its bound, it keeps less";
  EXPECT_TRUE(all.endsWith(view.text()));
  EXPECT_EQ(view.droppedCharacters() + view.text().size(), all.size());
  const qint64 lines = all.left(view.droppedCharacters()).count("\r\n");
  EXPECT_EQ(view.droppedLines(), lines);
  EXPECT_EQ(view.findChild<QLabel*>()->text(),
            QString("以前の出力 %1 行 (%2 文字) を省略しました")
                .arg(QLocale(QLocale::Japanese).toString(lines),
                     QLocale(QLocale::Japanese).toString(view.droppedCharacters())));
  bar->setValue(bar->maximum());
  append(700, 710);
  EXPECT_EQ(bar->value(), bar->maximum()) << "back at the end, it follows again";

  const QString empty(2'000, u'\n');
  view.appendLogText(empty);
  all += empty;
  EXPECT_LE(view.document()->blockCount(), 900);
  EXPECT_EQ(view.droppedCharacters() + view.text().size(), all.size());
}

// Random text of everything that ends or splits a line, cut at random places,
// comes back exactly, from text() and from copying.
TEST(LogTextView, TextAndCopyAreExactlyWhatWasAppended) {
  const QStringList atoms =
      QString("a|bc|あ|\n|\r|\r\n|\u2029|\u2028|\uFDD0|\uFDD1|😀|\t").split('|') +
      QStringList{QString(QChar(0)), QString(700, 'x'), QString(3000, 'y'), QString(4095, 'z')};
  std::mt19937 random(7);
  for (int round = 0; round < 60; ++round) {
    LogTextView view;
    // Past its bounds, what it keeps is exactly the end.
    LogTextView bounded(nullptr, 30'000, 20'000, 200, 160);
    QString all;
    for (int piece = 0; piece < 40; ++piece) {
      QString text;
      for (auto k = random() % 13; k > 0; --k) text += atoms[static_cast<qsizetype>(random() % 16)];
      view.appendLogText(text);
      bounded.appendLogText(text);
      all += text;
    }
    ASSERT_EQ(view.text(), all) << "round " << round;
    ASSERT_TRUE(all.endsWith(bounded.text())) << "round " << round;
    ASSERT_EQ(bounded.droppedCharacters() + bounded.text().size(), all.size()) << "round " << round;
    for (QTextBlock block = view.document()->begin(); block.isValid(); block = block.next()) {
      ASSERT_LE(block.length() - 1, LogTextView::kMaxBlockLength);
      ASSERT_FALSE(block.length() > 1 && block.text().back().isHighSurrogate());
    }
    view.selectAll();
    view.copy();
    // A CR waiting for a possible LF is not in the document yet.
    ASSERT_EQ(QGuiApplication::clipboard()->text(), all.endsWith('\r') ? all.chopped(1) : all);
  }
  // A partial selection maps document positions back to the text: "pl[ain\ncrlf\r\nl]one".
  LogTextView view;
  view.appendLogText("plain\ncrlf\r\nlone\rcr");
  QTextCursor part(view.document());
  part.setPosition(2);
  part.setPosition(12, QTextCursor::KeepAnchor);
  view.setTextCursor(part);
  view.copy();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "ain\ncrlf\r\nl");
}

// The install script inherits HOME: it must be the home the installer uses.
TEST(QtPlatformServices, HomeThatIsNotAnAbsolutePathIsTakenFromThePasswordDatabase) {
  const std::string entry = ::getpwuid(::getuid())->pw_dir;
  for (const char* home : {"", ".", static_cast<const char*>(nullptr)}) {
    home != nullptr ? ::setenv("HOME", home, 1) : ::unsetenv("HOME");
    SettleHomeEnvironment();
    EXPECT_STREQ(std::getenv("HOME"), entry.c_str());
    EXPECT_EQ(UserHomeDirectory(), entry);
  }
  ::setenv("HOME", "/elsewhere", 1);
  SettleHomeEnvironment();
  EXPECT_STREQ(std::getenv("HOME"), "/elsewhere");
}

}  // namespace
}  // namespace corvane::qt
