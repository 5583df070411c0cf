#import "log_view.h"

#include <string>

#import "string_bridge.h"

using corvane::LogViewCore;
using corvane::TextIndex;
using corvane::macos::FromNSRange;
using corvane::macos::ToNSRange;

// The system's find bar does the finding: it reads the kept text a piece at a
// time, selects a match through the selection, and highlights those in view
// through the rectangles it is given. The view answers in UTF-16 units of all
// that is kept, as NSString counts; NUL reads as ␀, as it is shown.
@implementation CorvaneLogView (Finding)

- (NSTextFinder*)textFinder {
  if (_finder == nil) {
    _finder = [[NSTextFinder alloc] init];
    [_finder setClient:self];
    [_finder setFindBarContainer:[self enclosingScrollView]];
    [_finder setIncrementalSearchingEnabled:YES];
  }
  return _finder;
}

- (void)performTextFinderAction:(id)sender {
  [[self textFinder] performAction:[sender tag]];
}

// ⌘J: the selection in the middle of the view.
- (void)centerSelectionInVisibleArea:(id)sender {
  [self core].centreSelection();
}

- (void)noteTextChangeForFinder {
  if (_finder == nil) return;
  const LogViewCore::TextChange change = [self core].takeTextChange(0);
  if (change.removed > 0 || change.insertedLength > 0) [_finder noteClientStringWillChange];
}

- (BOOL)isSelectable {
  return YES;
}

- (BOOL)isEditable {
  return NO;
}

- (BOOL)allowsMultipleSelection {
  return NO;
}

- (NSUInteger)stringLength {
  return [self core].length().value();
}

- (NSString*)stringAtIndex:(NSUInteger)index
            effectiveRange:(NSRangePointer)range
    endsWithSearchBoundary:(BOOL*)boundary {
  const LogViewCore::Piece piece = [self core].textPiece(TextIndex(index));
  *range = ToNSRange(piece.range);
  *boundary = NO;
  return corvane::macos::FromUtf16(piece.text);
}

- (NSRange)firstSelectedRange {
  return ToNSRange([self core].selectedRange());
}

- (NSArray*)selectedRanges {
  return @[ [NSValue valueWithRange:[self firstSelectedRange]] ];
}

// The finder's match, selected: VoiceOver hears which of how many.
- (void)setSelectedRanges:(NSArray*)ranges {
  if ([ranges count] == 0) return;
  [self core].setSelectedRange(FromNSRange([[ranges objectAtIndex:0] rangeValue]));
  NSArray* matches = [_finder incrementalMatchRanges];
  const NSRange selected = [self firstSelectedRange];
  // By where they start, as the finder lists them.
  NSUInteger low = 0;
  for (NSUInteger high = [matches count]; low < high;) {
    const NSUInteger middle = low + (high - low) / 2;
    if ([[matches objectAtIndex:middle] rangeValue].location < selected.location) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  LogViewCore::FindStatus status{[matches count], 0, true};
  if (low < [matches count] && NSEqualRanges([[matches objectAtIndex:low] rangeValue], selected)) {
    status.current = low + 1;
  }
  if (status.count == 0) return;
  NSDictionary* announcement = [NSDictionary
      dictionaryWithObjectsAndKeys:corvane::macos::ToNSString(LogViewCore::FindStatusWords(status)),
                                   NSAccessibilityAnnouncementKey,
                                   [NSNumber numberWithInteger:NSAccessibilityPriorityHigh],
                                   NSAccessibilityPriorityKey, nil];
  NSAccessibilityPostNotificationWithUserInfo(
      [self window], NSAccessibilityAnnouncementRequestedNotification, announcement);
}

- (void)scrollRangeToVisible:(NSRange)range {
  [self core].reader().centreOn([self core].offsetOf(TextIndex(range.location)), false);
}

- (NSView*)contentViewAtIndex:(NSUInteger)index effectiveCharacterRange:(NSRangePointer)range {
  *range = NSMakeRange(0, [self stringLength]);
  return self;
}

- (NSArray*)rectsForCharacterRange:(NSRange)range {
  LogViewCore& core = [self core];
  const LogViewCore::Range within = FromNSRange(range);
  NSMutableArray* rects = [NSMutableArray array];
  for (const corvane::ViewRect& rect :
       core.rectsFor(core.offsetOf(within.from), core.offsetOf(within.to))) {
    [rects addObject:[NSValue valueWithRect:NSMakeRect(rect.x, rect.y, rect.width, rect.height)]];
  }
  return rects;
}

- (NSArray*)visibleCharacterRanges {
  return @[ [NSValue valueWithRange:ToNSRange([self core].visibleRange())] ];
}

// The characters of a match alone, as the finder shows the one it found.
- (void)drawCharactersInRange:(NSRange)range forContentView:(NSView*)view {
  [NSGraphicsContext saveGraphicsState];
  NSBezierPath* clip = [NSBezierPath bezierPath];
  for (NSValue* rect in [self rectsForCharacterRange:range]) {
    [clip appendBezierPathWithRect:[rect rectValue]];
  }
  [clip addClip];
  [self drawTextSelected:NO];
  [NSGraphicsContext restoreGraphicsState];
}

@end
