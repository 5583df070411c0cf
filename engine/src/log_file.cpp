#include "corvane/engine/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "corvane/engine/install_plan.h"
#include "file_system.h"

namespace corvane {
namespace {

// The line between the head and the kept end, always this long: wide enough
// for the longest thing it says with numbers of twenty digits.
constexpr std::uint64_t kMarkerBytes = 256;
// How far back from a cut a line start is looked for, so that what is kept
// begins with a whole line.
constexpr std::uint64_t kLineSearchBytes = std::uint64_t{64} * 1024;
constexpr std::size_t kCopyBytes = std::size_t{1} << 20;
// Ahead of the ring's next write this much of the oldest output is given up
// at once, so that the side file is written once a write, not twice.
constexpr std::uint64_t kDropAheadBytes = std::uint64_t{1} << 20;

constexpr std::string_view kMarkerPrefix = "--- 出力 ";
constexpr std::string_view kMarkerLeftOut = " バイトを省略しました";
constexpr std::string_view kMarkerEnd = " ---";

std::string Reason(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

// The side file: two copies of the layout, written in turn, each with its
// sequence number and a checksum, so that one is whole whenever a writer
// stops.
constexpr std::uint64_t kLayoutMagic = 0x31796C4C6E766F43;  // "CovnLly1"
enum Field : std::size_t {
  kMagic,
  kSequence,
  kHead,
  kTail,
  kStage,
  kHeadEndsLine,
  kFailed,
  kFileEnd,
  kNext,
  kOlderFrom,
  kLeftOut,
  kMoveFrom,
  kMoveDone,
  kWritten,
  kChecksum,
  kFields,
};
using Record = std::array<std::uint64_t, kFields>;
constexpr off_t kSlotBytes = 256;
static_assert(sizeof(Record) <= kSlotBytes);

std::uint64_t Checksum(const Record& record) {
  std::uint64_t hash = 0xCBF29CE484222325;
  for (std::size_t i = 0; i < kChecksum; ++i) {
    hash ^= record[i];
    hash *= 0x100000001B3;
  }
  return hash;
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
  // The side file has no name: nobody else can find it, and it goes with the
  // last descriptor.
  std::string side = AppendPathComponent(folder, ".install.log.XXXXXX");
  const int layoutFd = ::mkstemp(side.data());
  if (layoutFd < 0) {
    error = Reason(side, errno);
    ::close(fd);
    return nullptr;
  }
  ::unlink(side.c_str());
  ::fcntl(layoutFd, F_SETFD, FD_CLOEXEC);
  limits.tailBytes = std::max<std::uint64_t>(limits.tailBytes, 1);
  std::shared_ptr<LogFile> file(new LogFile(fd, layoutFd, path, limits));
  if (!file->record()) {
    error = file->reason_;
    return nullptr;
  }
  return file;
}

std::shared_ptr<LogFile> LogFile::Resume(int fd, int layoutFd) {
  std::shared_ptr<LogFile> file(new LogFile(fd, layoutFd, {}, {}));
  struct stat info {};
  if (!file->readRecord() || ::fstat(fd, &info) != 0) return nullptr;
  if (file->failed_) return file;
  file->size_ = static_cast<std::uint64_t>(info.st_size);
  if (file->stage_ == Stage::kWhole) {
    // Up to the first lap's end the file is the output, and its size says
    // how much of it was written, to the byte.
    file->fileEnd_ = file->written_ = file->size_;
    return file;
  }
  // What the last writer began is done first; the line is said again, as it
  // may be ahead of the side file.
  bool done = true;
  switch (file->stage_) {
    case Stage::kLapEnding:
    case Stage::kLapCopied:
      done = file->continueLapEnd();
      break;
    case Stage::kJoinDropped:
    case Stage::kJoinMoving:
      done = file->continueJoin();
      break;
    default:
      done = file->sayRing();
  }
  (void)file->failed(done);
  return file;
}

LogFile::LogFile(int fd, int layoutFd, std::string path, Limits limits)
    : fd_(fd), layoutFd_(layoutFd), path_(std::move(path)), limits_(limits) {}

LogFile::~LogFile() {
  ::close(fd_);
  ::close(layoutFd_);
}

std::uint64_t LogFile::outputBytes() const { return written_; }

std::uint64_t LogFile::tailStart() const { return limits_.headBytes + kMarkerBytes; }

std::uint64_t LogFile::lapEnd() const { return tailStart() + 2 * limits_.tailBytes; }

std::optional<std::string> LogFile::write(std::string_view bytes) {
  if (failed_ || bytes.empty()) return std::nullopt;
  if (stage_ == Stage::kWhole) {
    const auto whole =
        static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), lapEnd() - fileEnd_));
    if (!writeAt(fileEnd_, bytes.substr(0, whole))) return failed(false);
    fileEnd_ += whole;
    written_ += whole;
    bytes.remove_prefix(whole);
    if (fileEnd_ == lapEnd() && !endLap()) return failed(false);
    if (bytes.empty()) return std::nullopt;
  }
  return failed(writeRing(bytes));
}

