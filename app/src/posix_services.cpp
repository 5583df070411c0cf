#include "corvane/app/posix_services.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "corvane/engine/spawn.h"

#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

namespace corvane {
namespace {

int signalled[2] = {-1, -1};

extern "C" void NoteTerminationSignal(int /*signal*/) {
  const int saved = errno;
  const char word = 's';
  (void)::write(signalled[1], &word, 1);
  errno = saved;
}

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

std::string ExecutablePath() {
#ifdef __linux__
  std::string path(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0) return {};
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      return path;
    }
    path.resize(path.size() * 2);
  }
#elif defined(__APPLE__)
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  if (_NSGetExecutablePath(path.data(), &size) != 0) return {};
  path.resize(std::char_traits<char>::length(path.c_str()));
  return path;
#else
  return {};
#endif
}

}  // namespace

std::string ExecutableDirectory() {
  const std::string path = ExecutablePath();
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ResourceDirectoryForExecutableDir(const std::string& executableDir) {
  const std::filesystem::path dir(executableDir);
  const std::filesystem::path contents = dir.parent_path();
  if (dir.filename() == "MacOS" && contents.filename() == "Contents" &&
      contents.parent_path().extension() == ".app") {
    return (contents / "Resources").string();
  }
  return executableDir;
}

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

std::string WhyThreadsCannotStart(int count) {
  // All alive at once, as the toolkit's will be.
  std::mutex mutex;
  std::condition_variable done;
  bool release = false;
  std::vector<std::thread> threads;
  std::string reason;
  try {
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([&] {
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return release; });
      });
    }
  } catch (const std::system_error& error) {
    reason = error.what();
  }
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  done.notify_all();
  for (std::thread& thread : threads) thread.join();
  return reason;
}

int WatchTerminationSignals() {
  if (::pipe(signalled) != 0) return -1;
  for (const int fd : signalled) (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
  // A burst of signals must not block the handler once the pipe is full.
  (void)::fcntl(signalled[1], F_SETFL, O_NONBLOCK);
  struct sigaction action = {};
  action.sa_handler = NoteTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
  return signalled[0];
}

std::string BundleExecutablePath(const std::string& bundlePath) {
  std::filesystem::path bundle(bundlePath);
  if (!bundle.has_filename()) bundle = bundle.parent_path();
  return (bundle / "Contents/MacOS" / bundle.stem()).string();
}

bool AppLauncher::open(const std::string& executable) {
  if (running_ != 0 && executable == executable_) {
    // Reaped here rather than by a thread of its own: still running, it is
    // not started twice; ended, it is started again.
    int status = 0;
    if (::waitpid(running_, &status, WNOHANG) == 0) return true;
  }
  running_ = 0;
  try {
    running_ = Spawn({executable, {executable}});
  } catch (const LaunchError&) {
    return false;
  }
  executable_ = executable;
  return true;
}

}  // namespace corvane
