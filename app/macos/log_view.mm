#import "log_view.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include "corvane/app/window_layout.h"
#include "dispatch_main_queue.h"
#import "string_bridge.h"

namespace corvane::macos {
namespace {

constexpr CGFloat kMargin = 4;
constexpr std::size_t kMaxLayouts = 512;
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
  // Takes over a reference from alloc.
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

NSString* FromUtf16(const std::u16string& text) {
  return [NSString stringWithCharacters:reinterpret_cast<const unichar*>(text.data())
                                 length:text.size()];
}

}  // namespace

// A segment laid out at the view's width. The storage owns the layout
// manager, the manager its container.
struct SegmentLayout {
  LogModel::Segment segment;
  Owned<NSTextStorage> storage;
  NSLayoutManager* __unsafe_unretained manager = nil;
  NSTextContainer* __unsafe_unretained container = nil;
  double height = 0;
};

struct LogViewState final : LogReader::View {
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
    reader = std::make_unique<LogReader>(std::move(model), MakeDispatchMainQueue(), *this);
  }
  LogViewState(const LogViewState&) = delete;
  LogViewState& operator=(const LogViewState&) = delete;
  ~LogViewState() override { reader.reset(); }

  const LogModel& model() const { return reader->model(); }
  const LogStore& store() const { return reader->model().store(); }

  // VoiceOver counts UTF-16 units of all kept text.
  std::uint64_t offsetAtUnit(NSUInteger index) const {
    return store().offsetAt(index, TextUnit::kUtf16);
  }
  NSRange unitsOf(std::uint64_t from, std::uint64_t to) const {
    const std::uint64_t start = store().indexAt(from, TextUnit::kUtf16);
    return NSMakeRange(static_cast<NSUInteger>(start),
                       static_cast<NSUInteger>(store().indexAt(to, TextUnit::kUtf16) - start));
  }

  // Text laid out at the view's width.
  std::unique_ptr<SegmentLayout> lay(NSString* text) {
    auto made = std::make_unique<SegmentLayout>();
    made->storage.adopt([[NSTextStorage alloc] initWithString:text attributes:attributes.get()]);
    NSLayoutManager* manager = [[NSLayoutManager alloc] init];
    NSTextContainer* container =
        [[NSTextContainer alloc] initWithSize:NSMakeSize(width, CGFLOAT_MAX)];
    [container setLineFragmentPadding:0];
    [manager addTextContainer:container];
    [made->storage.get() addLayoutManager:manager];
#if !__has_feature(objc_arc)
    [container release];
    [manager release];
#endif
    made->manager = manager;
    made->container = container;
    [manager ensureLayoutForTextContainer:container];
    made->height = std::ceil(NSHeight([manager usedRectForTextContainer:container]));
    return made;
  }

  const SegmentLayout& layoutOf(const LogModel::Segment& segment) {
    auto found = layouts.find(segment.from);
    if (found != layouts.end() && found->second->segment == segment) return *found->second;
    // A page needs a few dozen; dropping all now and then is simpler than
    // tracking which were used last.
    if (layouts.size() >= kMaxLayouts) layouts.clear();
    auto made = lay(FromUtf16(model().displayText(segment)));
    made->segment = segment;
    // An empty line is a row too.
    made->height = std::max(made->height, lineHeight());
    return *(layouts[segment.from] = std::move(made));
  }

  double lineHeight() {
    if (rowHeight == 0) rowHeight = lay(@"X")->height;
    return std::max(1.0, rowHeight);
  }

  // The character index of a model offset in a layout, and back.
  NSUInteger indexOf(const SegmentLayout& layout, std::uint64_t offset) const {
    return model().unitsBefore(layout.segment, offset);
  }
  std::uint64_t offsetOf(const SegmentLayout& layout, NSUInteger index) const {
    return model().offsetAtUnits(layout.segment, index);
  }

  // Calls `visit(layout, y)` for each segment in view, top down, y in the
  // view's coordinates; stops early when it returns true.
  template <typename Visit>
  void forEachShown(Visit visit) {
    LogModel::Segment segment = reader->top().segment;
    const CGFloat bottom = NSHeight([view bounds]);
    for (CGFloat y = kMargin - static_cast<CGFloat>(reader->top().y); y < bottom;) {
      const SegmentLayout& layout = layoutOf(segment);
      if (visit(layout, y)) return;
      y += static_cast<CGFloat>(layout.height);
      if (!model().next(segment)) return;
    }
  }

  double heightOf(const LogModel::Segment& segment) override { return layoutOf(segment).height; }

