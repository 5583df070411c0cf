#pragma once

#include <sys/types.h>

#include <string>

namespace corvane {

// What a platform without NSBundle and NSWorkspace does with POSIX alone.

// The folder of the running executable, as the kernel has it: bytes, never
// decoded. Empty when it cannot be found.
std::string ExecutableDirectory();

// The resources folder of a bundle laid out as X.app/Contents/MacOS/<exe>;
// for a bare executable, its own folder, as NSBundle has it.
std::string ResourceDirectoryForExecutableDir(const std::string& executableDir);

// $HOME when set and absolute, else the password database's entry; empty
// when neither gives an absolute path.
std::string UserHomeDirectory();

// Makes $HOME the home the installer uses, so that the install script sees the
// same one: the password database's entry when $HOME is unset, empty or
// relative. Call before any thread starts.
void SettleHomeEnvironment();

// Under a limit on address space (ulimit -v), makes the program take less of
// it, leaving the toolkit and the log their room: one malloc arena, smaller
// thread stacks. Why the limit leaves too little to run at all, or empty.
// Call before any thread starts.
std::string FitAddressSpaceLimit();

// Why the stack limit (ulimit -s) leaves the toolkit too little to run, or
// empty: below it, it crashes deep in font matching.
std::string FitStackLimit();

// Starts `count` threads at once and ends them: why it could not, or empty.
// Near the process limit a toolkit that cannot start its own threads waits
// for events that never come; better to know before it starts.
std::string WhyThreadsCannotStart(int count);

// From here on SIGTERM, SIGINT and SIGHUP, which ask the program to end, turn
// the descriptor returned readable instead; the toolkit's loop then ends the
// program as closing its window does, and the script is handed on rather
// than cut off at its next line. Negative when that cannot be set up. Once,
// on the main thread.
int WatchTerminationSignals();

// The executable inside an application bundle: Contents/MacOS/<name without .app>.
std::string BundleExecutablePath(const std::string& bundlePath);

// Starts an installed app detached from us (its own session, standard streams
// on /dev/null), once: while the copy it started still runs, opening it again
// starts nothing, as a Mac brings the running app forward instead. Main
// thread.
class AppLauncher {
 public:
  AppLauncher() = default;
  AppLauncher(const AppLauncher&) = delete;
  AppLauncher& operator=(const AppLauncher&) = delete;

  // True when the app was started, or still runs from before.
  bool open(const std::string& executable);

 private:
  std::string executable_;
  pid_t running_ = 0;
};

}  // namespace corvane
