#import "log_view.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "corvane/app/window_layout.h"
#include "dispatch_main_queue.h"
#import "string_bridge.h"

using corvane::LogModel;
using corvane::LogReader;
using corvane::LogViewCore;
using corvane::TextIndex;
using corvane::Unit;

namespace corvane::macos {
namespace {

TextIndex IndexOf(NSInteger index) {
  return TextIndex(static_cast<NSUInteger>(std::max<NSInteger>(index, 0)));
}

// A segment laid out by TextKit at the view's width, in the UTF-16 units
// NSString counts. The storage owns the layout manager, the manager its
// container.
class TextKitLayout final : public SegmentLayout {
 public:
  TextKitLayout(NSString* text, NSDictionary* attributes, double width, double rowHeight)
      : storage_([[NSTextStorage alloc] initWithString:text attributes:attributes]),
        manager_([[NSLayoutManager alloc] init]),
        container_([[NSTextContainer alloc] initWithSize:NSMakeSize(width, CGFLOAT_MAX)]) {
    [container_ setLineFragmentPadding:0];
    [manager_ addTextContainer:container_];
    [storage_ addLayoutManager:manager_];
    [manager_ ensureLayoutForTextContainer:container_];
    std::vector<Row> rows;
    for (NSUInteger glyph = 0; glyph < [manager_ numberOfGlyphs];) {
      NSRange glyphs;
      const NSRect rect = [manager_ lineFragmentRectForGlyphAtIndex:glyph effectiveRange:&glyphs];
      const NSRange characters = [manager_ characterRangeForGlyphRange:glyphs
                                                      actualGlyphRange:NULL];
      rows.push_back({NSMinY(rect), NSHeight(rect), Unit(characters.location)});
      glyph = std::max(NSMaxRange(glyphs), glyph + 1);
    }
    setRows(std::move(rows), rowHeight);
  }
  ~TextKitLayout() override {
#if !__has_feature(objc_arc)
    [container_ release];
    [manager_ release];
    [storage_ release];
#endif
  }
  TextKitLayout(const TextKitLayout&) = delete;
  TextKitLayout& operator=(const TextKitLayout&) = delete;

  void draw(NSPoint origin) const {
    [manager_ drawGlyphsForGlyphRange:[manager_ glyphRangeForTextContainer:container_]
                              atPoint:origin];
  }
  Unit length() const override { return Unit([storage_ length]); }
  double xAt(std::size_t row, Unit unit) const override {
    // The left of the character at `unit`, or the right of the one before
    // it at the end of the row.
    const bool after = unit >= rowEnd(row) && this->row(row).start < unit;
    if (unit >= length() && !after) return 0;
    const NSUInteger at = after ? unit.value() - 1 : unit.value();
    const NSRange glyphs = [manager_ glyphRangeForCharacterRange:NSMakeRange(at, 1)
                                            actualCharacterRange:NULL];
    const NSRect box = [manager_ boundingRectForGlyphRange:glyphs inTextContainer:container_];
    return after ? NSMaxX(box) : NSMinX(box);
  }
  Unit caretAt(std::size_t row, double x) const override { return hit(row, x, true); }
  Unit characterAt(std::size_t row, double x) const override { return hit(row, x, false); }
  std::pair<Unit, Unit> clusterAt(Unit unit) const override {
    if (unit >= length()) return {unit, unit};
    const NSRange cluster =
        [[storage_ string] rangeOfComposedCharacterSequenceAtIndex:unit.value()];
    return {Unit(cluster.location), Unit(NSMaxRange(cluster))};
  }
  // AppKit's own word finder, which takes Japanese words from a dictionary.
  std::pair<Unit, Unit> wordAt(Unit unit) const override {
    const NSRange word = [storage_ doubleClickAtIndex:unit.value()];
    return {Unit(word.location), Unit(NSMaxRange(word))};
  }

 private:
  Unit hit(std::size_t row, double x, bool caret) const {
    if (length() == Unit(0)) return Unit(0);
    CGFloat fraction = 0;
    const NSPoint point = NSMakePoint(x, this->row(row).top + this->row(row).height / 2);
    const NSUInteger glyph = [manager_ glyphIndexForPoint:point
                                          inTextContainer:container_
                           fractionOfDistanceThroughGlyph:&fraction];
    const NSRange characters = [manager_ characterRangeForGlyphRange:NSMakeRange(glyph, 1)
                                                    actualGlyphRange:NULL];
    return Unit(caret && fraction > 0.5 ? NSMaxRange(characters) : characters.location);
  }

