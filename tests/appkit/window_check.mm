// Linked only into test copies of the app: tools/test-appkit's build, and the
// Mac build's CORVANE_APPKIT_CHECK target. With CORVANE_APPKIT_CHECK naming a
// file, it reads the live window once the log ends with
// CORVANE_APPKIT_CHECK_DONE and the log view shows it (or after a minute),
// writes what it found to that file and presses the close button;
// tests/appkit/run_checks.sh compares. A log that stops at "paused\n" (the
// script then waits for FILE.go1) gets the follow check: scrolled to the top,
// the view must stay there; back at the end (FILE.go2), it must follow. With
// CORVANE_APPKIT_CHECK_LOG set, it then drives log views of its own, each in a
// second window over a model it fills (one with a small bound, one holding
// more than the view shows), and writes what it found to FILE.views.
#import <AppKit/AppKit.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/param.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "corvane/app/log_model.h"
#import "log_view.h"
#import "string_bridge.h"
#include "window_builder.h"

@interface CorvaneWindowCheck : NSObject
+ (void)storageEdited:(NSNotification*)notification;
@end

namespace {

using corvane::LogModel;
using corvane::macos::ToNSString;
using corvane::macos::ToStdString;

NSString* reportPath;
NSTimeInterval deadline;
int stage;
NSRect readingPlace;
BOOL placeKept;
int activitiesDuringRun;
int storageEdits;

// The file descriptor 2 is open on, or "closed".
NSString* StandardErrorTarget() {
  char target[MAXPATHLEN] = "closed";
#ifdef __APPLE__
  if (fcntl(2, F_GETPATH, target) == -1) strcpy(target, "closed");
#else
  const ssize_t length = readlink("/proc/self/fd/2", target, sizeof target - 1);
  if (length >= 0) target[length] = '\0';
#endif
  return [NSString stringWithUTF8String:target];
}

// How many user-initiated activities the app holds.
int ActivitiesHeld() {
#ifdef __APPLE__
  // Such an activity keeps the system from idle sleep: the power manager lists
  // that assertion under this process.
  FILE* assertions = popen("/usr/bin/pmset -g assertions", "r");
  if (assertions == NULL) return -1;
  char owner[32];
  snprintf(owner, sizeof owner, "pid %d(", getpid());
  char line[2048];
  int held = 0;
  while (fgets(line, sizeof line, assertions) != NULL) {
    if (strstr(line, owner) != NULL && strstr(line, "PreventUserIdleSystemSleep") != NULL) ++held;
  }
  pclose(assertions);
  return held;
#else
  return CorvaneUserInitiatedActivities();
#endif
}

NSString* KeyOf(NSMenuItem* item) {
  if ([[item keyEquivalent] length] == 0) return @"";
  const NSEventModifierFlags modifiers = [item keyEquivalentModifierMask];
  return [NSString
      stringWithFormat:@"%@%@%@%@%@ ", modifiers & NSEventModifierFlagControl ? @"⌃" : @"",
                       modifiers & NSEventModifierFlagOption ? @"⌥" : @"",
                       modifiers & NSEventModifierFlagShift ? @"⇧" : @"",
                       modifiers & NSEventModifierFlagCommand ? @"⌘" : @"", [item keyEquivalent]];
}

// Each menu of the menu bar, one item a line: title, keys, action.
void AppendMenus(NSMutableString* report) {
  for (NSMenuItem* entry in [[NSApp mainMenu] itemArray]) {
    NSMenu* menu = [entry submenu];
    if (menu == nil) continue;
    [report appendFormat:@"menu %@\n", [menu title]];
    for (NSMenuItem* item in [menu itemArray]) {
      if ([item isSeparatorItem]) {
        [report appendString:@"  -\n"];
      } else {
        [report appendFormat:@"  %@ %@%@\n", [item title], KeyOf(item),
                             [item action] != NULL ? NSStringFromSelector([item action]) : @"-"];
      }
    }
  }
  [report appendFormat:@"windows menu: %@\n", [[NSApp windowsMenu] title]];
}

// As a key press reaches the text view: the menu item with that command key,
// its action sent to the first responder.
BOOL PressCommandKey(NSString* key, NSWindow* window) {
  for (NSMenuItem* entry in [[NSApp mainMenu] itemArray]) {
    for (NSMenuItem* item in [[entry submenu] itemArray]) {
      if ([[item keyEquivalent] isEqual:key] &&
          [item keyEquivalentModifierMask] == NSEventModifierFlagCommand) {
        return [NSApp sendAction:[item action]
                              to:[item target] != nil ? [item target] : [window firstResponder]
                            from:item];
      }
    }
  }
  return NO;
}

// The AppKit class a view is, or is made from.
NSString* AppKitClassName(NSView* view) {
  Class type = [view class];
  while (type != Nil && ![NSStringFromClass(type) hasPrefix:@"NS"]) type = [type superclass];
  return NSStringFromClass(type);
}

CorvaneLogView* LogViewIn(NSScrollView* scroll) {
  id document = [scroll documentView];
  return [document isKindOfClass:[CorvaneLogView class]] ? static_cast<CorvaneLogView*>(document)
                                                         : nil;
}

// The scroll view of the log view drawing `model`, in any window.
NSScrollView* ScrollViewOf(const LogModel* model) {
  for (NSWindow* window in [NSApp windows]) {
    for (NSView* view in [[window contentView] subviews]) {
      if (![view isKindOfClass:[NSScrollView class]]) continue;
      CorvaneLogView* log = LogViewIn(static_cast<NSScrollView*>(view));
      if (log != nil && [log model].get() == model) return static_cast<NSScrollView*>(view);
    }
  }
  return nil;
}

// The model as the log view is to show it from `segment` on: a paragraph a
// segment, NUL as ␀.
std::string Shown(const LogModel& model, LogModel::Segment segment) {
  std::string text = model.displayText(segment);
  while (model.next(segment)) text += "\n" + model.displayText(segment);
  return text;
}

BOOL ShowsAll(NSTextView* log, const LogModel& model) {
  return [[log string] isEqualToString:ToNSString(Shown(model, model.firstSegment()))];
}

// The view shows the end of the model: its last segments, whole.
BOOL ShowsEnd(NSTextView* log, const LogModel& model) {
  const std::string shown = ToStdString([log string]);
  LogModel::Segment segment = model.lastSegment();
  std::size_t length = model.displayText(segment).size();
  while (length < shown.size() && model.previous(segment)) {
    length += model.displayText(segment).size() + 1;
  }
  return !shown.empty() && length == shown.size() && Shown(model, segment) == shown;
}

BOOL AtEnd(NSTextView* log) { return NSMaxY([log visibleRect]) >= NSHeight([log frame]) - 1; }

void ScrollAsReader(NSScrollView* scroll, CGFloat y) {
  NSClipView* clip = [scroll contentView];
  [clip scrollToPoint:NSMakePoint(0, y)];
  [scroll reflectScrolledClipView:clip];
}

CGFloat Bottom(NSScrollView* scroll) {
  return NSHeight([[scroll documentView] frame]) - NSHeight([[scroll contentView] bounds]);
}

// The row at the top of the view (the one just below the visible top: on a
// boundary, the row above may answer): its paragraph, where in it the row
// starts, and how far the visible top lies below the row's top.
struct Row {
  std::string paragraph;
  NSUInteger within = 0;
  CGFloat below = 0;
};

Row TopRow(NSTextView* log) {
  NSLayoutManager* layoutManager = [log layoutManager];
  const NSRect visible = [log visibleRect];
  const NSPoint origin = [log textContainerOrigin];
  CGFloat fraction = 0;
  const NSUInteger glyph =
      [layoutManager glyphIndexForPoint:NSMakePoint(0, NSMinY(visible) + 1 - origin.y)
                         inTextContainer:[log textContainer]
          fractionOfDistanceThroughGlyph:&fraction];
  NSRange row;
  const NSRect rect = [layoutManager lineFragmentRectForGlyphAtIndex:glyph effectiveRange:&row];
  const NSUInteger index = [layoutManager characterRangeForGlyphRange:NSMakeRange(row.location, 1)
                                                     actualGlyphRange:NULL]
                               .location;
  NSString* text = [log string];
  const NSRange paragraph = [text paragraphRangeForRange:NSMakeRange(index, 0)];
  return {ToStdString([text substringWithRange:paragraph]), index - paragraph.location,
          NSMinY(visible) - NSMinY(rect) - origin.y};
}

std::string FirstParagraph(NSTextView* log) {
  NSString* text = [log string];
  return ToStdString([text substringWithRange:[text paragraphRangeForRange:NSMakeRange(0, 0)]]);
}

std::string LastParagraph(NSTextView* log) {
  NSString* text = [log string];
  return ToStdString(
      [text substringWithRange:[text paragraphRangeForRange:NSMakeRange([text length], 0)]]);
}

// The model's first segment as the first paragraph shows it.
std::string FirstShown(const LogModel& model) {
  return model.displayText(model.firstSegment()) + "\n";
}

BOOL SamePlace(const Row& a, const Row& b) {
  return !a.paragraph.empty() && a.paragraph == b.paragraph && a.within == b.within &&
         std::abs(a.below - b.below) < 0.5;
}

// The note on dropped output, while shown: a label inside the log's scroll
// view.
NSTextField* NoteOf(NSScrollView* scroll) {
  for (NSView* view in [scroll subviews]) {
    if ([view isKindOfClass:[NSTextField class]] && ![view isHidden]) {
      return static_cast<NSTextField*>(view);
    }
  }
  return nil;
}

// Dimmed, in one line across the top of the log's frame, above the text.
BOOL NoteInPlace(NSScrollView* scroll, NSTextField* note) {
  NSClipView* clip = [scroll contentView];
  const NSRect frame = [scroll convertRect:[scroll bounds] toView:nil];
  const NSRect strip = [note convertRect:[note bounds] toView:nil];
  const NSRect text = [clip convertRect:[clip bounds] toView:nil];
  return [[note textColor] isEqual:[NSColor secondaryLabelColor]] && NSContainsRect(frame, strip) &&
         NSMinY(strip) >= NSMaxY(text) - 0.5 && NSWidth(strip) >= NSWidth(text) &&
         NSHeight(strip) < 2 * [[note font] pointSize] + 8;
}

// Selects `range` of the view, copies with ⌘C, and compares with `expected`.
BOOL Copies(NSTextView* log, NSRange range, const std::string& expected) {
  [log setSelectedRange:range];
  NSPasteboard* pasteboard = [NSPasteboard generalPasteboard];
  [pasteboard declareTypes:[NSArray arrayWithObject:NSPasteboardTypeString] owner:nil];
  [pasteboard setString:@"" forType:NSPasteboardTypeString];
  return PressCommandKey(@"c", [log window]) &&
         [[pasteboard stringForType:NSPasteboardTypeString] isEqual:ToNSString(expected)];
}

// From the start of `from` to the end of `to`, as shown, against the model's
// text between the same marks.
BOOL CopiesExactly(NSTextView* log, const LogModel& model, NSString* from, NSString* to) {
  NSString* shown = [log string];
  const NSRange start = [shown rangeOfString:from];
  const NSRange end = [shown rangeOfString:to];
  const std::string text = model.store().text();
  const std::size_t first = text.find(ToStdString(from));
  const std::size_t last = text.find(ToStdString(to));
  if (start.location == NSNotFound || end.location == NSNotFound || first == std::string::npos ||
      last == std::string::npos) {
    return NO;
  }
  return Copies(log, NSMakeRange(start.location, NSMaxRange(end) - start.location),
                text.substr(first, last + ToStdString(to).size() - first));
}

// A triple click halfway between `from` and `to`, which start and end a
// line, selects all of it: its line end too, and nothing more.
BOOL TripleClickCopiesLine(NSTextView* log, const LogModel& model, NSString* from, NSString* to) {
  NSString* shown = [log string];
  const NSRange start = [shown rangeOfString:from];
  const NSRange end = [shown rangeOfString:to];
  const std::string text = model.store().text();
  const std::size_t first = text.find(ToStdString(from));
  const std::size_t last = text.find(ToStdString(to));
  if (start.location == NSNotFound || end.location == NSNotFound || first == std::string::npos ||
      last == std::string::npos) {
    return NO;
  }
  const NSRange middle = NSMakeRange((start.location + NSMaxRange(end)) / 2, 0);
  // Its line end is one LF.
  return Copies(log, [log selectionRangeForProposedRange:middle granularity:NSSelectByParagraph],
                text.substr(first, last + ToStdString(to).size() + 1 - first));
}

BOOL CopiesAll(NSTextView* log, const LogModel& model) {
  NSPasteboard* pasteboard = [NSPasteboard generalPasteboard];
  [pasteboard declareTypes:[NSArray arrayWithObject:NSPasteboardTypeString] owner:nil];
  [pasteboard setString:@"" forType:NSPasteboardTypeString];
  [[log window] makeFirstResponder:log];
  return PressCommandKey(@"a", [log window]) && PressCommandKey(@"c", [log window]) &&
         [[pasteboard stringForType:NSPasteboardTypeString]
             isEqual:ToNSString(model.store().text())];
}

std::string Lines(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) {
    // Every seventh wraps.
    text += "line " + std::to_string(i) + " " + std::string(i % 7 != 0 ? 20 : 150, 'x') + "\r\n";
  }
  return text;
}

