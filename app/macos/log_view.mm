#import "log_view.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "corvane/app/window_layout.h"
#import "string_bridge.h"

namespace corvane::macos {
namespace {

// In bytes of the model. TextKit lays out its whole storage, and again from
// an edit on after each one: trimming or paging in at the front costs a layout
// of everything shown. Held this small, that stays a few milliseconds, and a
// reader still scrolls through hundreds of lines between two pages.
constexpr std::uint64_t kShownBytes = 64 * 1024;       // what a trim leaves
constexpr std::uint64_t kMostShownBytes = 128 * 1024;  // past this, the far side goes
constexpr std::uint64_t kPageBytes = 32 * 1024;        // brought in at an edge
// What a paragraph counts for besides its bytes: a row costs TextKit about
// as much as a few dozen characters, so a stretch of empty lines is not a
// hundred thousand rows.
constexpr std::uint64_t kParagraphBytes = 32;
constexpr double kFrameSeconds = 1.0 / 60;

// One segment of the model as one paragraph of the storage. Paragraphs are
// joined by "\n", whatever line end the model has there, or none.
struct Paragraph {
  LogModel::Segment segment;
  // Its storage index plus that of the first paragraph: front edits leave the
  // others' starts as they are.
  std::int64_t start = 0;
  NSUInteger length = 0;  // UTF-16 units
  // Units, from its start, where the model has NUL and the storage ␀.
  std::vector<NSUInteger> nuls;
  // Its share of the stretch.
  std::uint64_t size() const { return segment.to - segment.from + kParagraphBytes; }
};

// UTF-8 bytes in the model of `units` units of a paragraph as shown. Walks
// the storage, not the model: a paragraph selected just before its lines were
// dropped still maps.
std::uint64_t ModelBytes(NSString* text, NSUInteger start, NSUInteger units,
                         const std::vector<NSUInteger>& nuls) {
  std::vector<unichar> chars(units);
  [text getCharacters:chars.data() range:NSMakeRange(start, units)];
  std::uint64_t bytes = 0;
  auto nul = nuls.begin();
  for (NSUInteger i = 0; i < units; ++i) {
    const unichar c = chars[i];
    if (nul != nuls.end() && *nul == i) {
      ++nul;
      bytes += 1;
    } else if (c < 0x80) {
      bytes += 1;
    } else if (c < 0x800) {
      bytes += 2;
    } else if (c >= 0xD800 && c < 0xDC00) {
      // A pair cut in half by the index counts as not reached.
      if (i + 1 == units) break;
      bytes += 4;
      ++i;
    } else {
      bytes += 3;
    }
  }
  return bytes;
}

// The units of a paragraph as shown that hold `bytes` bytes of the model.
NSUInteger ShownUnits(NSString* text, NSUInteger start, NSUInteger length, std::uint64_t bytes,
                      const std::vector<NSUInteger>& nuls) {
  std::vector<unichar> chars(length);
  [text getCharacters:chars.data() range:NSMakeRange(start, length)];
  std::uint64_t seen = 0;
  auto nul = nuls.begin();
  NSUInteger i = 0;
  while (i < length && seen < bytes) {
    const unichar c = chars[i];
    if (nul != nuls.end() && *nul == i) {
      ++nul;
      seen += 1;
    } else if (c < 0x80) {
      seen += 1;
    } else if (c < 0x800) {
      seen += 2;
    } else if (c >= 0xD800 && c < 0xDC00 && i + 1 < length) {
      seen += 4;
      ++i;
    } else {
      seen += 3;
    }
    ++i;
  }
  return i;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace
}  // namespace corvane::macos

@interface CorvaneLogView ()
- (void)setUp:(NSTextStorage*)text model:(std::shared_ptr<corvane::LogModel>)model;
- (void)scheduleRefresh;
- (void)refresh;
- (void)clipDidScroll:(NSNotification*)notification;
@end

namespace corvane::macos {

using Range = std::pair<std::uint64_t, std::uint64_t>;

struct LogViewState final : LogModel::Observer {
  LogViewState(std::shared_ptr<LogModel> shownModel, CorvaneLogView* owner)
      : model(std::move(shownModel)), view(owner) {
    model->setObserver(this);
  }
  ~LogViewState() override {
    model->setObserver(nullptr);
#if !__has_feature(objc_arc)
    [applied release];
#endif
  }
  LogViewState(const LogViewState&) = delete;
  LogViewState& operator=(const LogViewState&) = delete;

