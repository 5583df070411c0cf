#include "corvane/app/log_search.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <unordered_map>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "corvane/app/text_units.h"

namespace corvane {
namespace {

static_assert(std::endian::native == std::endian::little, "lanes are read as words, low first");

constexpr char32_t kNulShown = U'\u2400';
constexpr std::size_t kStretch = 4096;

// Sixteen bytes compared at once: SSE2 on x86, NEON on ARM.
using Lanes = signed char __attribute__((vector_size(16)));
constexpr std::size_t kLanes = sizeof(Lanes);

Lanes Load(const char* bytes) {
  Lanes lanes;
  std::memcpy(&lanes, bytes, sizeof lanes);
  return lanes;
}

Lanes Splat(char byte) {
  Lanes lanes;
  for (std::size_t k = 0; k < kLanes; ++k) lanes[k] = static_cast<signed char>(byte);
  return lanes;
}

// The lanes a comparison set, a bit each, the lowest first.
unsigned BitsOf(Lanes lanes) {
#if defined(__SSE2__)
  return static_cast<unsigned>(_mm_movemask_epi8(std::bit_cast<__m128i>(lanes)));
#else
  std::uint64_t words[2];
  std::memcpy(words, &lanes, sizeof words);
  // The top bit of each byte gathered into the top byte.
  const auto pack = [](std::uint64_t word) {
    return static_cast<unsigned>(((word & 0x8080808080808080U) * 0x0002040810204081U) >> 56);
  };
  return pack(words[0]) | pack(words[1]) << 8;
#endif
}

template <typename Each>
bool ForEachLane(unsigned bits, std::size_t base, Each each) {
  for (; bits != 0; bits &= bits - 1) {
    if (!each(base + static_cast<std::size_t>(std::countr_zero(bits)))) return false;
  }
  return true;
}

// Bytes that end a stretch of text each byte of which folds to one ASCII
// code point: NUL, shown as ␀, and all that is not ASCII.
bool Special(char byte) { return static_cast<signed char>(byte) <= 0; }

std::size_t NextSpecial(const char* bytes, std::size_t at, std::size_t end) {
  const Lanes none = Splat(0);
  for (; at + kLanes <= end; at += kLanes) {
    const unsigned bits = BitsOf(Load(bytes + at) <= none);
    if (bits != 0) return at + static_cast<std::size_t>(std::countr_zero(bits));
  }
  while (at < end && !Special(bytes[at])) ++at;
  return at;
}

unsigned LengthOf(char lead) {
  const auto byte = static_cast<unsigned char>(lead);
  return byte < 0xC0U ? 1 : byte < 0xE0U ? 2 : byte < 0xF0U ? 3 : 4;
}

char32_t Decode(const char* bytes, unsigned length) {
  static constexpr unsigned char kLeadBits[] = {0x7F, 0x1F, 0x0F, 0x07};
  char32_t c = static_cast<unsigned char>(bytes[0]) & kLeadBits[length - 1];
  for (unsigned k = 1; k < length; ++k)
    c = (c << 6) | (static_cast<unsigned char>(bytes[k]) & 0x3FU);
  return c;
}

// How common a byte is in output, for picking the rarest of a needle's to
// look for first: lower is more common.
std::size_t Commonness(char byte) {
  static constexpr std::string_view kByFrequency =
      " etaoinsrlcdhu\nmpf.g0y1-b/2w:_=,v34k5x6789\"'()[]j";
  const std::size_t rank = kByFrequency.find(byte);
  return rank == std::string_view::npos ? kByFrequency.size() : rank;
}

}  // namespace

// What each code point folds to, asked of the platform once each.
class LogSearch::Folds {
 public:
  explicit Folds(const TextFolding* folding) : folding_(folding) {}
  const TextFolding* folding() const { return folding_; }

