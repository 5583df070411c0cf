#pragma once

#include <QWidget>
#include <memory>

#include "corvane/app/log_search.h"

class QCheckBox;
class QLabel;
class QLineEdit;

namespace corvane::qt {

class LogView;

// Unicode's folding as the find ignores case, by ICU.
std::unique_ptr<TextFolding> MakeIcuFolding();

// The log's find bar, inside the log's frame above its text; the window keeps
// its size and controls. Ctrl+F opens it; Enter and F3 go to the next match,
// Shift with them to the previous one; Escape closes it and gives the keys
// back to the log. Its field shows how many matches there are and which one
// is current, and screen readers hear it. The rules are the view core's.
class FindBar : public QWidget {
 public:
  explicit FindBar(LogView* view);

  void open();
  void close();
  // What the core finds changed.
  void refresh();
  QLineEdit* field() const { return field_; }
  QLabel* count() const { return count_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void search();
  void step(bool forward);
  void place();

  LogView* view_;
  QLineEdit* field_;
  QLabel* count_;
  QCheckBox* matchCase_;
};

}  // namespace corvane::qt
