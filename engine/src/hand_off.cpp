#include "corvane/engine/hand_off.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <exception>
#include <string_view>
#include <utility>
#include <vector>

#include "corvane/engine/spawn.h"

namespace corvane {
namespace {

// Words on the lifeline.
constexpr char kScriptEnded = 'e';
constexpr char kFileFailed = 'f';
constexpr char kDismissed = 'd';

// The keeper's descriptors besides standard input, the output.
constexpr int kLifeline = 3;

// How often a keeper holding the turn looks whether the script still runs.
constexpr int kLookMilliseconds = 200;

// The keeper's command line: what it is given, by position.
struct KeeperArguments {
  ProcessIdentity script;  // pid 0: none
  LogFileLimits limits;
  int file = -1;
  int layout = -1;
  int lock = -1;
};

std::vector<std::string> Format(const std::string& program, const KeeperArguments& arguments) {
  return {program,
          std::to_string(arguments.script.pid),
          std::to_string(arguments.script.started),
          std::to_string(arguments.limits.headBytes),
          std::to_string(arguments.limits.tailBytes),
          std::to_string(arguments.file),
          std::to_string(arguments.layout),
          std::to_string(arguments.lock)};
}

template <typename Number>
bool ParseNumber(const char* text, Number& number) {
  const std::string_view view(text);
  const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), number);
  return error == std::errc() && end == view.data() + view.size();
}

std::optional<KeeperArguments> Parse(int argc, const char* const* argv) {
  KeeperArguments arguments;
  if (argc != 8 || !ParseNumber(argv[1], arguments.script.pid) ||
      !ParseNumber(argv[2], arguments.script.started) ||
      !ParseNumber(argv[3], arguments.limits.headBytes) ||
      !ParseNumber(argv[4], arguments.limits.tailBytes) || !ParseNumber(argv[5], arguments.file) ||
      !ParseNumber(argv[6], arguments.layout) || !ParseNumber(argv[7], arguments.lock)) {
    return std::nullopt;
  }
  return arguments;
}

void CloseOnce(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::shared_ptr<Keeper> Keeper::Start(const std::string& program, int output, int lock,
                                      const LogFile* file, std::optional<ProcessIdentity> script) {
  int lifeline[2] = {-1, -1};
  std::shared_ptr<Keeper> keeper;
  try {
    MakePipe(lifeline);
    // Made first: once the keeper runs, nothing may fail that would close
    // its lifeline while we still read the output.
    keeper.reset(new Keeper(std::exchange(lifeline[1], -1)));
    KeeperArguments arguments;
    arguments.script = script.value_or(ProcessIdentity{});
    std::vector<int> extra{lifeline[0]};
    if (file != nullptr && !file->failed()) {
      arguments.limits = file->limits();
      arguments.file = kLifeline + static_cast<int>(extra.size());
      extra.push_back(file->descriptor());
      arguments.layout = kLifeline + static_cast<int>(extra.size());
      extra.push_back(file->layoutDescriptor());
    }
    // With no script to wait for, the turn needs no keeping.
    if (lock >= 0 && script) {
      arguments.lock = kLifeline + static_cast<int>(extra.size());
      extra.push_back(lock);
    }
    keeper->pid_ = Spawn({.path = program,
                          .arguments = Format(program, arguments),
                          .input = output,
                          .output = StandardStream::kNull,
                          .errors = StandardStream::kNull,
                          .extra = extra,
                          .detached = true});
  } catch (const std::exception&) {
    // The script runs by now: better a run without a keeper than none.
    CloseOnce(lifeline[0]);
    return nullptr;
  }
  ::close(lifeline[0]);
  return keeper;
}

Keeper::~Keeper() { CloseOnce(lifeline_); }

void Keeper::tell(char word) {
  std::lock_guard lock(mutex_);
  if (lifeline_ < 0) return;
  while (::write(lifeline_, &word, 1) < 0 && errno == EINTR) {
  }
}

void Keeper::scriptEnded() { tell(kScriptEnded); }

void Keeper::fileFailed() { tell(kFileFailed); }

void Keeper::dismiss() {
  {
    std::lock_guard lock(mutex_);
    if (lifeline_ < 0) return;
  }
  tell(kDismissed);
  {
    std::lock_guard lock(mutex_);
    CloseOnce(lifeline_);
  }
  // It ends once it has put the log file in order.
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

void Keeper::takeOver() {
  std::lock_guard lock(mutex_);
  CloseOnce(lifeline_);
}

int RunKeeper(int argc, const char* const* argv) {
  std::optional<KeeperArguments> arguments = Parse(argc, argv);
  if (!arguments) return 64;
  // Its own session keeps a terminal's hangup and Ctrl+C away; these are
  // meant for the installer anyway. SIGTERM, as at a shutdown, still ends it.
  struct sigaction ignore = {};
  sigemptyset(&ignore.sa_mask);
  ignore.sa_handler = SIG_IGN;
  for (const int signal : {SIGHUP, SIGINT, SIGPIPE, SIGXFSZ}) ::sigaction(signal, &ignore, nullptr);
  int file = arguments->file;
  int lock = arguments->lock;

  // Stand-by, until the installer is gone or done.
  for (;;) {
    char word = 0;
    const ssize_t n = ::read(kLifeline, &word, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (word == kScriptEnded) CloseOnce(lock);
    if (word == kFileFailed) CloseOnce(file);
    if (word == kDismissed) {
      // The run is over: its kept end in order, whether or not the
      // installer waits for it.
      return 0;
    }
  }
  ::close(kLifeline);

  // The run is ours: the rest of the output goes on where the file ends.
  const std::shared_ptr<LogFile> log =
      file >= 0 ? LogFile::Resume(file, arguments->layout) : nullptr;
  std::vector<char> buffer(std::size_t{64} << 10);
  bool outputOpen = true;
  while (outputOpen || lock >= 0) {
    if (lock >= 0 && !IsRunning(arguments->script)) {
      CloseOnce(lock);
      continue;
    }
    pollfd output{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&output, outputOpen ? 1 : 0, lock >= 0 ? kLookMilliseconds : -1);
    if (ready <= 0) continue;
    const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      outputOpen = false;
      if (log) (void)log->finish();
      continue;
    }
    // A file that fails empties itself and takes nothing more; the output is
    // still read, so that the script's writes never fail.
    if (log) (void)log->write({buffer.data(), static_cast<std::size_t>(n)});
  }
  return 0;
}

}  // namespace corvane