  void logDidChange() override { [view scheduleRefresh]; }

  NSUInteger indexOf(const Paragraph& paragraph) const {
    return static_cast<NSUInteger>(paragraph.start - shown.front().start);
  }

  // The paragraph a storage index is in, or ends at; shown is not empty.
  std::size_t paragraphAt(NSUInteger index) const {
    const std::int64_t at = shown.front().start + static_cast<std::int64_t>(index);
    auto next =
        std::upper_bound(shown.begin(), shown.end(), at,
                         [](std::int64_t value, const Paragraph& p) { return value < p.start; });
    return next == shown.begin() ? 0 : static_cast<std::size_t>(next - shown.begin() - 1);
  }

  // The model offset a storage index stands for. The "\n" between two
  // paragraphs stands for the model's line end there, if any.
  std::uint64_t offsetAt(NSString* text, NSUInteger index) const {
    if (shown.empty()) return model->store().endOffset();
    const Paragraph& paragraph = shown[paragraphAt(index)];
    const NSUInteger units = std::min(index - indexOf(paragraph), paragraph.length);
    return paragraph.segment.from + ModelBytes(text, indexOf(paragraph), units, paragraph.nuls);
  }

  // The storage index of a model offset, clamped to what is shown.
  NSUInteger indexAt(NSString* text, std::uint64_t offset) const {
    if (shown.empty() || offset <= shown.front().segment.from) return 0;
    auto next = std::upper_bound(
        shown.begin(), shown.end(), offset,
        [](std::uint64_t value, const Paragraph& p) { return value < p.segment.from; });
    const Paragraph& paragraph = *(next - 1);
    const NSUInteger start = indexOf(paragraph);
    if (offset >= paragraph.segment.to) return start + paragraph.length;
    return start + ShownUnits(text, start, paragraph.length, offset - paragraph.segment.from,
                              paragraph.nuls);
  }

  // A shown paragraph that is still the model's segment: not dropped, not
  // grown, not cut anew.
  bool isCurrent(const Paragraph& paragraph) const {
    const LogStore& store = model->store();
    const LogModel::Segment& segment = paragraph.segment;
    return segment.from >= store.beginOffset() && segment.line >= store.firstLine() &&
           segment.line < store.endLine() && segment.index < model->segmentCount(segment.line) &&
           model->segment(segment.line, segment.index) == segment;
  }

