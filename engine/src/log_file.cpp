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

constexpr std::size_t kMarkerBytes = 128;
// How far past the cut a line start is looked for, so the kept end begins
// with a whole line.
constexpr std::uint64_t kLineSearchBytes = std::uint64_t{64} * 1024;
constexpr std::size_t kCopyBytes = std::size_t{1} << 20;
// The marker line: [LF] prefix, count, suffix, spaces up to kMarkerBytes - 1,
// LF. Within a lap of the ring, the suffix says how much of the newest
// output comes first.
constexpr std::string_view kMarkerPrefix = "--- 出力 ";
constexpr std::string_view kMarkerSuffix = " バイトを省略しました ---";
constexpr std::string_view kRingPrefix = " バイトを省略しました (最新 ";
constexpr std::string_view kRingSuffix = " バイトが先) ---";

// A count at the start of `text`, followed by a space.
bool ReadNumber(std::string_view text, std::uint64_t& number) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  return error == std::errc() && end != text.data() && end != text.data() + text.size() &&
         *end == ' ';
}

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
  if (!cut_ && fileEnd_ < limits_.headBytes) {
    // Up to the end of the head, nothing is ever moved.
    const auto head = static_cast<std::size_t>(
        std::min<std::uint64_t>(bytes.size(), limits_.headBytes - fileEnd_));
    if (!writeAt(fileEnd_, bytes.substr(0, head))) return failed(false);
    headEndsLine_ = bytes[head - 1] == '\n';
    bytes.remove_prefix(head);
  }
  if (bytes.empty()) return std::nullopt;
  if (cut_) return failed(writeRing(bytes));
  if (!writeAt(fileEnd_, bytes)) return failed(false);
  return failed(fileEnd_ - limits_.headBytes < 2 * limits_.tailBytes || cutTheMiddle());
}

std::optional<std::string> LogFile::finish() {
  if (failed_ || !wrapped_) return std::nullopt;
  return failed(join());
}

std::optional<std::string> LogFile::failed(bool written) {
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

// Copies `length` bytes of the file from `from` to `to`, front to back: `to`
// lies before `from`, or the two do not overlap.
bool LogFile::move(std::uint64_t from, std::uint64_t to, std::uint64_t length) {
  const std::unique_ptr<char[]> copy(new (std::nothrow) char[kCopyBytes]);
  if (!copy) {
    reason_ = Reason(path_, ENOMEM);
    return false;
  }
  for (std::uint64_t done = 0; done < length;) {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, kCopyBytes));
    const ssize_t n = ::pread(fd_, copy.get(), take, static_cast<off_t>(from + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      reason_ = Reason(path_, n < 0 ? errno : EIO);
      return false;
    }
    if (!writeAt(to + done, {copy.get(), static_cast<std::size_t>(n)})) return false;
    done += static_cast<std::uint64_t>(n);
  }
  return true;
}

// The line start nearest to `from` in the file, looking forward from it or
// back from it, no further than half of what is kept; `from` itself when
// there is none.
std::uint64_t LogFile::lineStartNear(std::uint64_t from, bool forward) {
  const std::uint64_t reach =
      std::min({kLineSearchBytes, limits_.tailBytes / 2, forward ? fileEnd_ - from : from});
  std::string window(static_cast<std::size_t>(reach), '\0');
  const std::uint64_t start = forward ? from : from - reach;
  if (reach == 0 || ::pread(fd_, window.data(), window.size(), static_cast<off_t>(start)) !=
                        static_cast<ssize_t>(window.size())) {
    return from;
  }
  const std::size_t newline = forward ? window.find('\n') : window.rfind('\n');
  return newline == std::string::npos ? from : start + newline + 1;
}

// The first cut: the latest tailBytes, from a line start, go down to just
// after the marker line. Once a run; from then on the end is a ring.
bool LogFile::cutTheMiddle() {
  const std::uint64_t from = lineStartNear(fileEnd_ - limits_.tailBytes, true);
  tailStart_ = limits_.headBytes + kMarkerBytes;
  leftOut_ = from - limits_.headBytes;
  const std::uint64_t kept = fileEnd_ - from;
  if (!move(from, tailStart_, kept)) return false;
  cut_ = true;
  next_ = fileEnd_ = tailStart_ + kept;
  if (::ftruncate(fd_, static_cast<off_t>(fileEnd_)) != 0) {
    reason_ = Reason(path_, errno);
    return false;
  }
  return writeMarker();
}

