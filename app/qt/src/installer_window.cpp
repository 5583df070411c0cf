#include "corvane/qt/installer_window.h"

#include <QAccessible>
#include <QAccessibleWidget>
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
    if (label_) SetAnnouncedText(label_, QString::fromStdString(text));
  }

 private:
  QPointer<QLabel> label_;
};

// The status label to screen readers: a label, and its text through the text
// interface too, so that its changes can be told as text changes. In
// characters, as AT-SPI counts.
class StatusAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit StatusAccessible(QLabel* label) : QAccessibleWidget(label, QAccessible::StaticText) {}
  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }
  QString text(QAccessible::Text type) const override {
    return type == QAccessible::Name ? label()->text() : QAccessibleWidget::text(type);
  }
  QString text(int start, int end) const override {
    const QList<uint> characters = label()->text().toUcs4();
    end = std::clamp(end < 0 ? static_cast<int>(characters.size()) : end, 0,
                     static_cast<int>(characters.size()));
    start = std::clamp(start, 0, end);
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(characters.data()) + start,
                             end - start);
  }
  int characterCount() const override { return static_cast<int>(label()->text().toUcs4().size()); }
  void selection(int /*index*/, int* start, int* end) const override { *start = *end = 0; }
  int selectionCount() const override { return 0; }
  void addSelection(int /*start*/, int /*end*/) override {}
  void removeSelection(int /*index*/) override {}
  void setSelection(int /*index*/, int /*start*/, int /*end*/) override {}
  int cursorPosition() const override { return 0; }
  void setCursorPosition(int /*position*/) override {}
  QRect characterRect(int /*offset*/) const override { return {}; }
  int offsetAtPoint(const QPoint& /*point*/) const override { return -1; }
  void scrollToSubstring(int /*start*/, int /*end*/) override {}
  QString attributes(int offset, int* start, int* end) const override {
    *start = *end = offset;
    return {};
  }

 private:
  QLabel* label() const { return static_cast<QLabel*>(widget()); }
};

QAccessibleInterface* StatusAccessibleFactory(const QString& /*key*/, QObject* object) {
  auto* label = qobject_cast<QLabel*>(object);
  if (label != nullptr &&
      (label->objectName() == names::kStatusLabel || label->objectName() == names::kFindCount)) {
    return new StatusAccessible(label);
  }
  return nullptr;
}

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

void SetAnnouncedText(QLabel* label, const QString& text) {
  const QString before = label->text();
  label->setText(text);
  // A screen reader hears the new text in the event itself: Qt's own name
  // change carries none to AT-SPI.
  QAccessibleTextRemoveEvent removed(label, 0, before);
  QAccessible::updateAccessibility(&removed);
  QAccessibleTextInsertEvent inserted(label, 0, label->text());
  QAccessible::updateAccessibility(&inserted);
}

InstallerWindow BuildInstallerWindow(WindowActions actions, std::shared_ptr<LogModel> log) {
  static const bool accessible = [] {
    QAccessible::installFactory(StatusAccessibleFactory);
    return true;
  }();
  (void)accessible;
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

  // Named before it has a text: screen readers see it by its name.
  auto* status = new DimLabel({}, window);
  status->setObjectName(names::kStatusLabel);
  status->setText(Text(layout::kInitialStatus));
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