  const std::shared_ptr<LogModel> model;
  // The view owns this state.
  __unsafe_unretained CorvaneLogView* const view;
  std::deque<Paragraph> shown;
  std::uint64_t shownSize = 0;
  // The reader's selection in model offsets: it stays what was selected when
  // its text leaves the storage. `applied` is the storage selection as last
  // set from it; any other is the reader's.
  std::vector<Range> selection;
  NSArray* applied = nil;
  // The last paragraph was the model's last segment at the last refresh.
  bool reachesEnd = true;
  bool updating = false;
  bool tracking = false;
  bool scheduled = false;
  bool pending = false;
  bool pageBefore = false;
  bool pageAfter = false;
  bool toBeginning = false;
  std::uint64_t noteShownFor = 0;
  NSPoint origin = NSZeroPoint;
  double lastRefresh = 0;
};

}  // namespace corvane::macos

using corvane::LogModel;
using corvane::macos::LogViewState;
using corvane::macos::Paragraph;

@implementation CorvaneLogView

+ (NSScrollView*)scrollViewWithFrame:(NSRect)frame model:(std::shared_ptr<LogModel>)model {
  CorvaneLogScrollView* scrollView = [[CorvaneLogScrollView alloc] initWithFrame:frame];
  [scrollView setBorderType:NSBezelBorder];
  [scrollView setHasVerticalScroller:YES];
  [scrollView setAutohidesScrollers:YES];

  // TextKit 1, made here: a text view made in code on macOS 13 gets TextKit
  // 2, whose geometry below what was drawn is only estimated; the end and the
  // reader's place must be where they are. The storage is the view's, and
  // holds the rest.
  NSTextStorage* text = [[NSTextStorage alloc] init];
  NSLayoutManager* layoutManager = [[NSLayoutManager alloc] init];
  [layoutManager setAllowsNonContiguousLayout:NO];
  [text addLayoutManager:layoutManager];
  // As wide as what the bezel and the scroller leave, and following that
  // width when the scroller comes or goes: as wide as the scroll view's outer
  // frame, the end of every wrapped line would lie under an always-shown
  // scroller. It grows downward with its text for the scroll view to scroll.
  const NSSize size = [scrollView contentSize];
  NSTextContainer* container =
      [[NSTextContainer alloc] initWithSize:NSMakeSize(size.width, CGFLOAT_MAX)];
  [container setWidthTracksTextView:YES];
  [layoutManager addTextContainer:container];
  CorvaneLogView* view =
      [[CorvaneLogView alloc] initWithFrame:NSMakeRect(0, 0, size.width, size.height)
                              textContainer:container];
  [view setUp:text model:std::move(model)];
  [scrollView setDocumentView:view];

  NSClipView* clip = [scrollView contentView];
  [clip setPostsBoundsChangedNotifications:YES];
  [[NSNotificationCenter defaultCenter] addObserver:view
                                           selector:@selector(clipDidScroll:)
                                               name:NSViewBoundsDidChangeNotification
                                             object:clip];
  [view scheduleRefresh];
  return scrollView;
}

- (void)setUp:(NSTextStorage*)text model:(std::shared_ptr<LogModel>)model {
  _text = text;
  _state = std::make_unique<LogViewState>(std::move(model), self);
  NSFont* font = [NSFont monospacedSystemFontOfSize:corvane::layout::kLogPoints
                                             weight:NSFontWeightRegular];
  NSColor* color = [NSColor labelColor];
  // Tabs every eight columns, as a terminal has them.
  NSDictionary* fontOnly = [NSDictionary dictionaryWithObject:font forKey:NSFontAttributeName];
  NSMutableParagraphStyle* paragraph = [[NSMutableParagraphStyle alloc] init];
  [paragraph setTabStops:[NSArray array]];
  [paragraph setDefaultTabInterval:8 * [@" " sizeWithAttributes:fontOnly].width];
  // Made with alloc: kept past this autorelease pool under manual counting too.
  _attributes = [[NSDictionary alloc]
      initWithObjectsAndKeys:font, NSFontAttributeName, color, NSForegroundColorAttributeName,
                             paragraph, NSParagraphStyleAttributeName, nil];
#if !__has_feature(objc_arc)
  [paragraph release];
#endif
  [self setEditable:NO];
  [self setSelectable:YES];
  [self setRichText:NO];
  [self setImportsGraphics:NO];
  [self setUsesFontPanel:NO];
  [self setFont:font];
  [self setTextColor:color];
  [self setMinSize:NSMakeSize(0, NSHeight([self frame]))];
  [self setMaxSize:NSMakeSize(CGFLOAT_MAX, CGFLOAT_MAX)];
  [self setVerticallyResizable:YES];
  [self setHorizontallyResizable:NO];
  [self setAutoresizingMask:NSViewWidthSizable];
}

- (void)dealloc {
  [[NSNotificationCenter defaultCenter] removeObserver:self];
  _state.reset();
#if !__has_feature(objc_arc)
  [_text release];
  [_attributes release];
  [super dealloc];
#endif
}

- (std::shared_ptr<LogModel>)model {
  return _state->model;
}

// The model says after every append; the storage follows once a frame.
- (void)scheduleRefresh {
  LogViewState& state = *_state;
  if (state.scheduled) return;
  state.scheduled = true;
  // The first change after a pause shows at once.
  const double delay =
      std::max(0.0, state.lastRefresh + corvane::macos::kFrameSeconds - corvane::macos::Now());
  // Also while the reader drags the scroller, or a sheet is up.
  NSArray* modes = [NSArray arrayWithObjects:NSDefaultRunLoopMode, NSEventTrackingRunLoopMode,
                                             NSModalPanelRunLoopMode, nil];
  [self performSelector:@selector(refresh) withObject:nil afterDelay:delay inModes:modes];
}

// Brings the storage to the model: drops what the model dropped, adds what it
// gained, pages in what the reader scrolled to, and then puts the selection,
// the note and the reader's place (or the end) back.
- (void)refresh {
  LogViewState& state = *_state;
  state.scheduled = false;
  // A drag selects by storage index: the storage stays as it is until the
  // button is up.
  if (state.tracking) {
    state.pending = true;
    return;
  }
  state.pending = false;
  state.lastRefresh = corvane::macos::Now();
  state.updating = true;
  [self takeReadersSelection];
  const LogModel& model = *state.model;
  const corvane::LogStore& store = model.store();
  const bool follows = model.followsEnd();

  // The reader's place: the model offset at the start of the top row, and
  // how far above the visible top that row starts.
  std::uint64_t placeOffset = 0;
  CGFloat placeAbove = 0;
  const bool hasPlace = !follows && !state.toBeginning && !state.shown.empty() &&
                        [self readingPlace:&placeOffset above:&placeAbove];

  [_text beginEditing];
  // The front loses lines the model dropped or cut anew, the back a last line
  // that grew; a run that empties the stretch picks up where it ended.
  std::size_t stale = 0;
  while (stale < state.shown.size() && !state.isCurrent(state.shown[stale])) ++stale;
  std::uint64_t resume = store.beginOffset();
  if (stale == state.shown.size() && stale > 0) {
    resume = std::max(resume, state.shown.back().segment.from);
  }
  [self removeFront:stale];
  std::size_t grown = 0;
  while (grown < state.shown.size() &&
         !state.isCurrent(state.shown[state.shown.size() - 1 - grown])) {
    ++grown;
  }
  [self removeBack:grown];

  if (state.toBeginning) {
    [self removeFront:state.shown.size()];
    resume = store.beginOffset();
  }
  if (follows) {
    if (!state.shown.empty() &&
        store.endOffset() - state.shown.back().segment.to > corvane::macos::kShownBytes) {
      [self removeFront:state.shown.size()];
    }
    if (state.shown.empty()) {
      [self prependBytes:corvane::macos::kShownBytes before:model.lastSegment() including:YES];
    } else {
      [self appendBytes:UINT64_MAX];
    }
    if (state.shownSize > corvane::macos::kMostShownBytes) {
      [self trimFrontTo:corvane::macos::kShownBytes];
    }
  } else {
    if (state.shown.empty()) {
      [self appendFrom:model.segmentAt(resume) bytes:corvane::macos::kShownBytes];
    } else if (state.shownSize < corvane::macos::kMostShownBytes) {
      [self appendBytes:corvane::macos::kMostShownBytes - state.shownSize];
    }
  }
  if (state.pageBefore && !state.shown.empty()) {
    [self prependBytes:corvane::macos::kPageBytes before:state.shown.front().segment including:NO];
    if (!follows) [self trimBackTo:corvane::macos::kMostShownBytes];
  }
  if (state.pageAfter) {
    [self appendBytes:corvane::macos::kPageBytes];
    [self trimFrontTo:corvane::macos::kMostShownBytes];
  }
  [_text endEditing];
  state.pageBefore = state.pageAfter = false;
  state.reachesEnd = !state.shown.empty() && state.shown.back().segment == model.lastSegment();

  if (store.droppedCharacters() != state.noteShownFor) {
    state.noteShownFor = store.droppedCharacters();
    NSScrollView* scrollView = [self enclosingScrollView];
    if ([scrollView isKindOfClass:[CorvaneLogScrollView class]]) {
      [static_cast<CorvaneLogScrollView*>(scrollView)
          setNote:corvane::macos::ToNSString(model.droppedNote())];
    }
  }
  [self applySelection];

  // Scrolling can bring the scroller in, which narrows the text and makes it
  // taller: once more, then, for the end or the place to be where it is.
  for (int pass = 0; pass < 2; ++pass) {
    [[self layoutManager] ensureLayoutForTextContainer:[self textContainer]];
    [self sizeToFit];
    const NSSize before = [self frame].size;
    if (follows) {
      [self scrollToY:CGFLOAT_MAX];
    } else if (state.toBeginning) {
      [self scrollToY:0];
    } else if (hasPlace) {
      // Where the place went with dropped lines, the top.
      CGFloat top = 0;
      [self scrollToY:[self rowTop:&top at:placeOffset] ? top + placeAbove : 0];
    }
    if (NSEqualSizes(before, [self frame].size)) break;
  }
  state.toBeginning = false;
  state.origin = [[[self enclosingScrollView] contentView] bounds].origin;
  state.updating = false;
}

// The storage's "\n" joins each paragraph to the one before it.
- (void)removeFront:(std::size_t)count {
  LogViewState& state = *_state;
  if (count == 0) return;
  const NSUInteger end =
      count < state.shown.size() ? state.indexOf(state.shown[count]) : [_text length];
  [_text deleteCharactersInRange:NSMakeRange(0, end)];
  for (std::size_t i = 0; i < count; ++i) {
    state.shownSize -= state.shown.front().size();
    state.shown.pop_front();
  }
}

- (void)removeBack:(std::size_t)count {
  LogViewState& state = *_state;
  if (count == 0) return;
  if (count >= state.shown.size()) {
    [self removeFront:state.shown.size()];
    return;
  }
  const NSUInteger from = state.indexOf(state.shown[state.shown.size() - count]) - 1;
  [_text deleteCharactersInRange:NSMakeRange(from, [_text length] - from)];
  for (std::size_t i = 0; i < count; ++i) {
    state.shownSize -= state.shown.back().size();
    state.shown.pop_back();
  }
}

- (void)trimFrontTo:(std::uint64_t)bytes {
  LogViewState& state = *_state;
  std::size_t count = 0;
  for (std::uint64_t left = state.shownSize; left > bytes && count + 1 < state.shown.size();) {
    left -= state.shown[count++].size();
  }
  [self removeFront:count];
}

- (void)trimBackTo:(std::uint64_t)bytes {
  LogViewState& state = *_state;
  std::size_t count = 0;
  for (std::uint64_t left = state.shownSize; left > bytes && count + 1 < state.shown.size();) {
    left -= state.shown[state.shown.size() - 1 - count++].size();
  }
  [self removeBack:count];
}

// A paragraph for a segment, with its text as shown.
- (NSString*)paragraph:(Paragraph&)paragraph of:(const LogModel::Segment&)segment {
  const LogModel& model = *_state->model;
  const std::string shown = model.displayText(segment);
  NSString* text = corvane::macos::ToNSString(shown);
  paragraph.segment = segment;
  paragraph.length = [text length];
  // ␀ may also have come as itself: the model's text tells which is NUL.
  if (shown.find("\u2400") != std::string::npos) {
    const std::string stored = model.text(segment.from, segment.to);
    NSUInteger units = 0;
    for (const char c : stored) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte == 0) paragraph.nuls.push_back(units);
      if ((byte & 0xC0U) != 0x80U) units += byte >= 0xF0U ? 2 : 1;
    }
  }
  return text;
}

