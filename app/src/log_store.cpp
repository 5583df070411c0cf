#include "corvane/app/log_store.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace corvane {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHigh = kOnes << 7;

// Whether any byte of a word is `byte`; whether any, all ASCII, is below it.
inline bool HasByte(std::uint64_t word, std::uint8_t byte) {
  const std::uint64_t x = word ^ (kOnes * byte);
  return ((x - kOnes) & ~x & kHigh) != 0;
}
inline bool HasLess(std::uint64_t word, std::uint8_t byte) {
  return ((word - kOnes * byte) & ~word & kHigh) != 0;
}

// Where each line end in `text` ends: LF, a lone CR, CRLF, U+2028 and U+2029.
// A LF right after a pending CR only finishes that CR's line end. One pass,
// eight bytes at a time past those that can end no line.
template <typename Found>
void ForEachLineEnd(std::string_view text, bool pendingCarriageReturn, Found found) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = pendingCarriageReturn && n > 0 && p[0] == '\n' ? 1 : 0;
  while (i < n) {
    if (i + 8 <= n) {
      std::uint64_t word = 0;
      std::memcpy(&word, p + i, sizeof word);
      // Most words of most output: ASCII, and no control character.
      const bool none = (word & kHigh) == 0
                            ? !HasLess(word, '\r' + 1)
                            : !HasByte(word, '\n') && !HasByte(word, '\r') && !HasByte(word, 0xE2);
      if (none) {
        i += 8;
        continue;
      }
    }
    // A word with one at least, or the last bytes: one by one.
    const std::size_t stop = std::min(n, i + 8);
    for (; i < stop; ++i) {
      if (p[i] == '\n') {
        found(i + 1);
      } else if (p[i] == '\r') {
        if (i + 1 < n && p[i + 1] == '\n') ++i;
        found(i + 1);
      } else if (p[i] == 0xE2 && i + 2 < n && p[i + 1] == 0x80 &&
                 (p[i + 2] == 0xA8 || p[i + 2] == 0xA9)) {
        i += 2;
        found(i + 1);
      }
    }
  }
}

void FindLineEnds(std::string_view text, bool pendingCarriageReturn,
                  std::vector<std::uint32_t>& ends) {
  ends.clear();
  ForEachLineEnd(text, pendingCarriageReturn,
                 [&](std::size_t end) { ends.push_back(static_cast<std::uint32_t>(end)); });
}

// The log is what grows; out of address space (ulimit -v), it must give way
// before the rest of the program meets the limit in code that cannot take
// it, such as the toolkit's (a thread, a font for a new script). So past a
// few chunks, which keep the latest lines in any case, it grows only while
// this much more could be had.
constexpr std::size_t kChunksWithoutHeadroom = 2;
void EnsureHeadroom() {
  constexpr std::size_t kHeadroomBytes = std::size_t{32} << 20;
  void* room = std::malloc(kHeadroomBytes);
  if (room == nullptr) throw std::bad_alloc();
  // Used, so that the request is not left out as one never used.
  static_cast<volatile char*>(room)[0] = 0;
  std::free(room);
}

}  // namespace

LogStore::LogStore(std::size_t budgetBytes, std::size_t chunkBytes)
    : chunkBytes_(std::bit_ceil(std::max<std::size_t>(chunkBytes, 16))),
      chunkShift_(static_cast<unsigned>(std::countr_zero(chunkBytes_))),
      budget_(std::max(budgetBytes, 4 * chunkBytes_)),
      starts_(1, 0) {}

void LogStore::append(std::string_view text) {
  if (text.empty()) return;
  // Out of memory, older text goes first: what is kept is halved until the
  // new text fits, and as a last resort the new text goes too.
  for (int attempt = 0;; ++attempt) {
    try {
      appendBytes(text);
      break;
    } catch (const std::bad_alloc&) {
      if (keptBytes() == 0) {
        const utf8::Counts counts = utf8::Count(text);
        dropped_.characters += counts.characters;
        dropped_.utf16 += counts.utf16;
        ForEachLineEnd(text, pendingCarriageReturn_, [&](std::size_t) { ++droppedLines_; });
        pendingCarriageReturn_ = false;
        return;
      }
      if (attempt < 8) {
        relieveMemory();
      } else {
        trim(0);
      }
    }
  }
  // Trimmed a couple of MiB at a time: the chunks let go of are the spares
  // the next appends take.
  if (memoryBytes() > budget_) trim(budget_ - budget_ / 64);
}