// Log views of the check's own, driven as a reader would, one step a tick:
// each step acts, then waits for the view to show what it did (at most 20 s),
// then notes what it found.
class LogCheck {
 public:
  LogCheck();
  // True once every step has reported.
  bool advance();
  NSString* report() const { return report_; }

 private:
  struct Step {
    std::function<void()> act;
    std::function<BOOL()> ready;
    // Returns true to run the step again.
    std::function<bool(BOOL)> done;
  };
  void line(NSString* text) { [report_ appendFormat:@"%@\n", text]; }
  NSTextView* log(const std::shared_ptr<LogModel>& model) const {
    return LogViewIn(ScrollViewOf(model.get()));
  }

  std::vector<Step> steps_;
  std::size_t current_ = 0;
  bool acted_ = false;
  NSTimeInterval giveUp_ = 0;
  NSMutableString* report_ = [[NSMutableString alloc] init];
  // Small enough that the view shows all it keeps.
  const std::shared_ptr<LogModel> small_ = std::make_shared<LogModel>(32 * 1024, 4096);
  const std::shared_ptr<LogModel> large_ = std::make_shared<LogModel>();
  std::vector<corvane::InstallerWindow> windows_;
  Row place_;
  std::string firstShown_;
  std::string lastShown_;
  int pages_ = 0;
  BOOL placesKept_ = YES;
};