  // Strong under ARC; without it, released by the destructor.
  NSTextStorage* storage_;
  NSLayoutManager* manager_;
  NSTextContainer* container_;
};

}  // namespace

struct LogViewState final : LogViewSkin {
  LogViewState(CorvaneLogView* owner, std::shared_ptr<LogModel> model) : view(owner) {
    NSFont* font = [NSFont monospacedSystemFontOfSize:layout::kLogPoints
                                               weight:NSFontWeightRegular];
    NSMutableParagraphStyle* paragraph = [[NSMutableParagraphStyle alloc] init];
    [paragraph setTabStops:[NSArray array]];
    [paragraph
        setDefaultTabInterval:8 * [@" " sizeWithAttributes:@{NSFontAttributeName : font}].width];
    // Colours that follow the appearance, resolved as they are drawn.
    text = [[NSDictionary alloc] initWithObjectsAndKeys:font, NSFontAttributeName,
                                                        [NSColor labelColor],
                                                        NSForegroundColorAttributeName, paragraph,
                                                        NSParagraphStyleAttributeName, nil];
    NSMutableParagraphStyle* truncated = [[NSMutableParagraphStyle alloc] init];
    [truncated setLineBreakMode:NSLineBreakByTruncatingTail];
    note = [[NSDictionary alloc] initWithObjectsAndKeys:font, NSFontAttributeName,
                                                        [NSColor secondaryLabelColor],
                                                        NSForegroundColorAttributeName, truncated,
                                                        NSParagraphStyleAttributeName, nil];
#if !__has_feature(objc_arc)
    [paragraph release];
    [truncated release];
#endif
    core = std::make_unique<LogViewCore>(std::move(model), MakeDispatchMainQueue(), *this,
                                         TextUnit::kUtf16);
  }
  ~LogViewState() override {
    core.reset();
#if !__has_feature(objc_arc)
    [text release];
    [note release];
#endif
  }
  LogViewState(const LogViewState&) = delete;
  LogViewState& operator=(const LogViewState&) = delete;

  std::unique_ptr<SegmentLayout> lay(std::u16string_view segment, double width) override {
    return std::make_unique<TextKitLayout>(FromUtf16(segment), text, width, lineHeight());
  }
  double lineHeight() override {
    if (rowHeight == 0) rowHeight = TextKitLayout(@"X", text, 1e4, 1).height();
    return rowHeight;
  }
  void viewChanged(LogReader::Changes changes) override;

  CorvaneLogView* __unsafe_unretained const view;
  // Strong under ARC; without it, released by the destructor.
  NSDictionary* text;
  NSDictionary* note;
  double rowHeight = 0;
  // Last, so that it goes first: its reader is the model's observer.
  std::unique_ptr<LogViewCore> core;
};

}  // namespace corvane::macos

using corvane::macos::FromNSRange;
using corvane::macos::IndexOf;
using corvane::macos::ToNSRange;

// The log's text as one string, for accessibilityValue: read from the model
// by ranges as it is asked for, never copied whole. It is the text kept when
// it was made; what has gone since reads as spaces.
@interface CorvaneLogText : NSString {
  CorvaneLogView* _view;
  std::uint64_t _dropped;
  NSUInteger _length;
}
@end

@implementation CorvaneLogText

- (instancetype)initWithView:(CorvaneLogView*)view {
  self = [super init];
  if (self != nil) {
    _view = view;
#if !__has_feature(objc_arc)
    [_view retain];
#endif
    _dropped = [view core].store().dropped(corvane::TextUnit::kUtf16);
    _length = [view core].length().value();
  }
  return self;
}

#if !__has_feature(objc_arc)
- (void)dealloc {
  [_view release];
  [super dealloc];
}
#endif

- (NSUInteger)length {
  return _length;
}

- (void)getCharacters:(unichar*)buffer range:(NSRange)range {
  const std::u16string text = [_view core].textSince(_dropped, range.location, range.length);
  std::copy_n(text.begin(), std::min<std::size_t>(text.size(), range.length), buffer);
}

- (unichar)characterAtIndex:(NSUInteger)index {
  unichar character = u' ';
  [self getCharacters:&character range:NSMakeRange(index, 1)];
  return character;
}

@end

@implementation CorvaneLogView