std::optional<std::string> LogFile::finish() {
  if (failed_ || stage_ == Stage::kWhole) return std::nullopt;
  const std::uint64_t newest = next_ - tailStart();
  if (newest >= limits_.tailBytes || olderFrom_ >= fileEnd_) {
    // The newest alone are enough, or all there is.
    leftOut_ += fileEnd_ - std::min(olderFrom_, fileEnd_);
    olderFrom_ = fileEnd_;
    if (!record() || !say(0, 0, tailStart(), next_) || !truncate(next_)) return failed(false);
    olderFrom_ = fileEnd_ = next_;
    return failed(record() && sayInOrder());
  }
  // The older, from a line start, as much as the newest need to make up
  // tailBytes; the rest of it goes.
  const std::uint64_t from =
      lineStartBefore(std::max(olderFrom_, fileEnd_ - (limits_.tailBytes - newest)), olderFrom_);
  leftOut_ += from - olderFrom_;
  olderFrom_ = moveFrom_ = from;
  stage_ = Stage::kJoinDropped;
  // Said with its end, as the newest are copied past it.
  return failed(record() && say(from, fileEnd_, tailStart(), next_, false) && continueJoin());
}

// The older kept from moveFrom_ and the newest, in order: the newest are
// copied after the older, and the two moved down together, a piece at a time,
// the line saying after each piece where the rest still lies.
bool LogFile::continueJoin() {
  const std::uint64_t start = tailStart();
  const std::uint64_t newest = next_ - start;
  if (stage_ == Stage::kJoinDropped) {
    if (!move(start, fileEnd_, newest)) return false;
    stage_ = Stage::kJoinMoving;
    moveDone_ = 0;
    if (!record() || !say(moveFrom_, fileEnd_ + newest, 0, 0)) return false;
  }
  const std::uint64_t length = fileEnd_ + newest - moveFrom_;
  // Already in place when nothing went before it.
  while (moveDone_ < length && moveFrom_ > start) {
    // No piece reaches what it is moved from.
    const std::uint64_t piece =
        std::min<std::uint64_t>({kCopyBytes, moveFrom_ - start, length - moveDone_});
    if (!move(moveFrom_ + moveDone_, start + moveDone_, piece)) return false;
    moveDone_ += piece;
    if (!record() || !say(start, start + moveDone_, moveFrom_ + moveDone_, moveFrom_ + length)) {
      return false;
    }
  }
  if (!truncate(start + length)) return false;
  stage_ = Stage::kRing;
  next_ = olderFrom_ = fileEnd_ = start + length;
  return record() && sayInOrder();
}

std::optional<std::string> LogFile::failed(bool written) {
  if (written) return std::nullopt;
  failed_ = true;
  const std::string reason = reason_;
  // Whoever writes next leaves it so. Cut off with no word of it, the file
  // would pass for the whole output; and on a full disk the install needs
  // its room more than the window's output needs a second copy.
  // A side file that cannot say so says nothing, which leaves it so too.
  if (!record()) (void)::ftruncate(layoutFd_, 0);
  (void)::ftruncate(fd_, 0);
  size_ = 0;
  return reason;
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
    size_ = std::max(size_, position);
  }
  return true;
}

