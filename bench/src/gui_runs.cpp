// The installer's real window, controller and engine, driven in this process
// so that the event loop can be watched from inside.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPaintEvent>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "bench_support.h"
#include "corvane/app/installer_delegate.h"
#include "corvane/engine/install_plan.h"
#include "corvane/qt/find_bar.h"
#include "corvane/qt/installer_window.h"
#include "corvane/qt/log_view.h"
#include "corvane/qt/qt_platform_services.h"
#include "gui_runs.h"

namespace bench {
namespace {

using corvane::qt::LogView;

// The Linux platform services, with the bundle and the home of a workload, and
// an open request that is accepted without starting anything.
class BenchPlatform : public corvane::qt::QtPlatformServices {
 public:
  BenchPlatform(std::string resources, std::string home)
      : resources_(std::move(resources)), home_(std::move(home)) {}

  std::string resourceDirectory() override {
    // The first thing the delayed start does: the install run begins here.
    if (startNs_ == 0) {
      startNs_ = NowNs();
      startCpu_ = CpuSeconds();
    }
    return resources_;
  }
  std::string homeDirectory() override { return home_; }
  bool openApplication(const std::string& /*bundlePath*/) override { return true; }
  // A run does not start without its keeper, which is not beside the harness.
  std::string keeperPath() override { return CORVANE_KEEPER; }

  std::int64_t startNs() const { return startNs_; }
  double startCpu() const { return startCpu_; }

 private:
  std::string resources_;
  std::string home_;
  std::int64_t startNs_ = 0;
  double startCpu_ = 0;
};

// The controller, counting what reaches the log.
class BenchDelegate : public corvane::InstallerDelegate {
 public:
  using InstallerDelegate::InstallerDelegate;

  void appendLog(std::optional<std::string_view> text) override {
    if (text) appendedBytes_ += text->size();
    const std::int64_t start = NowNs();
    InstallerDelegate::appendLog(text);
    longestAppendMs_ = std::max(longestAppendMs_, MsBetween(start, NowNs()));
  }
  void installDidFinishWithStatus(std::int32_t status) override {
    InstallerDelegate::installDidFinishWithStatus(status);
    status_ = status;
  }

  std::size_t appendedBytes() const { return appendedBytes_; }
  double longestAppendMs() const { return longestAppendMs_; }
  std::optional<std::int32_t> status() const { return status_; }

 private:
  std::size_t appendedBytes_ = 0;
  double longestAppendMs_ = 0;
  std::optional<std::int32_t> status_;
};

QWidget* WindowOf(const corvane::InstallerDelegate& delegate) {
  const auto* window = dynamic_cast<const corvane::qt::QtWindow*>(delegate.window().window.get());
  return window != nullptr ? window->widget() : nullptr;
}

LogView* LogViewOf(QWidget* window) {
  return window != nullptr ? window->findChild<LogView*>(corvane::qt::names::kLogView) : nullptr;
}

bool AtBottom(LogView& view) { return view.core().reader().showsEnd(); }

// A 10 ms timer that records how late each of its ticks comes: how long the
// event loop was kept from running it.
class LatenessProbe {
 public:
  LatenessProbe() {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const std::int64_t now = NowNs();
      if (lastNs_ != 0) lateMs_.push_back(std::max(0.0, MsBetween(lastNs_, now) - 10.0));
      lastNs_ = now;
    });
  }
  void start() { timer_.start(); }
  void stop() {
    timer_.stop();
    // The stretch since the last tick counts too.
    if (lastNs_ != 0) lateMs_.push_back(std::max(0.0, MsBetween(lastNs_, NowNs()) - 10.0));
  }
  double longestMs() const {
    return lateMs_.empty() ? 0 : *std::max_element(lateMs_.begin(), lateMs_.end());
  }
  double p99Ms() const { return Percentile(lateMs_, 99); }

 private:
  QTimer timer_;
  std::int64_t lastNs_ = 0;
  std::vector<double> lateMs_;
};