+ (NSScrollView*)scrollViewWithFrame:(NSRect)frame model:(std::shared_ptr<LogModel>)model {
  CorvaneLogScrollView* scrollView = [[CorvaneLogScrollView alloc] initWithFrame:frame];
  [scrollView setBorderType:NSBezelBorder];
  [scrollView setHasVerticalScroller:YES];
  // Shown by how much of the log is in view (-tile), not by the view's size.
  [scrollView setAutohidesScrollers:NO];
  const NSSize size = [scrollView contentSize];
  CorvaneLogView* view =
      [[CorvaneLogView alloc] initWithFrame:NSMakeRect(0, 0, size.width, size.height)
                                      model:std::move(model)];
  [scrollView setDocumentView:view];
  [[scrollView verticalScroller] setTarget:view];
  [[scrollView verticalScroller] setAction:@selector(scrollerMoved:)];
#if !__has_feature(objc_arc)
  [view release];
  [scrollView autorelease];
#endif
  return scrollView;
}

- (instancetype)initWithFrame:(NSRect)frame model:(std::shared_ptr<LogModel>)model {
  self = [super initWithFrame:frame];
  if (self == nil) return nil;
  _state = std::make_unique<corvane::macos::LogViewState>(self, std::move(model));
  [self setFocusRingType:NSFocusRingTypeExterior];
  [self setFrameSize:frame.size];
  // The Services menu offers what takes text for a selection.
  [NSApp registerServicesMenuSendTypes:@[ NSPasteboardTypeString ] returnTypes:@[]];
  for (NSString* name in @[ NSWindowDidBecomeKeyNotification, NSWindowDidResignKeyNotification ]) {
    [[NSNotificationCenter defaultCenter] addObserver:self
                                             selector:@selector(followKey)
                                                 name:name
                                               object:nil];
  }
  return self;
}

- (void)dealloc {
  [[NSNotificationCenter defaultCenter] removeObserver:self];
  // The finder holds its client unretained.
  [_finder setClient:nil];
#if !__has_feature(objc_arc)
  [_finder release];
#endif
  _state.reset();
#if !__has_feature(objc_arc)
  [super dealloc];
#endif
}

- (LogViewCore&)core {
  return *_state->core;
}

- (BOOL)isFlipped {
  return YES;
}

- (BOOL)isOpaque {
  return YES;
}

- (BOOL)acceptsFirstResponder {
  return YES;
}

- (void)resetCursorRects {
  [self addCursorRect:[self visibleRect] cursor:[NSCursor IBeamCursor]];
}

// GNUstep's setFrame: does not go through setFrameSize:, so both come here.
- (void)setFrameSize:(NSSize)size {
  [super setFrameSize:size];
  if (_state != nullptr) _state->core->setSize(size.width, size.height);
}

- (void)setFrame:(NSRect)frame {
  [super setFrame:frame];
  if (_state != nullptr) _state->core->setSize(NSWidth(frame), NSHeight(frame));
}

// The selection is drawn as the one keys act on while the view is first
// responder in the key window; so is the focus ring.
- (void)followKey {
  _state->core->setActive([[self window] isKeyWindow] && [[self window] firstResponder] == self);
  [self noteFocusRingMaskChanged];
}

- (BOOL)becomeFirstResponder {
  [self performSelector:@selector(followKey) withObject:nil afterDelay:0];
  return YES;
}

- (BOOL)resignFirstResponder {
  [self performSelector:@selector(followKey) withObject:nil afterDelay:0];
  return YES;
}

- (NSRect)focusRingMaskBounds {
  return NSInsetRect([self bounds], 1, 1);
}

- (void)drawFocusRingMask {
  NSRectFill([self focusRingMaskBounds]);
}

- (void)viewDidChangeEffectiveAppearance {
  [self setNeedsDisplay:YES];
}

// Rows that moved are moved, not drawn again; only what changed is drawn.
// AppKit moves a view's own pixels (scrollRect:by:) where the view draws into
// its window's backing; a layer-backed one, as every view is on a current
// macOS, draws the rows again instead. So does one with drawing still to do,
// which would be moved from where it was asked for.
- (void)redraw:(const LogViewCore::Redraw&)redraw {
  const double moved = redraw.moved;
  if (redraw.whole || [self layer] != nil || [self needsDisplay] || moved != std::round(moved)) {
    [self setNeedsDisplay:YES];
    return;
  }
  if (moved != 0) {
    const corvane::ViewRect& area = redraw.moving;
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
    [self scrollRect:NSMakeRect(area.x, area.y, area.width, area.height) by:NSMakeSize(0, -moved)];
#pragma clang diagnostic pop
  }
  const corvane::ViewRect& dirty = redraw.dirty;
  if (dirty.height > 0) {
    [self setNeedsDisplayInRect:NSMakeRect(dirty.x, dirty.y, dirty.width, dirty.height)];
  }
}

