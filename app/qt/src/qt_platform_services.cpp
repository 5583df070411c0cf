#include "corvane/qt/qt_platform_services.h"

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "corvane/qt/installer_window.h"

extern char** environ;

namespace corvane::qt {

std::string ResourceDirectoryForExecutableDir(const std::string& executableDir) {
  const std::filesystem::path dir(executableDir);
  const std::filesystem::path contents = dir.parent_path();
  if (dir.filename() == "MacOS" && contents.filename() == "Contents" &&
      contents.parent_path().extension() == ".app") {
    return (contents / "Resources").string();
  }
  return executableDir;
}

namespace {

std::string PasswordDatabaseHome() {
  const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return {};
}

const char* AbsoluteHomeFromEnvironment() {
  const char* home = std::getenv("HOME");
  return home != nullptr && home[0] == '/' ? home : nullptr;
}

}  // namespace

std::string UserHomeDirectory() {
  if (const char* home = AbsoluteHomeFromEnvironment()) return home;
  return PasswordDatabaseHome();
}

void SettleHomeEnvironment() {
  if (AbsoluteHomeFromEnvironment() != nullptr) return;
  if (const std::string home = PasswordDatabaseHome(); !home.empty()) {
    ::setenv("HOME", home.c_str(), 1);
  }
}

std::string ExecutableDirectory() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0) return {};
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      break;
    }
    path.resize(path.size() * 2);
  }
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BundleExecutablePath(const std::string& bundlePath) {
  std::filesystem::path bundle(bundlePath);
  if (!bundle.has_filename()) bundle = bundle.parent_path();
  return (bundle / "Contents/MacOS" / bundle.stem()).string();
}

bool SpawnDetached(const std::string& executable) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);

  std::string argument0 = executable;
  char* argv[] = {argument0.data(), nullptr};
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return false;
  // Reap it whenever it ends, so it never lingers as a zombie.
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

QtPlatformServices::QtPlatformServices() : mainQueue_(std::make_shared<QtMainQueue>()) {}

QtPlatformServices::~QtPlatformServices() { shutdown(); }

InstallerWindow QtPlatformServices::buildWindow(WindowActions actions) {
  return BuildInstallerWindow(std::move(actions));
}

std::string QtPlatformServices::resourceDirectory() {
  const std::string executableDir = ExecutableDirectory();
  return executableDir.empty() ? executableDir : ResourceDirectoryForExecutableDir(executableDir);
}

std::string QtPlatformServices::homeDirectory() { return UserHomeDirectory(); }

bool QtPlatformServices::openApplication(const std::string& bundlePath) {
  return SpawnDetached(BundleExecutablePath(bundlePath));
}

void QtPlatformServices::terminate() { QCoreApplication::quit(); }

}  // namespace corvane::qt