// Calls `done` at the first paint of the view that shows the end of its text
// once `ready` holds. Paints are the proof that the window caught up.
class IdleAtBottomWatcher : public QObject {
 public:
  IdleAtBottomWatcher(LogView* view, std::function<bool()> ready, std::function<void()> done)
      : view_(view), ready_(std::move(ready)), done_(std::move(done)) {
    view_->viewport()->installEventFilter(this);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (!fired_ && watched == view_->viewport() && event->type() == QEvent::Paint && ready_() &&
        AtBottom(*view_)) {
      fired_ = true;
      // Let this paint finish, then report.
      QTimer::singleShot(0, view_, [this] { done_(); });
    }
    return false;
  }

 private:
  LogView* view_;
  std::function<bool()> ready_;
  std::function<void()> done_;
  bool fired_ = false;
};

std::string ExpectedLog(const std::string& installRoot, const std::string& output) {
  namespace texts = corvane::texts;
  return std::string(texts::kWelcome) + std::string(texts::kInstallRootPrefix) + installRoot +
         "\n" + output + std::string(texts::kSucceededLog);
}

// Compares the log with what it must hold; says where they part on stderr.
bool SameText(const std::string& actual, const std::string& expected, const char* what) {
  if (actual == expected) return true;
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  std::fprintf(stderr, "%s: log text differs at byte %zu (log %zu, expected %zu bytes)\n", what, at,
               actual.size(), expected.size());
  const std::size_t from = at > 40 ? at - 40 : 0;
  std::fprintf(stderr, "  log:      ...%s\n  expected: ...%s\n", actual.substr(from, 80).c_str(),
               expected.substr(from, 80).c_str());
  return false;
}

struct ScrollResult {
  double longestMs = 0;
  double totalMs = 0;
  bool reachedStart = true;
};

// Drags the scroll bar from the end of the kept output to its start in a
// hundred moves, as a reader would, each drawn before the next.
ScrollResult ScrollToTheStart(LogView& view) {
  constexpr int kSteps = 100;
  ScrollResult result;
  QScrollBar* bar = view.verticalScrollBar();
  const int top = bar->maximum();
  for (int step = 1; step <= kSteps; ++step) {
    const std::int64_t start = NowNs();
    bar->setSliderPosition(
        static_cast<int>(static_cast<std::int64_t>(top) * (kSteps - step) / kSteps));
    bar->triggerAction(QAbstractSlider::SliderMove);
    view.viewport()->repaint();
    const double ms = MsBetween(start, NowNs());
    result.longestMs = std::max(result.longestMs, ms);
    result.totalMs += ms;
  }
  const corvane::LogStore& store = view.core().store();
  result.reachedStart =
      store.lineAt(view.core().caretAt({6, view.core().textTop() + 2})) == store.firstLine();
  return result;
}

}  // namespace