- (void)changed:(LogReader::Changes)changes {
  NSScrollView* scrollView = [self enclosingScrollView];
  if (changes & LogViewCore::kScroller)
    [scrollView reflectScrolledClipView:[scrollView contentView]];
  if (changes & ~LogViewCore::kScroller) [self redraw:_state->core->redraw()];
  if (changes & LogReader::kText)
    NSAccessibilityPostNotification(self, NSAccessibilityValueChangedNotification);
  if (changes & (LogReader::kText | LogReader::kNote | LogReader::kPlace))
    [self noteTextChangeForFinder];
  if (changes & LogReader::kSelection) {
    NSAccessibilityPostNotification(self, NSAccessibilitySelectedTextChangedNotification);
  }
}

- (void)drawRect:(NSRect)dirty {
  [[NSColor textBackgroundColor] setFill];
  NSRectFill(dirty);
  LogViewCore& core = *_state->core;
  if (const corvane::ViewRect note = core.noteRect(); note.height > 0) {
    [corvane::macos::ToNSString(core.model().droppedNote())
            drawInRect:NSMakeRect(LogViewCore::kMargin, 3, note.width - 2 * LogViewCore::kMargin,
                                  note.height - 3)
        withAttributes:_state->note];
  }
  [self drawTextSelected:YES in:dirty];
}

// The rows in view, and the selection under them, or the text alone.
- (void)drawTextSelected:(BOOL)selected {
  [self drawTextSelected:selected in:[self bounds]];
}

// Those of them in `dirty`.
- (void)drawTextSelected:(BOOL)selected in:(NSRect)dirty {
  LogViewCore& core = *_state->core;
  [NSGraphicsContext saveGraphicsState];
  // Rows scroll whole: the one before the top row stays out of the margin.
  NSRectClip(NSMakeRect(0, core.textTop(), NSWidth([self bounds]), NSHeight([self bounds])));
  [(core.active() ? [NSColor selectedTextBackgroundColor]
                  : [NSColor unemphasizedSelectedTextBackgroundColor]) setFill];
  for (const LogViewCore::Shown& shown : core.shown()) {
    // Only rows in the part to draw.
    if (shown.origin.y + shown.layout->height() <= NSMinY(dirty) ||
        shown.origin.y >= NSMaxY(dirty)) {
      continue;
    }
    if (selected && shown.selectedFrom < shown.selectedTo) {
      for (const corvane::ViewRect& box :
           shown.layout->rangeRects(shown.selectedFrom, shown.selectedTo)) {
        NSRectFill(
            NSMakeRect(box.x + shown.origin.x, box.y + shown.origin.y, box.width, box.height));
      }
    }
    static_cast<const corvane::macos::TextKitLayout&>(*shown.layout)
        .draw(NSMakePoint(shown.origin.x, shown.origin.y));
  }
  [NSGraphicsContext restoreGraphicsState];
}

- (void)scrollerMoved:(NSScroller*)scroller {
  using Command = LogViewCore::Command;
  switch ([scroller hitPart]) {
    case NSScrollerDecrementPage:
      return _state->core->perform(Command::kPageUp);
    case NSScrollerIncrementPage:
      return _state->core->perform(Command::kPageDown);
    case NSScrollerDecrementLine:
      return _state->core->perform(Command::kLineUp);
    case NSScrollerIncrementLine:
      return _state->core->perform(Command::kLineDown);
    default:
      return _state->core->scrollerToFraction([scroller doubleValue]);
  }
}

// A trackpad's points as they come, a wheel's notches as lines. The clip view
// never moves: no elastic bounce pulls the text from under the reader.
- (void)scrollWheel:(NSEvent*)event {
  [[self enclosingScrollView] flashScrollers];
  const CGFloat delta = -[event scrollingDeltaY];
  [event hasPreciseScrollingDeltas] ? _state->core->scrollBy(delta)
                                    : _state->core->scrollLines(delta);
}

- (corvane::ViewPoint)pointOf:(NSEvent*)event {
  const NSPoint point = [self convertPoint:[event locationInWindow] fromView:nil];
  return {point.x, point.y};
}

