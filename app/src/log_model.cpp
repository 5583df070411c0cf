#include "corvane/app/log_model.h"

#include <algorithm>

#include "corvane/app/text_units.h"

namespace corvane {

LogModel::LogModel(std::size_t budgetBytes, std::size_t chunkBytes)
    : store_(budgetBytes, chunkBytes) {}

void LogModel::append(std::string_view text) {
  if (text.empty()) return;
  store_.append(text);
  if (observer_ != nullptr) observer_->logDidChange();
}

std::string GroupDigits(std::uint64_t value) {
  // Built front to back: GCC 12 at -O3 warns falsely on string::insert here.
  const std::string digits = std::to_string(value);
  std::string grouped;
  grouped.reserve(digits.size() + digits.size() / 3);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) grouped.push_back(',');
    grouped.push_back(digits[i]);
  }
  return grouped;
}

std::string LogModel::droppedNote() const {
  if (store_.droppedCharacters() == 0) return {};
  return "以前の出力 " + GroupDigits(store_.droppedLines()) + " 行 (" +
         GroupDigits(store_.droppedCharacters()) + " 文字) を省略しました";
}

std::uint64_t LogModel::segmentCount(Line line) const {
  const std::uint64_t length = store_.lineContentEnd(line) - store_.lineStart(line);
  return std::max<std::uint64_t>(1, (length + kSegmentBytes - 1) / kSegmentBytes);
}

LogModel::Segment LogModel::segment(Line line, std::uint64_t index) const {
  const Offset start = store_.lineStart(line);
  const Offset end = store_.lineContentEnd(line);
  // Each cut falls at a multiple of the segment size, moved back to the start
  // of the character it would split; never more than three bytes back.
  auto cut = [&](std::uint64_t k) {
    Offset at = start + k * kSegmentBytes;
    if (at >= end) return end;
    while (at > start && utf8::IsContinuation(store_.byteAt(at))) --at;
    return at;
  };
  return {line, index, index == 0 ? start : cut(index), cut(index + 1)};
}

LogModel::Segment LogModel::segmentAt(Offset offset) const {
  offset = std::clamp(offset, store_.beginOffset(), store_.endOffset());
  const Line line = store_.lineAt(offset);
  const std::uint64_t count = segmentCount(line);
  std::uint64_t index = std::min((offset - store_.lineStart(line)) / kSegmentBytes, count - 1);
  // A cut moved back to a character's start may put the offset in the next one.
  while (index + 1 < count && segment(line, index + 1).from <= offset) ++index;
  return segment(line, index);
}

LogModel::Segment LogModel::lastSegment() const {
  const Line line = store_.endLine() - 1;
  return segment(line, segmentCount(line) - 1);
}

bool LogModel::previous(Segment& current) const {
  if (current.index > 0) {
    current = segment(current.line, current.index - 1);
    return true;
  }
  if (current.line <= store_.firstLine()) return false;
  current = segment(current.line - 1, segmentCount(current.line - 1) - 1);
  return true;
}

bool LogModel::next(Segment& current) const {
  if (current.index + 1 < segmentCount(current.line)) {
    current = segment(current.line, current.index + 1);
    return true;
  }
  if (current.line + 1 >= store_.endLine()) return false;
  current = segment(current.line + 1, 0);
  return true;
}

std::u16string LogModel::shownText(Offset from, Offset to) const {
  std::u16string text = utf8::ToUtf16(store_.text(from, to));
  std::replace(text.begin(), text.end(), u'\0', u'\u2400');
  return text;
}

Unit LogModel::unitAt(const Segment& segment, Offset offset) const {
  offset = std::clamp(offset, segment.from, segment.to);
  return Unit(static_cast<std::size_t>(utf8::Count(store_.text(segment.from, offset)).utf16));
}

Offset LogModel::offsetAt(const Segment& segment, Unit unit) const {
  return segment.from +
         utf8::ByteIndex(store_.text(segment.from, segment.to), unit.value(), TextUnit::kUtf16);
}

}  // namespace corvane