int RunHeavyWorkload(const std::string& workdir, const std::string& name) {
  const WorkloadPaths paths = PathsFor(workdir, name);
  const std::uintmax_t outputBytes = ExpectedOutputSize(workdir, name);
  const std::string installRoot = corvane::InstallRootPath(paths.home);
  const std::size_t expectedBytes =
      ExpectedLog(installRoot, "").size() + static_cast<std::size_t>(outputBytes);

  int argc = 1;
  char arg0[] = "corvane-bench";
  char* argv[] = {arg0, nullptr};
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);

  auto platform = std::make_shared<BenchPlatform>(paths.resources, paths.home);
  auto delegate = std::make_shared<BenchDelegate>(platform);
  LatenessProbe probe;
  delegate->applicationDidFinishLaunching();
  LogView* view = LogViewOf(WindowOf(*delegate));
  if (view == nullptr) {
    std::fprintf(stderr, "no log view\n");
    return 2;
  }
  // A word on every line, typed before the output comes.
  const bool finds = name == "find";
  if (finds) {
    view->findBar().open();
    view->findBar().field()->setText(QStringLiteral("FOX"));
  }

  std::int64_t endNs = 0;
  double endCpu = 0;
  IdleAtBottomWatcher watcher(
      view,
      [&] { return delegate->status().has_value() && delegate->appendedBytes() >= expectedBytes; },
      [&] {
        endNs = NowNs();
        endCpu = CpuSeconds();
        QApplication::quit();
      });
  // The probe runs from the start of the install run.
  QTimer starter;
  starter.setInterval(1);
  QObject::connect(&starter, &QTimer::timeout, [&] {
    if (platform->startNs() != 0) {
      probe.start();
      starter.stop();
    }
  });
  starter.start();
  // A run that never settles is a failure, not a hang.
  QTimer::singleShot(180'000, [] { QApplication::exit(3); });

  if (QApplication::exec() != 0) {
    std::fprintf(stderr, "%s: did not finish (status %s, %zu of %zu bytes in the log)\n",
                 name.c_str(),
                 delegate->status() ? std::to_string(*delegate->status()).c_str() : "none",
                 delegate->appendedBytes(), expectedBytes);
    return 1;
  }
  // The search goes on into the last of the output, still watched.
  QTimer searched;
  searched.setInterval(5);
  QObject::connect(&searched, &QTimer::timeout, [&] {
    if (view->core().findStatus().complete) QApplication::quit();
  });
  if (finds) {
    searched.start();
    if (QApplication::exec() != 0) return 1;
  }
  probe.stop();
  const double peakRss = PeakRssMb();

  const bool atBottom = AtBottom(*view);
  const corvane::LogStore& store = view->core().store();
  const std::string shown = store.text();
  bool textOk = false;
  if (store.droppedCharacters() == 0) {
    textOk =
        SameText(shown, ExpectedLog(installRoot, ExpectedOutputTail(workdir, name, outputBytes)),
                 name.c_str());
  } else {
    // What is kept is exactly the end of the output (ASCII here, so a byte a
    // character), and with what was dropped it makes the whole.
    const std::string success(corvane::texts::kSucceededLog);
    const auto keptOutput = static_cast<std::uintmax_t>(shown.size() - success.size());
    const std::string whole = ExpectedLog(installRoot, "");
    // The controller's lines hold Japanese: characters, not bytes.
    const auto characters = [](const std::string& text) {
      return static_cast<std::uint64_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
      }));
    };
    textOk =
        SameText(shown, ExpectedOutputTail(workdir, name, keptOutput) + success, name.c_str()) &&
        store.droppedCharacters() + characters(shown) == characters(whole) + outputBytes;
  }
  std::uint64_t foxes = 0;
  for (std::size_t at = shown.find("fox"); at != std::string::npos;
       at = shown.find("fox", at + 1)) {
    ++foxes;
  }
  const bool foundOk = !finds || view->core().findStatus().count == foxes;
  // After the figures above: the scroll moves the view away from the end.
  const ScrollResult scroll = name == "scroll" ? ScrollToTheStart(*view) : ScrollResult{};
  std::printf(
      "total_ms=%.1f\nblock_max_ms=%.2f\nblock_p99_ms=%.2f\npeak_rss_mb=%.1f\n"
      "output_mb=%.3f\ntext_ok=%d\nat_bottom=%d\nstatus=%d\nappend_max_ms=%.2f\nkept_mb=%.3f\n"
      "cpu_s=%.3f\nscroll_max_ms=%.2f\nscroll_total_ms=%.1f\nfind_ok=%d\n",
      MsBetween(platform->startNs(), endNs), probe.longestMs(), probe.p99Ms(), peakRss,
      static_cast<double>(outputBytes) / 1e6, textOk ? 1 : 0, atBottom ? 1 : 0,
      delegate->status().value_or(-1), delegate->longestAppendMs(),
      static_cast<double>(shown.size()) / 1e6, endCpu - platform->startCpu(), scroll.longestMs,
      scroll.totalMs, foundOk ? 1 : 0);
  platform->shutdown();
  return textOk && atBottom && scroll.reachedStart && foundOk ? 0 : 1;
}

