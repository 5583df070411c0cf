#pragma once

#include <string>

namespace corvane {

// An exclusive advisory lock (flock) on a folder, held while the object
// lives. Two installers for one home take it on the home folder itself, so no
// file is written for it, and it goes with the process however that ends.
// A home that does not exist yet is made first, as the install would make it,
// so that both lock the same folder; one that cannot be made is stood in for
// by the nearest folder above it.
class FolderLock {
 public:
  enum class State {
    kHeld,         // ours
    kBusy,         // another process holds it
    kUnavailable,  // the folder cannot be opened or locked: go on without
  };

  // Tries once; never waits.
  explicit FolderLock(const std::string& folder);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  State state() const { return state_; }
  // While held; a process given a duplicate holds the lock with us.
  int descriptor() const { return fd_; }

 private:
  int fd_ = -1;
  State state_ = State::kUnavailable;
};

}  // namespace corvane
