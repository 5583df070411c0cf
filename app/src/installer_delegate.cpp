#include "corvane/app/installer_delegate.h"

#include <utility>

#include "corvane/engine/install_plan.h"
#include "corvane/engine/output_decoder.h"

namespace corvane {

InstallerDelegate::InstallerDelegate(std::shared_ptr<PlatformServices> platform)
    : platform_(std::move(platform)) {}

void InstallerDelegate::applicationDidFinishLaunching() {
  buildWindow();
  appendLog(texts::kWelcome);
  // The delayed start keeps the controller alive until it has run.
  platform_->mainQueue()->postAfter(kStartDelay,
                                    [self = shared_from_this()] { self->startInstall(); });
}

bool InstallerDelegate::applicationShouldTerminate(bool sessionEnding) {
  const bool scriptRuns = task_ && task_->processIdentifier() != 0;
  if (!sessionEnding || !scriptRuns) return true;
  setStatus(texts::kSessionEndRefused);
  return false;
}

void InstallerDelegate::applicationWillTerminate() {
  if (!launched_) return;
  // Out of sight before the hand-off, which may hold the program for as long
  // as the run, should no keeper be left to take it.
  if (launched_->isOutputOpen()) platform_->withdrawWindow();
  launched_->handOff();
}

namespace {

// What the user is told when a run cannot start.
std::string LaunchFailureReason(const LaunchError& error) {
  std::string reason =
      DecodeLeniently(*error.what() != '\0' ? error.what() : texts::kUnknownReason);
  std::string_view why;
  switch (error.cause()) {
    case LaunchError::Cause::kKeeperMissing:
      why = texts::kKeeperMissing;
      break;
    case LaunchError::Cause::kKeeperBroken:
      why = texts::kKeeperBroken;
      break;
    case LaunchError::Cause::kKeeperEnded:
      why = texts::kKeeperEnded;
      break;
    case LaunchError::Cause::kDescriptorLimit:
      why = texts::kDescriptorLimit;
      break;
    case LaunchError::Cause::kProcessLimit:
      why = texts::kProcessLimit;
      break;
    case LaunchError::Cause::kOther:
      return reason;
  }
  return std::string(why) + " (" + reason + ")";
}

}  // namespace

void InstallerDelegate::buildWindow() {
  const std::weak_ptr<InstallerDelegate> weakSelf = weak_from_this();
  auto act = [weakSelf](void (InstallerDelegate::*action)()) {
    return [weakSelf, action] {
      if (auto self = weakSelf.lock()) (self.get()->*action)();
    };
  };
  window_ = platform_->buildWindow(
      {act(&InstallerDelegate::openInstalledApp), act(&InstallerDelegate::quit)}, log_);
}

void InstallerDelegate::startInstall() {
  const std::string payloadPath = PayloadPath(platform_->resourceDirectory());
  if (!IsPayloadUsable(payloadPath)) {
    failWithMessage(std::string(texts::kPayloadMissing));
    return;
  }
  // Installing under "/" for want of a home would be worse than stopping.
  const std::string home = platform_->homeDirectory();
  if (home.empty()) {
    failWithMessage(std::string(texts::kHomeMissing));
    return;
  }
  auto lock = std::make_unique<FolderLock>(home);
  if (lock->state() == FolderLock::State::kBusy) {
    if (!std::exchange(waitingShown_, true)) {
      setStatus(texts::kWaitingForOther);
      appendLog(std::string(texts::kWaitingForOther) + "\n");
    }
    platform_->mainQueue()->postAfter(kLockRetry,
                                      [self = shared_from_this()] { self->startInstall(); });
    return;
  }
  homeLock_ = std::move(lock);
  const std::string installRoot = InstallRootPath(home);
  installedAppPath_ = AppBundlePath(home);
  setStatus(texts::kInstalling);
  // Paths are bytes; bytes of one that are not UTF-8 are shown as Mac OS
  // Roman, like the script's output, never dropped.
  appendLog(std::string(texts::kInstallRootPrefix) + DecodeLeniently(installRoot) + "\n");
  // Turned over under the lock, so two runs never write one file.
  std::string whyNoFile;
  logFile_ = LogFile::Open(LogFolderPath(home), whyNoFile);
  if (!logFile_) logFileDidFail(whyNoFile);

  task_ = std::make_shared<InstallProcess>(
      ComposeInstallScript(payloadPath, installRoot, installedAppPath_), platform_->shellPath());
  try {
    task_->launch(platform_->mainQueue(), weak_from_this(), logFile_,
                  {platform_->keeperPath(), homeLock_->descriptor()});
    launched_ = task_;
    platform_->setRunInProgress(true);
  } catch (const LaunchError& error) {
    homeLock_.reset();
    failWithMessage(std::string(texts::kLaunchFailedPrefix) + LaunchFailureReason(error));
  }
}

void InstallerDelegate::installDidFinishWithStatus(std::int32_t status) {
  task_.reset();
  homeLock_.reset();
  platform_->setRunInProgress(false);
  if (window_.spinner) window_.spinner->stopAnimation();
  if (status == 0) {
    setStatus(texts::kSucceededStatus);
    if (window_.openButton) window_.openButton->setEnabled(true);
    appendLog(texts::kSucceededLog);
    openInstalledApp();
  } else {
    setStatus(texts::kFailedStatus);
    appendLog(std::string(texts::kFailedLogPrefix) + std::to_string(status) + "\n");
    if (logFile_ && !logFile_->failed()) {
      appendLog(std::string(texts::kLogFilePrefix) + DecodeLeniently(logFile_->path()) + "\n");
    }
  }
}

void InstallerDelegate::logFileDidFail(const std::string& reason) {
  // On a line of its own, whatever the output left unfinished.
  appendLog(std::string(log_->endsLine() ? "" : "\n") + std::string(texts::kLogFileFailedPrefix) +
            DecodeLeniently(reason) + "\n");
}

void InstallerDelegate::failWithMessage(const std::string& message) {
  if (window_.spinner) window_.spinner->stopAnimation();
  setStatus(message);
  appendLog(message + "\n");
}

void InstallerDelegate::appendLog(std::optional<std::string_view> text) {
  if (text) log_->append(*text);
}

void InstallerDelegate::openInstalledApp() {
  if (installedAppPath_.empty()) return;
  if (!platform_->openApplication(installedAppPath_)) appendLog(texts::kOpenRefused);
}

void InstallerDelegate::quit() { platform_->terminate(); }

void InstallerDelegate::setStatus(std::string_view text) {
  if (window_.statusLabel) window_.statusLabel->setText(std::string(text));
}

}  // namespace corvane
