#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <ostream>

namespace corvane {

// A position or count of one kind: a byte offset cannot be passed where a
// line number or a screen reader's index is meant. Positions of one kind
// subtract to a plain count and move by one.
template <typename Tag, typename Rep = std::uint64_t>
class Position {
 public:
  using Count = Rep;

  constexpr Position() = default;
  constexpr explicit Position(Rep value) : value_(value) {}
  constexpr Rep value() const { return value_; }
  constexpr bool operator==(const Position&) const = default;
  constexpr auto operator<=>(const Position& other) const { return value_ <=> other.value_; }

  constexpr Position operator+(Rep count) const { return Position(value_ + count); }
  constexpr Position operator-(Rep count) const { return Position(value_ - count); }
  constexpr Rep operator-(Position other) const { return value_ - other.value_; }
  constexpr Position& operator+=(Rep count) {
    value_ += count;
    return *this;
  }
  constexpr Position& operator-=(Rep count) {
    value_ -= count;
    return *this;
  }
  constexpr Position& operator++() { return *this += 1; }
  constexpr Position& operator--() { return *this -= 1; }

  friend std::ostream& operator<<(std::ostream& out, Position position) {
    return out << position.value_;
  }

 private:
  Rep value_ = 0;
};

// Bytes of the run's output from its start, through what has been dropped.
using Offset = Position<struct OffsetTag>;
// Lines of the run's output from its start.
using Line = Position<struct LineTag>;
// What a screen reader counts from the start of the kept text: UTF-16 units
// or characters (TextUnit says which).
using TextIndex = Position<struct TextIndexTag>;
// UTF-16 units of one segment's text as shown, as a toolkit lays it out.
using Unit = Position<struct UnitTag, std::size_t>;

}  // namespace corvane
