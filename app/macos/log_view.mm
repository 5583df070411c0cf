#import "log_view.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "corvane/app/window_layout.h"
#include "dispatch_main_queue.h"
#import "string_bridge.h"

namespace corvane::macos {
namespace {

constexpr double kTabColumns = 8;

// Holds an Objective-C object as ARC's strong reference does, also where the
// layer is built without ARC (GNUstep): it takes over a reference from alloc.
template <typename T>
class Owned {
 public:
  Owned() = default;
  ~Owned() { reset(); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  T* get() const { return object_; }
  void adopt(T* object) {
    reset();
    object_ = object;
  }
  void reset() {
#if !__has_feature(objc_arc)
    [object_ release];
#endif
    object_ = nil;
  }

 private:
  T* object_ = nil;
};

NSString* FromUtf16(std::u16string_view text) {
  return [NSString stringWithCharacters:reinterpret_cast<const unichar*>(text.data())
                                 length:text.size()];
}

NSRange ToNSRange(LogViewCore::Range range) {
  return NSMakeRange(static_cast<NSUInteger>(range.from.value()),
                     static_cast<NSUInteger>(range.to - range.from));
}

LogViewCore::Range FromNSRange(NSRange range) {
  return {TextIndex(range.location), TextIndex(NSMaxRange(range))};
}

NSRect ToNSRect(const ViewRect& rect) {
  return NSMakeRect(rect.x, rect.y, rect.width, rect.height);
}

// A segment laid out by TextKit at the view's width. Units are the
// characters of NSString, UTF-16 units.
class TextKitLayout final : public SegmentLayout {
 public:
  TextKitLayout(NSString* text, NSDictionary* attributes, double width, double rowHeight) {
    storage_.adopt([[NSTextStorage alloc] initWithString:text attributes:attributes]);
    NSLayoutManager* manager = [[NSLayoutManager alloc] init];
    NSTextContainer* container =
        [[NSTextContainer alloc] initWithSize:NSMakeSize(width, CGFLOAT_MAX)];
    [container setLineFragmentPadding:0];
    [manager addTextContainer:container];
    // The storage owns the manager, the manager its container.
    [storage_.get() addLayoutManager:manager];
#if !__has_feature(objc_arc)
    [container release];
    [manager release];
#endif
    manager_ = manager;
    container_ = container;
    [manager ensureLayoutForTextContainer:container];
    for (NSUInteger glyph = 0; glyph < [manager numberOfGlyphs];) {
      NSRange glyphs;
      const NSRect rect = [manager lineFragmentRectForGlyphAtIndex:glyph effectiveRange:&glyphs];
      rows_.push_back(
          {NSMinY(rect), NSHeight(rect),
           [manager characterRangeForGlyphRange:glyphs actualGlyphRange:NULL].location});
      glyph = std::max(NSMaxRange(glyphs), glyph + 1);
    }
    // An empty line is a row too.
    if (rows_.empty()) rows_.push_back({0, rowHeight, 0});
    height_ = std::max(rowHeight, std::ceil(NSMaxY([manager usedRectForTextContainer:container])));
  }

