#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/app/log_positions.h"
#include "corvane/app/text_units.h"

namespace corvane {

// The log's text, exactly as delivered: UTF-8 in large chunks, with an index
// of where each line starts. A line ends at LF, CR, CRLF, U+2028 or U+2029;
// the line end stays part of the text. Offsets and line numbers are absolute:
// they count from the start of the run and survive the dropping of old lines.
//
// Bounded by one budget for text and index together. Past it, the oldest
// whole lines go and are counted; a single line longer than the budget loses
// its beginning. Running out of memory drops older text too, never the run.
class LogStore {
 public:
  static constexpr std::size_t kDefaultBudget = std::size_t{128} << 20;
  static constexpr std::size_t kDefaultChunkBytes = std::size_t{256} << 10;
  // What one line-start entry costs.
  static constexpr std::size_t kIndexBytesPerLine = sizeof(std::uint32_t);

  // The text is held in chunks of chunkBytes, a power of two; small ones are
  // for tests.
  explicit LogStore(std::size_t budgetBytes = kDefaultBudget,
                    std::size_t chunkBytes = kDefaultChunkBytes);

  // Text is well-formed UTF-8 (the output decoder sees to it).
  void append(std::string_view text);

  // The kept text is [beginOffset, endOffset).
  Offset beginOffset() const { return begin_; }
  Offset endOffset() const { return end_; }
  std::uint64_t keptBytes() const { return end_ - begin_; }
  // Exactly the kept text between two offsets, clamped to what is kept.
  std::string text(Offset from, Offset to) const;
  std::string text() const { return text(begin_, end_); }
  char byteAt(Offset offset) const;
  // The kept bytes from `offset` to the end of its chunk or of the text,
  // read in place: valid until the next append.
  std::string_view bytesFrom(Offset offset) const;

  // Kept lines are [firstLine, endLine); the last one may still be growing
  // and has no line end yet.
  Line firstLine() const { return firstLine_; }
  Line endLine() const { return firstLine_ + starts_.size(); }
  Offset lineStart(Line line) const;
  // Where the line's text ends: before its line end, if it has one.
  Offset lineContentEnd(Line line) const;
  // Where the next line starts: after its line end.
  Offset lineEnd(Line line) const;
  // The kept line holding the offset (the last line for the end offset).
  Line lineAt(Offset offset) const;
  // True when the first kept line lost its beginning to the bound.
  bool firstLineIsPartial() const { return firstLinePartial_; }

  // Indexes from the start of the kept text in the unit an accessibility
  // interface counts, and back: NSAccessibility counts UTF-16 units, AT-SPI
  // characters. An index inside a surrogate pair gives its character's start.
  TextIndex length(TextUnit unit) const { return indexAt(end_, unit); }
  TextIndex indexAt(Offset offset, TextUnit unit) const;
  Offset offsetAt(TextIndex index, TextUnit unit) const;

  // What went to keep within the budget: whole line ends, and characters
  // (code points).
  std::uint64_t droppedLines() const { return droppedLines_; }
  std::uint64_t droppedCharacters() const { return dropped_.characters; }
  std::uint64_t dropped(TextUnit unit) const { return dropped_.in(unit); }

  // Memory ran short elsewhere: keeps half of what it holds from now on.
  void relieveMemory();

  // Text and index as held, for the budget and for measurements.
  std::size_t memoryBytes() const;
  std::size_t budget() const { return budget_; }

 private:
  // Chunks are mapped and unmapped, not taken from malloc: freed, they give
  // their address space back at once, which a limit on it (ulimit -v) counts.
  struct Unmap {
    std::size_t length;
    void operator()(char* bytes) const;
  };
  using ChunkBytes = std::unique_ptr<char[], Unmap>;
  static ChunkBytes MapChunk(std::size_t length);

  struct Chunk {
    ChunkBytes bytes;
    // Counts of everything appended before the chunk's first byte.
    utf8::Counts before;
  };

  void appendBytes(std::string_view text);
  void trim(std::size_t target);
  void dropThrough(Offset offset);
  // Counts of everything appended before the offset.
  utf8::Counts countsAt(Offset offset) const;
  const Chunk& chunkAt(Offset offset) const;
  Offset chunkStart(std::size_t index) const { return chunkBase_ + (index << chunkShift_); }
  std::size_t chunkIndex(Offset offset) const {
    return static_cast<std::size_t>((offset - chunkBase_) >> chunkShift_);
  }
  std::size_t withinChunk(Offset offset) const {
    return static_cast<std::size_t>((offset - chunkBase_) & (chunkBytes_ - 1));
  }

  const std::size_t chunkBytes_;
  const unsigned chunkShift_;
  std::size_t budget_;
  std::vector<Chunk> chunks_;
  // Chunks dropped from the front, kept for the next ones at the back; a
  // few, outside the budget, and let go of when memory runs short.
  static constexpr std::size_t kSpareChunks = 10;
  std::vector<ChunkBytes> spare_;
  // Offset of chunks_.front()'s first byte.
  Offset chunkBase_;
  Offset begin_;
  Offset end_;
  // Line starts, each as its offset modulo 2^32: the kept text is far shorter
  // than 4 GiB, so an offset is recovered from its distance to begin_.
  std::deque<std::uint32_t> starts_;
  Line firstLine_;
  bool firstLinePartial_ = false;
  // The text ends in CR: a LF that comes next makes it one CRLF line end.
  bool pendingCarriageReturn_ = false;
  utf8::Counts total_;
  std::uint64_t droppedLines_ = 0;
  utf8::Counts dropped_;
  // Where the line ends of the text being appended end; kept to reuse its room.
  std::vector<std::uint32_t> lineEnds_;
};

}  // namespace corvane