- (void)mouseDown:(NSEvent*)event {
  [[self window] makeFirstResponder:self];
  _state->core->press([self pointOf:event], static_cast<int>([event clickCount]),
                      ([event modifierFlags] & NSEventModifierFlagShift) != 0);
}

- (void)mouseDragged:(NSEvent*)event {
  _state->core->drag([self pointOf:event]);
}

- (void)mouseUp:(NSEvent*)event {
  _state->core->release();
}

// Keys as the reader's key bindings have them.
- (void)keyDown:(NSEvent*)event {
  [self interpretKeyEvents:@[ event ]];
}

- (void)doCommandBySelector:(SEL)selector {
  const auto command = LogViewCore::CommandNamed([NSStringFromSelector(selector) UTF8String]);
  command ? _state->core->perform(*command) : [super doCommandBySelector:selector];
}

- (void)selectAll:(id)sender {
  _state->core->perform(LogViewCore::Command::kSelectAll);
}

- (NSMenu*)menuForEvent:(NSEvent*)event {
  NSMenu* menu = [[NSMenu alloc] initWithTitle:@""];
  [menu addItemWithTitle:@"コピー" action:@selector(copy:) keyEquivalent:@"c"];
  [menu addItemWithTitle:@"すべてを選択" action:@selector(selectAll:) keyEquivalent:@"a"];
  for (NSMenuItem* item in [menu itemArray]) [item setTarget:self];
#if !__has_feature(objc_arc)
  [menu autorelease];
#endif
  return menu;
}

- (BOOL)validateMenuItem:(NSMenuItem*)item {
  if ([item action] == @selector(performTextFinderAction:))
    return [[self textFinder] validateAction:[item tag]];
  return [item action] != @selector(copy:) || _state->core->reader().hasSelection();
}

// Exactly the model's text: line ends as they came, NUL as NUL. A copy is
// what was selected when copied, whatever comes or goes after.
- (BOOL)writeSelectionToPasteboard:(NSPasteboard*)pasteboard types:(NSArray*)types {
  const std::optional<std::string> text = _state->core->copy();
  if (![types containsObject:NSPasteboardTypeString] || !text) return NO;
  [pasteboard declareTypes:@[ NSPasteboardTypeString ] owner:nil];
  return [pasteboard setString:corvane::macos::ToNSString(*text) forType:NSPasteboardTypeString];
}

- (void)copy:(id)sender {
  [self writeSelectionToPasteboard:[NSPasteboard generalPasteboard]
                             types:@[ NSPasteboardTypeString ]];
}

- (id)validRequestorForSendType:(NSString*)sendType returnType:(NSString*)returnType {
  if ([sendType isEqual:NSPasteboardTypeString] && returnType == nil &&
      _state->core->reader().hasSelection()) {
    return self;
  }
  return [super validRequestorForSendType:sendType returnType:returnType];
}

// VoiceOver reads the kept text by ranges in UTF-16 units, as AppKit counts;
// lines are the log's own, whatever their wrapping.
- (BOOL)isAccessibilityElement {
  return YES;
}

- (NSString*)accessibilityRole {
  return NSAccessibilityTextAreaRole;
}

- (NSString*)accessibilityLabel {
  return @"ログ";
}

// The note on dropped output, which is drawn, not a control of its own.
- (NSString*)accessibilityHelp {
  return corvane::macos::ToNSString(_state->core->model().droppedNote());
}

- (id)accessibilityValue {
  CorvaneLogText* text = [[CorvaneLogText alloc] initWithView:self];
#if !__has_feature(objc_arc)
  [text autorelease];
#endif
  return text;
}

- (NSInteger)accessibilityNumberOfCharacters {
  return static_cast<NSInteger>(_state->core->length().value());
}

- (NSString*)accessibilityStringForRange:(NSRange)range {
  return corvane::macos::FromUtf16(_state->core->text(FromNSRange(range)));
}

- (NSAttributedString*)accessibilityAttributedStringForRange:(NSRange)range {
  NSAttributedString* text =
      [[NSAttributedString alloc] initWithString:[self accessibilityStringForRange:range]];
#if !__has_feature(objc_arc)
  [text autorelease];
#endif
  return text;
}

- (NSInteger)accessibilityLineForIndex:(NSInteger)index {
  return static_cast<NSInteger>(_state->core->lineForIndex(IndexOf(index)));
}

