#pragma once

#include <QLabel>
#include <QPointer>
#include <QWidget>
#include <memory>

#include "corvane/app/platform_services.h"

namespace corvane::qt {

// The installer's one top-level window; closing the handle closes it.
class QtWindow : public Window {
 public:
  explicit QtWindow(QWidget* widget) : widget_(widget) {}
  ~QtWindow() override;
  QtWindow(const QtWindow&) = delete;
  QtWindow& operator=(const QtWindow&) = delete;

  QWidget* widget() const { return widget_; }

 private:
  QPointer<QWidget> widget_;
};

// Object names of the controls, for tests and accessibility tools.
namespace names {
inline constexpr const char* kHeading = "heading";
inline constexpr const char* kStatusLabel = "statusLabel";
inline constexpr const char* kSpinner = "spinner";
inline constexpr const char* kLogView = "logView";
inline constexpr const char* kOpenButton = "openButton";
inline constexpr const char* kQuitButton = "quitButton";
inline constexpr const char* kFindField = "findField";
inline constexpr const char* kFindCount = "findCount";
}  // namespace names

// Sets a status label's text (the window's, the find's count) so that a
// screen reader hears the new text.
void SetAnnouncedText(QLabel* label, const QString& text);

// Builds the 620 × 420 installer window with its six controls, wires the
// buttons to `actions` and the log view to `log`, and shows it in front.
InstallerWindow BuildInstallerWindow(WindowActions actions, std::shared_ptr<LogModel> log);

}  // namespace corvane::qt
