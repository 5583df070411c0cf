#include "corvane/qt/installer_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include "corvane/qt/log_view.h"
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

  // Where each control stands from the window's top left, and what it says.
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
  // Children in creation order: the order they stack in. Shortcuts come first.
  QStringList order;
  for (QObject* child : window->children()) {
    if (child->isWidgetType()) order << child->objectName();
  }
  ASSERT_EQ(order.size(), 6);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(order[i], controls[i].name);
    auto* control = Control<QWidget>(controls[i].name);
    EXPECT_EQ(control->geometry(), controls[i].frame) << controls[i].name;
    EXPECT_EQ(control->property("text").toString(), controls[i].text) << controls[i].name;
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

// A line paints only the rows it changes, and rows that scroll are moved, not
// drawn again: what is on screen is still what drawing it all gives, after
// lines, long wrapped ones, several changes between two paints, and scrolls
// by a few rows either way.
TEST_F(InstallerWindowTest, PaintingOnlyWhatChangedLeavesWhatAWholePaintShows) {
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
  auto* view = Control<LogView>(names::kLogView);
  QWidget* viewport = view->viewport();
  for (int step = 0, line = 0; step < 60; ++step) {
    for (int more = 1 + step % 3 + (step % 4 == 1); more > 0; --more, ++line) {
      const std::size_t width = line % 7 == 3 ? 300U : static_cast<std::size_t>(line % 5);
      log->append("line " + std::to_string(line) + " " + std::string(width, 'x') + "\n");
      view->core().reader().catchUp();
    }
    if (step % 10 == 7) view->core().scrollLines(step % 20 < 10 ? -3 : 2);
    // The window paints once what the steps left to paint.
    QApplication::sendPostedEvents();
    const QPoint at = viewport->mapTo(window, QPoint());
    const QImage shown =
        window->screen()
            ->grabWindow(window->winId(), at.x(), at.y(), viewport->width(), viewport->height())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    const QImage whole = viewport->grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(shown, whole) << "step " << step;
  }
}

}  // namespace
}  // namespace corvane::qt
