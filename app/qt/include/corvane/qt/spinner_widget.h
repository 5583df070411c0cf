#pragma once

#include <QTimer>
#include <QWidget>

namespace corvane::qt {

// An indeterminate spinning indicator, like the one macOS draws: twelve spokes
// fading around the circle, turning until stopped. Hidden once stopped, so a
// finished run never looks like a frozen one.
class SpinnerWidget : public QWidget {
  Q_OBJECT

 public:
  explicit SpinnerWidget(QWidget* parent = nullptr);

  void startAnimation();
  void stopAnimation();
  bool isAnimating() const { return timer_.isActive(); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QTimer timer_;
  int step_ = 0;
};

}  // namespace corvane::qt