bool LogFile::truncate(std::uint64_t end) {
  if (::ftruncate(fd_, static_cast<off_t>(end)) != 0) {
    reason_ = Reason(path_, errno);
    return false;
  }
  size_ = end;
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

// The last line start at or before `from` and not before `limit`, no further
// back than half of what is kept; `from` itself when there is none.
std::uint64_t LogFile::lineStartBefore(std::uint64_t from, std::uint64_t limit) {
  const std::uint64_t reach =
      std::min({kLineSearchBytes, limits_.tailBytes / 2, from - std::min(limit, from)});
  std::string window(static_cast<std::size_t>(reach), '\0');
  if (reach == 0 || ::pread(fd_, window.data(), window.size(), static_cast<off_t>(from - reach)) !=
                        static_cast<ssize_t>(window.size())) {
    return from;
  }
  const std::size_t newline = window.rfind('\n');
  return newline == std::string::npos ? from : from - reach + newline + 1;
}

// Past the first lap, the newest output overwrites the oldest.
bool LogFile::writeRing(std::string_view bytes) {
  while (!bytes.empty()) {
    if (next_ == lapEnd() && !endLap()) return false;
    const auto take =
        static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), lapEnd() - next_));
    if (olderFrom_ < fileEnd_ && next_ + take > olderFrom_) {
      // Given up before it is overwritten, and said so first.
      const std::uint64_t ahead = std::min(kDropAheadBytes, limits_.tailBytes / 2);
      const std::uint64_t until = std::min(fileEnd_, next_ + take + ahead);
      leftOut_ += until - olderFrom_;
      olderFrom_ = until;
      if (!record() || !sayRing()) return false;
    }
    if (!writeAt(next_, bytes.substr(0, take))) return false;
    next_ += take;
    written_ += take;
    // With nothing older left, the newest may reach past where it ended.
    if (olderFrom_ >= fileEnd_) olderFrom_ = fileEnd_ = std::max(fileEnd_, next_);
    bytes.remove_prefix(take);
    if (!record() || !sayRing()) return false;
  }
  return true;
}

// A lap ends at its last line start, so that the next one, and the kept end
// once in order, begin with a whole line; the part line past it goes to the
// ring's start, over the oldest output.
bool LogFile::endLap() {
  const std::uint64_t start = tailStart();
  if (stage_ == Stage::kWhole) {
    char last = '\n';
    if (limits_.headBytes > 0) {
      (void)::pread(fd_, &last, 1, static_cast<off_t>(limits_.headBytes - 1));
    }
    headEndsLine_ = last == '\n';
    // The line goes over output, which is left out from now on.
    leftOut_ = kMarkerBytes;
  }
  moveFrom_ = lineStartBefore(lapEnd(), start);
  const std::uint64_t carried = lapEnd() - moveFrom_;
  leftOut_ += carried;
  stage_ = Stage::kLapEnding;
  return record() && say(start + carried, lapEnd(), 0, 0) && continueLapEnd();
}

bool LogFile::continueLapEnd() {
  const std::uint64_t start = tailStart();
  const std::uint64_t carried = lapEnd() - moveFrom_;
  if (stage_ == Stage::kLapEnding) {
    if (!move(moveFrom_, start, carried)) return false;
    stage_ = Stage::kLapCopied;
    if (!record() || !say(start + carried, moveFrom_, start, start + carried)) return false;
  }
  if (!truncate(moveFrom_)) return false;
  fileEnd_ = moveFrom_;
  next_ = olderFrom_ = start + carried;
  stage_ = Stage::kRing;
  return record() && sayRing();
}

