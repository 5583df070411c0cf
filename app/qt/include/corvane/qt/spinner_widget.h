#pragma once

#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <array>

namespace corvane::qt {

// An indeterminate spinning indicator, like the one macOS draws: twelve spokes
// fading around the circle, turning until stopped. Hidden once stopped, so a
// finished run never looks like a frozen one. It turns only while it can be
// seen, and each step shows a picture drawn once.
class SpinnerWidget : public QWidget {
  Q_OBJECT

 public:
  explicit SpinnerWidget(QWidget* parent = nullptr);

  void startAnimation();
  void stopAnimation();
  bool isAnimating() const { return animating_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  static constexpr int kSpokes = 12;
  QPixmap drawStep(int step) const;

  QTimer timer_;
  bool animating_ = false;
  int step_ = 0;
  std::array<QPixmap, kSpokes> steps_;
};

}  // namespace corvane::qt
