#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "corvane/app/log_store.h"
#include "corvane/engine/main_queue.h"

namespace corvane {

// What a code point compares as when case is ignored: Unicode's folding, as
// the platform has it (ICU on Linux), so that full-width letters match their
// ASCII ones and half-width kana their full-width ones.
class TextFolding {
 public:
  virtual ~TextFolding() = default;
  // Several code points (ß: "ss"), or none for one that counts as nothing
  // (a soft hyphen).
  virtual std::u32string fold(char32_t c) const = 0;

 protected:
  TextFolding() = default;
  TextFolding(const TextFolding&) = default;
  TextFolding& operator=(const TextFolding&) = default;
};

// Finds a literal text in everything the log keeps, and goes on finding it in
// what comes. It reads the store on the main thread, the only one that may,
// in slices of a few milliseconds, so that a search never holds the window
// up; a new search ends the last. What goes from the start of the log takes
// its matches with it.
//
// A match begins and ends on whole code points of the text and whole folded
// ones of the needle: "s" matches no half of "ß". NUL matches ␀, as it is
// shown. Matches may overlap. They are counted in blocks of the text, so that
// stepping and counting stay cheap however many there are. Main thread only.
class LogSearch {
 public:
  struct Match {
    Offset from;
    Offset to;
    bool operator==(const Match&) const = default;
  };
  static constexpr std::chrono::milliseconds kSlice{3};
  static constexpr unsigned kDefaultBlockShift = 16;

  // `progressed` hears after each slice of work. Matches are counted by
  // blocks of 2^blockShift bytes; small ones are for tests.
  LogSearch(const LogStore& store, std::shared_ptr<MainQueue> mainQueue,
            std::function<void()> progressed, unsigned blockShift = kDefaultBlockShift);
  ~LogSearch();
  LogSearch(const LogSearch&) = delete;
  LogSearch& operator=(const LogSearch&) = delete;

  // Searches for `text` from the start of what is kept, ignoring case and
  // width as `folding` folds; with none, code points must be the same.
  void start(std::string_view text, const TextFolding* folding);
  void stop();
  bool active() const { return pattern_ != nullptr; }
  // Goes on into output that came since: after each change of the log.
  void resume();

  // What is found so far; complete() once all that is kept is searched.
  std::uint64_t count();
  bool complete();
  // Every match that starts before this is known.
  Offset searched();
  // Among the matches known: those starting in [from, to); the first
  // starting at or after an offset, the last before one; how many start
  // before one. The match starting at an offset, if one does.
  std::vector<Match> matchesIn(Offset from, Offset to);
  std::optional<Match> firstFrom(Offset from);
  std::optional<Match> lastBefore(Offset before);
  std::uint64_t countBefore(Offset at);
  std::optional<Match> matchAt(Offset at);
  // At most how many bytes of text a match spans, but for what counts as
  // nothing inside it.
  std::uint64_t longestMatch() const;

 private:
  struct Pattern;
  class Folds;
  enum class Verdict { kNo, kYes, kMore };
  using Found = std::function<bool(const Match&)>;

  void post();
  void work();
  // Takes in text dropped from the start.
  void sync();
  // Decides every start in [from, to), telling `found` of each match until
  // it returns false. Returns where it stopped: `to`; the match `found`
  // stopped at; or a start whose match may still be completed by output to
  // come.
  Offset scan(Offset from, Offset to, const Found& found);
  Offset scanPiece(Offset from, Offset to, const Found& found);
  bool scanAscii(const char* bytes, std::size_t from, std::size_t to, Offset base,
                 const Found& found);
  Verdict matchFrom(Offset start, Offset& end);
  // Whether a match may start with `c`, as its folding starts.
  bool mayStart(char32_t c);
  void decode(Offset at, char32_t& c, unsigned& length);
  void bump(Offset at);
  Offset blockEnd(Offset at) const;
  Offset blockStart(std::uint64_t block) const;

  const LogStore& store_;
  const std::shared_ptr<MainQueue> mainQueue_;
  const std::function<void()> progressed_;
  const unsigned blockShift_;
  const std::shared_ptr<LogSearch*> self_;
  std::unique_ptr<Pattern> pattern_;
  std::unique_ptr<Folds> folds_;
  std::uint64_t generation_ = 0;
  bool posted_ = false;
  // The kept text's start when last seen.
  Offset begin_;
  Offset searched_;
  // The text's end when a match that runs into it stopped the search.
  std::optional<Offset> stalledAt_;
  // Matches by block of the text, the first block being firstBlock_.
  std::deque<std::uint32_t> counts_;
  std::uint64_t firstBlock_ = 0;
  std::uint64_t total_ = 0;
  // The bytes last read in place, and where they start.
  std::string_view span_;
  Offset spanFrom_;
};

}  // namespace corvane
