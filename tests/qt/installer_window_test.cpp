#include "corvane/qt/installer_window.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include "corvane/app/window_layout.h"
#include "corvane/qt/log_view.h"
#include "corvane/qt/qt_platform_services.h"
#include "corvane/qt/spinner_widget.h"

namespace corvane::qt {
namespace {

QString Q(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

class InstallerWindowTest : public ::testing::Test {
 protected:
  template <typename T>
  T* Control(const char* name) {
    auto* control = window->findChild<T*>(name);
    if (control == nullptr) throw std::runtime_error(name);
    return control;
  }

  int opened = 0;
  std::shared_ptr<LogModel> log = std::make_shared<LogModel>();
  InstallerWindow built = BuildInstallerWindow({[this] { ++opened; }, [] {}}, log);
  QWidget* window = static_cast<QtWindow*>(built.window.get())->widget();
};

TEST_F(InstallerWindowTest, LayoutTextsFontsAndStates) {
  EXPECT_EQ(window->windowTitle(), "Corvane Installer");
  EXPECT_TRUE(window->minimumSize() == QSize(620, 420) && window->maximumSize() == QSize(620, 420));
  const auto buttons = Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint;
  EXPECT_EQ(window->windowFlags() & (buttons | Qt::WindowMaximizeButtonHint), buttons);

  struct Expected {
    const char* name;
    layout::Frame frame;
    std::string_view text;
  };
  const Expected controls[] = {
      {names::kHeading, layout::kHeading, layout::kHeadingText},
      {names::kStatusLabel, layout::kStatus, layout::kInitialStatus},
      {names::kSpinner, layout::kSpinner, {}},
      {names::kLogView, layout::kLog, {}},
      {names::kOpenButton, layout::kOpenButton, layout::kOpenTitle},
      {names::kQuitButton, layout::kQuitButton, layout::kQuitTitle},
  };
  // Children in creation order: the order they stack in. Shortcuts come first.
  QStringList order;
  for (QObject* child : window->children()) {
    if (child->isWidgetType()) order << child->objectName();
  }
  ASSERT_EQ(order.size(), 6);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(order[i], controls[i].name);
    auto* control = Control<QWidget>(controls[i].name);
    const layout::Frame& f = controls[i].frame;
    EXPECT_EQ(control->geometry(), QRect(f.x, 420 - f.y - f.height, f.width, f.height))
        << controls[i].name;
    EXPECT_EQ(control->property("text").toString(), Q(std::string(controls[i].text)))
        << controls[i].name;
  }

  const QFont heading = Control<QLabel>(names::kHeading)->font();
  const QFont status = Control<QLabel>(names::kStatusLabel)->font();
  const QFont logFont = Control<LogView>(names::kLogView)->font();
  EXPECT_TRUE(heading.pixelSize() == 20 && heading.bold() && status.pixelSize() == 13 &&
              !status.bold() && logFont.pixelSize() == 12 && logFont.weight() == QFont::Normal);
  EXPECT_EQ(QFontMetrics(logFont).horizontalAdvance('i'),
            QFontMetrics(logFont).horizontalAdvance('W'))
      << "the log's font is monospaced";

  EXPECT_TRUE(Control<SpinnerWidget>(names::kSpinner)->isAnimating());
  EXPECT_FALSE(Control<QPushButton>(names::kOpenButton)->isEnabled());
  EXPECT_TRUE(Control<QPushButton>(names::kQuitButton)->isEnabled());
  EXPECT_FALSE(Control<QLabel>(names::kStatusLabel)->wordWrap()) << "a long status, one line";
}

// Desktop habits: Return presses the focused button; Ctrl+Q and Ctrl+W close
// the window; Qt's own texts are Japanese.
TEST_F(InstallerWindowTest, KeysAndTextsAreThoseOfThisDesktop) {
  built.openButton->setEnabled(true);
  auto* open = Control<QPushButton>(names::kOpenButton);
  window->activateWindow();
  open->setFocus();
  QTest::keyClick(open, Qt::Key_Return);
  QTest::keyClick(open, Qt::Key_Enter);
  EXPECT_EQ(opened, 2);
  for (const char* keys : {"Ctrl+Q", "Ctrl+W"}) {
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QTest::keySequence(window, QKeySequence(QString::fromLatin1(keys)));
    EXPECT_FALSE(window->isVisible()) << keys;
  }
  LoadJapaneseTranslations();
  EXPECT_EQ(QCoreApplication::translate("QScrollBar", "Scroll here"), "ここにスクロール");
}

// A small bound, so that old output goes: the view follows the end, except
// while a reader has scrolled back, who keeps their place as lines go.
TEST(LogView, FollowsTheEndAndKeepsTheReadersPlace) {
  auto model = std::make_shared<LogModel>(64 * 1024, 4096);
  LogView view(model);
  view.resize(564, 246);
  view.show();
  auto append = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      model->append("line " + std::to_string(i) + " " + std::string(i % 7 ? 10 : 150, 'x') +
                    "\r\n");
    }
    view.catchUp();
  };
  auto topLine = [&] { return model->store().lineAt(view.offsetAt({6, 6})); };
  append(0, 300);
  EXPECT_TRUE(view.showsEnd() && view.droppedNote().isEmpty());
  EXPECT_EQ(view.verticalScrollBar()->value(), view.verticalScrollBar()->maximum());
  QTest::keyClick(&view, Qt::Key_PageUp);
  QTest::keyClick(&view, Qt::Key_Up);
  ASSERT_FALSE(view.showsEnd());
  const std::uint64_t top = topLine();
  append(300, 1500);
  EXPECT_EQ(topLine(), top) << "the reader's place, as far as it is kept";
  ASSERT_GT(model->store().droppedLines(), 0U);
  EXPECT_EQ(view.droppedNote(), Q(model->droppedNote()));
  QTest::keyClick(&view, Qt::Key_End);
  append(1500, 1510);
  EXPECT_TRUE(view.showsEnd()) << "back at the end, it follows again";
  EXPECT_EQ(model->store().lineAt(view.offsetAt({6, view.viewport()->height() - 10})),
            model->store().endLine() - 1)
      << "the last row is at the bottom";
}