LogCheck::LogCheck() {
  auto smallLog = [this] { return log(small_); };
  auto showsAll = [this, smallLog] { return ShowsAll(smallLog(), *small_); };

  steps_.push_back(
      {[this] {
         windows_.push_back(corvane::macos::BuildInstallerWindow({}, small_));
         small_->append(Lines(0, 500));
       },
       showsAll,
       [this, smallLog](BOOL shown) {
         line([NSString stringWithFormat:@"before the bound: shown %d, no note %d, at the end %d",
                                         shown, NoteOf(ScrollViewOf(small_.get())) == nil,
                                         shown && AtEnd(smallLog())]);
         return false;
       }});
  // Past the bound, in ten appends of one turn: one update draws them. Some
  // of what was shown is dropped, some stays.
  steps_.push_back(
      {[this, smallLog] {
         storageEdits = 0;
         [[NSNotificationCenter defaultCenter]
             addObserver:[CorvaneWindowCheck class]
                selector:@selector(storageEdited:)
                    name:NSTextStorageDidProcessEditingNotification
                  object:[smallLog() textStorage]];
         for (int i = 500; i < 650; i += 15) small_->append(Lines(i, i + 15));
       },
       showsAll,
       [this, smallLog](BOOL shown) {
         [[NSNotificationCenter defaultCenter] removeObserver:[CorvaneWindowCheck class]];
         NSScrollView* scroll = ScrollViewOf(small_.get());
         NSTextField* note = NoteOf(scroll);
         line([NSString stringWithFormat:@"past the bound: shows the model %d, lines dropped %d",
                                         shown, small_->store().droppedLines() > 0]);
         line([NSString
             stringWithFormat:@"note: the model's %d, in place %d",
                              note != nil &&
                                  [[note stringValue] isEqual:ToNSString(small_->droppedNote())],
                              note != nil && NoteInPlace(scroll, note)]);
         line([NSString stringWithFormat:@"following: at the end %d, in one update %d",
                                         AtEnd(smallLog()) && small_->followsEnd(),
                                         storageEdits == 1]);
         return false;
       }});
  // Scrolled back, as lines go at the front.
  steps_.push_back(
      {[this, smallLog] {
         NSScrollView* scroll = ScrollViewOf(small_.get());
         ScrollAsReader(scroll, Bottom(scroll) / 2);
         place_ = TopRow(smallLog());
         small_->append(Lines(650, 750));
       },
       showsAll,
       [this, smallLog](BOOL shown) {
         line([NSString stringWithFormat:@"scrolled back: place kept %d, not following %d, note %d",
                                         shown && SamePlace(place_, TopRow(smallLog())),
                                         !small_->followsEnd() && !AtEnd(smallLog()),
                                         [[NoteOf(ScrollViewOf(small_.get())) stringValue]
                                             isEqual:ToNSString(small_->droppedNote())]]);
         return false;
       }});
  steps_.push_back(
      {[this] {
         NSScrollView* scroll = ScrollViewOf(small_.get());
         ScrollAsReader(scroll, Bottom(scroll));
         small_->append(Lines(750, 800));
       },
       showsAll,
       [this, smallLog](BOOL shown) {
         line([NSString stringWithFormat:@"back at the end: follows %d",
                                         shown && AtEnd(smallLog()) && small_->followsEnd()]);
         return false;
       }});
  // Line ends of every kind, NUL, and a line of three segments.
  steps_.push_back(
      {[this] {
         std::string longLine = "{2 ";
         while (longLine.size() < 10'000) longLine += "abcあいう";
         static constexpr char kLineEnds[] = "{1 crlf\r\ncr\rls\u2028ps\u2029nul\0 tab\t😀 あ 1}\n";
         small_->append(std::string(kLineEnds, sizeof kLineEnds - 1) + longLine +
                        " 2}\n{3\r\n3}\n");
       },
       showsAll,
       [this, smallLog](BOOL shown) {
         NSTextView* log = smallLog();
         NSString* text = [log string];
         const NSRange from = [text rangeOfString:@"{2"];
         const NSRange to = [text rangeOfString:@"2}"];
         NSUInteger paragraphs = 0;
         if (from.location != NSNotFound && to.location != NSNotFound) {
           paragraphs = [[[text
               substringWithRange:NSMakeRange(from.location, NSMaxRange(to) - from.location)]
               componentsSeparatedByString:@"\n"] count];
         }
         [[log window] makeFirstResponder:log];
         line([NSString stringWithFormat:@"long line: shown %d, paragraphs %lu", shown,
                                         static_cast<unsigned long>(paragraphs)]);
         line([NSString stringWithFormat:@"copy: line ends and NUL %d, a split line %d, a line end "
                                         @"%d, a triple-clicked line %d",
                                         CopiesExactly(log, *small_, @"{1", @"1}"),
                                         CopiesExactly(log, *small_, @"{2", @"2}"),
                                         CopiesExactly(log, *small_, @"{3", @"3}"),
                                         TripleClickCopiesLine(log, *small_, @"{2", @"2}")]);
         line([NSString
             stringWithFormat:@"select all: copies all kept %d", CopiesAll(log, *small_)]);
         return false;
       }});

  // More than the view holds: it shows the end, and pages earlier output in
  // as the reader reaches the top of what it holds.
  auto largeLog = [this] { return log(large_); };
  steps_.push_back(
      {[this] {
         windows_.push_back(corvane::macos::BuildInstallerWindow({}, large_));
         large_->append(Lines(0, 30'000));
       },
       [this, largeLog] { return ShowsEnd(largeLog(), *large_); },
       [this, largeLog](BOOL shown) {
         const std::size_t held = ToStdString([largeLog() string]).size();
         line([NSString stringWithFormat:@"larger output: shows the end %d, holds a part %d", shown,
                                         held < large_->store().keptBytes() / 2]);
         return false;
       }});
  steps_.push_back(
      {[this, largeLog] {
         NSTextView* log = largeLog();
         firstShown_ = FirstParagraph(log);
         ScrollAsReader([log enclosingScrollView], 0);
         place_ = TopRow(log);
       },
       [this, largeLog] { return FirstParagraph(largeLog()) != firstShown_; },
       [this, largeLog](BOOL paged) {
         NSTextView* log = largeLog();
         placesKept_ = placesKept_ && paged && SamePlace(place_, TopRow(log));
         ++pages_;
         const BOOL atFirst = FirstParagraph(log) == FirstShown(*large_);
         if (paged && !atFirst && pages_ < 100) return true;
         line([NSString stringWithFormat:@"paging back: to the first line %d, keeping the place %d",
                                         atFirst, placesKept_]);
         line([NSString stringWithFormat:@"select all of the larger: copies all kept %d",
                                         CopiesAll(log, *large_)]);
         placesKept_ = YES;
         pages_ = 0;
         return false;
       }});
  // Down again, to the end, which it follows once there.
  steps_.push_back(
      {[this, largeLog] {
         NSTextView* log = largeLog();
         lastShown_ = LastParagraph(log);
         ScrollAsReader([log enclosingScrollView], Bottom([log enclosingScrollView]));
         place_ = TopRow(log);
       },
       [this, largeLog] { return LastParagraph(largeLog()) != lastShown_ || large_->followsEnd(); },
       [this, largeLog](BOOL moved) {
         NSTextView* log = largeLog();
         const BOOL following = large_->followsEnd() && ShowsEnd(log, *large_) && AtEnd(log);
         if (!following) placesKept_ = placesKept_ && moved && SamePlace(place_, TopRow(log));
         if (moved && !following && ++pages_ < 100) return true;
         line([NSString stringWithFormat:@"paging on: to the end %d, keeping the place %d",
                                         following, placesKept_]);
         return false;
       }});
  // Home and End: to either end of everything kept.
  steps_.push_back({[largeLog] {
                      NSTextView* log = largeLog();
                      [[log window] makeFirstResponder:log];
                      [NSApp sendAction:@selector(scrollToBeginningOfDocument:)
                                     to:[[log window] firstResponder]
                                   from:nil];
                    },
                    [this, largeLog] { return FirstParagraph(largeLog()) == FirstShown(*large_); },
                    [this, largeLog](BOOL atFirst) {
                      NSTextView* log = largeLog();
                      const BOOL top = NSMinY([log visibleRect]) <= 0 && !large_->followsEnd();
                      [NSApp sendAction:@selector(scrollToEndOfDocument:)
                                     to:[[log window] firstResponder]
                                   from:nil];
                      line([NSString stringWithFormat:@"Home and End: first line %d, end %d",
                                                      atFirst && top,
                                                      ShowsEnd(log, *large_) && AtEnd(log) &&
                                                          large_->followsEnd()]);
                      return false;
                    }});
}

bool LogCheck::advance() {
  while (current_ < steps_.size()) {
    Step& step = steps_[current_];
    if (!acted_) {
      step.act();
      acted_ = true;
      giveUp_ = [NSDate timeIntervalSinceReferenceDate] + 20;
      return false;
    }
    const BOOL ready = step.ready();
    if (!ready && [NSDate timeIntervalSinceReferenceDate] < giveUp_) return false;
    acted_ = false;
    if (!step.done(ready)) ++current_;
  }
  return true;
}

LogCheck* logCheck;
NSScrollView* installerLog;

}  // namespace

@implementation CorvaneWindowCheck

+ (void)load {
  if (getenv("CORVANE_APPKIT_CHECK") == NULL) return;
  reportPath = [[NSString alloc] initWithUTF8String:getenv("CORVANE_APPKIT_CHECK")];
  // Nothing that opens a file before main has run: main must find descriptors
  // 0-2 as the test left them.
  [[NSNotificationCenter defaultCenter] addObserver:self
                                           selector:@selector(launched:)
                                               name:NSApplicationDidFinishLaunchingNotification
                                             object:nil];
}

+ (void)launched:(NSNotification*)notification {
  deadline = [NSDate timeIntervalSinceReferenceDate] + 60;
  [NSTimer scheduledTimerWithTimeInterval:0.05
                                   target:self
                                 selector:@selector(tick:)
                                 userInfo:nil
                                  repeats:YES];
}

+ (void)storageEdited:(NSNotification*)notification {
  ++storageEdits;
}

+ (void)tick:(NSTimer*)timer {
  // The installer's own log, found before the check builds any.
  for (NSWindow* each in [NSApp windows]) {
    for (NSView* view in [[each contentView] subviews]) {
      if (installerLog == nil && [view isKindOfClass:[NSScrollView class]]) {
        installerLog = static_cast<NSScrollView*>(view);
      }
    }
  }
  NSScrollView* scroll = installerLog;
  NSWindow* window = [scroll window];
  CorvaneLogView* log = LogViewIn(scroll);
  NSString* text = log != nil ? ToNSString([log model]->store().text()) : @"";
  // The view draws the model once a frame: each stage waits for it to catch up.
  const BOOL shown = log != nil && ShowsAll(log, *[log model]);
  if (stage == 0 && shown && [text hasSuffix:@"paused\n"]) {
    activitiesDuringRun = ActivitiesHeld();
    [[scroll contentView] scrollToPoint:NSZeroPoint];
    [scroll reflectScrolledClipView:[scroll contentView]];
    readingPlace = [log visibleRect];
    [[NSData data] writeToFile:[reportPath stringByAppendingString:@".go1"] atomically:YES];
    stage = 1;
  } else if (stage == 1 && shown && [text hasSuffix:@"resumed\n"]) {
    placeKept = NSEqualRects(readingPlace, [log visibleRect]);
    // As the user would, to the very end: the layout may not have reached it.
    [log scrollRangeToVisible:NSMakeRange([[log string] length], 0)];
    [[NSData data] writeToFile:[reportPath stringByAppendingString:@".go2"] atomically:YES];
    stage = 2;
  }
  const char* doneText = getenv("CORVANE_APPKIT_CHECK_DONE");
  NSString* done = [NSString stringWithUTF8String:doneText != NULL ? doneText : ""];
  BOOL finished = shown && [done length] > 0 && [text hasSuffix:done];
  if (finished && getenv("CORVANE_APPKIT_CHECK_LOG") != NULL) {
    if (logCheck == nullptr) logCheck = new LogCheck();
    finished = logCheck->advance();
  }
  if (!finished && [NSDate timeIntervalSinceReferenceDate] < deadline) return;
  [timer invalidate];

  NSSize size = [[window contentView] frame].size;
  NSMutableString* report = [NSMutableString string];
  [report appendFormat:@"window \"%@\" %gx%g style %lu\n", [window title], size.width, size.height,
                       static_cast<unsigned long>([window styleMask])];
  NSButton* lastButton = nil;
  for (NSView* view in [[window contentView] subviews]) {
    NSRect f = [view frame];
    [report appendFormat:@"%@ %g %g %g %g", AppKitClassName(view), f.origin.x, f.origin.y,
                         f.size.width, f.size.height];
    if ([view isKindOfClass:[NSButton class]]) {
      lastButton = static_cast<NSButton*>(view);
      [report appendFormat:@" \"%@\" enabled %d", [lastButton title], [lastButton isEnabled]];
    } else if ([view isKindOfClass:[NSTextField class]]) {
      [report appendFormat:@" \"%@\"", [static_cast<NSTextField*>(view) stringValue]];
    } else if ([view isKindOfClass:[NSProgressIndicator class]]) {
      [report appendFormat:@" shown when stopped %d",
                           [static_cast<NSProgressIndicator*>(view) isDisplayedWhenStopped]];
    }
    [report appendString:@"\n"];
  }
  [report appendFormat:@"log as wide as its clip view: %d\nlog shows the model: %d\n"
                       @"standard error: %@\n",
                       NSWidth([log frame]) == NSWidth([[scroll contentView] bounds]), shown,
                       StandardErrorTarget()];
  if (stage == 2) {
    [report appendFormat:@"follow: kept %d followed %d\nactivities during the run: %d\n", placeKept,
                         AtEnd(log), activitiesDuringRun];
  }
  [report appendFormat:@"activities after the outcome: %d\n", ActivitiesHeld()];
#ifndef __APPLE__
  [report appendFormat:@"relaunch at login disabled: %d\n", CorvaneRelaunchOnLoginDisabled()];
#endif
  AppendMenus(report);

  NSPasteboard* pasteboard = [NSPasteboard generalPasteboard];
  [pasteboard declareTypes:[NSArray arrayWithObject:NSPasteboardTypeString] owner:nil];
  [pasteboard setString:@"" forType:NSPasteboardTypeString];
  [window makeFirstResponder:log];
  const BOOL selected =
      PressCommandKey(@"a", window) && [log selectedRange].length == [[log string] length];
  const BOOL copied = PressCommandKey(@"c", window) &&
                      [[pasteboard stringForType:NSPasteboardTypeString] isEqual:text];
  [report appendFormat:@"⌘A selects the log: %d, ⌘C copies it: %d\n", selected, copied];

  [report appendFormat:@"log:\n%@", text];
  [report writeToFile:reportPath atomically:YES encoding:NSUTF8StringEncoding error:NULL];
  if (logCheck != nullptr) {
    [logCheck->report() writeToFile:[reportPath stringByAppendingString:@".views"]
                         atomically:YES
                           encoding:NSUTF8StringEncoding
                              error:NULL];
  }
  [lastButton performClick:nil];
}

@end
