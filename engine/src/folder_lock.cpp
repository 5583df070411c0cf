#include "corvane/engine/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "file_system.h"

namespace corvane {

FolderLock::FolderLock(const std::string& folder) {
  std::string ignored;
  MakeFolders(folder, 0777, ignored);
  std::string nearest = folder;
  while ((fd_ = ::open(nearest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0) {
    const std::size_t slash = nearest.find_last_of('/');
    if (slash == std::string::npos || nearest == "/") return;
    nearest.resize(slash == 0 ? 1 : slash);
  }
  int result = 0;
  while ((result = ::flock(fd_, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (result == 0) {
    state_ = State::kHeld;
    return;
  }
  // Anything but contention (a network file system without locks, say) must
  // not stop the install.
  state_ = errno == EWOULDBLOCK ? State::kBusy : State::kUnavailable;
  ::close(fd_);
  fd_ = -1;
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace corvane