void LogStore::appendBytes(std::string_view text) {
  // Everything that may throw comes first, so that a failure changes nothing.
  FindLineEnds(text, pendingCarriageReturn_, lineEnds_);
  const std::size_t lines = starts_.size();
  const Offset capacity = chunkBase_ + chunks_.size() * chunkBytes_;
  const Offset needed = end_ + text.size();
  const auto newChunks = static_cast<std::size_t>(
      needed > capacity ? (needed - capacity + chunkBytes_ - 1) / chunkBytes_ : 0);
  // Chunks the front let go of come first: mapped again, each of their
  // pages would fault and be cleared anew.
  const std::size_t reused = std::min(newChunks, spare_.size());
  if (newChunks > reused && chunks_.size() + newChunks > kChunksWithoutHeadroom) EnsureHeadroom();
  std::vector<ChunkBytes> buffers;
  buffers.reserve(newChunks);
  for (std::size_t k = reused; k < newChunks; ++k) {
    buffers.push_back(MapChunk(chunkBytes_));
  }
  for (std::size_t k = 0; k < reused; ++k) {
    buffers.push_back(std::move(spare_.back()));
    spare_.pop_back();
  }
  chunks_.reserve(chunks_.size() + newChunks);
  starts_.resize(lines + lineEnds_.size());

  std::size_t nextBuffer = 0;
  Offset at = end_;
  for (std::string_view rest = text; !rest.empty();) {
    const auto index = chunkIndex(at);
    if (index == chunks_.size()) {
      chunks_.push_back(Chunk{std::move(buffers[nextBuffer++]), total_});
    }
    const auto within = withinChunk(at);
    const std::size_t take = std::min(rest.size(), chunkBytes_ - within);
    std::memcpy(chunks_[index].bytes.get() + within, rest.data(), take);
    const utf8::Counts counts = utf8::Count(rest.substr(0, take));
    total_.utf16 += counts.utf16;
    total_.characters += counts.characters;
    at += take;
    rest.remove_prefix(take);
  }

  // The new line starts go into the entries made above.
  if (pendingCarriageReturn_ && text.front() == '\n') {
    // With the CR before it, one line end: the line after it starts later.
    // Dropped with its CR, it is not kept either.
    if (lines == 1 && begin_ == end_) {
      ++begin_;
      ++dropped_.characters;
      ++dropped_.utf16;
    }
    starts_[lines - 1] += 1;
  }
  for (std::size_t k = 0; k < lineEnds_.size(); ++k) {
    starts_[lines + k] = static_cast<std::uint32_t>(end_.value() + lineEnds_[k]);
  }
  pendingCarriageReturn_ = text.back() == '\r';
  end_ = at;
}

LogStore::ChunkBytes LogStore::MapChunk(std::size_t length) {
  void* bytes = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON, -1, 0);
  if (bytes == MAP_FAILED) throw std::bad_alloc();
  return ChunkBytes(static_cast<char*>(bytes), Unmap{length});
}

void LogStore::Unmap::operator()(char* bytes) const { ::munmap(bytes, length); }

void LogStore::relieveMemory() {
  spare_.clear();
  budget_ = std::max(memoryBytes() / 2, 4 * chunkBytes_);
  trim(budget_ - budget_ / 64);
}

std::size_t LogStore::memoryBytes() const {
  return chunks_.size() * chunkBytes_ + starts_.size() * kIndexBytesPerLine;
}

void LogStore::trim(std::size_t target) {
  // A chunk goes only once all of it is dropped: count a whole one for that.
  auto cost = [&](std::uint64_t bytes, std::uint64_t lines) {
    return bytes + chunkBytes_ + lines * kIndexBytesPerLine;
  };
  // Whole lines first, oldest first; never the last one, which may still grow.
  Line line = firstLine_;
  std::uint64_t kept = keptBytes();
  while (line + 1 < endLine() && cost(kept, endLine() - line) > target) {
    kept -= lineEnd(line) - lineStart(line);
    ++line;
  }
  if (line != firstLine_) dropThrough(lineStart(line));
  if (cost(keptBytes(), starts_.size()) <= target) return;
  // One line longer than the budget: its beginning goes, whole characters.
  const std::uint64_t overhead = cost(0, 1) + chunkBytes_;
  const std::uint64_t room = target > overhead ? target - overhead : 0;
  Offset cut = end_ - std::min(room, keptBytes());
  while (cut < end_ && utf8::IsContinuation(byteAt(cut))) ++cut;
  dropThrough(cut);
}