// The kept end is the output from `firstFrom` to `firstTo`, then from
// `secondFrom` to `secondTo`; the line says so in its most readable form,
// which may say "to the end of the file" unless `mayEndWithFile` is false.
bool LogFile::say(std::uint64_t firstFrom, std::uint64_t firstTo, std::uint64_t secondFrom,
                  std::uint64_t secondTo, bool mayEndWithFile) {
  const std::uint64_t start = tailStart();
  auto offset = [&](std::uint64_t at) { return std::to_string(at - start); };
  std::string marker = headEndsLine_ ? "" : "\n";
  marker.append(kMarkerPrefix).append(std::to_string(leftOut_)).append(kMarkerLeftOut);
  const bool firstEmpty = firstFrom >= firstTo;
  const bool secondEmpty = secondFrom >= secondTo;
  const std::uint64_t end = mayEndWithFile ? size_ : ~std::uint64_t{0};
  if (firstEmpty && secondEmpty) {
    marker.append(" (以下は空)");
  } else if ((secondEmpty && firstFrom == start && firstTo == end) ||
             (firstEmpty && secondFrom == start && secondTo == end)) {
    // In order to the end: nothing more to say.
  } else if (!firstEmpty && !secondEmpty && secondFrom == start && firstTo == end &&
             firstFrom >= secondTo) {
    marker.append(" (最新 ").append(offset(secondTo)).append(" バイトが先");
    if (firstFrom > secondTo) {
      marker.append("、続く ").append(std::to_string(firstFrom - secondTo)).append(" バイトは省略");
    }
    marker.append(")");
  } else {
    marker.append(" (以下の ");
    if (!firstEmpty) marker.append(offset(firstFrom)).append("-").append(offset(firstTo));
    if (!firstEmpty && !secondEmpty) marker.append("、続いて ");
    if (!secondEmpty) marker.append(offset(secondFrom)).append("-").append(offset(secondTo));
    marker.append(" バイト目の順)");
  }
  marker.append(kMarkerEnd);
  marker.resize(kMarkerBytes - 1, ' ');
  marker += '\n';
  return writeAt(limits_.headBytes, marker);
}

bool LogFile::sayInOrder() { return say(tailStart(), fileEnd_, 0, 0); }

bool LogFile::sayRing() {
  if (next_ == tailStart()) return say(olderFrom_, fileEnd_, 0, 0);
  return say(olderFrom_, fileEnd_, tailStart(), next_);
}

bool LogFile::record() {
  Record record{};
  record[kMagic] = kLayoutMagic;
  record[kSequence] = ++sequence_;
  record[kHead] = limits_.headBytes;
  record[kTail] = limits_.tailBytes;
  record[kStage] = static_cast<std::uint64_t>(stage_);
  record[kHeadEndsLine] = headEndsLine_ ? 1 : 0;
  record[kFailed] = failed_ ? 1 : 0;
  record[kFileEnd] = fileEnd_;
  record[kNext] = next_;
  record[kOlderFrom] = olderFrom_;
  record[kLeftOut] = leftOut_;
  record[kMoveFrom] = moveFrom_;
  record[kMoveDone] = moveDone_;
  record[kWritten] = written_;
  record[kChecksum] = Checksum(record);
  const off_t at = static_cast<off_t>(sequence_ % 2) * kSlotBytes;
  for (;;) {
    const ssize_t n = ::pwrite(layoutFd_, record.data(), sizeof record, at);
    if (n < 0 && errno == EINTR) continue;
    if (n == static_cast<ssize_t>(sizeof record)) return true;
    reason_ = Reason(path_, n < 0 ? errno : ENOSPC);
    return false;
  }
}

bool LogFile::readRecord() {
  std::optional<Record> newest;
  for (off_t slot = 0; slot < 2; ++slot) {
    Record record{};
    if (::pread(layoutFd_, record.data(), sizeof record, slot * kSlotBytes) !=
            static_cast<ssize_t>(sizeof record) ||
        record[kMagic] != kLayoutMagic || record[kChecksum] != Checksum(record) ||
        record[kStage] > static_cast<std::uint64_t>(Stage::kJoinMoving)) {
      continue;
    }
    if (!newest || record[kSequence] > (*newest)[kSequence]) newest = record;
  }
  if (!newest) return false;
  const Record& record = *newest;
  sequence_ = record[kSequence];
  limits_ = {record[kHead], std::max<std::uint64_t>(record[kTail], 1)};
  stage_ = static_cast<Stage>(record[kStage]);
  headEndsLine_ = record[kHeadEndsLine] != 0;
  failed_ = record[kFailed] != 0;
  fileEnd_ = record[kFileEnd];
  next_ = record[kNext];
  olderFrom_ = record[kOlderFrom];
  leftOut_ = record[kLeftOut];
  moveFrom_ = record[kMoveFrom];
  moveDone_ = record[kMoveDone];
  written_ = record[kWritten];
  return true;
}

}  // namespace corvane
