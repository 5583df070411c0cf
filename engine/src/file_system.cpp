#include "file_system.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace corvane {

bool MakeFolders(const std::string& folder, mode_t mode, std::string& error) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string prefix = folder.substr(0, slash);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
      error = prefix + ": " + std::strerror(errno);
      return false;
    }
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) {
    error = folder + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    error = folder + ": " + std::strerror(ENOTDIR);
    return false;
  }
  return true;
}

}  // namespace corvane
