// The keeper (see standby.h in the engine): started by whoever holds a run,
// beside which it lies in the bundle; never by hand. Small on purpose: the
// engine alone, no toolkit.
//
//   corvane-keeper --output=FD --lifeline=FD [--log=FD --layout=FD] [--turn=FD]
//
// Each option names a descriptor it was given: the output's read end, its
// lifeline, the log file and its side file, and the turn.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/engine/spawn.h"
#include "output_pump.h"
#include "standby.h"

namespace {

struct Options {
  int output = -1;
  int lifeline = -1;
  int log = -1;
  int layout = -1;
  int turn = -1;
};

template <typename Number>
bool ParseNumber(std::string_view text, Number& number) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  return error == std::errc() && end == text.data() + text.size();
}

std::optional<Options> Parse(int argc, const char* const* argv) {
  Options options;
  const struct {
    std::string_view name;
    int Options::*field;
  } known[] = {{"--output=", &Options::output},
               {"--lifeline=", &Options::lifeline},
               {"--log=", &Options::log},
               {"--layout=", &Options::layout},
               {"--turn=", &Options::turn}};
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument(argv[i]);
    bool parsed = false;
    for (const auto& option : known) {
      if (argument.starts_with(option.name)) {
        parsed = ParseNumber(argument.substr(option.name.size()), options.*option.field) &&
                 options.*option.field >= 0;
      }
    }
    if (!parsed) return std::nullopt;
  }
  if (options.output < 0 || options.lifeline < 0) return std::nullopt;
  return options;
}

void CloseOnce(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// "<pid> <started>\n" after the word.
std::optional<corvane::ProcessIdentity> ReadScript(int lifeline) {
  std::string line;
  char c = 0;
  while (line.size() < 64) {
    const ssize_t n = ::read(lifeline, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    line += c;
  }
  corvane::ProcessIdentity script;
  const std::size_t space = line.find(' ');
  if (space == std::string::npos ||
      !ParseNumber(std::string_view(line).substr(0, space), script.pid) ||
      !ParseNumber(std::string_view(line).substr(space + 1), script.started) || script.pid <= 0) {
    return std::nullopt;
  }
  return script;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> options = Parse(argc, argv);
  if (!options) {
    (void)std::fprintf(stderr,
                       "usage: corvane-keeper --output=FD --lifeline=FD [--log=FD --layout=FD] "
                       "[--turn=FD]\n");
    return 64;
  }
  // Its own session keeps a terminal's hangup and Ctrl+C away; these are
  // meant for the installer anyway. SIGTERM, as at a shutdown, still ends it.
  struct sigaction ignore = {};
  sigemptyset(&ignore.sa_mask);
  ignore.sa_handler = SIG_IGN;
  for (const int signal : {SIGHUP, SIGINT, SIGPIPE, SIGXFSZ}) ::sigaction(signal, &ignore, nullptr);

  // Standing by, until whoever holds the run is gone or done.
  // A holder already gone cannot hear it; the run is then ours at once.
  const char ready = corvane::lifeline::kReady;
  (void)::write(options->lifeline, &ready, 1);
  std::optional<corvane::ProcessIdentity> script;
  for (;;) {
    char word = 0;
    const ssize_t n = ::read(options->lifeline, &word, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (word == corvane::lifeline::kScript) script = ReadScript(options->lifeline);
    if (word == corvane::lifeline::kScriptEnded) CloseOnce(options->turn);
    if (word == corvane::lifeline::kDismissed) return 0;
  }
  ::close(options->lifeline);

  // The run is ours: the rest of the output goes on where the file left off,
  // and another keeper stands by for us.
  corvane::PumpPlan plan;
  plan.output = options->output;
  plan.turn = options->turn;
  if (script) {
    plan.script = corvane::ProcessExit::Of(*script);
    plan.scriptIdentity = script;
  }
  if (options->log >= 0 && options->layout >= 0) {
    plan.gifts.file = options->log;
    plan.gifts.layout = options->layout;
    if (auto file = corvane::LogFile::Resume(::dup(options->log), ::dup(options->layout))) {
      // A file that fails empties itself and takes nothing more; the output
      // is still read, so that the script's writes never fail.
      plan.sinks.push_back(std::make_unique<corvane::FileSink>(file, [](const std::string&) {}));
    }
  }
  plan.gifts.output = plan.output;
  plan.gifts.turn = plan.turn;
  plan.keeper = argv[0];
  try {
    plan.standby = corvane::Standby::Start(plan.keeper, plan.gifts);
    if (script) plan.standby->tellScript(*script);
  } catch (const corvane::LaunchError&) {
    // It holds the run alone.
  }
  corvane::PumpOutput(std::move(plan));
  return 0;
}
