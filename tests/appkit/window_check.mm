// Linked only into test copies of the app: tools/test-appkit's build, and the
// Mac build's CORVANE_APPKIT_CHECK target. With CORVANE_APPKIT_CHECK naming a
// file, it reads the live window once the log ends with
// CORVANE_APPKIT_CHECK_DONE and the log view shows it (or after a minute),
// writes what it found to that file and presses the close button;
// tests/appkit/run_checks.sh compares. A log that stops at "paused\n" (the
// script then waits for FILE.go1) has the activities held during the run
// counted. The log so far goes into FILE.log as it grows. With
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
using corvane::LogStore;
using corvane::macos::ToNSString;
using corvane::macos::ToStdString;

NSString* reportPath;
NSString* logPath;
NSUInteger logWritten;
NSTimeInterval deadline;
BOOL paused;
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
  [report appendFormat:@"windows menu: %@, services menu: %@\n", [[NSApp windowsMenu] title],
                       [[NSApp servicesMenu] title]];
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

NSPasteboard* EmptyPasteboard() {
  NSPasteboard* pasteboard = [NSPasteboard generalPasteboard];
  [pasteboard declareTypes:[NSArray arrayWithObject:NSPasteboardTypeString] owner:nil];
  [pasteboard setString:@"" forType:NSPasteboardTypeString];
  return pasteboard;
}

// Selects `range` of the view, copies with ⌘C, and compares with `expected`.
BOOL Copies(NSTextView* log, NSRange range, const std::string& expected) {
  [log setSelectedRange:range];
  NSPasteboard* pasteboard = EmptyPasteboard();
  return PressCommandKey(@"c", [log window]) &&
         [[pasteboard stringForType:NSPasteboardTypeString] isEqual:ToNSString(expected)];
}

// From the start of `from` to the end of `to`, as shown, against the model's
// text between the same marks; or, as a triple click halfway between them
// (they start and end a line), the whole line, its line end too.
BOOL CopiesBetween(NSTextView* log, const LogModel& model, NSString* from, NSString* to,
                   BOOL tripleClick) {
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
  NSRange range = NSMakeRange(start.location, NSMaxRange(end) - start.location);
  if (tripleClick) {
    range = [log selectionRangeForProposedRange:NSMakeRange(range.location + range.length / 2, 0)
                                    granularity:NSSelectByParagraph];
  }
  // The triple-clicked line's end is one LF.
  return Copies(log, range,
                text.substr(first, last + ToStdString(to).size() + tripleClick - first));
}