// What is copied is exactly what was selected, line ends, NUL and all; a
// triple click takes the whole line, however long; a word chosen with a
// double click stays that word while old output goes under the drag.
TEST(LogView, CopiesExactlyWhatIsSelected) {
  auto model = std::make_shared<LogModel>(64 * 1024, 4096);
  LogView view(model);
  view.resize(564, 246);
  view.show();
  // Line ends of every kind, NUL, tabs and long lines, past the bound.
  for (std::size_t i = 0; i < 400; ++i) {
    model->append(std::string("a\rbcあ\r\n\u2029😀\0\t", 18) + std::string(i % 3 * 90, 'x') + "\n");
  }
  QClipboard* clipboard = QGuiApplication::clipboard();
  const LogStore& store = model->store();
  auto copied = [&] {
    view.copy();
    const QByteArray bytes = clipboard->mimeData()->data("text/plain");
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  };
  view.selectAll();
  EXPECT_EQ(copied(), store.text());

  const std::string longLine = std::string(10'000, 'y') + "\n";
  model->append("first\nsecond " + longLine);
  view.catchUp();
  const QPoint onLong = view.offsetRect(store.endOffset() - 5'000).center();
  QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, onLong);
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, onLong);
  EXPECT_EQ(copied(), "second " + longLine);

  model->append("pick the word here\n");
  view.catchUp();
  // A double click whose second press is held: press, release, double click.
  const QPoint onWord = view.offsetRect(store.endOffset() - 9).center();
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, onWord);
  QMouseEvent second(QEvent::MouseButtonDblClick, onWord, view.viewport()->mapToGlobal(onWord),
                     Qt::LeftButton, Qt::LeftButton, {});
  QApplication::sendEvent(view.viewport(), &second);
  EXPECT_EQ(copied(), "word");
  const std::uint64_t droppedBefore = store.droppedLines();
  for (int i = 0; i < 1000; ++i) model->append("filler " + std::to_string(i) + "\n");
  ASSERT_GT(store.droppedLines(), droppedBefore);
  QTest::mouseMove(view.viewport(), view.offsetRect(view.selectionStart() + 1).center());
  QTest::mouseRelease(view.viewport(), Qt::LeftButton, {},
                      view.offsetRect(view.selectionStart() + 1).center());
  EXPECT_EQ(copied(), "word");
}

// Screen readers get every kept character, in UTF-16 offsets, NUL as ␀.
TEST(LogView, ReadsOutToScreenReaders) {
  auto model = std::make_shared<LogModel>();
  LogView view(model);
  view.resize(564, 246);
  view.show();
  const std::string text = std::string("ok 😀 nul \0 mid\nline two\r\nend", 30);
  model->append(text);
  view.catchUp();
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&view);
  ASSERT_NE(accessible, nullptr);
  QAccessibleTextInterface* reader = accessible->textInterface();
  ASSERT_NE(reader, nullptr);
  const QString shown = Q(text).replace(QChar(0), QChar(0x2400));
  EXPECT_EQ(reader->characterCount(), shown.size());
  EXPECT_EQ(reader->text(0, -1), shown);
  EXPECT_EQ(reader->text(3, 9), shown.mid(3, 6)) << "a surrogate pair counts two";
  int start = 0, end = 0;
  EXPECT_EQ(reader->textAtOffset(18, QAccessible::LineBoundary, &start, &end), "line two\r\n");
  EXPECT_EQ(start, 16);
  view.select(model->store().beginOffset() + 8, model->store().beginOffset() + 11);
  reader->selection(0, &start, &end);
  EXPECT_EQ(reader->text(start, end), "nul");
}

}  // namespace
}  // namespace corvane::qt
