// corvane-bench: the benchmark driver and the measurements it runs, each in a
// process of its own.
//
//   corvane-bench report --workdir DIR --payload DIR --platform NAME
//                        [--runs N] [--idle-runs N] [--check] [--no-gui] [--no-engine]
//                        [--slow-only]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.h"
#include "driver.h"
#include "engine_runs.h"
#include "find_runs.h"
#include "gui_runs.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: corvane-bench report --workdir DIR --payload DIR --platform NAME "
               "[--runs N] [--idle-runs N] [--check] [--no-gui] [--no-engine] [--slow-only]\n");
  return 64;
}

int Report(const std::vector<std::string>& args) {
  bench::ReportOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto next = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw std::invalid_argument(arg + " needs a value");
      return args[++i];
    };
    if (arg == "--workdir")
      options.workdir = next();
    else if (arg == "--payload")
      options.payloadDir = next();
    else if (arg == "--platform")
      options.platform = next();
    else if (arg == "--runs")
      options.runs = std::max(1, std::stoi(next()));
    else if (arg == "--idle-runs")
      options.idleRuns = std::max(1, std::stoi(next()));
    else if (arg == "--check")
      options.check = true;
    else if (arg == "--no-gui")
      options.gui = false;
    else if (arg == "--no-engine")
      options.engine = false;
    else if (arg == "--slow-only")
      options.slowOnly = true;
    else
      throw std::invalid_argument("unknown option " + arg);
  }
  if (options.workdir.empty() || options.payloadDir.empty() || options.platform.empty()) {
    return Usage();
  }
  return bench::RunReport(options);
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  try {
    const std::string& mode = args[0];
    // Measurements that start the clock at exec get "SPAWN" and report the
    // absolute time; the driver knows when it spawned them.
    if (mode == "report") return Report({args.begin() + 1, args.end()});
    if (mode == "gui" && args.size() == 3) return bench::RunHeavyWorkload(args[1], args[2]);
    if (mode == "startup" && args.size() == 3) return bench::RunStartup(args[1], 0);
    if (mode == "minimal" && args.size() == 2)
      return bench::RunMinimalWindow(0, bench::MinimalLabel::kNone);
    if (mode == "minimal-english" && args.size() == 2)
      return bench::RunMinimalWindow(0, bench::MinimalLabel::kEnglish);
    if (mode == "minimal-japanese" && args.size() == 2)
      return bench::RunMinimalWindow(0, bench::MinimalLabel::kJapanese);
    if (mode == "idle" && args.size() == 2) return bench::RunIdle(args[1]);
    if (mode == "slow" && args.size() == 2) return bench::RunSlow(args[1]);
    if (mode == "appkit-slow" && args.size() == 3) return bench::RunAppKitSlow(args[1], args[2]);
    if (mode == "find" && args.size() == 2) return bench::RunFindSpeed(args[1]);
    if (mode == "engine" && args.size() == 2)
      return bench::RunEngineThroughput(std::stoull(args[1]));
    if (mode == "produce" && args.size() == 2) return bench::RunProducer(std::stoull(args[1]));
    if (mode == "gigabyte-lines") return bench::WriteGigabyteLines(1);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "corvane-bench: %s\n", error.what());
    return 2;
  }
  return Usage();
}
