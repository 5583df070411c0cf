#include "corvane/qt/installer_window.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QRawFont>
#include <QScreen>
#include <QTextLayout>

#include "corvane/qt/dim_label.h"
#include "corvane/qt/log_text_view.h"
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

class QtLogView : public LogView {
 public:
  explicit QtLogView(LogTextView* view) : view_(view) {}
  void appendText(std::string_view text) override {
    if (view_)
      view_->appendLogText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  }
  void scrollToEnd() override {
    if (view_) view_->requestScrollToEnd();
  }

 private:
  QPointer<LogTextView> view_;
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
  font.setPixelSize(12);
  font.setWeight(QFont::Normal);
  // The fixed font's family is usually an alias such as "Monospace"; name the
  // face it stands for, or the Japanese face would take the Latin text too.
  const QString japanese = JapaneseFamilyFor(SystemFont(13, false));
  if (!japanese.isEmpty()) font.setFamilies({QFontInfo(font).family(), japanese});
  return font;
}

}  // namespace

QtWindow::~QtWindow() { delete widget_.data(); }

InstallerWindow BuildInstallerWindow(WindowActions actions) {
  auto* window = new QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                          Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
  window->setFixedSize(620, 420);
  window->setWindowTitle(QStringLiteral("Corvane Installer"));
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    // Centred horizontally, a little above the middle, as macOS places windows.
    const QRect area = screen->availableGeometry();
    window->move(area.x() + (area.width() - 620) / 2, area.y() + (area.height() - 420) / 3);
  }

  auto* heading = new QLabel(QStringLiteral("Corvane をインストールしています"), window);
  heading->setObjectName(names::kHeading);
  heading->setFont(SystemFont(20, true));
  heading->setGeometry(28, 30, 560, 28);

  auto* status = new DimLabel(QStringLiteral("環境構築を準備しています..."), window);
  status->setObjectName(names::kStatusLabel);
  status->setFont(SystemFont(13, false));
  status->setWordWrap(false);
  status->setGeometry(28, 64, 500, 20);

  auto* spinner = new SpinnerWidget(window);
  spinner->setObjectName(names::kSpinner);
  spinner->setGeometry(558, 62, 24, 24);
  spinner->startAnimation();

  auto* log = new LogTextView(window);
  log->setObjectName(names::kLogView);
  log->setFont(LogFont());
  log->setGeometry(28, 100, 564, 246);

  auto* open = new QPushButton(QStringLiteral("アプリを開く"), window);
  open->setObjectName(names::kOpenButton);
  open->setGeometry(370, 364, 106, 32);
  open->setEnabled(false);
  QObject::connect(open, &QPushButton::clicked, window,
                   [action = std::move(actions.openInstalledApp)] { action(); });

  auto* quit = new QPushButton(QStringLiteral("閉じる"), window);
  quit->setObjectName(names::kQuitButton);
  quit->setGeometry(486, 364, 106, 32);
  QObject::connect(quit, &QPushButton::clicked, window,
                   [action = std::move(actions.quit)] { action(); });

  window->show();
  window->raise();
  window->activateWindow();

  return {std::make_shared<QtWindow>(window), std::make_shared<QtStatusLabel>(status),
          std::make_shared<QtLogView>(log),   std::make_shared<QtSpinner>(spinner),
          std::make_shared<QtButton>(open),   std::make_shared<QtButton>(quit)};
}

}  // namespace corvane::qt
