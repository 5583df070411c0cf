// Loaded into the real installer with LD_PRELOAD, this reads its window through
// Qt, in-process, and writes what a user would see to a JSON file whenever it
// changes: status text, log text (or its digest when large), button and spinner
// states. Tests drive the shipped executable unchanged and check the file.
//   LD_PRELOAD=libwindow_probe.so CORVANE_PROBE_OUT=state.json corvane-installer
#include <QAbstractButton>
#include <QApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QTimer>
#include <QWidget>
#include <memory>

namespace {

// Up to this size the whole log goes into every snapshot; a larger one is read
// (and hashed) only once it has stopped changing, so the probe never slows the
// window it watches.
constexpr int kFullLogLimit = 1 << 20;
constexpr int kQuietTicks = 6;

QWidget* InstallerWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->windowTitle() == QLatin1String("Corvane Installer")) return widget;
  }
  return nullptr;
}

// Cheap to read: everything but the log's text.
QJsonObject Controls(QWidget* window) {
  QJsonObject state;
  state["windowVisible"] = window->isVisible();
  if (auto* status = window->findChild<QLabel*>("statusLabel")) state["status"] = status->text();
  if (auto* open = window->findChild<QAbstractButton*>("openButton"))
    state["openEnabled"] = open->isEnabled();
  if (auto* quit = window->findChild<QAbstractButton*>("quitButton"))
    state["quitEnabled"] = quit->isEnabled();
  if (auto* spinner = window->findChild<QWidget*>("spinner"))
    state["spinning"] = spinner->isVisible();
  if (auto* log = window->findChild<QPlainTextEdit*>("logView")) {
    state["logCharacters"] = log->document()->characterCount();
  }
  return state;
}

void AddLog(QWidget* window, QJsonObject& state, bool full) {
  auto* log = window->findChild<QPlainTextEdit*>("logView");
  if (!log) return;
  const QString text = log->property("logText").toString();
  const QByteArray utf8 = text.toUtf8();
  state["logBytes"] = static_cast<qint64>(utf8.size());
  state["logSha256"] =
      QString::fromLatin1(QCryptographicHash::hash(utf8, QCryptographicHash::Sha256).toHex());
  state["logTail"] = QString::fromUtf8(utf8.right(4096));
  if (full) state["log"] = text;
}

struct Probe {
  QString out;
  QJsonObject lastControls;
  QByteArray lastWritten;
  int quietTicks = 0;

  void tick() {
    QWidget* window = InstallerWindow();
    if (!window) return;
    const QJsonObject controls = Controls(window);
    quietTicks = controls == lastControls ? quietTicks + 1 : 0;
    lastControls = controls;
    const bool small = controls["logCharacters"].toInt() <= kFullLogLimit;
    if (!small && quietTicks != kQuietTicks) {
      if (quietTicks == 0) write(controls);
      return;
    }
    QJsonObject state = controls;
    AddLog(window, state, small);
    write(state);
  }

  void write(const QJsonObject& state) {
    const QByteArray json = QJsonDocument(state).toJson(QJsonDocument::Compact);
    if (json == lastWritten) return;
    lastWritten = json;
    QSaveFile file(out);
    if (file.open(QIODevice::WriteOnly)) {
      file.write(json);
      file.commit();
    }
  }
};

void StartProbe() {
  // The probe is for the installer alone: the install script and what it
  // starts must see the environment they would see without it.
  qunsetenv("LD_PRELOAD");
  const QString out = qEnvironmentVariable("CORVANE_PROBE_OUT");
  qunsetenv("CORVANE_PROBE_OUT");
  if (out.isEmpty()) return;
  auto* timer = new QTimer(qApp);
  auto probe = std::make_shared<Probe>();
  probe->out = out;
  QObject::connect(timer, &QTimer::timeout, [probe] { probe->tick(); });
  timer->start(50);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(StartProbe)