  double rowTopOf(const LogModel::Segment& segment, std::uint64_t offset) override {
    const SegmentLayout& layout = layoutOf(segment);
    const NSUInteger length = [layout.storage.get() length];
    if (length == 0) return 0;
    const NSRange glyphs = [layout.manager
        glyphRangeForCharacterRange:NSMakeRange(std::min(indexOf(layout, offset), length - 1), 1)
               actualCharacterRange:NULL];
    return NSMinY([layout.manager lineFragmentRectForGlyphAtIndex:glyphs.location
                                                   effectiveRange:NULL]);
  }

  double rowTopFrom(const LogModel::Segment& segment, double y) override {
    const SegmentLayout& layout = layoutOf(segment);
    const NSUInteger glyphs = [layout.manager numberOfGlyphs];
    for (NSUInteger glyph = 0; glyph < glyphs;) {
      NSRange row;
      const NSRect rect = [layout.manager lineFragmentRectForGlyphAtIndex:glyph
                                                           effectiveRange:&row];
      if (NSMinY(rect) >= y - 0.5) return NSMinY(rect);
      glyph = std::max(NSMaxRange(row), glyph + 1);
    }
    return layout.height;
  }

  // AppKit's own word finder, which takes Japanese words from a dictionary.
  std::pair<std::size_t, std::size_t> wordAt(const LogModel::Segment& segment,
                                             std::size_t unit) override {
    const NSRange word = [layoutOf(segment).storage.get() doubleClickAtIndex:unit];
    return {word.location, NSMaxRange(word)};
  }

  void readerChanged() override { [view readerChanged]; }
  void forgetLayouts() override { layouts.clear(); }

  CorvaneLogView* __unsafe_unretained const view;
  Owned<NSDictionary> attributes;
  double width = 1;
  double rowHeight = 0;
  std::unordered_map<std::uint64_t, std::unique_ptr<SegmentLayout>> layouts;
  // Last, so that it goes first: it is the model's observer.
  std::unique_ptr<LogReader> reader;
  // What was last announced to VoiceOver as changed.
  std::uint64_t announcedEnd = 0;
  std::pair<std::uint64_t, std::uint64_t> announcedSelection;
};

}  // namespace corvane::macos

using corvane::LogModel;
using corvane::LogReader;
using corvane::TextUnit;
using corvane::macos::kMargin;
using corvane::macos::SegmentLayout;

@implementation CorvaneLogView

+ (NSScrollView*)scrollViewWithFrame:(NSRect)frame model:(std::shared_ptr<LogModel>)model {
  CorvaneLogScrollView* scrollView = [[CorvaneLogScrollView alloc] initWithFrame:frame];
  [scrollView setBorderType:NSBezelBorder];
  [scrollView setHasVerticalScroller:YES];
  // The view never scrolls its clip view: the scroller is shown and hidden by
  // how much of the log is in view (-tile), not by the view's size.
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
    [self followFrame];
  }
  return self;
}

- (corvane::LogReader&)reader {
  return *_state->reader;
}