// Past the first cut: a lap of the ring goes from the tail's start to
// 2 × tailBytes past it, overwriting the oldest output as it goes.
bool LogFile::writeRing(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::uint64_t lapEnd = tailStart_ + 2 * limits_.tailBytes;
    const auto take =
        static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), lapEnd - next_));
    // What is overwritten was the oldest output kept.
    if (wrapped_) leftOut_ += std::min(next_ + take, fileEnd_) - std::min(next_, fileEnd_);
    if (!writeAt(next_, bytes.substr(0, take))) return false;
    next_ += take;
    bytes.remove_prefix(take);
    if (next_ == lapEnd && !endLap()) return false;
  }
  return !wrapped_ || writeMarker();
}

// The lap ends at the last line start before its end, so that the next one,
// and the kept end after finish(), begin with a whole line; what was written
// past it goes to the tail's start.
bool LogFile::endLap() {
  const std::uint64_t end = lineStartNear(next_, false);
  const std::uint64_t carried = next_ - end;
  leftOut_ += carried;
  if (!move(end, tailStart_, carried)) return false;
  fileEnd_ = end;
  if (::ftruncate(fd_, static_cast<off_t>(fileEnd_)) != 0) {
    reason_ = Reason(path_, errno);
    return false;
  }
  next_ = tailStart_ + carried;
  wrapped_ = true;
  return true;
}

// The older output, from a line start, then the newer: enough of the older
// that at least tailBytes are kept. Moves at most 2 × tailBytes, once.
bool LogFile::join() {
  const std::uint64_t newer = next_ - tailStart_;
  // A lap that has just ended is in order already.
  std::uint64_t older = newer == 0 ? next_ : fileEnd_;
  if (newer > 0 && newer < limits_.tailBytes) {
    older = lineStartNear(std::max(next_, fileEnd_ - (limits_.tailBytes - newer)), true);
  }
  leftOut_ += older - next_;
  const std::uint64_t olderBytes = fileEnd_ - older;
  if (newer > 0 && olderBytes > 0 &&
      (!move(tailStart_, fileEnd_, newer) || !move(older, tailStart_, olderBytes + newer))) {
    return false;
  }
  next_ = fileEnd_ = tailStart_ + olderBytes + newer;
  wrapped_ = false;
  if (::ftruncate(fd_, static_cast<off_t>(fileEnd_)) != 0) {
    reason_ = Reason(path_, errno);
    return false;
  }
  return writeMarker();
}

bool LogFile::writeMarker() {
  std::string marker = headEndsLine_ ? "" : "\n";
  marker.append(kMarkerPrefix).append(std::to_string(leftOut_));
  if (wrapped_) {
    marker.append(kRingPrefix).append(std::to_string(next_ - tailStart_)).append(kRingSuffix);
  } else {
    marker.append(kMarkerSuffix);
  }
  marker.resize(kMarkerBytes - 1, ' ');
  marker += '\n';
  const std::uint64_t end = fileEnd_;
  const bool written = writeAt(limits_.headBytes, marker);
  fileEnd_ = end;
  return written;
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
      std::uint64_t newest = 0;
      if (rest.starts_with(kMarkerPrefix) && ReadNumber(rest.substr(kMarkerPrefix.size()), count)) {
        rest = rest.substr(rest.find(' ', kMarkerPrefix.size()));
        const bool ring =
            rest.starts_with(kRingPrefix) && ReadNumber(rest.substr(kRingPrefix.size()), newest);
        if (ring) rest = rest.substr(rest.find(' ', kRingPrefix.size()));
        const std::string_view suffix = ring ? kRingSuffix : kMarkerSuffix;
        if (rest.starts_with(suffix) && rest.ends_with('\n') &&
            rest.find_first_not_of(' ', suffix.size()) == rest.size() - 1 &&
            head + kMarkerBytes + newest <= fileEnd_) {
          cut_ = true;
          wrapped_ = ring;
          headEndsLine_ = endsLine;
          leftOut_ = count;
          tailStart_ = head + kMarkerBytes;
          next_ = ring ? tailStart_ + newest : fileEnd_;
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
