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

// A log view over a small bound, as large as the window's.
class LogViewTest : public ::testing::Test {
 protected:
  LogViewTest() {
    view.resize(564, 246);
    view.show();
  }
  std::shared_ptr<LogModel> model = std::make_shared<LogModel>(64 * 1024, 4096);
  LogView view{model};
};

Offset Find(const LogModel& model, std::string_view text) {
  return model.store().beginOffset() + model.store().text().find(text);
}

QPoint On(LogView& view, Offset offset) {
  return LogView::fromCore(view.core().frameFor(offset, offset + 1)).center();
}

// Past a small bound: keys and the scroll bar move the reader over all that
// is kept, the last row sits at the bottom, and the note says what went, its
// counts grouped by thousands.
TEST_F(LogViewTest, KeysScrollBarAndNote) {
  for (int i = 0; i < 1500; ++i) {
    model->append("line " + std::to_string(i) + " " + std::string(i % 7 ? 10 : 150, 'x') + "\r\n");
  }
  view.catchUp();
  const LogStore& store = model->store();
  auto lineAt = [&](int y) { return store.lineAt(view.core().caretAt({6, double(y)})); };
  QScrollBar* bar = view.verticalScrollBar();
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_EQ(lineAt(view.viewport()->height() - 10), store.endLine() - 1) << "the last row";
  QTest::keyClick(&view, Qt::Key_PageUp);
  EXPECT_FALSE(view.reader().followsEnd());
  QTest::keyClick(&view, Qt::Key_Home);
  EXPECT_TRUE(lineAt(6) == store.firstLine() && bar->value() == 0) << "Home: the first kept";
  QTest::keyClick(&view, Qt::Key_End);
  EXPECT_TRUE(view.reader().followsEnd());
  bar->setSliderPosition(bar->maximum() / 2);
  bar->triggerAction(QAbstractSlider::SliderMove);
  EXPECT_NEAR(static_cast<double>(store.lineStart(lineAt(6)) - store.beginOffset()),
              static_cast<double>(store.keptBytes()) / 2, 400.0)
      << "the scroll bar spans all that is kept";
  EXPECT_EQ(view.droppedNote().toStdString(), "以前の出力 169 行 (6,939 文字) を省略しました");
}

// What is copied is exactly what was selected, line ends, NUL and all; a
// triple click takes the whole line, however long; a double click takes a
// Japanese word whole.
TEST_F(LogViewTest, CopiesExactlyWhatIsSelected) {
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
  QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(copied(), store.text());

  const std::string longLine = std::string(10'000, 'y') + "\n";
  model->append("first\nsecond " + longLine);
  view.catchUp();
  const QPoint onLong = On(view, store.endOffset() - 5'000);
  QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, onLong);
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, onLong);
  EXPECT_EQ(copied(), "second " + longLine);

  model->append("「設定」を開いてください\n");
  view.catchUp();
  // A double click whose second press is held: press, release, double click.
  const QPoint onWord = On(view, Find(*model, "定"));
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, onWord);
  QMouseEvent second(QEvent::MouseButtonDblClick, onWord, view.viewport()->mapToGlobal(onWord),
                     Qt::LeftButton, Qt::LeftButton, {});
  QApplication::sendEvent(view.viewport(), &second);
  EXPECT_EQ(copied(), "設定");
}

// Screen readers get every kept character, counted as AT-SPI counts them:
// characters, not UTF-16 units. NUL reads as ␀.
TEST_F(LogViewTest, ReadsOutToScreenReadersInCharacters) {
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "😀😀😀😀😀 𠮷 " + std::to_string(i) + "\n";
  static constexpr char kEnd[] = "ten emoji 😀😀😀😀😀😀😀😀😀😀 and nul \0 here\nplain line\n";
  text += std::string(kEnd, sizeof kEnd - 1);
  model->append(text);
  view.catchUp();
  QAccessibleTextInterface* reader = QAccessible::queryAccessibleInterface(&view)->textInterface();
  ASSERT_NE(reader, nullptr);
  const std::string kept = model->store().text();
  QString shown = Q(kept);
  shown.replace(QChar(0), QChar(0x2400));
  const int characters = static_cast<int>(shown.toUcs4().size());
  ASSERT_GT(model->store().droppedLines(), 0U);
  EXPECT_EQ(reader->characterCount(), characters);
  EXPECT_EQ(reader->text(0, -1), shown);
  const int plain = characters - 11;
  int start = 0, end = 0;
  EXPECT_EQ(reader->textAtOffset(plain, QAccessible::LineBoundary, &start, &end), "plain line\n");
  EXPECT_TRUE(start == plain && end == characters);
  EXPECT_EQ(reader->text(plain - 7, plain - 1), "␀ here") << "six characters, NUL as ␀";
  EXPECT_EQ(reader->textAtOffset(plain - 17, QAccessible::CharBoundary, &start, &end), "😀");
  EXPECT_EQ(end - start, 1);
  view.reader().select(Find(*model, "nul"), Find(*model, "nul") + 3);
  reader->selection(0, &start, &end);
  EXPECT_EQ(reader->text(start, end), "nul");
}

}  // namespace
}  // namespace corvane::qt
