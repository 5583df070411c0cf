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
// of output the file keeps its beginning and its latest tailBytes (from a line
// start where one is near), with one line between them saying how much was
// left out. Written by one thread, the output reader.
struct LogFileLimits {
  std::uint64_t headBytes = std::uint64_t{32} << 20;
  std::uint64_t tailBytes = std::uint64_t{64} << 20;
};

class LogFile {
 public:
  using Limits = LogFileLimits;

  // Makes the folder when missing, turns the last file over and starts a new
  // one. Null, with the reason in `error`, when that cannot be done.
  static std::shared_ptr<LogFile> Open(const std::string& folder, std::string& error,
                                       Limits limits = {});
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  const std::string& path() const { return path_; }
  // The reason, the one time the file could not be written; from then on it
  // takes nothing more, and is emptied.
  std::optional<std::string> write(std::string_view bytes);
  bool failed() const { return failed_; }
  // For a copy that outlives this object: a new descriptor that appends to
  // the file, and how many bytes it may add within the bound; -1 once the file
  // has failed. Not while write() may run.
  int openForAppending(std::uint64_t& room) const;

 private:
  LogFile(int fd, std::string path, Limits limits);
  bool writeAt(std::uint64_t position, std::string_view bytes);
  bool keepOnlyTheEnd();
  bool writeMarker();

  const int fd_;
  const std::string path_;
  const Limits limits_;
  std::atomic<bool> failed_ = false;
  std::string reason_;
  std::uint64_t fileEnd_ = 0;
  // Once output was left out: where the marker line and the kept end begin.
  bool cut_ = false;
  bool headEndsLine_ = true;
  std::uint64_t tailStart_ = 0;
  std::uint64_t leftOut_ = 0;
};

}  // namespace corvane
