// The system's find bar, stood in for under GNUstep: GNUstep's NSTextFinder
// drives an NSTextView only, and its scroll view holds no find bar. This one
// drives any NSTextFinderClient as a Mac's does, by the protocol alone: it
// reads the client's text a piece at a time, compares as Foundation does
// when case is ignored, selects a match through setSelectedRanges:, has it
// scrolled into view, draws it for the find indicator, and highlights the
// matches in view by the client's rectangles. Its bar sits above the
// content of the scroll view, as on a Mac: Return goes to the next match,
// Shift+Return to the previous one, Escape closes it and gives the keys to
// the content. What the bar looks like, and what VoiceOver says of it, only
// a Mac shows. Tests only; built with manual reference counting.
#import <objc/runtime.h>

#include <algorithm>
#include <vector>

#import "appkit_run.h"

@interface CorvaneFindBar : NSView <NSTextFieldDelegate> {
 @public
  NSTextFinder* _finder;  // unretained: the finder owns the bar
  NSTextField* _field;
}
- (void)search;
- (void)step:(int)direction;
@end

@interface NSTextFinder (CorvaneAppKitRun)
- (void)corvaneSetMatches:(NSArray*)matches;
@end

namespace {

// Every bar made, by its finder; and each scroll view's bar, by the view.
NSMutableDictionary* BarsByFinder() {
  static NSMutableDictionary* bars = [[NSMutableDictionary alloc] init];
  return bars;
}
NSMutableDictionary* BarsByContainer() {
  static NSMutableDictionary* bars = [[NSMutableDictionary alloc] init];
  return bars;
}
id KeyOf(id object) { return [NSValue valueWithNonretainedObject:object]; }

CorvaneFindBar* BarOf(NSTextFinder* finder) {
  CorvaneFindBar* bar = [BarsByFinder() objectForKey:KeyOf(finder)];
  if (bar == nil) {
    bar = [[[CorvaneFindBar alloc] initWithFrame:NSMakeRect(0, 0, 300, 30)] autorelease];
    bar->_finder = finder;
    [BarsByFinder() setObject:bar forKey:KeyOf(finder)];
  }
  return bar;
}

CorvaneFindBar* shownBar;

std::vector<unichar> Folded(NSString* text) {
  std::vector<unichar> units([text length]);
  [text getCharacters:units.data()];
  for (unichar& unit : units) {
    if (unit >= 'A' && unit <= 'Z') unit += 'a' - 'A';
  }
  return units;
}

void (*tile)(id, SEL);
// A scroll view's own tiling, then its find bar over the top of its content.
void TileWithFindBar(id view, SEL selector) {
  tile(view, selector);
  NSScrollView* scroll = view;
  NSView* bar = [scroll findBarView];
  if (bar == nil || [bar superview] != scroll) return;
  NSClipView* clip = [scroll contentView];
  NSScroller* scroller = [scroll verticalScroller];
  const BOOL scrolls = [scroller superview] == scroll && ![scroller isHidden];
  const NSRect inside = scrolls ? NSUnionRect([clip frame], [scroller frame]) : [clip frame];
  const CGFloat height = NSHeight([bar frame]);
  const BOOL flipped = [scroll isFlipped];
  [bar setFrame:NSMakeRect(NSMinX(inside), flipped ? NSMinY(inside) : NSMaxY(inside) - height,
                           NSWidth(inside), height)];
  for (NSView *below in [NSArray arrayWithObjects:clip, scrolls ? scroller : nil, nil]) {
    NSRect frame = [below frame];
    frame.size.height -= height;
    if (flipped) frame.origin.y += height;
    [below setFrame:frame];
  }
}

// Once a bar is first shown.
void TileFindBars() {
  if (tile != nullptr) return;
  Method method = class_getInstanceMethod([NSScrollView class], @selector(tile));
  tile = reinterpret_cast<void (*)(id, SEL)>(method_getImplementation(method));
  method_setImplementation(method, reinterpret_cast<IMP>(&TileWithFindBar));
}

}  // namespace

@implementation CorvaneFindBar

- (instancetype)initWithFrame:(NSRect)frame {
  self = [super initWithFrame:frame];
  if (self != nil) {
    _field = [[NSTextField alloc] initWithFrame:NSInsetRect([self bounds], 4, 4)];
    [_field setAutoresizingMask:NSViewWidthSizable];
    [_field setDelegate:self];
    [self addSubview:_field];
    [_field release];
    [self setAutoresizingMask:NSViewWidthSizable];
  }
  return self;
}

- (id<NSTextFinderClient>)client {
  return [_finder client];
}

- (void)show {
  id<NSTextFinderBarContainer> container = [_finder findBarContainer];
  [container setFindBarView:self];
  [container setFindBarVisible:YES];
  shownBar = self;
  [[self window] makeFirstResponder:_field];
  [_field selectText:nil];
  [self search];
}