  void draw(NSPoint origin) const {
    [manager_ drawGlyphsForGlyphRange:[manager_ glyphRangeForTextContainer:container_]
                              atPoint:origin];
  }
  double height() const override { return height_; }
  std::size_t rowCount() const override { return rows_.size(); }
  double rowTop(std::size_t row) const override { return rows_[row].top; }
  std::size_t rowOf(Unit unit) const override {
    std::size_t row = 0;
    while (row + 1 < rows_.size() && rows_[row + 1].start <= unit.value()) ++row;
    return row;
  }
  Unit caretAt(ViewPoint point) const override { return hit(point, true); }
  Unit characterAt(ViewPoint point) const override { return clusterAt(hit(point, false)).first; }
  std::pair<Unit, Unit> clusterAt(Unit unit) const override {
    if (unit.value() >= length()) return {unit, unit};
    const NSRange cluster =
        [[storage_.get() string] rangeOfComposedCharacterSequenceAtIndex:unit.value()];
    return {Unit(cluster.location), Unit(NSMaxRange(cluster))};
  }
  std::vector<ViewRect> rangeRects(Unit from, Unit to) const override {
    const NSUInteger first = from.value() < length() ? clusterAt(from).first.value() : length();
    const NSUInteger last =
        from < to ? std::min<NSUInteger>(clusterAt(to - 1).second.value(), length()) : first;
    std::vector<ViewRect> rects;
    if (first == last) {
      // A caret: at the left of the character after it, or the right of the last.
      const std::size_t row = rowOf(Unit(first));
      double x = 0;
      if (length() > 0) {
        const NSRect box = boxOf(std::min(first, length() - 1), 1);
        x = first < length() ? NSMinX(box) : NSMaxX(box);
      }
      return {{x, rows_[row].top, 0, rows_[row].height}};
    }
    for (std::size_t row = rowOf(Unit(first)); row < rows_.size() && rows_[row].start < last;
         ++row) {
      const NSUInteger end = row + 1 < rows_.size() ? rows_[row + 1].start : length();
      const NSUInteger start = std::max<NSUInteger>(first, rows_[row].start);
      if (start >= std::min(last, end)) continue;
      const NSRect box = boxOf(start, std::min(last, end) - start);
      rects.push_back({NSMinX(box), rows_[row].top, NSWidth(box), rows_[row].height});
    }
    return rects;
  }
  // AppKit's own word finder, which takes Japanese words from a dictionary.
  std::pair<Unit, Unit> wordAt(Unit unit) const override {
    const NSRange word = [storage_.get() doubleClickAtIndex:unit.value()];
    return {Unit(word.location), Unit(NSMaxRange(word))};
  }

 private:
  struct Row {
    double top;
    double height;
    NSUInteger start;
  };
  NSUInteger length() const { return [storage_.get() length]; }
  NSRect boxOf(NSUInteger start, NSUInteger count) const {
    const NSRange glyphs = [manager_ glyphRangeForCharacterRange:NSMakeRange(start, count)
                                            actualCharacterRange:NULL];
    return [manager_ boundingRectForGlyphRange:glyphs inTextContainer:container_];
  }
  // The character whose glyph a point falls on, or with `caret` the caret
  // place nearest it.
  Unit hit(ViewPoint point, bool caret) const {
    if (length() == 0) return Unit(0);
    CGFloat fraction = 0;
    const NSUInteger glyph =
        [manager_ glyphIndexForPoint:NSMakePoint(point.x, std::max(0.0, point.y))
                           inTextContainer:container_
            fractionOfDistanceThroughGlyph:&fraction];
    const NSRange characters = [manager_ characterRangeForGlyphRange:NSMakeRange(glyph, 1)
                                                    actualGlyphRange:NULL];
    return Unit(caret && fraction > 0.5 ? NSMaxRange(characters) : characters.location);
  }

  Owned<NSTextStorage> storage_;
  NSLayoutManager* __unsafe_unretained manager_ = nil;
  NSTextContainer* __unsafe_unretained container_ = nil;
  std::vector<Row> rows_;
  double height_ = 0;
};

}  // namespace

struct LogViewState final : LogViewSkin {
  LogViewState(CorvaneLogView* owner, std::shared_ptr<LogModel> model) : view(owner) {
    NSFont* font = [NSFont monospacedSystemFontOfSize:layout::kLogPoints
                                               weight:NSFontWeightRegular];
    NSMutableParagraphStyle* paragraph = [[NSMutableParagraphStyle alloc] init];
    const CGFloat space =
        [@" " sizeWithAttributes:[NSDictionary dictionaryWithObject:font
                                                             forKey:NSFontAttributeName]]
            .width;
    [paragraph setTabStops:[NSArray array]];
    [paragraph setDefaultTabInterval:kTabColumns * space];
    // Colours that follow the appearance, resolved as they are drawn.
    attributes.adopt([[NSDictionary alloc]
        initWithObjectsAndKeys:font, NSFontAttributeName, [NSColor labelColor],
                               NSForegroundColorAttributeName, paragraph,
                               NSParagraphStyleAttributeName, nil]);
#if !__has_feature(objc_arc)
    [paragraph release];
#endif
    core = std::make_unique<LogViewCore>(std::move(model), MakeDispatchMainQueue(), *this,
                                         TextUnit::kUtf16);
  }
  LogViewState(const LogViewState&) = delete;
  LogViewState& operator=(const LogViewState&) = delete;
  ~LogViewState() override { core.reset(); }

