#include "corvane/qt/spinner_widget.h"

#include <QPainter>

namespace corvane::qt {
namespace {
constexpr int kSpokes = 12;
constexpr int kFrameMilliseconds = 83;  // one turn a second, as AppKit's spinner
}  // namespace

SpinnerWidget::SpinnerWidget(QWidget* parent) : QWidget(parent) {
  timer_.setInterval(kFrameMilliseconds);
  timer_.setTimerType(Qt::CoarseTimer);
  connect(&timer_, &QTimer::timeout, this, [this] {
    step_ = (step_ + 1) % kSpokes;
    update();
  });
}

void SpinnerWidget::startAnimation() {
  timer_.start();
  show();
}

void SpinnerWidget::stopAnimation() {
  timer_.stop();
  hide();
}

void SpinnerWidget::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal size = std::min(width(), height());
  painter.translate(width() / 2.0, height() / 2.0);
  QColor color = palette().color(QPalette::WindowText);
  QPen pen;
  pen.setWidthF(size / 12.0);
  pen.setCapStyle(Qt::RoundCap);
  for (int i = 0; i < kSpokes; ++i) {
    // The leading spoke is the darkest; the others fade behind it.
    const int age = (step_ - i + kSpokes) % kSpokes;
    color.setAlphaF(1.0f - 0.85f * static_cast<float>(age) / kSpokes);
    pen.setColor(color);
    painter.setPen(pen);
    painter.save();
    painter.rotate(360.0 * i / kSpokes);
    painter.drawLine(QPointF(0, -size * 0.22), QPointF(0, -size * 0.44));
    painter.restore();
  }
}

}  // namespace corvane::qt