BOOL CopiesAll(NSTextView* log, const LogModel& model) {
  NSPasteboard* pasteboard = EmptyPasteboard();
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

// Runs the main run loop until `ready` holds, for 20 s at most: the log view
// shows what it was given once a frame.
BOOL Await(const std::function<BOOL()>& ready) {
  const NSTimeInterval giveUp = [NSDate timeIntervalSinceReferenceDate] + 20;
  while (!ready()) {
    if ([NSDate timeIntervalSinceReferenceDate] > giveUp) return NO;
    [[NSRunLoop currentRunLoop] runMode:NSDefaultRunLoopMode
                             beforeDate:[NSDate dateWithTimeIntervalSinceNow:0.02]];
  }
  return YES;
}

// Log views of the check's own, driven as a reader would; each finding is a
// line of the report.
void RunLogChecks(NSMutableString* report) {
  std::vector<corvane::InstallerWindow> windows;

  // Small enough that the view shows all it keeps.
  const auto small = std::make_shared<LogModel>(32 * 1024, 4096);
  windows.push_back(corvane::macos::BuildInstallerWindow({}, small));
  NSScrollView* scroll = ScrollViewOf(small.get());
  CorvaneLogView* log = LogViewIn(scroll);
  auto showsAll = [&] { return ShowsAll(log, *small); };
  small->append(Lines(0, 500));
  BOOL shown = Await(showsAll);
  [report appendFormat:@"before the bound: shown %d, no note %d, at the end %d\n", shown,
                       NoteOf(scroll) == nil, shown && AtEnd(log)];

  // Past the bound, in ten appends of one turn: one update draws them. Some
  // of what was shown is dropped, some stays.
  storageEdits = 0;
  [[NSNotificationCenter defaultCenter] addObserver:[CorvaneWindowCheck class]
                                           selector:@selector(storageEdited:)
                                               name:NSTextStorageDidProcessEditingNotification
                                             object:[log textStorage]];
  for (int i = 500; i < 650; i += 15) small->append(Lines(i, i + 15));
  shown = Await(showsAll);
  [[NSNotificationCenter defaultCenter] removeObserver:[CorvaneWindowCheck class]];
  NSTextField* note = NoteOf(scroll);
  [report appendFormat:@"past the bound: shows the model %d, lines dropped %d\n", shown,
                       small->store().droppedLines() > 0];
  [report appendFormat:@"note: the model's %d, dimmed %d\n",
                       note != nil && [[note stringValue] isEqual:ToNSString(small->droppedNote())],
                       note != nil && [[note textColor] isEqual:[NSColor secondaryLabelColor]]];
  [report appendFormat:@"following: at the end %d, in one update %d\n",
                       AtEnd(log) && small->followsEnd(), storageEdits == 1];

  // Scrolled back, as lines go at the front; then back at the end.
  ScrollAsReader(scroll, Bottom(scroll) / 2);
  const Row place = TopRow(log);
  small->append(Lines(650, 750));
  shown = Await(showsAll);
  [report appendFormat:@"scrolled back: place kept %d, not following %d, note %d\n",
                       shown && SamePlace(place, TopRow(log)), !small->followsEnd() && !AtEnd(log),
                       [[NoteOf(scroll) stringValue] isEqual:ToNSString(small->droppedNote())]];
  ScrollAsReader(scroll, Bottom(scroll));
  small->append(Lines(750, 800));
  shown = Await(showsAll);
  [report
      appendFormat:@"back at the end: follows %d\n", shown && AtEnd(log) && small->followsEnd()];

  // Line ends of every kind, NUL, and a line of three segments.
  std::string longLine = "{2 ";
  while (longLine.size() < 10'000) longLine += "abcあいう";
  static constexpr char kLineEnds[] = "{1 crlf\r\ncr\rls\u2028ps\u2029nul\0 tab\t😀 あ 1}\n";
  small->append(std::string(kLineEnds, sizeof kLineEnds - 1) + longLine + " 2}\n{3\r\n3}\n");
  shown = Await(showsAll);
  // Shown as the model is, a paragraph a segment: three for this line.
  const LogStore& kept = small->store();
  const std::uint64_t longLineAt = kept.lineAt(kept.beginOffset() + kept.text().find("{2"));
  [[log window] makeFirstResponder:log];
  [report appendFormat:@"long line: shown %d, paragraphs %llu\n", shown,
                       static_cast<unsigned long long>(small->segmentCount(longLineAt))];
  [report appendFormat:@"copy: line ends and NUL %d, a split line %d, a line end %d, "
                       @"a triple-clicked line %d\n",
                       CopiesBetween(log, *small, @"{1", @"1}", NO),
                       CopiesBetween(log, *small, @"{2", @"2}", NO),
                       CopiesBetween(log, *small, @"{3", @"3}", NO),
                       CopiesBetween(log, *small, @"{2", @"2}", YES)];
  [report appendFormat:@"select all: copies all kept %d\n", CopiesAll(log, *small)];

  // More than the view holds: it shows the end, and select all takes all
  // that is kept.
  const auto large = std::make_shared<LogModel>();
  windows.push_back(corvane::macos::BuildInstallerWindow({}, large));
  scroll = ScrollViewOf(large.get());
  log = LogViewIn(scroll);
  large->append(Lines(0, 30'000));
  shown = Await([&] { return ShowsEnd(log, *large); });
  [report appendFormat:@"larger output: shows the end %d, holds a part %d\n", shown,
                       ToStdString([log string]).size() < large->store().keptBytes() / 2];
  [report appendFormat:@"select all of the larger: copies all kept %d\n", CopiesAll(log, *large)];
}

NSScrollView* installerLog;

}  // namespace

@implementation CorvaneWindowCheck

+ (void)load {
  if (getenv("CORVANE_APPKIT_CHECK") == NULL) return;
  reportPath = [[NSString alloc] initWithUTF8String:getenv("CORVANE_APPKIT_CHECK")];
  logPath = [[NSString alloc] initWithFormat:@"%@.log", reportPath];
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
  // For a run followed while it lasts.
  if ([text length] != logWritten) {
    [text writeToFile:logPath atomically:YES encoding:NSUTF8StringEncoding error:NULL];
  }
  logWritten = [text length];
  // The view draws the model once a frame: each stage waits for it to catch up.
  const BOOL shown = log != nil && ShowsAll(log, *[log model]);
  if (!paused && shown && [text hasSuffix:@"paused\n"]) {
    activitiesDuringRun = ActivitiesHeld();
    [[NSData data] writeToFile:[reportPath stringByAppendingString:@".go1"] atomically:YES];
    paused = YES;
  }
  const char* doneText = getenv("CORVANE_APPKIT_CHECK_DONE");
  NSString* done = [NSString stringWithUTF8String:doneText != NULL ? doneText : ""];
  BOOL finished = shown && [done length] > 0 && [text hasSuffix:done];
  if (!finished && [NSDate timeIntervalSinceReferenceDate] < deadline) return;
  [timer invalidate];
  NSMutableString* views = nil;
  if (finished && getenv("CORVANE_APPKIT_CHECK_LOG") != NULL) {
    views = [NSMutableString string];
    RunLogChecks(views);
  }

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
  if (paused) [report appendFormat:@"activities during the run: %d\n", activitiesDuringRun];
  [report appendFormat:@"activities after the outcome: %d\n", ActivitiesHeld()];
#ifndef __APPLE__
  [report appendFormat:@"relaunch at login disabled: %d\n", CorvaneRelaunchOnLoginDisabled()];
#endif
  AppendMenus(report);

  NSPasteboard* pasteboard = EmptyPasteboard();
  [window makeFirstResponder:log];
  const BOOL selected =
      PressCommandKey(@"a", window) && [log selectedRange].length == [[log string] length];
  const BOOL copied = PressCommandKey(@"c", window) &&
                      [[pasteboard stringForType:NSPasteboardTypeString] isEqual:text];
  [report appendFormat:@"⌘A selects the log: %d, ⌘C copies it: %d\n", selected, copied];

  [report appendFormat:@"log:\n%@", text];
  [report writeToFile:reportPath atomically:YES encoding:NSUTF8StringEncoding error:NULL];
  [views writeToFile:[reportPath stringByAppendingString:@".views"]
          atomically:YES
            encoding:NSUTF8StringEncoding
               error:NULL];
  [lastButton performClick:nil];
}

@end
