#pragma once

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QPoint>
#include <QTextLayout>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "corvane/app/log_reader.h"

class QLabel;

namespace corvane::qt {

class QtMainQueue;

// The installer's log, drawn from the log model. Only the rows in view are
// laid out, each segment of the model with its own QTextLayout, wrapped at the
// view's width; so the cost of drawing does not grow with the output, and the
// script never waits for the window. Where the reader is, what is selected
// and when the view catches up belong to its LogReader; the scroll bar is a
// byte position in the kept output.
//
// Read-only, and selectable as a text view is: a click and drag, a double
// click for a word, a triple click for the whole line, Shift+click, Ctrl+A,
// copying (exactly the text kept, line ends and NUL included), the X11
// primary selection, and the text to screen readers.
class LogView : public QAbstractScrollArea, private LogReader::View {
  Q_OBJECT

 public:
  explicit LogView(std::shared_ptr<LogModel> model, QWidget* parent = nullptr);
  ~LogView() override;
  LogView(const LogView&) = delete;
  LogView& operator=(const LogView&) = delete;

  LogReader& reader() { return *reader_; }
  const LogReader& reader() const { return *reader_; }
  const LogModel& model() const { return reader_->model(); }

  void copy() const;
  QString droppedNote() const;
  // Where an offset is drawn, in the viewport; empty when it is not in view.
  QRect offsetRect(std::uint64_t offset) const;
  // The offset drawn nearest to a point of the viewport.
  std::uint64_t offsetAt(QPoint point) const;
  // Catches up with the model now, rather than at the next frame.
  void catchUp() { reader_->catchUp(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
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
  struct Layout {
    LogModel::Segment segment;
    QTextLayout layout;
    int height = 0;
  };

  double heightOf(const LogModel::Segment& segment) override;
  double rowTopOf(const LogModel::Segment& segment, std::uint64_t offset) override;
  double rowTopFrom(const LogModel::Segment& segment, double y) override;
  std::pair<std::size_t, std::size_t> wordAt(const LogModel::Segment& segment,
                                             std::size_t unit) override;
  void readerChanged() override;
  void forgetLayouts() override { layouts_.clear(); }

  const Layout& layoutOf(const LogModel::Segment& segment) const;
  // Calls `visit(layout, y)` for each segment in view, top down; stops early
  // when it returns true.
  template <typename Visit>
  void forEachShown(Visit visit) const;
  void press(QMouseEvent* event, LogReader::Unit unit);
  void onScrollBarAction(int action);
  void showNote();
  void announceNewText();
  void offerPrimarySelection();

  const std::shared_ptr<QtMainQueue> queue_;
  std::unique_ptr<LogReader> reader_;
  mutable std::unordered_map<std::uint64_t, std::unique_ptr<Layout>> layouts_;
  bool dragging_ = false;
  QElapsedTimer sinceDoubleClick_;
  QPoint doubleClickAt_;
  QLabel* note_ = nullptr;
  QWidget* border_ = nullptr;
  std::uint64_t announcedEnd_ = 0;
  std::uint64_t selectionShown_[2] = {0, 0};
};

}  // namespace corvane::qt
