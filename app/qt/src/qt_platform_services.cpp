#include "corvane/qt/qt_platform_services.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <QWidget>

#include "corvane/qt/installer_window.h"

namespace corvane::qt {

QtPlatformServices::QtPlatformServices() : mainQueue_(std::make_shared<QtMainQueue>()) {}

QtPlatformServices::~QtPlatformServices() { shutdown(); }

InstallerWindow QtPlatformServices::buildWindow(WindowActions actions,
                                                std::shared_ptr<LogModel> log) {
  return BuildInstallerWindow(std::move(actions), std::move(log));
}

std::string QtPlatformServices::resourceDirectory() {
  const std::string executableDir = ExecutableDirectory();
  return executableDir.empty() ? executableDir : ResourceDirectoryForExecutableDir(executableDir);
}

std::string QtPlatformServices::homeDirectory() { return UserHomeDirectory(); }

bool QtPlatformServices::openApplication(const std::string& bundlePath) {
  return launcher_.open(BundleExecutablePath(bundlePath));
}

void QtPlatformServices::terminate() { QCoreApplication::quit(); }

void QtPlatformServices::withdrawWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets()) widget->hide();
  // Told to the window system now: no event loop runs from here on.
  QGuiApplication::sync();
}

void LoadJapaneseTranslations() {
  auto* translator = new QTranslator(QCoreApplication::instance());
  if (translator->load(QLocale(QLocale::Japanese), QStringLiteral("qtbase"), QStringLiteral("_"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(translator);
  }
}

}  // namespace corvane::qt