// Appends segments after the last shown, up to about `bytes` of the model.
- (void)appendBytes:(std::uint64_t)bytes {
  LogViewState& state = *_state;
  if (state.shown.empty()) return;
  LogModel::Segment segment = state.shown.back().segment;
  if (!state.model->next(segment)) return;
  [self appendFrom:segment bytes:bytes];
}

- (void)appendFrom:(LogModel::Segment)segment bytes:(std::uint64_t)bytes {
  LogViewState& state = *_state;
  NSMutableString* added = [NSMutableString string];
  std::uint64_t taken = 0;
  do {
    Paragraph paragraph;
    NSString* text = [self paragraph:paragraph of:segment];
    if (state.shown.empty()) {
      paragraph.start = 0;
    } else {
      const Paragraph& last = state.shown.back();
      paragraph.start = last.start + static_cast<std::int64_t>(last.length) + 1;
      [added appendString:@"\n"];
    }
    [added appendString:text];
    taken += paragraph.size();
    state.shownSize += paragraph.size();
    state.shown.push_back(std::move(paragraph));
  } while (taken < bytes && state.model->next(segment));
  [self addText:added at:[_text length]];
}

// Prepends segments before `segment` (and it too, when asked), up to about
// `bytes` of the model.
- (void)prependBytes:(std::uint64_t)bytes
              before:(LogModel::Segment)segment
           including:(BOOL)including {
  LogViewState& state = *_state;
  if (!including && !state.model->previous(segment)) return;
  std::vector<Paragraph> added;
  std::vector<NSString*> texts;
  std::uint64_t taken = 0;
  do {
    Paragraph paragraph;
    texts.push_back([self paragraph:paragraph of:segment]);
    taken += paragraph.size();
    added.push_back(std::move(paragraph));
  } while (taken < bytes && state.model->previous(segment));

  // `added` runs backward from the old front; each new paragraph ends in the
  // "\n" that joins it to the one after it.
  NSMutableString* text = [NSMutableString string];
  std::int64_t start = state.shown.empty() ? 0 : state.shown.front().start;
  for (std::size_t i = 0; i < added.size(); ++i) {
    const bool joined = i > 0 || !state.shown.empty();
    start -= static_cast<std::int64_t>(added[i].length) + (joined ? 1 : 0);
    added[i].start = start;
  }
  for (std::size_t i = added.size(); i-- > 0;) {
    [text appendString:texts[i]];
    if (i > 0 || !state.shown.empty()) [text appendString:@"\n"];
  }
  for (Paragraph& paragraph : added) {
    state.shownSize += paragraph.size();
    state.shown.push_front(std::move(paragraph));
  }
  [self addText:text at:0];
}

