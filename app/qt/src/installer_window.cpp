#include "corvane/qt/installer_window.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QRawFont>
#include <QScreen>
#include <QShortcut>
#include <QTextLayout>

#include "corvane/app/window_layout.h"

#include "corvane/qt/dim_label.h"
#include "corvane/qt/log_view.h"
#include "corvane/qt/spinner_widget.h"

namespace corvane::qt {
namespace {

// Adapters between the controller's control interfaces and the widgets. They
// hold the widgets weakly: the window owns them.
class QtStatusLabel : public StatusLabel {
 public:
  explicit QtStatusLabel(QLabel* label) : label_(label) {}
  void setText(const std::string& text) override {
    if (label_) label_->setText(QString::fromStdString(text));
  }

 private:
  QPointer<QLabel> label_;
};

class QtSpinner : public Spinner {
 public:
  explicit QtSpinner(SpinnerWidget* spinner) : spinner_(spinner) {}
  void stopAnimation() override {
    if (spinner_) spinner_->stopAnimation();
  }

 private:
  QPointer<SpinnerWidget> spinner_;
};

class QtButton : public Button {
 public:
  explicit QtButton(QPushButton* button) : button_(button) {}
  void setEnabled(bool enabled) override {
    if (button_) button_->setEnabled(enabled);
  }

 private:
  QPointer<QPushButton> button_;
};

QFont SystemFont(int pixelSize, bool bold) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  return font;
}

// The face the window's text falls back to for Japanese, if there is one. It is
// asked for kana, not kanji: under a Korean locale kanji fall back to a Korean face.
QString JapaneseFamilyFor(const QFont& font) {
  QTextLayout layout(QStringLiteral("の"), font);
  layout.beginLayout();
  layout.createLine();
  layout.endLayout();
  const QList<QGlyphRun> runs = layout.glyphRuns();
  if (runs.isEmpty() || !runs.first().rawFont().supportsCharacter(U'の')) return {};
  return runs.first().rawFont().familyName();
}

// Japanese in the log uses the labels' Japanese face, as Menlo falls back to the
// system's Japanese face on macOS. The fixed font's own fallback would open a
// second CJK face, a few megabytes of font pages, for the same glyph shapes.
QFont LogFont() {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPixelSize(layout::kLogPoints);
  font.setWeight(QFont::Normal);
  // The fixed font's family is usually an alias such as "Monospace"; name the
  // face it stands for, or the Japanese face would take the Latin text too.
  const QString japanese = JapaneseFamilyFor(SystemFont(layout::kStatusPoints, false));
  if (!japanese.isEmpty()) font.setFamilies({QFontInfo(font).family(), japanese});
  return font;
}

QRect Geometry(const layout::Frame& frame) {
  return {frame.x, frame.top(), frame.width, frame.height};
}

QString Text(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QtWindow::~QtWindow() { delete widget_.data(); }

InstallerWindow BuildInstallerWindow(WindowActions actions, std::shared_ptr<LogModel> log) {
  auto* window = new QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                          Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
  window->setFixedSize(layout::kContentWidth, layout::kContentHeight);
  window->setWindowTitle(Text(layout::kTitle));
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    // Centred horizontally, a little above the middle, as macOS places
    // windows. On a screen too small for it (a large scale on a small
    // screen), its top stays on screen for the title bar, and its right side
    // for the buttons and the close box.
    const QRect area = screen->availableGeometry();
    const int x = (area.width() - layout::kContentWidth) / 2;
    const int y = (area.height() - layout::kContentHeight) / 3;
    window->move(area.x() + (x < 0 ? 2 * x : x), area.y() + std::max(0, y));
  }
  // Ctrl+Q and Ctrl+W close the window, as desktop programs here do.
  for (const char* keys : {"Ctrl+Q", "Ctrl+W"}) {
    auto* shortcut = new QShortcut(QKeySequence(QString::fromLatin1(keys)), window);
    QObject::connect(shortcut, &QShortcut::activated, window, &QWidget::close);
  }

  auto* heading = new QLabel(Text(layout::kHeadingText), window);
  heading->setObjectName(names::kHeading);
  heading->setFont(SystemFont(layout::kHeadingPoints, true));
  heading->setGeometry(Geometry(layout::kHeading));

  auto* status = new DimLabel(Text(layout::kInitialStatus), window);
  status->setObjectName(names::kStatusLabel);
  status->setFont(SystemFont(layout::kStatusPoints, false));
  status->setWordWrap(false);
  status->setGeometry(Geometry(layout::kStatus));

  auto* spinner = new SpinnerWidget(window);
  spinner->setObjectName(names::kSpinner);
  spinner->setGeometry(Geometry(layout::kSpinner));
  spinner->startAnimation();

  auto* logView = new LogView(std::move(log), window);
  logView->setObjectName(names::kLogView);
  logView->setFont(LogFont());
  logView->setGeometry(Geometry(layout::kLog));

  // Return and Enter press the focused button, as Space does.
  auto* open = new QPushButton(Text(layout::kOpenTitle), window);
  open->setObjectName(names::kOpenButton);
  open->setGeometry(Geometry(layout::kOpenButton));
  open->setAutoDefault(true);
  open->setEnabled(false);
  QObject::connect(open, &QPushButton::clicked, window,
                   [action = std::move(actions.openInstalledApp)] { action(); });

  auto* quit = new QPushButton(Text(layout::kQuitTitle), window);
  quit->setObjectName(names::kQuitButton);
  quit->setGeometry(Geometry(layout::kQuitButton));
  quit->setAutoDefault(true);
  QObject::connect(quit, &QPushButton::clicked, window,
                   [action = std::move(actions.quit)] { action(); });

  window->show();
  window->raise();
  window->activateWindow();

  return {std::make_shared<QtWindow>(window), std::make_shared<QtStatusLabel>(status),
          std::make_shared<QtSpinner>(spinner), std::make_shared<QtButton>(open),
          std::make_shared<QtButton>(quit)};
}

}  // namespace corvane::qt
