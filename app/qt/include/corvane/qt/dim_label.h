#pragma once

#include <QEvent>
#include <QLabel>

namespace corvane::qt {

// A label in the dimmer text colour of secondary information: the window's
// text colour at reduced opacity, as macOS draws secondaryLabelColor, so that
// it reads on light and dark palettes alike. Themes often leave the
// placeholder colour as it is for light ones, unreadable on a dark window.
class DimLabel : public QLabel {
 public:
  explicit DimLabel(const QString& text = {}, QWidget* parent = nullptr) : QLabel(text, parent) {
    follow();
  }

 protected:
  void changeEvent(QEvent* event) override {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) follow();
  }

 private:
  void follow() {
    QColor dim = parentWidget() != nullptr ? parentWidget()->palette().color(QPalette::WindowText)
                                           : palette().color(QPalette::WindowText);
    dim.setAlphaF(0.55F);
    QPalette own = palette();
    if (own.color(QPalette::WindowText) == dim) return;
    own.setColor(QPalette::WindowText, dim);
    setPalette(own);
  }
};

}  // namespace corvane::qt