  std::unique_ptr<SegmentLayout> lay(std::u16string_view text, double width) override {
    return std::make_unique<TextKitLayout>(FromUtf16(text), attributes.get(), width, lineHeight());
  }
  double lineHeight() override {
    if (rowHeight == 0)
      rowHeight = std::max(1.0, TextKitLayout(@"X", attributes.get(), 1e4, 0).height());
    return rowHeight;
  }
  void viewChanged(LogReader::Changes changes) override;

  CorvaneLogView* __unsafe_unretained const view;
  Owned<NSDictionary> attributes;
  double rowHeight = 0;
  // Last, so that it goes first: its reader is the model's observer.
  std::unique_ptr<LogViewCore> core;
};

}  // namespace corvane::macos

using corvane::LogModel;
using corvane::LogReader;
using corvane::LogViewCore;
using corvane::TextIndex;
using corvane::ViewPoint;
using corvane::macos::FromNSRange;
using corvane::macos::ToNSRange;
using corvane::macos::ToNSRect;

// The log's text as one string for accessibilityValue, read from the model
// by ranges as it is asked for, never copied whole. What was kept when it
// was made; what has gone since reads as spaces.
@interface CorvaneLogText : NSString {
  std::weak_ptr<LogModel>* _model;
  std::uint64_t _dropped;  // UTF-16 units dropped before its first
  NSUInteger _length;
}
- (instancetype)initWithModel:(const std::shared_ptr<LogModel>&)model;
@end

@implementation CorvaneLogText

- (instancetype)initWithModel:(const std::shared_ptr<LogModel>&)model {
  self = [super init];
  if (self != nil) {
    _model = new std::weak_ptr<LogModel>(model);
    _dropped = model->store().dropped(corvane::TextUnit::kUtf16);
    _length = static_cast<NSUInteger>(model->store().length(corvane::TextUnit::kUtf16).value());
  }
  return self;
}

- (void)dealloc {
  delete _model;
#if !__has_feature(objc_arc)
  [super dealloc];
#endif
}

- (NSUInteger)length {
  return _length;
}

- (void)getCharacters:(unichar*)buffer range:(NSRange)range {
  std::fill(buffer, buffer + range.length, u' ');
  const std::shared_ptr<LogModel> model = _model->lock();
  if (model == nullptr) return;
  const corvane::LogStore& store = model->store();
  const std::uint64_t gone = store.dropped(corvane::TextUnit::kUtf16) - _dropped;
  if (NSMaxRange(range) <= gone) return;
  const std::uint64_t skip = range.location < gone ? gone - range.location : 0;
  const TextIndex from(range.location + skip - gone);
  const std::u16string text =
      model->shownText(store.offsetAt(from, corvane::TextUnit::kUtf16),
                       store.offsetAt(from + (range.length - skip), corvane::TextUnit::kUtf16));
  std::copy_n(text.begin(), std::min<std::size_t>(text.size(), range.length - skip), buffer + skip);
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
  // The scroller is shown while the log is longer than the view (-tile), not
  // by the view's size: the view never scrolls its clip view.
  [scrollView setAutohidesScrollers:NO];
  [[scrollView contentView] setDrawsBackground:YES];
  [[scrollView contentView] setBackgroundColor:[NSColor textBackgroundColor]];
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
  if (self != nil) {
    _state = std::make_unique<corvane::macos::LogViewState>(self, std::move(model));
    [self setFocusRingType:NSFocusRingTypeExterior];
    [self followFrame];
    // The Services menu offers what takes text for a selection.
    [NSApp registerServicesMenuSendTypes:[NSArray arrayWithObject:NSPasteboardTypeString]
                             returnTypes:[NSArray array]];
    NSNotificationCenter* center = [NSNotificationCenter defaultCenter];
    for (NSString *name in [NSArray arrayWithObjects:NSWindowDidBecomeKeyNotification,
                                                     NSWindowDidResignKeyNotification, nil]) {
      [center addObserver:self selector:@selector(followKey:) name:name object:nil];
    }
  }
  return self;
}

- (void)dealloc {
  [[NSNotificationCenter defaultCenter] removeObserver:self];
  _state.reset();
#if !__has_feature(objc_arc)
  [super dealloc];
#endif
}

- (LogViewCore&)core {
  return *_state->core;
}

- (std::shared_ptr<LogModel>)model {
  return _state->core->reader().sharedModel();
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
- (void)followFrame {
  if (_state != nullptr) _state->core->setSize(NSWidth([self frame]), NSHeight([self frame]));
}

- (void)setFrameSize:(NSSize)size {
  const NSSize before = [self frame].size;
  [super setFrameSize:size];
  if (!NSEqualSizes(before, size)) [self followFrame];
}

- (void)setFrame:(NSRect)frame {
  const NSSize before = [self frame].size;
  [super setFrame:frame];
  if (!NSEqualSizes(before, frame.size)) [self followFrame];
}

// The selection is drawn as the one keys act on while the view is first
// responder in the key window.
- (void)followKey:(NSNotification*)notification {
  _state->core->setActive([[self window] isKeyWindow] && [[self window] firstResponder] == self);
  [self noteFocusRingMaskChanged];
}

- (BOOL)becomeFirstResponder {
  [self performSelector:@selector(followKey:) withObject:nil afterDelay:0];
  return YES;
}

- (BOOL)resignFirstResponder {
  [self performSelector:@selector(followKey:) withObject:nil afterDelay:0];
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

- (void)changed:(LogReader::Changes)changes {
  CorvaneLogScrollView* scrollView = static_cast<CorvaneLogScrollView*>([self enclosingScrollView]);
  if ([scrollView isKindOfClass:[CorvaneLogScrollView class]]) {
    if (changes & LogReader::kNote) {
      [scrollView setNote:corvane::macos::ToNSString(_state->core->model().droppedNote())];
    }
    if (changes & LogViewCore::kScroller)
      [scrollView reflectScrolledClipView:[scrollView contentView]];
  }
  if (changes & (LogReader::kText | LogReader::kPlace | LogReader::kSelection)) {
    [self setNeedsDisplay:YES];
  }
  if (changes & LogReader::kText) {
    NSAccessibilityPostNotification(self, NSAccessibilityValueChangedNotification);
  }
  if (changes & LogReader::kSelection) {
    NSAccessibilityPostNotification(self, NSAccessibilitySelectedTextChangedNotification);
  }
}

- (void)drawRect:(NSRect)dirty {
  [[NSColor textBackgroundColor] setFill];
  NSRectFill(dirty);
  LogViewCore& core = *_state->core;
  NSColor* selected = core.active() ? [NSColor selectedTextBackgroundColor]
                                    : [NSColor unemphasizedSelectedTextBackgroundColor];
  [NSGraphicsContext saveGraphicsState];
  // Rows scroll whole: the one before the top row stays out of the margin.
  NSRectClip(NSMakeRect(0, LogViewCore::kMargin, NSWidth([self bounds]),
                        NSHeight([self bounds]) - LogViewCore::kMargin));
  for (const LogViewCore::Shown& shown : core.shown()) {
    const auto& layout = static_cast<const corvane::macos::TextKitLayout&>(*shown.layout);
    if (shown.selectedFrom < shown.selectedTo) {
      [selected setFill];
      for (const corvane::ViewRect& rect :
           layout.rangeRects(shown.selectedFrom, shown.selectedTo)) {
        NSRectFill(NSOffsetRect(ToNSRect(rect), shown.origin.x, shown.origin.y));
      }
    }
    layout.draw(NSMakePoint(shown.origin.x, shown.origin.y));
  }
  [NSGraphicsContext restoreGraphicsState];
}

- (void)scrollerMoved:(NSScroller*)scroller {
  LogViewCore& core = *_state->core;
  switch ([scroller hitPart]) {
    case NSScrollerDecrementPage:
    case NSScrollerIncrementPage:
      core.scrollPages([scroller hitPart] == NSScrollerIncrementPage ? 1 : -1);
      break;
    case NSScrollerDecrementLine:
    case NSScrollerIncrementLine:
      core.scrollLines([scroller hitPart] == NSScrollerIncrementLine ? 1 : -1);
      break;
    default:
      core.scrollerToFraction([scroller doubleValue]);
      break;
  }
}

// A trackpad's points as they come, a wheel's notches as lines. The clip view
// never moves: no elastic bounce pulls the text from under the reader.
- (void)scrollWheel:(NSEvent*)event {
  [[self enclosingScrollView] flashScrollers];
  const CGFloat delta = [event scrollingDeltaY];
  if ([event hasPreciseScrollingDeltas]) {
    _state->core->scrollBy(-delta);
  } else {
    _state->core->scrollLines(-delta);
  }
}

- (ViewPoint)pointOf:(NSEvent*)event {
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
  [self interpretKeyEvents:[NSArray arrayWithObject:event]];
}

- (void)moveUp:(id)sender {
  _state->core->scrollLines(-1);
}

- (void)moveDown:(id)sender {
  _state->core->scrollLines(1);
}

- (void)scrollLineUp:(id)sender {
  _state->core->scrollLines(-1);
}

- (void)scrollLineDown:(id)sender {
  _state->core->scrollLines(1);
}

- (void)scrollPageUp:(id)sender {
  _state->core->scrollPages(-1);
}

- (void)scrollPageDown:(id)sender {
  _state->core->scrollPages(1);
}

- (void)pageUp:(id)sender {
  _state->core->scrollPages(-1);
}

- (void)pageDown:(id)sender {
  _state->core->scrollPages(1);
}

- (void)scrollToBeginningOfDocument:(id)sender {
  _state->core->scrollToStart();
}

- (void)scrollToEndOfDocument:(id)sender {
  _state->core->scrollToEnd();
}

- (void)moveToBeginningOfDocument:(id)sender {
  _state->core->scrollToStart();
}

- (void)moveToEndOfDocument:(id)sender {
  _state->core->scrollToEnd();
}

- (void)selectAll:(id)sender {
  _state->core->selectAll();
}

- (NSMenu*)menuForEvent:(NSEvent*)event {
  NSMenu* menu = [[NSMenu alloc] initWithTitle:@""];
  [[menu addItemWithTitle:@"コピー" action:@selector(copy:) keyEquivalent:@"c"] setTarget:self];
  [[menu addItemWithTitle:@"すべてを選択" action:@selector(selectAll:)
            keyEquivalent:@"a"] setTarget:self];
#if !__has_feature(objc_arc)
  [menu autorelease];
#endif
  return menu;
}

- (BOOL)validateMenuItem:(NSMenuItem*)item {
  if ([item action] == @selector(copy:)) return _state->core->reader().hasSelection() ? YES : NO;
  return YES;
}

// Exactly the model's text: line ends as they came, NUL as NUL. A copy is
// what was selected when copied, whatever comes or goes after.
- (BOOL)writeSelectionToPasteboard:(NSPasteboard*)pasteboard types:(NSArray*)types {
  if (![types containsObject:NSPasteboardTypeString]) return NO;
  const std::optional<std::string> text = _state->core->copy();
  if (!text) return NO;
  [pasteboard declareTypes:[NSArray arrayWithObject:NSPasteboardTypeString] owner:nil];
  return [pasteboard setString:corvane::macos::ToNSString(*text) forType:NSPasteboardTypeString];
}

- (void)copy:(id)sender {
  [self writeSelectionToPasteboard:[NSPasteboard generalPasteboard]
                             types:[NSArray arrayWithObject:NSPasteboardTypeString]];
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

- (id)accessibilityValue {
  CorvaneLogText* text = [[CorvaneLogText alloc] initWithModel:[self model]];
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
  return static_cast<NSInteger>(_state->core->lineForIndex(
      TextIndex(static_cast<std::uint64_t>(std::max<NSInteger>(index, 0)))));
}

- (NSRange)accessibilityRangeForLine:(NSInteger)line {
  const auto range =
      _state->core->rangeForLine(static_cast<std::uint64_t>(std::max<NSInteger>(line, 0)));
  return line >= 0 && range ? ToNSRange(*range) : NSMakeRange(NSNotFound, 0);
}

- (NSInteger)accessibilityInsertionPointLineNumber {
  return static_cast<NSInteger>(_state->core->lineForIndex(_state->core->caretIndex()));
}

- (NSRange)accessibilityRangeForIndex:(NSInteger)index {
  return ToNSRange(_state->core->clusterRange(
      TextIndex(static_cast<std::uint64_t>(std::max<NSInteger>(index, 0)))));
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
  const NSRect frame = ToNSRect(_state->core->frameForRange(FromNSRange(range)));
  return [[self window] convertRectToScreen:[self convertRect:frame toView:nil]];
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

- (void)dealloc {
#if !__has_feature(objc_arc)
  [_note release];
  [super dealloc];
#endif
}

- (CorvaneLogView*)log {
  id document = [self documentView];
  return [document isKindOfClass:[CorvaneLogView class]] ? static_cast<CorvaneLogView*>(document)
                                                         : nil;
}

- (void)setNote:(NSString*)note {
  const BOOL shown = [note length] > 0;
  if (shown && _note == nil) {
    _note = [[NSTextField alloc] initWithFrame:NSZeroRect];
    [_note setEditable:NO];
    [_note setSelectable:NO];
    [_note setBezeled:NO];
    [_note setBordered:NO];
    [_note setDrawsBackground:YES];
    [_note setBackgroundColor:[NSColor textBackgroundColor]];
    [_note setTextColor:[NSColor secondaryLabelColor]];
    [_note setFont:[NSFont monospacedSystemFontOfSize:corvane::layout::kLogPoints
                                               weight:NSFontWeightRegular]];
    [[_note cell] setLineBreakMode:NSLineBreakByTruncatingTail];
    [self addSubview:_note];
  }
  if (_note == nil) return;
  if ([[_note stringValue] isEqual:note] && [_note isHidden] == !shown) return;
  [_note setStringValue:shown ? note : @""];
  if ([_note isHidden] != !shown) [_note setHidden:!shown];
  [self tile];
}

// The scroller shows where the log is in all that is kept. The log fills the
// clip view, which never scrolls, so the scroll view's own reckoning would
// turn it off: it is not asked.
- (void)reflectScrolledClipView:(NSClipView*)clip {
  CorvaneLogView* log = [self log];
  if (log == nil) return [super reflectScrolledClipView:clip];
  const LogViewCore::Scroller scroller = [log core].scroller();
  NSScroller* bar = [self verticalScroller];
  [bar setEnabled:scroller.on ? YES : NO];
  [bar setDoubleValue:scroller.fraction()];
  [bar setKnobProportion:static_cast<CGFloat>(scroller.proportion())];
  if ([bar isHidden] == scroller.on && !_tiling) [self tile];
}

// The wheel over the scroller, or the border, scrolls the log as over it.
- (void)scrollWheel:(NSEvent*)event {
  [[self documentView] scrollWheel:event];
}

// The scroller shows while the log does not fit; the note takes a strip
// across the top, inside the border; the log fills what is left of the clip
// view.
- (void)tile {
  _tiling = YES;
  [super tile];
  NSClipView* clip = [self contentView];
  NSScroller* scroller = [self verticalScroller];
  CorvaneLogView* log = [self log];
  const BOOL fits = log == nil || ![log core].scroller().on;
  NSRect inside = [clip frame];
  if (scroller != nil) {
    if (fits && [self scrollerStyle] == NSScrollerStyleLegacy) {
      inside = NSUnionRect(inside, [scroller frame]);
    }
    [scroller setHidden:fits];
  }
  if (_note != nil && ![_note isHidden]) {
    const CGFloat height = std::ceil([[_note cell] cellSize].height) + 4;
    NSRect strip;
    NSRect rest;
    NSDivideRect(NSUnionRect(inside, scroller != nil && !fits ? [scroller frame] : inside), &strip,
                 &rest, height, [self isFlipped] ? NSMinYEdge : NSMaxYEdge);
    [_note setFrame:strip];
    inside = NSIntersectionRect(inside, rest);
    if (scroller != nil && !fits) [scroller setFrame:NSIntersectionRect([scroller frame], rest)];
  }
  [clip setFrame:inside];
  [log setFrame:NSMakeRect(0, 0, NSWidth(inside), NSHeight(inside))];
  [self reflectScrolledClipView:clip];
  _tiling = NO;
}

@end