- (void)addText:(NSString*)text at:(NSUInteger)index {
  if ([text length] == 0) return;
  NSAttributedString* piece = [[NSAttributedString alloc] initWithString:text
                                                              attributes:_attributes];
  [_text insertAttributedString:piece atIndex:index];
#if !__has_feature(objc_arc)
  [piece release];
#endif
}

// The first character of the top row, as a model offset, and how far the
// visible top lies below that row's top. The row is the one a point just below
// the visible top is in: exactly on a boundary, the row above may answer.
- (BOOL)readingPlace:(std::uint64_t*)offset above:(CGFloat*)above {
  if ([_text length] == 0) return NO;
  NSLayoutManager* layoutManager = [self layoutManager];
  const NSRect visible = [self visibleRect];
  const NSPoint origin = [self textContainerOrigin];
  CGFloat fraction = 0;
  const NSUInteger glyph =
      [layoutManager glyphIndexForPoint:NSMakePoint(0, NSMinY(visible) + 1 - origin.y)
                         inTextContainer:[self textContainer]
          fractionOfDistanceThroughGlyph:&fraction];
  NSRange row;
  const NSRect rect = [layoutManager lineFragmentRectForGlyphAtIndex:glyph effectiveRange:&row];
  const NSRange characters = [layoutManager characterRangeForGlyphRange:NSMakeRange(row.location, 1)
                                                       actualGlyphRange:NULL];
  *offset = _state->offsetAt([_text string], characters.location);
  *above = NSMinY(visible) - (NSMinY(rect) + origin.y);
  return YES;
}

