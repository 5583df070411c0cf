#pragma once

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QPoint>
#include <memory>

#include "corvane/app/log_view_core.h"

class QLabel;

namespace corvane::qt {

class QtMainQueue;

// The installer's log on Qt: the view core's segments laid out with
// QTextLayout and painted, and Qt's events turned into the core's calls.
// Besides what the core does, it offers the X11 primary selection and a
// context menu.
class LogView : public QAbstractScrollArea, private LogViewSkin {
  Q_OBJECT

 public:
  explicit LogView(std::shared_ptr<LogModel> model, QWidget* parent = nullptr);
  ~LogView() override;
  LogView(const LogView&) = delete;
  LogView& operator=(const LogView&) = delete;

  LogViewCore& core() { return *core_; }
  const LogViewCore& core() const { return *core_; }
  LogReader& reader() { return core_->reader(); }
  const LogModel& model() const { return core_->model(); }
  // Catches up with the model now, rather than at the next frame.
  void catchUp() { core_->reader().catchUp(); }

  void copy();
  QString droppedNote() const;
  // A viewport point as the core takes it, and a core box as the viewport's.
  static ViewPoint toCore(QPointF point) { return {point.x(), point.y()}; }
  static QRect fromCore(const ViewRect& rect);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::unique_ptr<SegmentLayout> lay(std::u16string_view text, double width) override;
  double lineHeight() override;
  void viewChanged(LogReader::Changes changes) override;

  void press(QMouseEvent* event, int clicks);
  void onScrollBarAction(int action);
  void showNote();
  void offerPrimarySelection();
  void followFocus();

  const std::shared_ptr<QtMainQueue> queue_;
  std::unique_ptr<LogViewCore> core_;
  QElapsedTimer sinceDoubleClick_;
  QPoint doubleClickAt_;
  QLabel* note_ = nullptr;
  QWidget* border_ = nullptr;
  LogViewCore::Range offered_;
};

}  // namespace corvane::qt
