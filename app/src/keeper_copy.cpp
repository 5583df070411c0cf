#include "corvane/app/keeper_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "corvane/engine/install_plan.h"
#include "corvane/engine/install_process.h"

namespace corvane {
namespace {

// Far more than the keeper: anything larger is not it.
constexpr off_t kMostBytes = off_t{64} << 20;

std::optional<std::string> ReadWhole(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> bytes;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMostBytes) {
    std::string read(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < read.size()) {
      const ssize_t n = ::read(fd, read.data() + done, read.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    if (done == read.size()) bytes = std::move(read);
  }
  ::close(fd);
  return bytes;
}

bool IsExecutable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

// Written beside `path` under another name, then put in its place at once: a
// keeper still running from the old copy runs on, and two installers making
// it at once each leave a whole one.
bool WriteInPlace(const std::string& path, const std::string& bytes) {
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  bool written = ::fchmod(fd, 0755) == 0;
  for (std::size_t done = 0; written && done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) done += static_cast<std::size_t>(n);
  }
  written = ::close(fd) == 0 && written && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!written) ::unlink(temporary.c_str());
  return written;
}

}  // namespace

std::string KeeperCopy(const std::string& keeper, const std::string& caches,
                       const std::string& version) {
  namespace fs = std::filesystem;
  const std::optional<std::string> bytes = ReadWhole(keeper);
  // A version of a name of its own, never a way out of the folder.
  if (!bytes || caches.empty() || version.empty() || version.find('/') != std::string::npos ||
      version == "." || version == "..") {
    return keeper;
  }
  const std::string copies = AppendPathComponent(caches, "keeper");
  const std::string folder = AppendPathComponent(copies, version);
  std::string copy = AppendPathComponent(folder, kKeeperName);
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) return keeper;
  // Other versions' copies; one still running runs on from its own file.
  std::vector<fs::path> others;
  for (const auto& entry : fs::directory_iterator(copies, error)) {
    if (entry.path().filename() != version) others.push_back(entry.path());
  }
  for (const fs::path& other : others) fs::remove_all(other, error);
  if (ReadWhole(copy) == bytes && IsExecutable(copy)) return copy;
  return WriteInPlace(copy, *bytes) ? copy : keeper;
}

}  // namespace corvane