namespace {

// Calls `done` once the window's first paint has finished.
class FirstPaintWatcher : public QObject {
 public:
  explicit FirstPaintWatcher(std::function<void()> done) : done_(std::move(done)) {
    QApplication::instance()->installEventFilter(this);
  }
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (!seen_ && event->type() == QEvent::Paint && watched->isWidgetType()) {
      seen_ = true;
      QApplication::instance()->removeEventFilter(this);
      // The rest of the window paints in this same pass; report after it.
      QTimer::singleShot(0, [this] { done_(); });
    }
    return false;
  }

 private:
  std::function<void()> done_;
  bool seen_ = false;
};

constexpr int kIdleAfterPaintMs = 1500;

}  // namespace

int RunStartup(const std::string& workdir, std::int64_t spawnNs) {
  // The real entry, with the demo payload in a scratch bundle and home.
  int argc = 1;
  char arg0[] = "corvane-installer";
  char* argv[] = {arg0, nullptr};
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(
      corvane::InstallerDelegate::applicationShouldTerminateAfterLastWindowClosed());
  const WorkloadPaths paths = PathsFor(workdir, "startup");
  auto platform = std::make_shared<BenchPlatform>(paths.resources, paths.home);
  auto delegate = std::make_shared<BenchDelegate>(platform);

  double firstPaintMs = 0;
  bool welcomeShown = false;
  double idleRss = 0;
  FirstPaintWatcher watcher([&] {
    firstPaintMs = MsBetween(spawnNs, NowNs());
    LogView* view = LogViewOf(WindowOf(*delegate));
    welcomeShown = view != nullptr && view->core().store().text() == corvane::texts::kWelcome;
    QTimer::singleShot(kIdleAfterPaintMs, [&] {
      idleRss = CurrentRssMb();
      QApplication::quit();
    });
  });
  delegate->applicationDidFinishLaunching();
  QApplication::exec();
  std::printf("first_paint_ms=%.1f\nwelcome_ok=%d\nidle_rss_mb=%.1f\nstatus=%d\n", firstPaintMs,
              welcomeShown ? 1 : 0, idleRss, delegate->status().value_or(-1));
  platform->shutdown();
  return 0;
}

int RunMinimalWindow(std::int64_t spawnNs, MinimalLabel label) {
  int argc = 1;
  char arg0[] = "minimal";
  char* argv[] = {arg0, nullptr};
  QApplication application(argc, argv);
  double firstPaintMs = 0;
  double idleRss = 0;
  FirstPaintWatcher watcher([&] {
    firstPaintMs = MsBetween(spawnNs, NowNs());
    QTimer::singleShot(kIdleAfterPaintMs, [&] {
      idleRss = CurrentRssMb();
      QApplication::quit();
    });
  });
  QWidget window;
  window.setFixedSize(620, 420);
  // Any text needs fontconfig's font list and a FreeType face; Japanese adds a
  // CJK face found through fontconfig's fallback.
  if (label != MinimalLabel::kNone) {
    auto* text = new QLabel(label == MinimalLabel::kEnglish
                                ? QStringLiteral("Installing Corvane")
                                : QStringLiteral("Corvane をインストールしています"),
                            &window);
    text->setGeometry(28, 30, 560, 28);
  }
  window.show();
  QApplication::exec();
  std::printf("first_paint_ms=%.1f\nidle_rss_mb=%.1f\n", firstPaintMs, idleRss);
  return 0;
}

namespace {

// Counts a widget's paints and the pixels they cover.
class PaintCounter : public QObject {
 public:
  explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
  bool eventFilter(QObject* /*watched*/, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      ++paints;
      for (const QRect& rect : static_cast<QPaintEvent*>(event)->region()) {
        pixels +=
            static_cast<std::uint64_t>(rect.width()) * static_cast<std::uint64_t>(rect.height());
      }
    }
    return false;
  }
  std::uint64_t paints = 0;
  std::uint64_t pixels = 0;
};

}  // namespace

