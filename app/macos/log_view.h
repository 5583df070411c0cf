#pragma once

#import <AppKit/AppKit.h>

#include <cstdint>
#include <memory>

#include "corvane/app/log_reader.h"

namespace corvane::macos {
struct LogViewState;
}

// The installer's log, drawn from the log model: only the rows in view are
// laid out, each segment of the model with a small TextKit layout of its own,
// wrapped at the view's width, so the cost of drawing does not grow with the
// output. The view fills its scroll view's clip view and never scrolls it;
// the scroller is a position in all the kept output, and the place, the
// selection and following the end are its LogReader's.
//
// Read-only and selectable: click, drag, a double click for a word, a triple
// click for the whole line, Shift-click, ⌘A, ⌘C and a context menu; copying
// gives exactly the text kept, line ends and NUL included. VoiceOver reads
// all that is kept, by ranges, never as one string.
@interface CorvaneLogView : NSView {
  // Here rather than in the @implementation, for GCC's Objective-C runtime.
  std::unique_ptr<corvane::macos::LogViewState> _state;
}
// The log view in its scroll view, with the note on dropped output inside it.
+ (NSScrollView*)scrollViewWithFrame:(NSRect)frame model:(std::shared_ptr<corvane::LogModel>)model;
- (corvane::LogReader&)reader;
- (std::shared_ptr<corvane::LogModel>)model;
// Where a model offset is drawn, in the view's coordinates; NSZeroRect when
// it is not in view.
- (NSRect)rectForOffset:(std::uint64_t)offset;
// The offset drawn nearest to a point of the view.
- (std::uint64_t)offsetAtPoint:(NSPoint)point;
- (void)scrollerMoved:(NSScroller*)scroller;
// From the reader: what is shown changed.
- (void)readerChanged;
- (void)copy:(id)sender;
- (void)selectAll:(id)sender;

// The text protocol of NSAccessibility, in UTF-16 units of all kept text.
// Declared here too for GNUstep, whose NSView has none of it.
- (NSInteger)accessibilityNumberOfCharacters;
- (NSString*)accessibilityStringForRange:(NSRange)range;
- (NSInteger)accessibilityLineForIndex:(NSInteger)index;
- (NSRange)accessibilityRangeForLine:(NSInteger)line;
- (NSRange)accessibilityVisibleCharacterRange;
- (NSRange)accessibilitySelectedTextRange;
- (void)setAccessibilitySelectedTextRange:(NSRange)range;
@end

// The log's scroll view: its scroller shows where the log view is in all the
// kept output, and a strip at its top, inside the border, holds the dimmed
// one-line note on how much earlier output was dropped.
@interface CorvaneLogScrollView : NSScrollView {
  NSTextField* _note;
  BOOL _tiling;
}
// Shows the note; nil or empty hides it.
- (void)setNote:(NSString*)note;
@end
