#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "corvane/app/log_store.h"

namespace corvane {

// The log as both front ends show it: the store's exact text, read as
// segments for display, and the note on what was dropped. The toolkits only
// draw it. Main thread only.
class LogModel {
 public:
  // A line longer than this is shown as several segments, so that no view
  // lays out one huge paragraph; the text itself is unchanged.
  static constexpr std::uint64_t kSegmentBytes = 4096;

  class Observer {
   public:
    virtual ~Observer() = default;
    // After each append; the reader coalesces these into one update a frame.
    virtual void logDidChange() = 0;

   protected:
    Observer() = default;
    Observer(const Observer&) = default;
    Observer& operator=(const Observer&) = default;
  };

  // One piece of a line as shown: [from, to), without the line end.
  struct Segment {
    Line line;
    std::uint64_t index = 0;  // within the line
    Offset from;
    Offset to;
    bool operator==(const Segment&) const = default;
  };

  explicit LogModel(std::size_t budgetBytes = LogStore::kDefaultBudget,
                    std::size_t chunkBytes = LogStore::kDefaultChunkBytes);

  void append(std::string_view text);
  const LogStore& store() const { return store_; }
  // A view that ran out of memory drawing the log: older output goes.
  void relieveMemory() { store_.relieveMemory(); }
  // Exactly the kept text between two offsets: what copying gives.
  std::string text(Offset from, Offset to) const { return store_.text(from, to); }

  // True when the text is empty or ends with a line end.
  bool endsLine() const { return store_.lineStart(store_.endLine() - 1) == store_.endOffset(); }

  // One observer, the view's reader; it removes itself before it goes.
  void setObserver(Observer* observer) { observer_ = observer; }

  // "以前の出力 N 行 (M 文字) を省略しました", or empty while nothing was dropped.
  std::string droppedNote() const;

  std::uint64_t segmentCount(Line line) const;
  Segment segment(Line line, std::uint64_t index) const;
  // The segment an offset lies in; an offset in a line end belongs to its
  // line's last segment.
  Segment segmentAt(Offset offset) const;
  Segment firstSegment() const { return segment(store_.firstLine(), 0); }
  Segment lastSegment() const;
  // False at the first or last kept segment.
  bool previous(Segment& segment) const;
  bool next(Segment& segment) const;
  // A segment's text as shown, in UTF-16 as toolkits take it: NUL, which no
  // text view or screen reader carries, as the visible symbol ␀, one unit for
  // one, so that units count alike in the text and as shown.
  std::u16string displayText(const Segment& segment) const {
    return shownText(segment.from, segment.to);
  }
  // The same for any kept text: what a screen reader is given.
  std::u16string shownText(Offset from, Offset to) const;
  // The UTF-16 unit of the segment's text at `offset`, and back.
  Unit unitAt(const Segment& segment, Offset offset) const;
  Offset offsetAt(const Segment& segment, Unit unit) const;

 private:
  LogStore store_;
  Observer* observer_ = nullptr;
};

// Groups digits by thousands, as the note shows counts: 1234567 -> "1,234,567".
std::string GroupDigits(std::uint64_t value);

}  // namespace corvane
