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
#import <objc/runtime.h>
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

// How our standard items compare with the toolkit's own Japanese strings
// (AppKit's on a Mac: what macOS itself writes), found by the English title
// its tables key each by: "same", "differs from ...", or "-" where none has it.
// The tables are ja.lproj/*.strings, or *.loctable with every language.
void AppendToolkitWords(NSMutableString* report) {
  NSBundle* appKit = [NSBundle bundleForClass:[NSApplication class]];
  NSMutableArray* tables = [NSMutableArray array];
  for (NSString* path in [appKit pathsForResourcesOfType:@"loctable" inDirectory:nil]) {
    id table = [[NSDictionary dictionaryWithContentsOfFile:path] objectForKey:@"ja"];
    if ([table isKindOfClass:[NSDictionary class]]) [tables addObject:table];
  }
  for (NSString* path in [appKit pathsForResourcesOfType:@"strings"
                                             inDirectory:nil
                                         forLocalization:@"ja"]) {
    if (NSDictionary* table = [NSDictionary dictionaryWithContentsOfFile:path]) {
      [tables addObject:table];
    }
  }
  NSDictionary* english = [NSDictionary
      dictionaryWithObjectsAndKeys:@"About %@", @"orderFrontStandardAboutPanel:", @"Hide %@",
                                   @"hide:", @"Hide Others", @"hideOtherApplications:", @"Show All",
                                   @"unhideAllApplications:", @"Quit %@", @"terminate:", @"Copy",
                                   @"copy:", @"Select All", @"selectAll:", @"Minimize",
                                   @"performMiniaturize:", @"Close Window",
                                   @"performClose:", @"Bring All to Front",
                                   @"arrangeInFront:", nil];
  for (NSMenuItem* entry in [[NSApp mainMenu] itemArray]) {
    for (NSMenuItem* item in [[entry submenu] itemArray]) {
      NSString* key =
          [item action] != NULL ? [english objectForKey:NSStringFromSelector([item action])] : nil;
      if ([item submenu] != nil && [item submenu] == [NSApp servicesMenu]) key = @"Services";
      if (key == nil) continue;
      NSMutableArray* theirs = [NSMutableArray array];
      for (NSDictionary* table in tables) {
        id words = [table objectForKey:key];
        if (![words isKindOfClass:[NSString class]]) continue;
        words = [words stringByReplacingOccurrencesOfString:@"%@" withString:[entry title]];
        if (![theirs containsObject:words]) [theirs addObject:words];
      }
      NSString* verdict = [theirs count] == 0 ? @"-" : @"same";
      if (![theirs containsObject:[item title]] && [theirs count] > 0) {
        verdict =
            [@"differs from " stringByAppendingString:[theirs componentsJoinedByString:@" or "]];
      }
      [report appendFormat:@"appkit: %@: %@\n", [item title], verdict];
    }
  }
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
  AppendToolkitWords(report);
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

// The view has caught up with its model: the last of it is drawn in view.
BOOL ShowsEnd(CorvaneLogView* log) {
  const NSRect end = [log rectForOffset:[log model]->store().endOffset()];
  return [log reader].showsEnd() && !NSIsEmptyRect(end) && NSMaxY(end) <= NSHeight([log bounds]);
}

BOOL ShowsFirstLine(CorvaneLogView* log) {
  const LogStore& store = [log model]->store();
  return store.lineAt([log offsetAtPoint:NSMakePoint(10, 2)]) == store.firstLine();
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

// ⌘C, and whether the pasteboard, emptied first, then holds exactly
// `expected`.
BOOL CopiesAs(CorvaneLogView* log, const std::string& expected) {
  NSPasteboard* pasteboard = [NSPasteboard generalPasteboard];
  [pasteboard declareTypes:[NSArray arrayWithObject:NSPasteboardTypeString] owner:nil];
  [pasteboard setString:@"" forType:NSPasteboardTypeString];
  return PressCommandKey(@"c", [log window]) &&
         [[pasteboard stringForType:NSPasteboardTypeString] isEqual:ToNSString(expected)];
}

// A press of the left button where `offset` is drawn, as a reader clicks.
void Click(CorvaneLogView* log, std::uint64_t offset, NSInteger clicks,
           NSEventModifierFlags modifiers = 0) {
  const NSRect rect = [log rectForOffset:offset];
  const NSPoint point = [log convertPoint:NSMakePoint(NSMinX(rect) + 1, NSMidY(rect)) toView:nil];
  [log mouseDown:[NSEvent mouseEventWithType:NSEventTypeLeftMouseDown
                                    location:point
                               modifierFlags:modifiers
                                   timestamp:0
                                windowNumber:[[log window] windowNumber]
                                     context:nil
                                 eventNumber:0
                                  clickCount:clicks
                                    pressure:1]];
}

void PressKey(CorvaneLogView* log, unichar key, NSEventModifierFlags modifiers = 0) {
  NSString* characters = [NSString stringWithCharacters:&key length:1];
  [log keyDown:[NSEvent keyEventWithType:NSEventTypeKeyDown
                                      location:NSZeroPoint
                                 modifierFlags:modifiers
                                     timestamp:0
                                  windowNumber:[[log window] windowNumber]
                                       context:nil
                                    characters:characters
                   charactersIgnoringModifiers:characters
                                     isARepeat:NO
                                       keyCode:0]];
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
// catches up with its model once a frame.
BOOL Await(const std::function<BOOL()>& ready) {
  const NSTimeInterval giveUp = [NSDate timeIntervalSinceReferenceDate] + 20;
  while (!ready()) {
    if ([NSDate timeIntervalSinceReferenceDate] > giveUp) return NO;
    [[NSRunLoop currentRunLoop] runMode:NSDefaultRunLoopMode
                             beforeDate:[NSDate dateWithTimeIntervalSinceNow:0.02]];
  }
  return YES;
}

// How often log views caught up with their models: counted around the view's
// own method.
int updates;
void (*caughtUp)(id, SEL);
void CountUpdate(id view, SEL selector) {
  ++updates;
  caughtUp(view, selector);
}
void CountUpdates() {
  Method method = class_getInstanceMethod([CorvaneLogView class], @selector(readerChanged));
  caughtUp = reinterpret_cast<void (*)(id, SEL)>(method_getImplementation(method));
  method_setImplementation(method, reinterpret_cast<IMP>(&CountUpdate));
}

// Log views of the check's own, driven as a reader would; each finding is a
// line of the report.
void RunLogChecks(NSMutableString* report) {
  std::vector<corvane::InstallerWindow> windows;
  CountUpdates();

  // Small enough that old output goes soon.
  const auto small = std::make_shared<LogModel>(32 * 1024, 4096);
  windows.push_back(corvane::macos::BuildInstallerWindow({}, small));
  NSScrollView* scroll = ScrollViewOf(small.get());
  CorvaneLogView* log = LogViewIn(scroll);
  const LogStore& kept = small->store();
  auto showsEnd = [&] { return ShowsEnd(log); };
  small->append(Lines(0, 400));
  BOOL shown = Await(showsEnd);
  [report appendFormat:@"before the bound: shown %d, no note %d\n", shown, NoteOf(scroll) == nil];

  small->append(Lines(400, 650));
  shown = Await(showsEnd);
  NSTextField* note = NoteOf(scroll);
  [report appendFormat:@"past the bound: shows the end %d, lines dropped %d\n", shown,
                       kept.droppedLines() > 0];
  [report appendFormat:@"note: \"%@\", dimmed %d\n", [note stringValue],
                       [[note textColor] isEqual:[NSColor secondaryLabelColor]]];

  // Scrolled back and at the end again, five appends in one turn: one
  // update draws them.
  PressKey(log, NSPageUpFunctionKey);
  const BOOL left = ![log reader].followsEnd();
  PressKey(log, NSEndFunctionKey);
  updates = 0;
  for (int i = 700; i < 750; i += 10) small->append(Lines(i, i + 10));
  [report appendFormat:@"back at the end: follows %d, in one update %d\n", left && Await(showsEnd),
                       updates == 1];

  // The scroller spans all that is kept; Home, ⌘↑ and the knob reach its
  // first line.
  NSScroller* knob = [scroll verticalScroller];
  // As AppKit asks the scroll view now and then, from the clip view's place.
  [scroll tile];
  [scroll reflectScrolledClipView:[scroll contentView]];
  const BOOL atEnd = [knob doubleValue] == 1 && ![knob isHidden];
  const double visible = [log reader].scroller().page / static_cast<double>(kept.keptBytes());
  const BOOL proportion = std::abs([knob knobProportion] - visible) < 0.01 && visible < 0.2;
  PressKey(log, NSHomeFunctionKey);
  const BOOL byHome = ShowsFirstLine(log) && [knob doubleValue] == 0;
  PressKey(log, NSEndFunctionKey);
  PressKey(log, NSUpArrowFunctionKey, NSEventModifierFlagCommand);
  const BOOL byCommandUp = ShowsFirstLine(log);
  PressKey(log, NSDownArrowFunctionKey, NSEventModifierFlagCommand);
  const BOOL byCommandDown = ShowsEnd(log);
  [knob setDoubleValue:0];
  [log scrollerMoved:knob];
  const BOOL byKnob = ShowsFirstLine(log);
  [knob setDoubleValue:0.5];
  [log scrollerMoved:knob];
  const double middle =
      static_cast<double>([log offsetAtPoint:NSMakePoint(10, 2)] - kept.beginOffset()) /
      static_cast<double>(kept.keptBytes());
  [report appendFormat:@"scroller: at the end %d, in proportion %d, halfway %d\n", atEnd,
                       proportion, std::abs(middle - 0.5) < 0.05];
  [report appendFormat:@"first kept line: by Home %d, by ⌘↑ %d, by the knob %d, ⌘↓ back %d\n",
                       byHome, byCommandUp, byKnob, byCommandDown];
  PressKey(log, NSEndFunctionKey);

  // Line ends of every kind, NUL, a tab, emoji and a line of three segments;
  // a word chosen, then lines dropped before it.
  std::string longLine = "{2 ";
  while (longLine.size() < 10'000) longLine += "abcあいう";
  static constexpr char kLineEnds[] = "{1 crlf\r\ncr\rls\u2028ps\u2029nul\0 tab\t😀 あ 1}\n";
  const std::string lineEnds(kLineEnds, sizeof kLineEnds - 1);
  small->append(lineEnds + longLine + " 2}\n");
  Await(showsEnd);
  [[log window] makeFirstResponder:log];
  const std::uint64_t first = kept.beginOffset() + kept.text().find("{1");
  [log reader].scrollToOffset(first);
  Click(log, first, 1);
  Click(log, first + lineEnds.size() - 1, 1, NSEventModifierFlagShift);
  const BOOL exact = CopiesAs(log, lineEnds.substr(0, lineEnds.size() - 1));
  [log reader].scrollToEnd();
  Click(log, kept.endOffset() - 300, 3);
  const BOOL triple = CopiesAs(log, longLine + " 2}\n");
  [log reader].scrollToOffset(first);
  Click(log, first + 1, 1);
  Click(log, first + 4, 1, NSEventModifierFlagShift);
  small->append(Lines(750, 800));
  [log reader].catchUp();
  const BOOL kept1 = kept.beginOffset() > 0 && kept.beginOffset() < first;
  [report appendFormat:@"copy: line ends, NUL, a tab and emoji %d, a triple-clicked line %d, "
                       @"a selection as lines drop %d\n",
                       exact, triple, kept1 && CopiesAs(log, "1 c")];
  [report appendFormat:@"select all: copies all kept %d\n",
                       PressCommandKey(@"a", [log window]) && CopiesAs(log, kept.text())];

  // VoiceOver: every kept character, in UTF-16 units, NUL as ␀.
  NSString* all = [ToNSString(kept.text()) stringByReplacingOccurrencesOfString:@"\0"
                                                                     withString:@"\u2400"];
  const NSInteger count = [log accessibilityNumberOfCharacters];
  const NSRange last = NSMakeRange([all length] - 40, 40);
  const NSRange lastLine =
      [log accessibilityRangeForLine:[log accessibilityLineForIndex:count - 1]];
  [report
      appendFormat:@"accessibility: count %d, first range %d, last range %d, last line %d\n",
                   count == static_cast<NSInteger>([all length]),
                   [[log accessibilityStringForRange:NSMakeRange(0, 30)]
                       isEqual:[all substringToIndex:30]],
                   [[log accessibilityStringForRange:last] isEqual:[all substringWithRange:last]],
                   NSMaxRange(lastLine) == [all length] &&
                       [[all substringWithRange:lastLine]
                           isEqual:@"line 799 xxxxxxxxxxxxxxxxxxxx\r\n"]];
#ifdef __APPLE__
  // AppKit's word finder knows Japanese words.
  small->append("「設定」を開いてください\n");
  Await(showsEnd);
  Click(log, kept.beginOffset() + kept.text().find("定"), 2);
  [report appendFormat:@"double click: a Japanese word %d\n", CopiesAs(log, "設定")];
#endif
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
  // The view catches up with the model once a frame: each stage waits for it.
  const BOOL shown = log != nil && ShowsEnd(log);
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
    @try {
      RunLogChecks(views);
    } @catch (NSException* exception) {
      [views appendFormat:@"exception: %@: %@\n", [exception name], [exception reason]];
    }
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
  // What VoiceOver would have said last: the outcome, first of all.
  NSInteger priority = 0;
  NSString* announced = CorvaneLastAnnouncement(&priority);
  [report appendFormat:@"announced: \"%@\" first %d\n", announced,
                       priority == NSAccessibilityPriorityHigh];
#endif
  AppendMenus(report);
  [report appendFormat:@"log:\n%@", text];
  [report writeToFile:reportPath atomically:YES encoding:NSUTF8StringEncoding error:NULL];
  [views writeToFile:[reportPath stringByAppendingString:@".views"]
          atomically:YES
            encoding:NSUTF8StringEncoding
               error:NULL];
  [lastButton performClick:nil];
}

@end