- (void)hide {
  [[_finder findBarContainer] setFindBarVisible:NO];
  [_finder corvaneSetMatches:[NSArray array]];
  if (shownBar == self) shownBar = nil;
  NSRange range;
  NSView* content = [[self client] contentViewAtIndex:0 effectiveCharacterRange:&range];
  [[content window] makeFirstResponder:content];
}

- (BOOL)shown {
  return [self superview] != nil;
}

// Every match of the field's text, by pieces of the client's text: a match
// may cross from one piece into the next. The case of ASCII letters is
// ignored; all else is compared as it is (GNUstep's rangeOfString: copies
// the rest of the text at each match).
- (void)search {
  const std::vector<unichar> wanted = Folded([_field stringValue]);
  NSMutableArray* matches = [NSMutableArray array];
  id<NSTextFinderClient> client = [self client];
  const NSUInteger length = wanted.empty() ? 0 : [client stringLength];
  // The end of the last piece, in units: it may end in half a character,
  // which GNUstep's substrings turn to nil.
  std::vector<unichar> units;
  NSUInteger searched = 0;
  for (NSUInteger at = 0; at < length;) {
    NSRange piece;
    BOOL boundary = NO;
    NSString* text = [client stringAtIndex:at
                            effectiveRange:&piece
                    endsWithSearchBoundary:&boundary];
    if (piece.length == 0) break;
    const std::vector<unichar> more = Folded(text);
    units.insert(units.end(), more.begin(), more.end());
    const NSUInteger base = NSMaxRange(piece) - units.size();
    for (auto found = std::search(units.begin(), units.end(), wanted.begin(), wanted.end());
         found != units.end();
         found = std::search(found + 1, units.end(), wanted.begin(), wanted.end())) {
      const NSUInteger start = base + static_cast<NSUInteger>(found - units.begin());
      if (start < searched) continue;
      [matches addObject:[NSValue valueWithRange:NSMakeRange(start, wanted.size())]];
      searched = start + wanted.size();
    }
    units.erase(units.begin(), units.end() - std::min(units.size(), wanted.size() - 1));
    at = NSMaxRange(piece);
  }
  [_finder corvaneSetMatches:matches];
}

// The first match from the selection on (0), the next (1) or the previous
// (-1), round the ends.
- (void)step:(int)direction {
  NSArray* matches = [_finder incrementalMatchRanges];
  const NSUInteger count = [matches count];
  if (count == 0) {
    NSBeep();
    return;
  }
  id<NSTextFinderClient> client = [self client];
  const NSRange selected = [client firstSelectedRange];
  NSUInteger index = 0;
  while (index < count && [[matches objectAtIndex:index] rangeValue].location < selected.location) {
    ++index;
  }
  const BOOL onMatch =
      index < count && NSEqualRanges([[matches objectAtIndex:index] rangeValue], selected);
  if (direction < 0) {
    index = (index + count - 1) % count;
  } else if (direction > 0) {
    if (onMatch) {
      ++index;
    } else {
      while (index < count &&
             [[matches objectAtIndex:index] rangeValue].location < NSMaxRange(selected)) {
        ++index;
      }
    }
  }
  const NSRange found = [[matches objectAtIndex:index % count] rangeValue];
  [client setSelectedRanges:[NSArray arrayWithObject:[NSValue valueWithRange:found]]];
  [client scrollRangeToVisible:found];
  // The find indicator: the characters found, drawn alone.
  NSRange range;
  NSView* content = [client contentViewAtIndex:found.location effectiveCharacterRange:&range];
  NSImage* indicator = [[[NSImage alloc] initWithSize:NSMakeSize(64, 16)] autorelease];
  [indicator lockFocus];
  [client drawCharactersInRange:found forContentView:content];
  [indicator unlockFocus];
}

// As it is typed, once the keys come no faster than a reader types them.
- (void)controlTextDidChange:(NSNotification*)notification {
  [NSObject cancelPreviousPerformRequestsWithTarget:self selector:@selector(typed) object:nil];
  [self performSelector:@selector(typed) withObject:nil afterDelay:0.1];
}

- (void)typed {
  [self search];
  [self step:0];
}

- (BOOL)control:(NSControl*)control
               textView:(NSTextView*)textView
    doCommandBySelector:(SEL)command {
  // GCC's runtime has typed selectors: compared by name, not address.
  if (sel_isEqual(command, @selector(insertNewline:))) {
    // The text may have changed since: what was found is found again.
    [self search];
    [self step:([[NSApp currentEvent] modifierFlags] & NSShiftKeyMask) ? -1 : 1];
    return YES;
  }
  if (sel_isEqual(command, @selector(cancelOperation:))) {
    [self hide];
    return YES;
  }
  return NO;
}

@end

// Replaces GNUstep's methods on purpose: its finder works a find panel over
// an NSTextView, which the log view is not.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wobjc-protocol-method-implementation"
@implementation NSTextFinder (CorvaneAppKitRun)

