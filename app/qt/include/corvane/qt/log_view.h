#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QElapsedTimer>
#include <QPoint>
#include <memory>

#include "corvane/app/log_view_core.h"

namespace corvane::qt {

class FindBar;
class QtMainQueue;

// The installer's log on Qt: the view core's segments laid out with
// QTextLayout and painted, and Qt's events turned into the core's calls.
// Besides, it offers the X11 primary selection and a context menu.
class LogView : public QAbstractScrollArea, private LogViewSkin {
  Q_OBJECT

 public:
  explicit LogView(std::shared_ptr<LogModel> model, QWidget* parent = nullptr);
  ~LogView() override;
  LogView(const LogView&) = delete;
  LogView& operator=(const LogView&) = delete;

  LogViewCore& core() { return *core_; }
  FindBar& findBar() { return *findBar_; }
  void copy();
  // Behind the find's matches, as a Mac's find shows them.
  static constexpr QRgb kFoundBackground = qRgb(255, 222, 0);

 protected:
  bool event(QEvent* event) override;
  bool viewportEvent(QEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::unique_ptr<SegmentLayout> lay(std::u16string_view text, double width) override;
  double lineHeight() override;
  void viewChanged(LogReader::Changes changes) override;
  void paint(const QRect& dirty);
  void mouse(QMouseEvent* event);
  void wheel(QWheelEvent* event);
  void onScrollBarAction(int action);

  const std::shared_ptr<QtMainQueue> queue_;
  std::unique_ptr<LogViewCore> core_;
  QWidget* border_ = nullptr;
  FindBar* findBar_ = nullptr;
  QElapsedTimer sinceDoubleClick_;
  QPoint doubleClickAt_;
};

}  // namespace corvane::qt
