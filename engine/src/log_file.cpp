#include "corvane/engine/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>

#include "corvane/engine/file_system.h"
#include "corvane/engine/install_plan.h"

namespace corvane {
namespace {

constexpr std::size_t kMarkerBytes = 96;
// How far past the cut a line start is looked for, so the kept end begins
// with a whole line.
constexpr std::uint64_t kLineSearchBytes = std::uint64_t{64} * 1024;
constexpr std::size_t kCopyBytes = std::size_t{1} << 20;
// The marker line: [LF] prefix, count, suffix, spaces up to kMarkerBytes - 1, LF.
constexpr std::string_view kMarkerPrefix = "--- 出力 ";
constexpr std::string_view kMarkerSuffix = " バイトを省略しました ---";

std::string Reason(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

}  // namespace

std::shared_ptr<LogFile> LogFile::Open(const std::string& folder, std::string& error,
                                       Limits limits) {
  // New folders private to the user: the output may hold anything.
  if (!MakeFolders(folder, 0700, error)) return nullptr;
  const std::string path = AppendPathComponent(folder, "install.log");
  const std::string previous = AppendPathComponent(folder, "install.1.log");
  if (::rename(path.c_str(), previous.c_str()) != 0 && errno != ENOENT) {
    error = Reason(previous, errno);
    // Left in place, the last run's output would pass for this one's.
    if (::unlink(path.c_str()) != 0) {
      const int stale =
          ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
      if (stale >= 0) ::close(stale);
    }
    return nullptr;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error = Reason(path, errno);
    return nullptr;
  }
  limits.tailBytes = std::max<std::uint64_t>(limits.tailBytes, 1);
  return std::shared_ptr<LogFile>(new LogFile(fd, path, limits));
}

std::shared_ptr<LogFile> LogFile::Resume(int fd, Limits limits) {
  limits.tailBytes = std::max<std::uint64_t>(limits.tailBytes, 1);
  std::shared_ptr<LogFile> file(new LogFile(fd, {}, limits));
  struct stat info {};
  if (::fstat(fd, &info) != 0) return nullptr;
  file->fileEnd_ = static_cast<std::uint64_t>(info.st_size);
  file->readLayout();
  return file;
}

LogFile::LogFile(int fd, std::string path, Limits limits)
    : fd_(fd), path_(std::move(path)), limits_(limits) {}

LogFile::~LogFile() { ::close(fd_); }

std::optional<std::string> LogFile::write(std::string_view bytes) {
  if (failed_ || bytes.empty()) return std::nullopt;
  const bool written = [&] {
    if (!cut_ && fileEnd_ < limits_.headBytes) {
      // Up to the end of the head, nothing is ever moved.
      const auto head = static_cast<std::size_t>(
          std::min<std::uint64_t>(bytes.size(), limits_.headBytes - fileEnd_));
      if (!writeAt(fileEnd_, bytes.substr(0, head))) return false;
      headEndsLine_ = bytes[head - 1] == '\n';
      bytes.remove_prefix(head);
    }
    if (bytes.empty()) return true;
    if (!writeAt(fileEnd_, bytes)) return false;
    const std::uint64_t tailFrom = cut_ ? tailStart_ : limits_.headBytes;
    return fileEnd_ - tailFrom < 2 * limits_.tailBytes || keepOnlyTheEnd();
  }();
  if (written) return std::nullopt;
  failed_ = true;
  if (onFailure_) onFailure_();
  // Cut off with no word of it, the file would pass for the whole output;
  // and on a full disk the install needs its room more than the window's
  // output needs a second copy.
  (void)::ftruncate(fd_, 0);
  return reason_;
}

bool LogFile::writeAt(std::uint64_t position, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(position));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      reason_ = Reason(path_, n < 0 ? errno : ENOSPC);
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
    position += static_cast<std::uint64_t>(n);
    fileEnd_ = std::max(fileEnd_, position);
  }
  return true;
}

// Moves the latest tailBytes down to just after the marker line and cuts the
// file there. It costs a copy of tailBytes for every tailBytes written.
bool LogFile::keepOnlyTheEnd() {
  const std::uint64_t tailFrom = cut_ ? tailStart_ : limits_.headBytes;
  std::uint64_t from = fileEnd_ - limits_.tailBytes;
  const std::unique_ptr<char[]> copy(new (std::nothrow) char[kCopyBytes]);
  if (!copy) {
    reason_ = Reason(path_, ENOMEM);
    return false;
  }
  char* const buffer = copy.get();
  // Never more than half of what is kept goes to find a line start.
  const auto probe = static_cast<std::size_t>(std::min(kLineSearchBytes, limits_.tailBytes / 2));
  const ssize_t got = ::pread(fd_, buffer, probe, static_cast<off_t>(from));
  if (got > 0) {
    const auto* newline =
        static_cast<const char*>(std::memchr(buffer, '\n', static_cast<std::size_t>(got)));
    if (newline != nullptr) from += static_cast<std::uint64_t>(newline - buffer) + 1;
  }
  leftOut_ += from - tailFrom;
  cut_ = true;
  tailStart_ = limits_.headBytes + kMarkerBytes;
  const std::uint64_t kept = fileEnd_ - from;
  // Front to back: the destination lies before the source.
  for (std::uint64_t done = 0; done < kept;) {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(kept - done, kCopyBytes));
    const ssize_t n = ::pread(fd_, buffer, take, static_cast<off_t>(from + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      reason_ = Reason(path_, n < 0 ? errno : EIO);
      return false;
    }
    if (!writeAt(tailStart_ + done, {buffer, static_cast<std::size_t>(n)})) return false;
    done += static_cast<std::uint64_t>(n);
  }
  fileEnd_ = tailStart_ + kept;
  if (::ftruncate(fd_, static_cast<off_t>(fileEnd_)) != 0) {
    reason_ = Reason(path_, errno);
    return false;
  }
  return writeMarker();
}

bool LogFile::writeMarker() {
  std::string marker = headEndsLine_ ? "" : "\n";
  marker.append(kMarkerPrefix).append(std::to_string(leftOut_)).append(kMarkerSuffix);
  marker.resize(kMarkerBytes - 1, ' ');
  marker += '\n';
  return writeAt(limits_.headBytes, marker);
}

// Where the last writer left off: a marker line where the head ends means
// output was left out, and says how much.
void LogFile::readLayout() {
  const std::uint64_t head = limits_.headBytes;
  if (fileEnd_ >= head + kMarkerBytes) {
    std::string line(kMarkerBytes, '\0');
    if (::pread(fd_, line.data(), line.size(), static_cast<off_t>(head)) ==
        static_cast<ssize_t>(line.size())) {
      std::string_view rest(line);
      const bool endsLine = !rest.starts_with('\n');
      if (!endsLine) rest.remove_prefix(1);
      std::uint64_t count = 0;
      if (rest.starts_with(kMarkerPrefix)) {
        rest.remove_prefix(kMarkerPrefix.size());
        const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), count);
        rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
        if (error == std::errc() && rest.starts_with(kMarkerSuffix) && rest.ends_with('\n') &&
            rest.find_first_not_of(' ', kMarkerSuffix.size()) == rest.size() - 1) {
          cut_ = true;
          headEndsLine_ = endsLine;
          leftOut_ = count;
          tailStart_ = head + kMarkerBytes;
          return;
        }
      }
    }
  }
  char last = '\n';
  if (head > 0 && fileEnd_ >= head) (void)::pread(fd_, &last, 1, static_cast<off_t>(head - 1));
  headEndsLine_ = last == '\n';
}

}  // namespace corvane
