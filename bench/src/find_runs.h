#pragma once

#include <string>

namespace bench {

// The find over all the log keeps, against memmem over the same bytes: prints
// the times of the first match at the very end and of counting a common word.
int RunFindSpeed(const std::string& workdir);

}  // namespace bench