// The top of the row a model offset is in, if it is still shown.
- (BOOL)rowTop:(CGFloat*)top at:(std::uint64_t)offset {
  LogViewState& state = *_state;
  NSLayoutManager* layoutManager = [self layoutManager];
  const NSUInteger glyphs = [layoutManager numberOfGlyphs];
  if (state.shown.empty() || offset < state.shown.front().segment.from || glyphs == 0) return NO;
  const NSUInteger index = state.indexAt([_text string], offset);
  const NSUInteger glyph = std::min([layoutManager glyphRangeForCharacterRange:NSMakeRange(index, 0)
                                                          actualCharacterRange:NULL]
                                        .location,
                                    glyphs - 1);
  const NSRect rect = [layoutManager lineFragmentRectForGlyphAtIndex:glyph effectiveRange:NULL];
  *top = NSMinY(rect) + [self textContainerOrigin].y;
  return YES;
}

- (void)scrollToY:(CGFloat)y {
  NSScrollView* scrollView = [self enclosingScrollView];
  NSClipView* clip = [scrollView contentView];
  const NSRect bounds = [clip bounds];
  const CGFloat bottom = std::max<CGFloat>(0, NSHeight([self frame]) - NSHeight(bounds));
  [clip scrollToPoint:NSMakePoint(NSMinX(bounds), std::clamp<CGFloat>(y, 0, bottom))];
  [scrollView reflectScrolledClipView:clip];
}