- (void)setClient:(id<NSTextFinderClient>)client {
  _client = client;
}
- (id<NSTextFinderClient>)client {
  return _client;
}
- (void)setFindBarContainer:(id<NSTextFinderBarContainer>)container {
  _findBarContainer = container;
}
- (id<NSTextFinderBarContainer>)findBarContainer {
  return _findBarContainer;
}
- (void)setIncrementalSearchingEnabled:(BOOL)enabled {
  _incrementalSearchingEnabled = enabled;
}
- (NSArray*)incrementalMatchRanges {
  return _incrementalMatchRanges != nil ? _incrementalMatchRanges : [NSArray array];
}
- (void)corvaneSetMatches:(NSArray*)matches {
  ASSIGN(_incrementalMatchRanges, matches);
}

// Output keeps coming: while its bar is shown, the finder searches again
// once the text has settled for a moment, not for every line.
- (void)noteClientStringWillChange {
  CorvaneFindBar* bar = BarOf(self);
  if (![bar shown]) return;
  [NSObject cancelPreviousPerformRequestsWithTarget:bar selector:@selector(search) object:nil];
  [bar performSelector:@selector(search) withObject:nil afterDelay:0.2];
}

- (BOOL)validateAction:(NSTextFinderAction)action {
  switch (action) {
    case NSTextFinderActionShowFindInterface:
    case NSTextFinderActionHideFindInterface:
    case NSTextFinderActionSetSearchString:
      return _client != nil;
    case NSTextFinderActionNextMatch:
    case NSTextFinderActionPreviousMatch:
      return _client != nil && [[BarOf(self)->_field stringValue] length] > 0;
    default:
      return NO;
  }
}

- (void)performAction:(NSTextFinderAction)action {
  CorvaneFindBar* bar = BarOf(self);
  switch (action) {
    case NSTextFinderActionShowFindInterface:
      [bar show];
      break;
    case NSTextFinderActionHideFindInterface:
      [bar hide];
      break;
    case NSTextFinderActionNextMatch:
    case NSTextFinderActionPreviousMatch:
      if ([[bar->_field stringValue] length] == 0) break;
      [bar search];
      [bar step:action == NSTextFinderActionNextMatch ? 1 : -1];
      break;
    case NSTextFinderActionSetSearchString: {
      // The selection, read by pieces as the rest.
      const NSRange selected = [_client firstSelectedRange];
      NSMutableString* text = [NSMutableString string];
      for (NSUInteger at = selected.location; at < NSMaxRange(selected);) {
        NSRange piece;
        BOOL boundary = NO;
        NSString* part = [_client stringAtIndex:at
                                 effectiveRange:&piece
                         endsWithSearchBoundary:&boundary];
        const NSRange wanted = NSIntersectionRange(piece, selected);
        if (wanted.length == 0) break;
        [text appendString:[part substringWithRange:NSMakeRange(wanted.location - piece.location,
                                                                wanted.length)]];
        at = NSMaxRange(wanted);
      }
      [bar->_field setStringValue:text];
      [bar search];
      break;
    }
    default:
      NSBeep();
  }
}

@end

@implementation NSScrollView (CorvaneTextFinder)

- (NSView*)findBarView {
  return [BarsByContainer() objectForKey:KeyOf(self)];
}
- (void)setFindBarView:(NSView*)view {
  [BarsByContainer() setObject:view forKey:KeyOf(self)];
}
- (BOOL)isFindBarVisible {
  return [[self findBarView] superview] == self;
}
- (BOOL)isfindBarVisible {
  return [self isFindBarVisible];
}
- (void)setFindBarVisible:(BOOL)visible {
  TileFindBars();
  if (visible && ![self isFindBarVisible]) [self addSubview:[self findBarView]];
  if (!visible) [[self findBarView] removeFromSuperview];
  [self tile];
  [self setNeedsDisplay:YES];
}
- (void)findBarViewDidChangeHeight {
  [self tile];
}

@end
#pragma clang diagnostic pop

NSString* CorvaneFindField(void) { return [shownBar shown] ? [shownBar->_field stringValue] : nil; }

BOOL CorvaneFindFieldHasKeys(void) {
  id responder = [[shownBar window] firstResponder];
  return [shownBar shown] &&
         (responder == shownBar->_field ||
          ([responder isKindOfClass:[NSText class]] && [responder delegate] == shownBar->_field));
}

NSArray* CorvaneFindHighlights(void) {
  NSMutableArray* rects = [NSMutableArray array];
  if (![shownBar shown]) return rects;
  id<NSTextFinderClient> client = [shownBar client];
  for (NSValue* visible in [client visibleCharacterRanges]) {
    for (NSValue* match in [shownBar->_finder incrementalMatchRanges]) {
      if (NSIntersectionRange([match rangeValue], [visible rangeValue]).length == 0) continue;
      [rects addObjectsFromArray:[client rectsForCharacterRange:[match rangeValue]]];
    }
  }
  return rects;
}
