#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The script's output as the bytes it wrote, kept on disk as install.log; the
// run before's stays as install.1.log. Bounded: past headBytes + 2 × tailBytes
// of output the file keeps its beginning and its latest tailBytes to
// 2 × tailBytes (from a line start where one is near), with one line between
// them saying how much was left out. Written by one process at a time: the
// installer, then, should it end first, the keeper, which continues it.
//
// Each byte is written about once. The kept end is a ring of 2 × tailBytes: a
// lap overwrites the oldest output, and the line in the middle then says so,
// "(最新 W バイトが先)": the newest W bytes come first, the older after them.
// finish() puts the two in order, once. Before anything is moved, the line
// says where each part lies for as long as the move lasts, so that a file
// whose writers were all killed at any moment reads as that line says.
//
// Where things lie in the file is never read back from it: the output may
// hold anything, a line shaped like ours included. It goes to a small private
// side file instead, which the next writer is handed with the file.
struct LogFileLimits {
  std::uint64_t headBytes = std::uint64_t{32} << 20;
  std::uint64_t tailBytes = std::uint64_t{64} << 20;
};

class LogFile {
 public:
  using Limits = LogFileLimits;
  struct Layout;

  // Makes the folder when missing, turns the last file over and starts a new
  // one. Null, with the reason in `error`, when that cannot be done; the last
  // file is then emptied or removed, so that it never passes for this run's.
  static std::shared_ptr<LogFile> Open(const std::string& folder, std::string& error,
                                       Limits limits = {});
  // Continues the file open on `fd` from where its last writer left it, as
  // that writer's side file on `layoutFd` says, finishing any move it had
  // begun. Takes both descriptors. Null when the side file cannot be read.
  static std::shared_ptr<LogFile> Resume(int fd, int layoutFd);
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  const std::string& path() const { return path_; }
  const Limits& limits() const { return limits_; }
  // For handing the file on; both stay this object's.
  int descriptor() const { return fd_; }
  int layoutDescriptor() const { return layoutFd_; }
  // How many bytes of output the file has taken, kept or left out.
  std::uint64_t outputBytes() const;
  // The reason, the one time the file could not be written; from then on it
  // takes nothing more, and is emptied.
  std::optional<std::string> write(std::string_view bytes);
  // At the end of the output: the kept end in order. Also a reason, once.
  std::optional<std::string> finish();
  bool failed() const { return failed_; }

 private:
  LogFile(int fd, int layoutFd, std::string path, Limits limits);
  bool writeAt(std::uint64_t position, std::string_view bytes);
  bool move(std::uint64_t from, std::uint64_t to, std::uint64_t length);
  bool truncate(std::uint64_t end);
  std::uint64_t lineStartBefore(std::uint64_t from, std::uint64_t limit);
  std::optional<std::string> failed(bool written);
  bool writeRing(std::string_view bytes);
  bool endLap();
  bool continueLapEnd();
  bool continueJoin();
  bool say(std::uint64_t firstFrom, std::uint64_t firstTo, std::uint64_t secondFrom,
           std::uint64_t secondTo, bool mayEndWithFile = true);
  bool sayInOrder();
  bool sayRing();
  bool record();
  bool readRecord();
  std::uint64_t tailStart() const;
  std::uint64_t lapEnd() const;

  const int fd_;
  const int layoutFd_;
  const std::string path_;
  Limits limits_;
  std::atomic<bool> failed_ = false;
  std::string reason_;
  std::uint64_t sequence_ = 0;

  // What the side file holds. Positions are offsets in the file.
  enum class Stage : std::uint8_t {
    kWhole,        // nothing left out yet; the file is the output
    kRing,         // newest output up to next_, the older from olderFrom_ to fileEnd_
    kLapEnding,    // a lap ended at moveFrom_: the part line past it goes first
    kLapCopied,    // ... and is there: the file is cut at moveFrom_
    kJoinDropped,  // putting the ring in order: the older from moveFrom_ on is kept
    kJoinMoving,   // ... followed by a copy of the newest; moveDone_ bytes moved down
  };
  Stage stage_ = Stage::kWhole;
  bool headEndsLine_ = true;
  // How far the file reaches, whatever it holds.
  std::uint64_t size_ = 0;
  // Where the older output ends; in the first lap, where the output does.
  std::uint64_t fileEnd_ = 0;
  std::uint64_t next_ = 0;
  // Where the older output kept begins: what lies between next_ and here was
  // given up to the ring's next writes.
  std::uint64_t olderFrom_ = 0;
  std::uint64_t leftOut_ = 0;
  std::uint64_t written_ = 0;
  std::uint64_t moveFrom_ = 0;
  std::uint64_t moveDone_ = 0;
};

}  // namespace corvane
