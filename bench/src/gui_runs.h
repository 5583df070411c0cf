#pragma once

#include <cstdint>
#include <string>

namespace bench {

// Each runs in a process of its own and prints key=value lines.
int RunHeavyWorkload(const std::string& workdir, const std::string& name);
int RunStartup(const std::string& workdir, std::int64_t spawnNs);
// A label makes a reference, not a bar: the least any window with text costs.
enum class MinimalLabel { kNone, kEnglish, kJapanese };
int RunMinimalWindow(std::int64_t spawnNs, MinimalLabel label);
int RunIdle(const std::string& workdir);
// The slow workload: prints its figures and "outcome" once the outcome is
// shown, then waits, doing nothing, until its standard input ends.
int RunSlow(const std::string& workdir);

}  // namespace bench