int RunSlow(const std::string& workdir) {
  const WorkloadPaths paths = PathsFor(workdir, "slow");
  const std::uintmax_t outputBytes = ExpectedOutputSize(workdir, "slow");
  const std::string installRoot = corvane::InstallRootPath(paths.home);
  const std::size_t expectedBytes =
      ExpectedLog(installRoot, "").size() + static_cast<std::size_t>(outputBytes);
  std::filesystem::remove(SlowDoneMarker(workdir));

  int argc = 1;
  char arg0[] = "corvane-bench";
  char* argv[] = {arg0, nullptr};
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  auto platform = std::make_shared<BenchPlatform>(paths.resources, paths.home);
  auto delegate = std::make_shared<BenchDelegate>(platform);
  delegate->applicationDidFinishLaunching();
  QWidget* window = WindowOf(*delegate);
  LogView* view = LogViewOf(window);
  if (view == nullptr) return 2;
  PaintCounter logPaints(view->viewport());
  PaintCounter windowPaints(window);

  // A run that never settles is a failure, not a hang.
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, [] { QApplication::exit(3); });
  limit.start(180'000);
  // Its standard input ends: the driver has watched the quiet window.
  QSocketNotifier driver(STDIN_FILENO, QSocketNotifier::Read);
  driver.setEnabled(false);
  QObject::connect(&driver, &QSocketNotifier::activated, [] { QApplication::quit(); });
  std::uint64_t paintsAtOutcome = 0;
  IdleAtBottomWatcher watcher(
      view,
      [&] { return delegate->status().has_value() && delegate->appendedBytes() >= expectedBytes; },
      [&] {
        limit.stop();
        const double seconds = MsBetween(platform->startNs(), NowNs()) / 1000;
        const double cpu = CpuSeconds() - platform->startCpu();
        const corvane::LogStore& store = view->core().store();
        const bool textOk = SameText(
            store.text(),
            ExpectedLog(installRoot, ExpectedOutputTail(workdir, "slow", outputBytes)), "slow");
        const double lines = static_cast<double>(store.endLine() - store.firstLine());
        std::printf(
            "streaming_s=%.2f\ncpu_s=%.3f\ncpu_percent=%.2f\ntext_ok=%d\nat_bottom=%d\n"
            "log_paints=%llu\nlog_rows_a_line=%.2f\nwindow_paints=%llu\noutcome\n",
            seconds, cpu, 100 * cpu / seconds, textOk ? 1 : 0, AtBottom(*view) ? 1 : 0,
            static_cast<unsigned long long>(logPaints.paints),
            static_cast<double>(logPaints.pixels) / view->viewport()->width() /
                QFontMetrics(view->font()).lineSpacing() / lines,
            static_cast<unsigned long long>(windowPaints.paints));
        std::fflush(stdout);
        paintsAtOutcome = logPaints.paints + windowPaints.paints;
        driver.setEnabled(true);
      });
  const int status = QApplication::exec();
  std::printf(
      "paints_after=%llu\nstatus=%d\n",
      static_cast<unsigned long long>(logPaints.paints + windowPaints.paints - paintsAtOutcome),
      delegate->status().value_or(-1));
  platform->shutdown();
  return status;
}

int RunIdle(const std::string& workdir) {
  int argc = 1;
  char arg0[] = "corvane-bench";
  char* argv[] = {arg0, nullptr};
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  const WorkloadPaths paths = PathsFor(workdir, "idle");
  auto platform = std::make_shared<BenchPlatform>(paths.resources, paths.home);
  auto delegate = std::make_shared<BenchDelegate>(platform);
  delegate->applicationDidFinishLaunching();

  // From one second into the silent script until a second before it ends: the
  // spinner turns and nothing else happens.
  double cpuStart = 0;
  std::int64_t wallStart = 0;
  double cpuPercent = 0;
  QTimer::singleShot(1400, [&] {
    cpuStart = CpuSeconds();
    wallStart = NowNs();
  });
  QTimer::singleShot(9400, [&] {
    const double wall = MsBetween(wallStart, NowNs()) / 1000.0;
    cpuPercent = 100.0 * (CpuSeconds() - cpuStart) / wall;
    QApplication::quit();
  });
  QApplication::exec();
  std::printf("cpu_percent=%.2f\nstatus=%d\n", cpuPercent, delegate->status().value_or(-1));
  platform->shutdown();
  return 0;
}

}  // namespace bench
