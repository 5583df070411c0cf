#pragma once

#include <string>

namespace corvane {

// The keeper outlives the installer, and a program running from a disk image
// keeps the image from being ejected: so the keeper runs from a copy of its
// own under the user's caches, `caches`/keeper/<version>/corvane-keeper. The
// copy is the keeper's bytes, its signature with them; it is made afresh when
// missing or different, and copies for other versions go. Returns the copy's
// path, or `keeper` itself when no copy can be made (the image then stays in
// use until the script ends, which is all that is lost).
std::string KeeperCopy(const std::string& keeper, const std::string& caches,
                       const std::string& version);

}  // namespace corvane