// The reader scrolled (we scroll only inside -refresh). Following the end is
// what they chose: they left it or came back to it. At an edge of the stretch
// with more of the model beyond, more is paged in.
- (void)clipDidScroll:(NSNotification*)notification {
  LogViewState& state = *_state;
  if (state.updating) return;
  const NSRect bounds = [[notification object] bounds];
  // The scroller coming or going changes the width, not the place.
  if (NSEqualPoints(bounds.origin, state.origin)) return;
  state.origin = bounds.origin;
  const bool atBottom = NSMaxY(bounds) >= NSHeight([self frame]) - 1;
  const bool atTop = NSMinY(bounds) <= 0;
  state.model->setFollowsEnd(atBottom && state.reachesEnd);
  if (atTop && !state.shown.empty() &&
      !(state.shown.front().segment == state.model->firstSegment())) {
    state.pageBefore = true;
    [self scheduleRefresh];
  }
  if (atBottom && !state.reachesEnd) {
    state.pageAfter = true;
    [self scheduleRefresh];
  }
}

- (void)mouseDown:(NSEvent*)event {
  _state->tracking = true;
  [super mouseDown:event];
  _state->tracking = false;
  if (_state->pending) [self scheduleRefresh];
}

// Home and End go to the start and the end of everything kept.
- (void)scrollToBeginningOfDocument:(id)sender {
  _state->model->setFollowsEnd(false);
  _state->toBeginning = true;
  [self refresh];
}

- (void)scrollToEndOfDocument:(id)sender {
  _state->model->setFollowsEnd(true);
  [self refresh];
}

// A selection the reader made since the last refresh, in model offsets.
- (void)takeReadersSelection {
  LogViewState& state = *_state;
  NSArray* ranges = [self selectedRanges];
  if (state.applied != nil && [ranges isEqual:state.applied]) return;
  state.selection.clear();
  NSString* text = [_text string];
  for (NSValue* value in ranges) {
    const NSRange range = [value rangeValue];
    state.selection.emplace_back(state.offsetAt(text, range.location),
                                 state.offsetAt(text, NSMaxRange(range)));
  }
  [self rememberApplied];
}

- (void)rememberApplied {
  LogViewState& state = *_state;
#if !__has_feature(objc_arc)
  [state.applied release];
#endif
  state.applied = [[NSArray alloc] initWithArray:[self selectedRanges]];
}

- (void)applySelection {
  LogViewState& state = *_state;
  NSString* text = [_text string];
  NSMutableArray* ranges = [NSMutableArray array];
  for (const auto& [from, to] : state.selection) {
    const NSUInteger start = state.indexAt(text, from);
    const NSUInteger end = std::max(start, state.indexAt(text, to));
    [ranges addObject:[NSValue valueWithRange:NSMakeRange(start, end - start)]];
  }
  if ([ranges count] == 0) [ranges addObject:[NSValue valueWithRange:NSMakeRange(0, 0)]];
  // Set only when it moved: each change is announced to screen readers.
  if (![ranges isEqual:[self selectedRanges]]) {
    [self setSelectedRanges:ranges affinity:NSSelectionAffinityDownstream stillSelecting:NO];
  }
  [self rememberApplied];
}

