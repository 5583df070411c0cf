#pragma once

#import <AppKit/AppKit.h>

#include <memory>
#include <string_view>

#include "corvane/app/log_view_core.h"

namespace corvane::macos {
struct LogViewState;

// The view core's text and ranges as AppKit has them, in UTF-16 units.
inline NSString* FromUtf16(std::u16string_view text) {
  return [NSString stringWithCharacters:reinterpret_cast<const unichar*>(text.data())
                                 length:text.size()];
}
inline NSRange ToNSRange(LogViewCore::Range range) {
  return NSMakeRange(range.from.value(), range.to - range.from);
}
inline LogViewCore::Range FromNSRange(NSRange range) {
  return {TextIndex(range.location), TextIndex(NSMaxRange(range))};
}
}  // namespace corvane::macos

// The installer's log on AppKit: the view core's segments laid out with
// TextKit and drawn, and AppKit's events turned into the core's calls. It
// fills its scroll view's clip view and never scrolls it; the scroller is a
// position in all the kept output. Keys go through the key bindings; the
// selection serves ⌘C and the Services menu; VoiceOver reads all that is
// kept, by ranges.
@interface CorvaneLogView : NSView <NSTextFinderClient> {
  // Here rather than in the @implementation, for GCC's Objective-C runtime.
  std::unique_ptr<corvane::macos::LogViewState> _state;
  NSTextFinder* _finder;
}
// The log view in its scroll view.
+ (NSScrollView*)scrollViewWithFrame:(NSRect)frame model:(std::shared_ptr<corvane::LogModel>)model;
- (corvane::LogViewCore&)core;
- (void)scrollerMoved:(NSScroller*)scroller;
- (void)drawTextSelected:(BOOL)selected;

// The text protocol of NSAccessibility, in UTF-16 units of all kept text.
// Declared here too for GNUstep, whose NSView has none of it.
- (NSInteger)accessibilityNumberOfCharacters;
- (NSString*)accessibilityStringForRange:(NSRange)range;
- (NSInteger)accessibilityLineForIndex:(NSInteger)index;
- (NSRange)accessibilityRangeForLine:(NSInteger)line;
- (NSRange)accessibilityRangeForIndex:(NSInteger)index;
- (NSRange)accessibilityVisibleCharacterRange;
- (NSRange)accessibilitySelectedTextRange;
- (void)setAccessibilitySelectedTextRange:(NSRange)range;
- (NSRect)accessibilityFrameForRange:(NSRange)range;
@end

// The system's find bar over the log (log_finder.mm): the view is the
// client of an NSTextFinder, and hands it the kept text by ranges.
@interface CorvaneLogView (Finding)
- (NSTextFinder*)textFinder;
- (void)performTextFinderAction:(id)sender;
// The kept text changed: the finder searches it again.
- (void)noteTextChangeForFinder;
@end

// The log's scroll view: its scroller shows where the log view is in all the
// kept output, whatever the clip view's geometry says.
@interface CorvaneLogScrollView : NSScrollView {
  BOOL _tiling;
}
@end