- (NSRange)accessibilityRangeForLine:(NSInteger)line {
  const auto range = _state->core->rangeForLine(IndexOf(line).value());
  return line >= 0 && range ? ToNSRange(*range) : NSMakeRange(NSNotFound, 0);
}

- (NSInteger)accessibilityInsertionPointLineNumber {
  return static_cast<NSInteger>(_state->core->lineForIndex(_state->core->caretIndex()));
}

- (NSRange)accessibilityRangeForIndex:(NSInteger)index {
  return ToNSRange(_state->core->clusterRange(IndexOf(index)));
}

- (NSRange)accessibilityVisibleCharacterRange {
  return ToNSRange(_state->core->visibleRange());
}

- (NSRange)accessibilitySelectedTextRange {
  return ToNSRange(_state->core->selectedRange());
}

- (void)setAccessibilitySelectedTextRange:(NSRange)range {
  _state->core->setSelectedRange(FromNSRange(range));
}

- (NSString*)accessibilitySelectedText {
  return [self accessibilityStringForRange:[self accessibilitySelectedTextRange]];
}

// The whole range, also out of view, in screen coordinates.
- (NSRect)accessibilityFrameForRange:(NSRange)range {
  const corvane::ViewRect frame = _state->core->frameForRange(FromNSRange(range));
  const NSRect inView = NSMakeRect(frame.x, frame.y, frame.width, frame.height);
  return [[self window] convertRectToScreen:[self convertRect:inView toView:nil]];
}

- (NSRange)accessibilityRangeForPosition:(NSPoint)point {
  const NSPoint inWindow =
      [[self window] convertRectFromScreen:NSMakeRect(point.x, point.y, 0, 0)].origin;
  const NSPoint inView = [self convertPoint:inWindow fromView:nil];
  return ToNSRange(_state->core->clusterRange(_state->core->indexAt({inView.x, inView.y})));
}

@end

void corvane::macos::LogViewState::viewChanged(LogReader::Changes changes) {
  [view changed:changes];
}

@implementation CorvaneLogScrollView

// The scroller shows where the log is in all that is kept. The log fills the
// clip view, which never scrolls, so the scroll view's own reckoning would
// turn the scroller off: it is not asked.
- (void)reflectScrolledClipView:(NSClipView*)clip {
  id log = [self documentView];
  if (![log isKindOfClass:[CorvaneLogView class]]) return [super reflectScrolledClipView:clip];
  const LogViewCore::Scroller scroller = [log core].scroller();
  NSScroller* bar = [self verticalScroller];
  if ([bar isEnabled] != scroller.on) [bar setEnabled:scroller.on ? YES : NO];
  // While output streams, the knob moves by a pixel only every so many
  // lines: the scroller is set, and drawn again, only then, or as it comes
  // to an end or leaves one.
  const double slot = NSHeight([bar rectForPart:NSScrollerKnobSlot]);
  const auto moves = [slot](double was, double now) {
    const auto end = [](double value) { return value == 0 || value == 1; };
    return std::abs(now - was) * slot >= 0.5 || (now != was && (end(now) || end(was)));
  };
  if (moves([bar doubleValue], scroller.fraction())) [bar setDoubleValue:scroller.fraction()];
  if (moves([bar knobProportion], scroller.proportion())) {
    [bar setKnobProportion:static_cast<CGFloat>(scroller.proportion())];
  }
  if ([bar isHidden] == scroller.on && !_tiling) [self tile];
}

// The wheel over the scroller, or the border, scrolls the log as over it.
- (void)scrollWheel:(NSEvent*)event {
  [[self documentView] scrollWheel:event];
}

// ⌘G and the like from the find bar, which the log's finder takes.
- (void)performTextFinderAction:(id)sender {
  [[self documentView] performTextFinderAction:sender];
}

// The scroller shows while the log is longer than the view; the log fills
// what is left of the clip view.
- (void)tile {
  _tiling = YES;
  [super tile];
  NSClipView* clip = [self contentView];
  NSScroller* scroller = [self verticalScroller];
  id log = [self documentView];
  const BOOL fits = ![log isKindOfClass:[CorvaneLogView class]] || ![log core].scroller().on;
  if (fits && [self scrollerStyle] == NSScrollerStyleLegacy) {
    [clip setFrame:NSUnionRect([clip frame], [scroller frame])];
  }
  [scroller setHidden:fits];
  [log setFrame:NSMakeRect(0, 0, NSWidth([clip frame]), NSHeight([clip frame]))];
  [self reflectScrolledClipView:clip];
  _tiling = NO;
}

@end
