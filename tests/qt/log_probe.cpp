// The installer's window over a log the probe fills itself, for the tests
// that drive it from outside with real pointer and key events
// (tests/e2e/log_view_driven.py). Usage: corvane-log-probe REPORT [LINES
// [BUDGET]]. It writes REPORT once the view shows the end of LINES numbered
// lines, and again on each press of Pause, the driver's sync key.
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QTimer>
#include <string>

#include "corvane/qt/find_bar.h"
#include "corvane/qt/installer_window.h"
#include "corvane/qt/log_view.h"
#include "corvane/qt/qt_platform_services.h"
#include "log_probe.h"

namespace {

using corvane::ViewRect;

ViewRect ToScreen(const QWidget* widget, const QRect& rect) {
  const QPoint at = widget->mapToGlobal(rect.topLeft());
  return {double(at.x()), double(at.y()), double(rect.width()), double(rect.height())};
}

class Probe : public QObject {
 public:
  Probe(std::string path, corvane::qt::LogView* view) : path_(std::move(path)), view_(view) {}

  void report() {
    QScrollBar* bar = view_->verticalScrollBar();
    QStyleOptionSlider option;
    option.initFrom(bar);
    option.orientation = Qt::Vertical;
    option.minimum = bar->minimum();
    option.maximum = bar->maximum();
    option.sliderPosition = option.sliderValue = bar->value();
    option.pageStep = bar->pageStep();
    QStyle* style = bar->style();
    const double span = bar->maximum() - bar->minimum() + bar->pageStep();
    corvane::testing::ProbeScroller scroller{
        bar->isVisible(),
        bar->isEnabled(),
        bar->maximum() > 0 ? double(bar->value()) / bar->maximum() : 0,
        span > 0 ? bar->pageStep() / span : 1,
        ToScreen(bar, style->subControlRect(QStyle::CC_ScrollBar, &option,
                                            QStyle::SC_ScrollBarSlider, bar)),
        ToScreen(bar, style->subControlRect(QStyle::CC_ScrollBar, &option,
                                            QStyle::SC_ScrollBarGroove, bar))};
    QWidget* viewport = view_->viewport();
    std::vector<corvane::testing::ProbeView::MenuItem> menu;
    if (auto* open = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
      for (QAction* action : open->actions()) {
        menu.push_back({action->text().toStdString(), action->isEnabled(),
                        ToScreen(open, open->actionGeometry(action)),
                        action == open->activeAction()});
      }
    }
    corvane::qt::FindBar& findBar = view_->findBar();
    auto* matchCase = findBar.findChild<QCheckBox*>();
    corvane::testing::WriteProbeReport(
        path_, {view_->core(),
                [viewport](const ViewRect& rect) {
                  const QPointF at = viewport->mapToGlobal(QPointF(rect.x, rect.y));
                  return ViewRect{at.x(), at.y(), rect.width, rect.height};
                },
                {0, 0, double(viewport->width()), double(viewport->height())},
                scroller,
                std::nullopt,
                menu,
                {findBar.isVisible(),
                 findBar.field()->hasFocus(),
                 view_->hasFocus(),
                 findBar.field()->text().toStdString(),
                 findBar.count()->text().toStdString(),
                 ToScreen(matchCase, matchCase->rect()),
                 {}}});
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    // Each press, also one Qt takes for a repeat: the driver's presses
    // come quickly.
    if (event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Pause) {
      report();
      return true;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  std::string path_;
  corvane::qt::LogView* view_;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc < 2) return 64;
  corvane::qt::LoadJapaneseTranslations();
  const int lines = argc > 2 ? std::stoi(argv[2]) : 200'000;
  const std::size_t budget = argc > 3 ? std::stoul(argv[3]) : corvane::LogStore::kDefaultBudget;
  auto model = std::make_shared<corvane::LogModel>(budget);
  const corvane::InstallerWindow window =
      corvane::qt::BuildInstallerWindow({[] {}, [] { QApplication::quit(); }}, model);
  model->append(corvane::testing::ProbeText(lines));
  auto* view = static_cast<corvane::qt::QtWindow*>(window.window.get())
                   ->widget()
                   ->findChild<corvane::qt::LogView*>(corvane::qt::names::kLogView);
  Probe probe(argv[1], view);
  application.installEventFilter(&probe);
  // The first report once the window shows the end, with its scroll bar set
  // to it; one that never is gets reported as it is a second later.
  QTimer ready;
  QElapsedTimer endShown;
  QObject::connect(&ready, &QTimer::timeout, [&] {
    if (!view->isVisible() || !view->core().reader().showsEnd()) return;
    if (!endShown.isValid()) endShown.start();
    if (view->verticalScrollBar()->isVisible() != view->core().scroller().on &&
        !endShown.hasExpired(1000)) {
      return;
    }
    ready.stop();
    probe.report();
  });
  ready.start(20);
  return QApplication::exec();
}