  // Valid until the next call.
  std::u32string_view operator()(char32_t c) {
    if (c == 0) c = kNulShown;
    if (folding_ == nullptr) {
      single_ = c;
      return {&single_, 1};
    }
    Entry* entry = nullptr;
    if (c < 0x10000) {
      if (bmp_.empty()) bmp_.resize(0x10000);
      entry = &bmp_[c];
    } else {
      entry = &astral_[c];
    }
    if (!entry->known) {
      const std::u32string folded = folding_->fold(c);
      *entry = {static_cast<std::uint32_t>(pool_.size()), static_cast<std::uint32_t>(folded.size()),
                true};
      pool_ += folded;
    }
    return std::u32string_view(pool_).substr(entry->at, entry->length);
  }

 private:
  struct Entry {
    std::uint32_t at = 0;
    std::uint32_t length = 0;
    bool known = false;
  };
  const TextFolding* const folding_;
  std::vector<Entry> bmp_;
  std::unordered_map<char32_t, Entry> astral_;
  std::u32string pool_;
  char32_t single_ = 0;
};

// A needle made ready: folded, and, when it is all ASCII, with the two
// rarest of its bytes to look for sixteen places at a time.
struct LogSearch::Pattern {
  std::u32string needle;
  // ASCII text folds byte for byte: a stretch of it can be searched by
  // bytes, and only near other bytes need the rest be decoded.
  bool bytewise = true;
  std::array<char, 128> fold{};
  // The needle in bytes, when it is all ASCII; where to probe it, and the
  // bytes that fold to it there.
  std::string ascii;
  std::size_t probe[2] = {0, 0};
  Lanes first[2]{};
  Lanes second[2]{};
  // Whether a match may start with each code point of the first plane: 1
  // no, 2 yes, 0 not known yet.
  std::vector<std::uint8_t> starts = std::vector<std::uint8_t>(0x10000);
};

LogSearch::LogSearch(const LogStore& store, std::shared_ptr<MainQueue> mainQueue,
                     std::function<void()> progressed, unsigned blockShift)
    : store_(store),
      mainQueue_(std::move(mainQueue)),
      progressed_(std::move(progressed)),
      blockShift_(blockShift),
      self_(std::make_shared<LogSearch*>(this)) {}

LogSearch::~LogSearch() = default;

void LogSearch::start(std::string_view text, const TextFolding* folding) {
  stop();
  if (!folds_ || folds_->folding() != folding) folds_ = std::make_unique<Folds>(folding);
  auto pattern = std::make_unique<Pattern>();
  for (std::size_t at = 0; at < text.size();) {
    const auto length =
        static_cast<unsigned>(std::min<std::size_t>(LengthOf(text[at]), text.size() - at));
    pattern->needle += (*folds_)(Decode(text.data() + at, length));
    at += length;
  }
  if (pattern->needle.empty()) return;
  for (std::size_t byte = 1; byte < pattern->fold.size(); ++byte) {
    const std::u32string_view folded = (*folds_)(static_cast<char32_t>(byte));
    pattern->bytewise &= folded.size() == 1 && folded[0] > 0 && folded[0] < 0x80;
    pattern->fold[byte] = folded.empty() ? '\0' : static_cast<char>(folded[0]);
  }
  if (pattern->bytewise && std::all_of(pattern->needle.begin(), pattern->needle.end(),
                                       [](char32_t c) { return c > 0 && c < 0x80; })) {
    for (const char32_t c : pattern->needle) pattern->ascii += static_cast<char>(c);
    std::string& ascii = pattern->ascii;
    std::size_t* probe = pattern->probe;
    for (std::size_t k = 1; k < ascii.size(); ++k) {
      if (Commonness(ascii[k]) > Commonness(ascii[probe[0]])) {
        probe[1] = probe[0];
        probe[0] = k;
      } else if (probe[1] == probe[0] || Commonness(ascii[k]) > Commonness(ascii[probe[1]])) {
        probe[1] = k;
      }
    }
    // Each probe matches its byte and the one other that folds to it (the
    // other case of a letter); a third means the fast way does not fit.
    for (int k = 0; k < 2; ++k) {
      std::vector<char> bytes;
      for (std::size_t byte = 1; byte < pattern->fold.size(); ++byte) {
        if (pattern->fold[byte] == ascii[probe[k]]) bytes.push_back(static_cast<char>(byte));
      }
      if (bytes.empty() || bytes.size() > 2) {
        ascii.clear();
        break;
      }
      pattern->first[k] = Splat(bytes.front());
      pattern->second[k] = Splat(bytes.back());
    }
  }
  pattern_ = std::move(pattern);
  begin_ = store_.beginOffset();
  searched_ = begin_;
  post();
}

void LogSearch::stop() {
  ++generation_;
  posted_ = false;
  pattern_.reset();
  stalledAt_.reset();
  counts_.clear();
  total_ = 0;
}

void LogSearch::post() {
  posted_ = true;
  mainQueue_->post([weak = std::weak_ptr<LogSearch*>(self_), generation = generation_] {
    const auto self = weak.lock();
    if (self && (*self)->generation_ == generation) (*self)->work();
  });
}

void LogSearch::resume() {
  if (!pattern_ || posted_) return;
  sync();
  if (searched_ < store_.endOffset() && stalledAt_ != store_.endOffset()) post();
}

void LogSearch::work() {
  posted_ = false;
  sync();
  stalledAt_.reset();
  const auto deadline = std::chrono::steady_clock::now() + kSlice;
  const Found count = [this](const Match& match) {
    bump(match.from);
    return true;
  };
  while (searched_ < store_.endOffset()) {
    const Offset end =
        std::min(searched_ + store_.bytesFrom(searched_).size(), blockEnd(searched_));
    searched_ = scanPiece(searched_, end, count);
    if (searched_ < end) {
      stalledAt_ = store_.endOffset();
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      post();
      break;
    }
  }
  progressed_();
}

void LogSearch::sync() {
  span_ = {};
  const Offset begin = store_.beginOffset();
  if (!pattern_ || !(begin_ < begin)) return;
  begin_ = begin;
  searched_ = std::max(searched_, begin);
  const std::uint64_t block = begin.value() >> blockShift_;
  while (!counts_.empty() && firstBlock_ < block) {
    total_ -= counts_.front();
    counts_.pop_front();
    ++firstBlock_;
  }
  if (counts_.empty() || firstBlock_ != block) return;
  // The first block lost its start: what is kept of it is counted again.
  std::uint32_t kept = 0;
  scan(begin, std::min(blockEnd(begin), searched_), [&](const Match&) {
    ++kept;
    return true;
  });
  total_ -= counts_.front() - kept;
  counts_.front() = kept;
}

void LogSearch::bump(Offset at) {
  const std::uint64_t block = at.value() >> blockShift_;
  if (counts_.empty()) firstBlock_ = block;
  while (firstBlock_ + counts_.size() <= block) counts_.push_back(0);
  ++counts_[block - firstBlock_];
  ++total_;
}

Offset LogSearch::blockEnd(Offset at) const { return blockStart((at.value() >> blockShift_) + 1); }

Offset LogSearch::blockStart(std::uint64_t block) const { return Offset(block << blockShift_); }

Offset LogSearch::scan(Offset from, Offset to, const Found& found) {
  while (from < to) {
    const Offset end = std::min(to, from + store_.bytesFrom(from).size());
    const Offset reached = scanPiece(from, end, found);
    if (reached != end) return reached;
    from = end;
  }
  return to;
}

bool LogSearch::mayStart(char32_t c) {
  std::vector<std::uint8_t>& known = pattern_->starts;
  if (c < known.size() && known[c] != 0) return known[c] == 2;
  const std::u32string_view folded = (*folds_)(c);
  const bool may = !folded.empty() && folded[0] == pattern_->needle[0];
  if (c < known.size()) known[c] = may ? 2 : 1;
  return may;
}

Offset LogSearch::scanPiece(Offset from, Offset to, const Found& found) {
  const std::string_view piece = store_.bytesFrom(from).substr(0, to - from);
  const char* bytes = piece.data();
  const std::size_t size = piece.size();
  const Pattern& pattern = *pattern_;
  const std::size_t length = pattern.needle.size();
  for (std::size_t at = 0; at < size;) {
    // A stretch of ASCII up to `special`: its matches that lie wholly in it
    // are ASCII too, and the rest start near its end. A few KiB at a time,
    // still in the cache when searched for the needle.
    const std::size_t special =
        pattern.bytewise ? NextSpecial(bytes, at, std::min(size, at + kStretch)) : size;
    const std::size_t near =
        pattern.bytewise ? std::max(at, special + 1 >= length ? special + 1 - length : 0) : at;
    if (!pattern.ascii.empty() && near > at && !scanAscii(bytes, at, near, from, found)) {
      return from;
    }
    // Starts from there on through the bytes that are not ASCII, decoded.
    for (at = near; at < size && (at < special || Special(bytes[at]));) {
      // Most characters start no match: told by their folding alone.
      const unsigned size8 = utf8::IsContinuation(bytes[at]) ? 1 : LengthOf(bytes[at]);
      if (utf8::IsContinuation(bytes[at]) ||
          (at + size8 <= size && !mayStart(Decode(bytes + at, size8)))) {
        at += size8;
        continue;
      }
      Offset end;
      const Verdict verdict = matchFrom(from + at, end);
      if (verdict == Verdict::kMore) return from + at;
      if (verdict == Verdict::kYes && !found({from + at, end})) return from + at;
      at += size8;
    }
  }
  return to;
}

bool LogSearch::scanAscii(const char* bytes, std::size_t from, std::size_t to, Offset base,
                          const Found& found) {
  const Pattern& pattern = *pattern_;
  const std::string& needle = pattern.ascii;
  auto check = [&](std::size_t at) {
    for (std::size_t k = 0; k < needle.size(); ++k) {
      if (pattern.fold[static_cast<unsigned char>(bytes[at + k])] != needle[k]) return true;
    }
    return found({base + at, base + at + needle.size()});
  };
  const auto hits = [&](std::size_t at) {
    const Lanes a = Load(bytes + at + pattern.probe[0]);
    const Lanes b = Load(bytes + at + pattern.probe[1]);
    return BitsOf(((a == pattern.first[0]) | (a == pattern.second[0])) &
                  ((b == pattern.first[1]) | (b == pattern.second[1])));
  };
  std::size_t at = from;
  // Thirty-two starts a turn: most turns find none.
  for (; at + 2 * kLanes <= to; at += 2 * kLanes) {
    const unsigned bits = hits(at) | hits(at + kLanes) << kLanes;
    if (bits != 0 && !ForEachLane(bits, at, check)) return false;
  }
  for (; at + kLanes <= to; at += kLanes) {
    if (!ForEachLane(hits(at), at, check)) return false;
  }
  for (; at < to; ++at) {
    if (!check(at)) return false;
  }
  return true;
}

LogSearch::Verdict LogSearch::matchFrom(Offset start, Offset& end) {
  const std::u32string& needle = pattern_->needle;
  std::size_t matched = 0;
  for (Offset at = start;;) {
    if (!(at < store_.endOffset())) return Verdict::kMore;
    char32_t c = 0;
    unsigned length = 1;
    decode(at, c, length);
    const std::u32string_view folded = (*folds_)(c);
    // A match starts with what counts, and ends with the end of a folding.
    if (at == start && (folded.empty() || folded[0] != needle[0])) return Verdict::kNo;
    if (folded.size() > needle.size() - matched ||
        folded != std::u32string_view(needle).substr(matched, folded.size())) {
      return Verdict::kNo;
    }
    matched += folded.size();
    at += length;
    if (matched == needle.size()) {
      end = at;
      return Verdict::kYes;
    }
  }
}

void LogSearch::decode(Offset at, char32_t& c, unsigned& length) {
  if (!(spanFrom_ <= at && at - spanFrom_ + 4 <= span_.size())) {
    span_ = store_.bytesFrom(at);
    spanFrom_ = at;
  }
  const std::size_t within = at - spanFrom_;
  length = LengthOf(span_[within]);
  if (within + length <= span_.size()) {
    c = Decode(span_.data() + within, length);
    return;
  }
  // A character cut by the end of a chunk.
  char bytes[4] = {};
  for (unsigned k = 0; k < length && at + k < store_.endOffset(); ++k)
    bytes[k] = store_.byteAt(at + k);
  c = Decode(bytes, length);
}

std::uint64_t LogSearch::count() {
  sync();
  return total_;
}

bool LogSearch::complete() {
  sync();
  return !posted_ && (searched_ == store_.endOffset() || stalledAt_ == store_.endOffset());
}

Offset LogSearch::searched() {
  sync();
  return searched_;
}

std::vector<LogSearch::Match> LogSearch::matchesIn(Offset from, Offset to) {
  std::vector<Match> matches;
  if (!pattern_) return matches;
  sync();
  scan(std::max(from, begin_), std::min(to, searched_), [&](const Match& match) {
    matches.push_back(match);
    return true;
  });
  return matches;
}

std::optional<LogSearch::Match> LogSearch::firstFrom(Offset from) {
  if (!pattern_) return std::nullopt;
  sync();
  std::optional<Match> first;
  const Found take = [&](const Match& match) {
    first = match;
    return false;
  };
  from = std::max(from, begin_);
  if (!(from < searched_)) return std::nullopt;
  scan(from, std::min(blockEnd(from), searched_), take);
  // Past that block, only blocks with matches are searched.
  for (std::uint64_t block = (from.value() >> blockShift_) + 1;
       !first && block < firstBlock_ + counts_.size() && blockStart(block) < searched_; ++block) {
    if (block >= firstBlock_ && counts_[block - firstBlock_] > 0) {
      scan(blockStart(block), std::min(blockStart(block + 1), searched_), take);
    }
  }
  return first;
}

std::optional<LogSearch::Match> LogSearch::lastBefore(Offset before) {
  if (!pattern_) return std::nullopt;
  sync();
  before = std::min(before, searched_);
  std::optional<Match> last;
  const Found take = [&](const Match& match) {
    last = match;
    return true;
  };
  if (!(begin_ < before)) return std::nullopt;
  const std::uint64_t block = (before - 1).value() >> blockShift_;
  scan(std::max(blockStart(block), begin_), before, take);
  for (std::uint64_t earlier = block; !last && earlier > firstBlock_ && !counts_.empty();) {
    --earlier;
    if (earlier - firstBlock_ < counts_.size() && counts_[earlier - firstBlock_] > 0) {
      scan(std::max(blockStart(earlier), begin_), blockStart(earlier + 1), take);
    }
  }
  return last;
}

std::uint64_t LogSearch::countBefore(Offset at) {
  if (!pattern_) return 0;
  sync();
  at = std::min(at, searched_);
  const std::uint64_t block = at.value() >> blockShift_;
  std::uint64_t before = 0;
  for (std::uint64_t k = firstBlock_; k < block && k - firstBlock_ < counts_.size(); ++k) {
    before += counts_[k - firstBlock_];
  }
  scan(std::max(blockStart(block), begin_), at, [&](const Match&) {
    ++before;
    return true;
  });
  return before;
}

std::optional<LogSearch::Match> LogSearch::matchAt(Offset at) {
  if (!pattern_) return std::nullopt;
  sync();
  Offset end;
  if (at < begin_ || !(at < store_.endOffset()) || utf8::IsContinuation(store_.byteAt(at)) ||
      matchFrom(at, end) != Verdict::kYes) {
    return std::nullopt;
  }
  return Match{at, end};
}

std::uint64_t LogSearch::longestMatch() const { return pattern_ ? 4 * pattern_->needle.size() : 0; }

}  // namespace corvane
