#pragma once

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QPoint>
#include <QTextLayout>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "corvane/app/log_model.h"

class QLabel;
class QMimeData;

namespace corvane::qt {

// The installer's log, drawn from the log model. Only the rows in view are
// laid out, each segment of the model with its own QTextLayout, wrapped at the
// view's width; so the cost of drawing does not grow with the output, and the
// script never waits for the window. The scroll bar is a byte position in the
// kept output. The view follows the end while the reader leaves it there.
//
// Read-only, and selectable as a text view is: a click and drag, a double
// click for a word, a triple click for the whole line, Ctrl+A, copying (which
// gives back exactly the text kept, line ends and NUL included), the X11
// primary selection, and the text to screen readers.
class LogView : public QAbstractScrollArea, public LogModel::Observer {
  Q_OBJECT

 public:
  explicit LogView(std::shared_ptr<LogModel> model, QWidget* parent = nullptr);
  ~LogView() override;
  LogView(const LogView&) = delete;
  LogView& operator=(const LogView&) = delete;

  const std::shared_ptr<LogModel>& model() const { return model_; }

  // The selection, in the model's offsets; empty when both are equal.
  std::uint64_t selectionStart() const;
  std::uint64_t selectionEnd() const;
  void select(std::uint64_t anchor, std::uint64_t cursor);
  void selectAll();
  void copy() const;
  QString droppedNote() const;

  // True when the last row is in view.
  bool showsEnd() const;
  // Where an offset is drawn, in the viewport; empty when it is not in view.
  QRect offsetRect(std::uint64_t offset) const;
  // The offset drawn nearest to a point of the viewport.
  std::uint64_t offsetAt(QPoint point) const;
  // Brings an offset into view, as a reader would scroll to it.
  void scrollToOffset(std::uint64_t offset);

  void logDidChange() override;
  // Catches up with the model now, rather than at the next frame.
  void catchUp();

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
    // The segment's stored bytes, for mapping offsets to the layout's
    // positions and back.
    std::string bytes;
    QTextLayout layout;
    int height = 0;
  };
  // The first row in view: a row of a segment's layout.
  struct Position {
    LogModel::Segment segment;
    int row = 0;
    bool operator<(const Position& other) const;
    bool operator==(const Position& other) const = default;
  };
  enum class Unit { kCharacter, kWord, kLine };

  const Layout& layoutOf(const LogModel::Segment& segment) const;
  int textWidth() const;
  int contentHeight() const;
  Position endPosition() const;
  Position positionOf(std::uint64_t offset) const;
  void setTop(Position top, bool byReader);
  void scrollRows(int rows);
  void refresh();
  void catchUpWithModel();
  void paintRows();
  template <typename Work>
  void whileMemoryLasts(Work work);
  void syncScrollBar(const Position& end);
  void onScrollBarAction(int action);
  void showNote();
  std::pair<std::uint64_t, std::uint64_t> unitAround(std::uint64_t offset, Unit unit) const;
  void extendSelection(std::uint64_t offset);
  QMimeData* mimeForSelection(bool snapshot) const;
  void announceNewText();

  const std::shared_ptr<LogModel> model_;
  mutable std::unordered_map<std::uint64_t, std::unique_ptr<Layout>> layouts_;
  Position top_;
  std::uint64_t anchor_ = 0;
  std::uint64_t cursor_ = 0;
  // What a double or triple click chose, which a drag then extends by.
  Unit unit_ = Unit::kCharacter;
  std::pair<std::uint64_t, std::uint64_t> unitBase_;
  bool dragging_ = false;
  QElapsedTimer sinceDoubleClick_;
  QPoint doubleClickAt_;
  int wheelRemainder_ = 0;
  QTimer refreshTimer_;
  QElapsedTimer sinceRefresh_;
  // The last segment drawn, and whether the text outran it at the last frame.
  LogModel::Segment lastSegmentShown_;
  bool flooding_ = false;
  QLabel* note_ = nullptr;
  QWidget* border_ = nullptr;
  std::uint64_t announcedEnd_ = 0;
};

}  // namespace corvane::qt
