#include "corvane/qt/spinner_widget.h"

#include <QEvent>
#include <QPainter>

namespace corvane::qt {
namespace {
constexpr int kFrameMilliseconds = 83;  // one turn a second, as AppKit's spinner
}  // namespace

SpinnerWidget::SpinnerWidget(QWidget* parent) : QWidget(parent) {
  // It draws its own background, the window's: a step draws it alone, not
  // the window under it as well.
  setAttribute(Qt::WA_OpaquePaintEvent);
  timer_.setInterval(kFrameMilliseconds);
  timer_.setTimerType(Qt::CoarseTimer);
  connect(&timer_, &QTimer::timeout, this, [this] {
    step_ = (step_ + 1) % kSpokes;
    update();
  });
}

void SpinnerWidget::startAnimation() {
  animating_ = true;
  show();
  if (isVisible()) timer_.start();
}

void SpinnerWidget::stopAnimation() {
  animating_ = false;
  timer_.stop();
  hide();
}

// Hidden, minimised or in a window not shown, it costs nothing.
void SpinnerWidget::showEvent(QShowEvent* /*event*/) {
  if (animating_) timer_.start();
}

void SpinnerWidget::hideEvent(QHideEvent* /*event*/) { timer_.stop(); }

void SpinnerWidget::changeEvent(QEvent* event) {
  if (event->type() == QEvent::PaletteChange) steps_ = {};
  QWidget::changeEvent(event);
}

void SpinnerWidget::resizeEvent(QResizeEvent* /*event*/) { steps_ = {}; }

void SpinnerWidget::paintEvent(QPaintEvent* /*event*/) {
  QPixmap& picture = steps_[static_cast<std::size_t>(step_)];
  if (picture.isNull() || picture.devicePixelRatio() != devicePixelRatioF()) {
    picture = drawStep(step_);
  }
  QPainter(this).drawPixmap(0, 0, picture);
}

QPixmap SpinnerWidget::drawStep(int step) const {
  const qreal ratio = devicePixelRatioF();
  QPixmap picture(size() * ratio);
  picture.setDevicePixelRatio(ratio);
  picture.fill(palette().color(backgroundRole()));
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal side = std::min(width(), height());
  painter.translate(width() / 2.0, height() / 2.0);
  QColor color = palette().color(QPalette::WindowText);
  QPen pen;
  pen.setWidthF(side / 12.0);
  pen.setCapStyle(Qt::RoundCap);
  for (int i = 0; i < kSpokes; ++i) {
    // The leading spoke is the darkest; the others fade behind it.
    const int age = (step - i + kSpokes) % kSpokes;
    color.setAlphaF(1.0f - 0.85f * static_cast<float>(age) / kSpokes);
    pen.setColor(color);
    painter.setPen(pen);
    painter.save();
    painter.rotate(360.0 * i / kSpokes);
    painter.drawLine(QPointF(0, -side * 0.22), QPointF(0, -side * 0.44));
    painter.restore();
  }
  return picture;
}

}  // namespace corvane::qt