void LogStore::dropThrough(Offset offset) {
  const Line line = lineAt(offset);
  const bool partial = offset != lineStart(line);
  const utf8::Counts from = countsAt(begin_);
  const utf8::Counts to = countsAt(offset);
  dropped_.characters += to.characters - from.characters;
  dropped_.utf16 += to.utf16 - from.utf16;
  droppedLines_ += line - firstLine_;
  const auto lines = static_cast<std::ptrdiff_t>(line - firstLine_);
  starts_.erase(starts_.begin(), starts_.begin() + lines);
  firstLinePartial_ = partial || (firstLinePartial_ && lines == 0);
  firstLine_ = line;
  starts_.front() = static_cast<std::uint32_t>(offset.value());
  begin_ = offset;
  std::size_t release = 0;
  while (release + 1 < chunks_.size() && chunkStart(release + 1) <= begin_) ++release;
  for (std::size_t k = 0; k < release && spare_.size() < kSpareChunks; ++k) {
    spare_.push_back(std::move(chunks_[k].bytes));
  }
  chunks_.erase(chunks_.begin(), chunks_.begin() + static_cast<std::ptrdiff_t>(release));
  chunkBase_ += release * chunkBytes_;
}

const LogStore::Chunk& LogStore::chunkAt(Offset offset) const {
  return chunks_[chunkIndex(offset)];
}

char LogStore::byteAt(Offset offset) const { return chunkAt(offset).bytes[withinChunk(offset)]; }

std::string_view LogStore::bytesFrom(Offset offset) const {
  if (offset < begin_ || offset >= end_) return {};
  const auto within = withinChunk(offset);
  const auto take =
      static_cast<std::size_t>(std::min<std::uint64_t>(end_ - offset, chunkBytes_ - within));
  return {chunkAt(offset).bytes.get() + within, take};
}

std::string LogStore::text(Offset from, Offset to) const {
  from = std::clamp(from, begin_, end_);
  to = std::clamp(to, from, end_);
  std::string out;
  out.reserve(static_cast<std::size_t>(to - from));
  while (from < to) {
    const auto within = withinChunk(from);
    const auto take =
        static_cast<std::size_t>(std::min<std::uint64_t>(to - from, chunkBytes_ - within));
    out.append(chunkAt(from).bytes.get() + within, take);
    from += take;
  }
  return out;
}

Offset LogStore::lineStart(Line line) const {
  const std::uint32_t stored = starts_[static_cast<std::size_t>(line - firstLine_)];
  return begin_ + static_cast<std::uint32_t>(stored - static_cast<std::uint32_t>(begin_.value()));
}

Offset LogStore::lineEnd(Line line) const {
  return line + 1 < endLine() ? lineStart(line + 1) : end_;
}

Offset LogStore::lineContentEnd(Line line) const {
  if (line + 1 >= endLine()) return end_;
  const Offset start = lineStart(line);
  const Offset next = lineStart(line + 1);
  const char last = byteAt(next - 1);
  if (last == '\n') return next >= start + 2 && byteAt(next - 2) == '\r' ? next - 2 : next - 1;
  if (last == '\r') return next - 1;
  return next - 3;  // U+2028 or U+2029
}

Line LogStore::lineAt(Offset offset) const {
  // The last line that starts at or before the offset.
  std::size_t low = 0;
  std::size_t high = starts_.size();
  while (high - low > 1) {
    const std::size_t middle = low + (high - low) / 2;
    (lineStart(firstLine_ + middle) <= offset ? low : high) = middle;
  }
  return firstLine_ + low;
}

utf8::Counts LogStore::countsAt(Offset offset) const {
  if (offset >= end_) return total_;
  const Chunk& chunk = chunkAt(offset);
  const utf8::Counts within = utf8::Count({chunk.bytes.get(), withinChunk(offset)});
  return {chunk.before.characters + within.characters, chunk.before.utf16 + within.utf16};
}

TextIndex LogStore::indexAt(Offset offset, TextUnit unit) const {
  return TextIndex(countsAt(std::clamp(offset, begin_, end_)).in(unit)-countsAt(begin_).in(unit));
}

Offset LogStore::offsetAt(TextIndex index, TextUnit unit) const {
  const std::uint64_t target = countsAt(begin_).in(unit) + index.value();
  if (target >= total_.in(unit)) return end_;
  // The chunk the unit lies in, then character by character.
  std::size_t low = 0;
  std::size_t high = chunks_.size();
  while (high - low > 1) {
    const std::size_t middle = low + (high - low) / 2;
    (chunks_[middle].before.in(unit) <= target ? low : high) = middle;
  }
  Offset at = std::max(chunkStart(low), begin_);
  std::uint64_t reached = countsAt(at).in(unit);
  for (; at < end_; ++at) {
    const char c = byteAt(at);
    if (utf8::IsContinuation(c)) continue;
    if (reached + utf8::Width(c, unit) > target) break;
    reached += utf8::Width(c, unit);
  }
  return at;
}

}  // namespace corvane
