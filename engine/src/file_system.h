#pragma once

#include <sys/types.h>
#include <string>

namespace corvane {

// mkdir -p: makes the folder and any missing above it with `mode` (less the
// umask). False, with "path: reason" in `error`, when it is not a folder after.
bool MakeFolders(const std::string& folder, mode_t mode, std::string& error);

}  // namespace corvane
