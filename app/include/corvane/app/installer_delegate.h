#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/app/log_model.h"
#include "corvane/app/platform_services.h"
#include "corvane/engine/folder_lock.h"
#include "corvane/engine/install_process.h"
#include "corvane/engine/install_receiver.h"
#include "corvane/engine/log_file.h"

namespace corvane {

namespace texts {
inline constexpr std::string_view kWelcome = "Corvane のセットアップを開始します。\n";
inline constexpr std::string_view kPayloadMissing =
    "インストール用ファイルが見つかりませんでした。";
inline constexpr std::string_view kHomeMissing = "ホームフォルダが見つかりませんでした。";
inline constexpr std::string_view kWaitingForOther = "別のインストーラーの完了を待っています...";
inline constexpr std::string_view kInstalling =
    "必要ファイルを配置し、依存関係をインストールしています...";
inline constexpr std::string_view kInstallRootPrefix = "インストール先: ";
inline constexpr std::string_view kLaunchFailedPrefix = "インストーラーを起動できませんでした: ";
inline constexpr std::string_view kSucceededStatus = "セットアップが完了しました。";
inline constexpr std::string_view kSucceededLog =
    "\nセットアップが完了しました。Corvane.app を開きます。\n";
inline constexpr std::string_view kFailedStatus =
    "セットアップに失敗しました。ログを確認してください。";
inline constexpr std::string_view kFailedLogPrefix = "\nセットアップに失敗しました。終了コード: ";
inline constexpr std::string_view kOpenRefused =
    "Corvane.app を自動で開けませんでした。~/Applications から開いてください。\n";
// Why a run could not start, in words that say what to do about it; the
// system's own reason follows in parentheses.
inline constexpr std::string_view kKeeperMissing =
    "インストーラーの一部 (corvane-keeper) が見つかりません。アプリが壊れています。"
    "ダウンロードし直してください";
inline constexpr std::string_view kKeeperBroken =
    "インストーラーの一部 (corvane-keeper) を実行できません。アプリが壊れています。"
    "ダウンロードし直してください";
inline constexpr std::string_view kKeeperEnded =
    "インストーラーの一部 (corvane-keeper) がすぐに終了しました。アプリが壊れています。"
    "ダウンロードし直してください";
inline constexpr std::string_view kDescriptorLimit =
    "開けるファイルの数が上限 (ulimit -n) に達しています。上限を上げてから開き直してください";
inline constexpr std::string_view kProcessLimit =
    "プロセスの数が上限 (ulimit -u) に達しています。ほかのプログラムを終えるか上限を上げてから"
    "開き直してください";
// Stands in for a launch failure that came without a reason.
inline constexpr std::string_view kUnknownReason = "不明なエラー";
inline constexpr std::string_view kLogFileFailedPrefix = "ログファイルに書き込めませんでした: ";
// After a failure: where the whole output is kept.
inline constexpr std::string_view kLogFilePrefix = "ログファイル: ";
// A logout, restart or shutdown asked for while the script runs.
inline constexpr std::string_view kSessionEndRefused =
    "セットアップ中のため、ログアウト・再起動・システム終了を中止しました。";
}  // namespace texts

inline constexpr std::chrono::milliseconds kStartDelay{400};
// How often a second installer for the same home looks whether the first is done.
inline constexpr std::chrono::milliseconds kLockRetry{250};

// The application's controller: drives the one install run of a launch from
// start-up to its outcome and keeps the status label and the log. Main thread
// only; the entry holds it in a shared_ptr for the life of the event loop.
class InstallerDelegate : public InstallReceiver,
                          public std::enable_shared_from_this<InstallerDelegate> {
 public:
  explicit InstallerDelegate(std::shared_ptr<PlatformServices> platform);
  ~InstallerDelegate() override = default;

  InstallerDelegate(const InstallerDelegate&) = delete;
  InstallerDelegate& operator=(const InstallerDelegate&) = delete;

  void applicationDidFinishLaunching();
  // Whether the application may end now. A logout, restart or shutdown
  // (`sessionEnding`) would cut the script short: refused while it runs, and
  // the status says why. Anything else hands the script on.
  bool applicationShouldTerminate(bool sessionEnding);
  // The script goes on without us: its output, and its turn, go to the
  // keeper. With none to take them, the program stays, its window gone, and
  // this returns once the script and its output have ended.
  void applicationWillTerminate();
  static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }

  void buildWindow();
  void startInstall();
  void installDidFinishWithStatus(std::int32_t status) override;
  void logFileDidFail(const std::string& reason) override;
  void failWithMessage(const std::string& message);
  void appendLog(std::optional<std::string_view> text) override;
  void openInstalledApp();
  void quit();

  // The controller's properties; empty until filled.
  const InstallerWindow& window() const { return window_; }
  // The log's text, which the window's log view draws.
  const std::shared_ptr<LogModel>& log() const { return log_; }
  const std::shared_ptr<InstallProcess>& task() const { return task_; }
  const std::string& installedAppPath() const { return installedAppPath_; }

 private:
  void setStatus(std::string_view text);

  const std::shared_ptr<PlatformServices> platform_;
  const std::shared_ptr<LogModel> log_ = std::make_shared<LogModel>();

  InstallerWindow window_;
  std::shared_ptr<InstallProcess> task_;
  // Past the outcome too: a process the script left may still write.
  std::shared_ptr<InstallProcess> launched_;
  std::string installedAppPath_;
  // Held on the home folder from the start of the run to its outcome, so that
  // two installers never copy into one home at once.
  std::unique_ptr<FolderLock> homeLock_;
  std::shared_ptr<LogFile> logFile_;
  bool waitingShown_ = false;
};

}  // namespace corvane
