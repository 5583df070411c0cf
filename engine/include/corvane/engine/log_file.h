#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The script's output as the bytes it wrote, kept on disk as install.log; the
// run before's stays as install.1.log. Bounded: past headBytes + 2 × tailBytes
// of output the file keeps its beginning and its latest tailBytes to
// 2 × tailBytes (from a line start where one is near), with one line between
// them saying how much was left out. Written by one thread at a time: the
// output reader, then, should the program end first, the keeper, which
// continues it.
//
// Each byte is written about once. Past the first cut, the end is kept as a
// ring of 2 × tailBytes: a lap overwrites the oldest output, and the line in
// the middle then says so, "(最新 W バイトが先)": the newest W bytes come
// first, the older after them. finish() puts the two in order, once.
struct LogFileLimits {
  std::uint64_t headBytes = std::uint64_t{32} << 20;
  std::uint64_t tailBytes = std::uint64_t{64} << 20;
};

class LogFile {
 public:
  using Limits = LogFileLimits;

  // Makes the folder when missing, turns the last file over and starts a new
  // one. Null, with the reason in `error`, when that cannot be done; the last
  // file is then emptied or removed, so that it never passes for this run's.
  static std::shared_ptr<LogFile> Open(const std::string& folder, std::string& error,
                                       Limits limits = {});
  // Continues the file open on `fd` (which it takes) from what it holds, as
  // if this object had written it all: for a process that takes over writing
  // it. Null when the file cannot be read.
  static std::shared_ptr<LogFile> Resume(int fd, Limits limits);
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  const std::string& path() const { return path_; }
  const Limits& limits() const { return limits_; }
  // For handing the file on; it stays this object's.
  int descriptor() const { return fd_; }
  // The reason, the one time the file could not be written; from then on it
  // takes nothing more, and is emptied.
  std::optional<std::string> write(std::string_view bytes);
  // At the end of the output: the kept end in order. Also a reason, once.
  std::optional<std::string> finish();
  bool failed() const { return failed_; }
  // Called by the writing thread when the file fails, before it is emptied.
  // Set before the first write.
  void onFailure(std::function<void()> callback) { onFailure_ = std::move(callback); }

 private:
  LogFile(int fd, std::string path, Limits limits);
  bool writeAt(std::uint64_t position, std::string_view bytes);
  bool move(std::uint64_t from, std::uint64_t to, std::uint64_t length);
  std::uint64_t lineStartNear(std::uint64_t from, bool forward);
  std::optional<std::string> failed(bool written);
  bool cutTheMiddle();
  bool writeRing(std::string_view bytes);
  bool endLap();
  bool join();
  bool writeMarker();
  void readLayout();

  const int fd_;
  const std::string path_;
  const Limits limits_;
  std::atomic<bool> failed_ = false;
  std::function<void()> onFailure_;
  std::string reason_;
  std::uint64_t fileEnd_ = 0;
  // Once output was left out: where the kept end begins, and how much of the
  // output before its oldest byte is not in the file.
  bool cut_ = false;
  bool headEndsLine_ = true;
  std::uint64_t tailStart_ = 0;
  std::uint64_t leftOut_ = 0;
  // Where the next byte goes; once a lap has ended, the newest output lies
  // before it and the oldest from it to the file's end.
  std::uint64_t next_ = 0;
  bool wrapped_ = false;
};

}  // namespace corvane