- (void)selectAll:(id)sender {
  [super selectAll:sender];
  const corvane::LogStore& store = _state->model->store();
  _state->selection.assign(1, {store.beginOffset(), store.endOffset()});
  [self rememberApplied];
}

// A triple click takes the whole line, however many paragraphs show it.
- (NSRange)selectionRangeForProposedRange:(NSRange)proposed
                              granularity:(NSSelectionGranularity)granularity {
  const NSRange range = [super selectionRangeForProposedRange:proposed granularity:granularity];
  const LogViewState& state = *_state;
  if (granularity != NSSelectByParagraph || state.shown.empty()) return range;
  std::size_t first = state.paragraphAt(range.location);
  std::size_t last = state.paragraphAt(std::max(range.location, NSMaxRange(range) - 1));
  while (first > 0 && state.shown[first - 1].segment.line == state.shown[first].segment.line) {
    --first;
  }
  while (last + 1 < state.shown.size() &&
         state.shown[last + 1].segment.line == state.shown[last].segment.line) {
    ++last;
  }
  const NSUInteger start = std::min(range.location, state.indexOf(state.shown[first]));
  // With its line end, as a paragraph's own selection has it.
  NSUInteger end = state.indexOf(state.shown[last]) + state.shown[last].length;
  if (last + 1 < state.shown.size()) ++end;
  return NSMakeRange(start, std::max(end, NSMaxRange(range)) - start);
}

- (NSArray*)writablePasteboardTypes {
  return [NSArray arrayWithObject:NSPasteboardTypeString];
}

// Exactly the model's text, not the storage's: line ends as they came, NUL as
// NUL, and all of what was selected even where it is not shown.
- (BOOL)writeSelectionToPasteboard:(NSPasteboard*)pasteboard type:(NSString*)type {
  if (![type isEqual:NSPasteboardTypeString]) return NO;
  [self takeReadersSelection];
  std::string text;
  bool first = true;
  for (const auto& [from, to] : _state->selection) {
    if (!std::exchange(first, false)) text += '\n';
    text += _state->model->text(std::min(from, to), std::max(from, to));
  }
  return [pasteboard setString:corvane::macos::ToNSString(text) forType:type];
}

- (void)copy:(id)sender {
  [self takeReadersSelection];
  const auto& selection = _state->selection;
  if (std::all_of(selection.begin(), selection.end(),
                  [](const auto& range) { return range.first == range.second; })) {
    return;
  }
  NSPasteboard* pasteboard = [NSPasteboard generalPasteboard];
  [pasteboard declareTypes:[self writablePasteboardTypes] owner:nil];
  [self writeSelectionToPasteboard:pasteboard type:NSPasteboardTypeString];
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
  [_note setStringValue:shown ? note : @""];
  if ([_note isHidden] != !shown) [_note setHidden:!shown];
  [self tile];
}

// The note takes a strip across the top, inside the border; the text and its
// scroller share what is left below it.
- (void)tile {
  [super tile];
  if (_note == nil || [_note isHidden]) return;
  NSClipView* clip = [self contentView];
  NSScroller* scroller = [self verticalScroller];
  NSRect inside = [clip frame];
  if (scroller != nil && ![scroller isHidden]) inside = NSUnionRect(inside, [scroller frame]);
  const CGFloat height = std::ceil([[_note cell] cellSize].height) + 4;
  const NSRectEdge top = [self isFlipped] ? NSMinYEdge : NSMaxYEdge;
  NSRect strip;
  NSRect rest;
  NSDivideRect(inside, &strip, &rest, height, top);
  [_note setFrame:strip];
  [clip setFrame:NSIntersectionRect([clip frame], rest)];
  // The text fills what is left of the clip view, and no more.
  id document = [self documentView];
  if ([document isKindOfClass:[NSTextView class]]) {
    [static_cast<NSTextView*>(document) setMinSize:NSMakeSize(0, NSHeight([clip frame]))];
  }
  if (scroller != nil && ![scroller isHidden]) {
    [scroller setFrame:NSIntersectionRect([scroller frame], rest)];
  }
}

@end
