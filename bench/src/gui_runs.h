#pragma once

#include <cstdint>
#include <string>

namespace bench {

// Each runs in a process of its own and prints key=value lines.
int RunHeavyWorkload(const std::string& workdir, const std::string& name);
int RunBulkFloor(const std::string& workdir, const std::string& name);
int RunStartup(const std::string& workdir, std::int64_t spawnNs);
// withLabel adds one Japanese label: a reference, not a bar.
int RunMinimalWindow(std::int64_t spawnNs, bool withLabel);
int RunIdle(const std::string& workdir);

}  // namespace bench