- (std::shared_ptr<LogModel>)model {
  return _state->reader->sharedModel();
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

// Laid out anew at a new width; a new height only moves the end. GNUstep's
// setFrame: does not go through setFrameSize:, so both come here.
- (void)followFrame {
  if (_state == nullptr) return;
  const NSSize size = [self frame].size;
  const double width = std::max<CGFloat>(1, size.width - 2 * kMargin);
  if (width != _state->width) {
    _state->layouts.clear();
    _state->width = width;
  }
  _state->reader->setViewHeight(std::max<CGFloat>(1, size.height - kMargin));
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

// The selection's colour changes with the focus.
- (BOOL)becomeFirstResponder {
  [self setNeedsDisplay:YES];
  return YES;
}

- (BOOL)resignFirstResponder {
  [self setNeedsDisplay:YES];
  return YES;
}

- (void)viewDidChangeEffectiveAppearance {
  [self setNeedsDisplay:YES];
}

- (void)readerChanged {
  corvane::macos::LogViewState& state = *_state;
  LogReader& reader = *state.reader;
  CorvaneLogScrollView* scrollView = static_cast<CorvaneLogScrollView*>([self enclosingScrollView]);
  if ([scrollView isKindOfClass:[CorvaneLogScrollView class]]) {
    [scrollView setNote:corvane::macos::ToNSString(reader.model().droppedNote())];
    [scrollView reflectScrolledClipView:[scrollView contentView]];
  }
  [self setNeedsDisplay:YES];
  // VoiceOver hears of new output and of a new selection, once each.
  const corvane::LogStore& store = reader.model().store();
  if (state.announcedEnd != store.endOffset()) {
    state.announcedEnd = store.endOffset();
    NSAccessibilityPostNotification(self, NSAccessibilityValueChangedNotification);
  }
  const std::pair<std::uint64_t, std::uint64_t> selection{reader.selectionStart(),
                                                          reader.selectionEnd()};
  if (state.announcedSelection != selection) {
    state.announcedSelection = selection;
    NSAccessibilityPostNotification(self, NSAccessibilitySelectedTextChangedNotification);
  }
}

- (void)drawRect:(NSRect)dirty {
  [[NSColor textBackgroundColor] setFill];
  NSRectFill(dirty);
  const LogReader& reader = *_state->reader;
  const std::uint64_t from = reader.selectionStart();
  const std::uint64_t to = reader.selectionEnd();
  NSColor* selected = [[self window] firstResponder] == self && [[self window] isKeyWindow]
                          ? [NSColor selectedTextBackgroundColor]
                          : [NSColor secondarySelectedControlColor];
  try {
    _state->forEachShown([&](const SegmentLayout& layout, CGFloat y) {
      const NSPoint origin = NSMakePoint(kMargin, y);
      const LogModel::Segment& segment = layout.segment;
      if (from < to && from <= segment.to && to > segment.from) {
        const NSUInteger start = _state->indexOf(layout, std::max(from, segment.from));
        const NSUInteger end = _state->indexOf(layout, std::min(to, segment.to));
        NSUInteger count = 0;
        const NSRange range = NSMakeRange(start, end - start);
        NSRect* rects = [layout.manager rectArrayForCharacterRange:range
                                      withinSelectedCharacterRange:range
                                                   inTextContainer:layout.container
                                                         rectCount:&count];
        [selected setFill];
        for (NSUInteger i = 0; i < count; ++i)
          NSRectFill(NSOffsetRect(rects[i], origin.x, origin.y));
      }
      [layout.manager
          drawGlyphsForGlyphRange:[layout.manager glyphRangeForTextContainer:layout.container]
                          atPoint:origin];
      return false;
    });
  } catch (const std::bad_alloc&) {
    // Out of memory laying out: the next frame tries again, with less kept.
    _state->layouts.clear();
    _state->reader->catchUp();
  }
}

- (NSRect)rectForOffset:(std::uint64_t)offset {
  NSRect found = NSZeroRect;
  _state->forEachShown([&](const SegmentLayout& layout, CGFloat y) {
    if (offset < layout.segment.from || offset > layout.segment.to) return false;
    const NSUInteger length = [layout.storage.get() length];
    const NSUInteger index = _state->indexOf(layout, offset);
    NSRect rect = NSMakeRect(0, 0, 1, _state->lineHeight());
    if (length > 0) {
      const NSRange glyphs =
          [layout.manager glyphRangeForCharacterRange:NSMakeRange(std::min(index, length - 1), 1)
                                 actualCharacterRange:NULL];
      rect = [layout.manager boundingRectForGlyphRange:glyphs inTextContainer:layout.container];
      if (index >= length) rect.origin.x = NSMaxX(rect);
    }
    found = NSOffsetRect(rect, kMargin, y);
    return true;
  });
  return found;
}

- (std::uint64_t)offsetAtPoint:(NSPoint)point {
  std::uint64_t offset = _state->store().endOffset();
  _state->forEachShown([&](const SegmentLayout& layout, CGFloat y) {
    if (point.y >= y + layout.height) return false;
    if ([layout.storage.get() length] == 0) {
      offset = layout.segment.from;
      return true;
    }
    CGFloat fraction = 0;
    const NSUInteger glyph =
        [layout.manager glyphIndexForPoint:NSMakePoint(point.x - kMargin,
                                                       std::max<CGFloat>(0, point.y - y))
                           inTextContainer:layout.container
            fractionOfDistanceThroughGlyph:&fraction];
    const NSRange characters = [layout.manager characterRangeForGlyphRange:NSMakeRange(glyph, 1)
                                                          actualGlyphRange:NULL];
    offset =
        _state->offsetOf(layout, fraction > 0.5 ? NSMaxRange(characters) : characters.location);
    return true;
  });
  return offset;
}

- (void)scrollerMoved:(NSScroller*)scroller {
  LogReader& reader = *_state->reader;
  const double line = _state->lineHeight();
  const double page = std::max(line, NSHeight([self bounds]) - kMargin - line);
  switch ([scroller hitPart]) {
    case NSScrollerDecrementPage:
    case NSScrollerIncrementPage:
      reader.scrollBy([scroller hitPart] == NSScrollerIncrementPage ? page : -page);
      break;
    default:
      reader.scrollToValue([scroller doubleValue] * reader.scroller().range);
      break;
  }
}

// A trackpad's points as they come, a wheel's notches as lines. The clip view
// never moves: no elastic bounce pulls the text from under the reader.
- (void)scrollWheel:(NSEvent*)event {
  [[self enclosingScrollView] flashScrollers];
  const CGFloat delta = [event scrollingDeltaY];
  _state->reader->scrollBy(
      -([event hasPreciseScrollingDeltas] ? delta : delta * _state->lineHeight()));
}

- (void)keyDown:(NSEvent*)event {
  LogReader& reader = *_state->reader;
  NSString* characters = [event charactersIgnoringModifiers];
  const unichar key = [characters length] > 0 ? [characters characterAtIndex:0] : 0;
  const BOOL command = ([event modifierFlags] & NSEventModifierFlagCommand) != 0;
  const double line = _state->lineHeight();
  const double page = std::max(line, NSHeight([self bounds]) - kMargin - line);
  if (key == NSHomeFunctionKey || (command && key == NSUpArrowFunctionKey)) {
    reader.scrollToStart();
  } else if (key == NSEndFunctionKey || (command && key == NSDownArrowFunctionKey)) {
    reader.scrollToEnd();
  } else if (key == NSUpArrowFunctionKey || key == NSDownArrowFunctionKey) {
    reader.scrollBy(key == NSUpArrowFunctionKey ? -line : line);
  } else if (key == NSPageUpFunctionKey || key == NSPageDownFunctionKey) {
    reader.scrollBy(key == NSPageUpFunctionKey ? -page : page);
  } else {
    [super keyDown:event];
  }
}

- (void)mouseDown:(NSEvent*)event {
  [[self window] makeFirstResponder:self];
  const NSInteger clicks = [event clickCount];
  const LogReader::Unit unit = clicks >= 3   ? LogReader::Unit::kLine
                               : clicks == 2 ? LogReader::Unit::kWord
                                             : LogReader::Unit::kCharacter;
  const BOOL extend = ([event modifierFlags] & NSEventModifierFlagShift) != 0;
  _state->reader->press([self offsetAtPoint:[self convertPoint:[event locationInWindow]
                                                      fromView:nil]],
                        unit, unit == LogReader::Unit::kCharacter && extend);
}

- (void)mouseDragged:(NSEvent*)event {
  const NSPoint point = [self convertPoint:[event locationInWindow] fromView:nil];
  // Dragged past an edge, the text comes to the pointer.
  if (point.y < 0) _state->reader->scrollBy(-_state->lineHeight());
  if (point.y > NSHeight([self bounds])) _state->reader->scrollBy(_state->lineHeight());
  _state->reader->dragTo([self offsetAtPoint:point]);
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
  if ([item action] == @selector(copy:)) return _state->reader->hasSelection() ? YES : NO;
  return YES;
}

- (void)selectAll:(id)sender {
  _state->reader->selectAll();
}

// Exactly the model's text: line ends as they came, NUL as NUL. A copy is
// what was selected when copied, whatever comes or goes after.
- (BOOL)writeSelectionToPasteboard:(NSPasteboard*)pasteboard types:(NSArray*)types {
  if (![types containsObject:NSPasteboardTypeString] || !_state->reader->hasSelection()) return NO;
  try {
    NSString* text = corvane::macos::ToNSString(_state->reader->selectedText());
    [pasteboard declareTypes:[NSArray arrayWithObject:NSPasteboardTypeString] owner:nil];
    return [pasteboard setString:text forType:NSPasteboardTypeString];
  } catch (const std::bad_alloc&) {
    // No room for a copy of that much: nothing is copied, nothing lost.
    return NO;
  }
}

- (void)copy:(id)sender {
  [self writeSelectionToPasteboard:[NSPasteboard generalPasteboard]
                             types:[NSArray arrayWithObject:NSPasteboardTypeString]];
}

// The Services menu takes the selection as text.
- (id)validRequestorForSendType:(NSString*)sendType returnType:(NSString*)returnType {
  if ([sendType isEqual:NSPasteboardTypeString] && returnType == nil &&
      _state->reader->hasSelection()) {
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

// What is in view: the whole of a long log is never one string.
- (id)accessibilityValue {
  return [self accessibilityStringForRange:[self accessibilityVisibleCharacterRange]];
}

- (NSInteger)accessibilityNumberOfCharacters {
  return static_cast<NSInteger>(_state->store().length(TextUnit::kUtf16));
}

- (NSString*)accessibilityStringForRange:(NSRange)range {
  try {
    return corvane::macos::FromUtf16(_state->model().shownText(
        _state->offsetAtUnit(range.location), _state->offsetAtUnit(NSMaxRange(range))));
  } catch (const std::bad_alloc&) {
    _state->reader->model().relieveMemory();
    return @"";
  }
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
  const corvane::LogStore& store = _state->store();
  return static_cast<NSInteger>(
      store.lineAt(_state->offsetAtUnit(static_cast<NSUInteger>(std::max<NSInteger>(index, 0)))) -
      store.firstLine());
}

- (NSRange)accessibilityRangeForLine:(NSInteger)line {
  const corvane::LogStore& store = _state->store();
  if (line < 0 || static_cast<std::uint64_t>(line) >= store.endLine() - store.firstLine()) {
    return NSMakeRange(NSNotFound, 0);
  }
  const std::uint64_t kept = store.firstLine() + static_cast<std::uint64_t>(line);
  return _state->unitsOf(store.lineStart(kept), store.lineEnd(kept));
}

- (NSInteger)accessibilityInsertionPointLineNumber {
  return [self accessibilityLineForIndex:static_cast<NSInteger>(
                                             [self accessibilitySelectedTextRange].location)];
}

// The character at an index: two units for one beyond U+FFFF.
- (NSRange)accessibilityRangeForIndex:(NSInteger)index {
  const corvane::LogStore& store = _state->store();
  const std::uint64_t at =
      _state->offsetAtUnit(static_cast<NSUInteger>(std::max<NSInteger>(index, 0)));
  std::uint64_t next = std::min(at + 1, store.endOffset());
  while (next < store.endOffset() && corvane::utf8::IsContinuation(store.byteAt(next))) ++next;
  return _state->unitsOf(at, next);
}

- (NSRange)accessibilityVisibleCharacterRange {
  const std::uint64_t top = [self offsetAtPoint:NSZeroPoint];
  const NSPoint corner = NSMakePoint(NSWidth([self bounds]), NSHeight([self bounds]));
  return _state->unitsOf(top, std::max(top, [self offsetAtPoint:corner]));
}

- (NSRange)accessibilitySelectedTextRange {
  return _state->unitsOf(_state->reader->selectionStart(), _state->reader->selectionEnd());
}

- (void)setAccessibilitySelectedTextRange:(NSRange)range {
  _state->reader->select(_state->offsetAtUnit(range.location),
                         _state->offsetAtUnit(NSMaxRange(range)));
}

- (NSString*)accessibilitySelectedText {
  return [self accessibilityStringForRange:[self accessibilitySelectedTextRange]];
}

- (NSRect)accessibilityFrameForRange:(NSRange)range {
  const NSRect rect = [self rectForOffset:_state->offsetAtUnit(range.location)];
  if (NSIsEmptyRect(rect)) return NSZeroRect;
  return [[self window] convertRectToScreen:[self convertRect:rect toView:nil]];
}

- (NSRange)accessibilityRangeForPosition:(NSPoint)point {
  const NSPoint inWindow =
      [[self window] convertRectFromScreen:NSMakeRect(point.x, point.y, 0, 0)].origin;
  const std::uint64_t offset = [self offsetAtPoint:[self convertPoint:inWindow fromView:nil]];
  return [self accessibilityRangeForIndex:static_cast<NSInteger>(
                                              _state->store().indexAt(offset, TextUnit::kUtf16))];
}

@end

@implementation CorvaneLogScrollView

- (void)dealloc {
#if !__has_feature(objc_arc)
  [_note release];
  [super dealloc];
#endif
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

// The scroller shows where the log is in all that is kept, whatever the clip
// view's geometry says: the log fills the clip view.
- (void)reflectScrolledClipView:(NSClipView*)clip {
  [super reflectScrolledClipView:clip];
  if (![[self documentView] isKindOfClass:[CorvaneLogView class]]) return;
  const LogReader::Scroller scroller =
      [static_cast<CorvaneLogView*>([self documentView]) reader].scroller();
  NSScroller* bar = [self verticalScroller];
  const BOOL fits = scroller.range <= 0;
  [bar setDoubleValue:fits ? 0 : scroller.value / scroller.range];
  [bar setKnobProportion:static_cast<CGFloat>(scroller.page / (scroller.page + scroller.range))];
  if ([bar isHidden] != fits && !_tiling) [self tile];
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
  _tiling = NO;
  NSClipView* clip = [self contentView];
  NSScroller* scroller = [self verticalScroller];
  CorvaneLogView* log = [[self documentView] isKindOfClass:[CorvaneLogView class]]
                            ? static_cast<CorvaneLogView*>([self documentView])
                            : nil;
  const BOOL fits = log == nil || [log reader].scroller().range <= 0;
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
}

@end
