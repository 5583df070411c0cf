// Linked only into test copies of the app: tools/test-appkit's build, and the
// Mac build's CORVANE_APPKIT_CHECK target. With CORVANE_APPKIT_CHECK naming a
// file, it reads the live window once the log ends with
// CORVANE_APPKIT_CHECK_DONE and the log view shows it (or after a minute),
// writes what it found to that file and presses the close button;
// tests/appkit/run_checks.sh compares. A log that stops at "paused\n" (the
// script then waits for FILE.go1) has the activities held during the run
// counted. The log so far goes into FILE.log as it grows.
//
// With CORVANE_APPKIT_PROBE naming a file instead, it shows the installer's
// window over a log it fills itself (CORVANE_APPKIT_PROBE_ARGS: lines and
// budget) and reports what a reader sees on each press of Pause, for the tests
// that drive it from outside (tests/e2e/log_view_driven.py).
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
#include "log_probe.h"
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

// A menu's items, one a line: title, keys, action, tag; and those of its
// own submenus but the toolkit's Services.
void AppendItems(NSMutableString* report, NSMenu* menu, NSString* indent) {
  for (NSMenuItem* item in [menu itemArray]) {
    if ([item isSeparatorItem]) {
      [report appendFormat:@"%@-\n", indent];
      continue;
    }
    [report appendFormat:@"%@%@ %@%@%@\n", indent, [item title], KeyOf(item),
                         [item action] != NULL ? NSStringFromSelector([item action]) : @"-",
                         [item tag] != 0
                             ? [NSString stringWithFormat:@" %ld", static_cast<long>([item tag])]
                             : @""];
    if ([item submenu] != nil && [item submenu] != [NSApp servicesMenu]) {
      AppendItems(report, [item submenu], [indent stringByAppendingString:@"  "]);
    }
  }
}

// Each menu of the menu bar.
void AppendMenus(NSMutableString* report) {
  for (NSMenuItem* entry in [[NSApp mainMenu] itemArray]) {
    NSMenu* menu = [entry submenu];
    if (menu == nil) continue;
    [report appendFormat:@"menu %@\n", [menu title]];
    AppendItems(report, menu, @"  ");
  }
  [report appendFormat:@"windows menu: %@, services menu: %@\n", [[NSApp windowsMenu] title],
                       [[NSApp servicesMenu] title]];
  AppendToolkitWords(report);
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

// The view has caught up with its model: the last of it is drawn in view.
BOOL ShowsEnd(CorvaneLogView* log) {
  corvane::LogViewCore& core = [log core];
  const corvane::ViewRect end = core.frameFor(core.store().endOffset(), core.store().endOffset());
  return core.reader().showsEnd() && end.height > 0 && end.bottom() <= NSHeight([log bounds]);
}

// The probe: a log view driven from outside.
NSString* probePath;
CorvaneLogView* probeLog;
NSMenu* probeMenu;

// A rectangle of a view, in X's screen pixels: from the top left.
corvane::ViewRect ToScreen(NSView* view, NSRect rect) {
  const NSRect screen = [[view window] convertRectToScreen:[view convertRect:rect toView:nil]];
  return {NSMinX(screen), NSHeight([[NSScreen mainScreen] frame]) - NSMaxY(screen), NSWidth(screen),
          NSHeight(screen)};
}

std::string BytesOf(NSString* text) {
  NSData* bytes = [text dataUsingEncoding:NSUTF8StringEncoding];
  return std::string(static_cast<const char*>([bytes bytes]), [bytes length]);
}

void ReportProbe() {
  NSScroller* bar = [[probeLog enclosingScrollView] verticalScroller];
  corvane::testing::ProbeView view{
      [probeLog core],
      [](const corvane::ViewRect& rect) {
        return ToScreen(probeLog, NSMakeRect(rect.x, rect.y, rect.width, rect.height));
      },
      { 0, 0, NSWidth([probeLog bounds]), NSHeight([probeLog bounds]) },
      {![bar isHidden] && [bar superview] != nil, [bar isEnabled] == YES, [bar doubleValue],
       [bar knobProportion], ToScreen(bar, [bar rectForPart:NSScrollerKnob]),
       ToScreen(bar, [bar rectForPart:NSScrollerKnobSlot])},
      BytesOf([[NSPasteboard generalPasteboard] stringForType:NSPasteboardTypeString]),
      {},
      {}};
#ifndef __APPLE__
  NSInteger priority = 0;
  view.find = {CorvaneFindField() != nil,
               CorvaneFindFieldHasKeys() == YES,
               [[probeLog window] firstResponder] == probeLog,
               ToStdString(CorvaneFindField()),
               ToStdString(CorvaneLastAnnouncement(&priority)),
               std::nullopt,
               {}};
  for (NSValue* box in CorvaneFindHighlights()) {
    const NSRect rect = [box rectValue];
    view.find.highlights.push_back({NSMinX(rect), NSMinY(rect), NSWidth(rect), NSHeight(rect)});
  }
#endif
  NSMenuView* shown = [probeMenu menuRepresentation];
  if ([[shown window] isVisible]) {
    for (NSInteger i = 0; i < [probeMenu numberOfItems]; ++i) {
      NSMenuItem* item = [probeMenu itemAtIndex:i];
      view.menu.push_back({ToStdString([item title]), [item isEnabled] == YES,
                           ToScreen(shown, [shown rectOfItemAtIndex:i]),
                           [shown highlightedItemIndex] == i});
    }
  }
  corvane::testing::WriteProbeReport(ToStdString(probePath), std::move(view));
}

// The sync key is the driver's, not the view's.
void (*sendEvent)(id, SEL, NSEvent*);
void SendEvent(id application, SEL selector, NSEvent* event) {
  if ([event type] == NSKeyDown && [[event charactersIgnoringModifiers] length] > 0 &&
      [[event charactersIgnoringModifiers] characterAtIndex:0] == NSPauseFunctionKey) {
    ReportProbe();
    return;
  }
  sendEvent(application, selector, event);
}

// The context menu, kept to report its items while it is open.
NSMenu* (*menuForEvent)(id, SEL, NSEvent*);
NSMenu* MenuForEvent(id view, SEL selector, NSEvent* event) {
  NSMenu* menu = menuForEvent(view, selector, event);
#if !__has_feature(objc_arc)
  [probeMenu release];
  [menu retain];
#endif
  probeMenu = menu;
  return menu;
}

template <typename Function>
void Replace(Class type, SEL selector, Function replacement, Function* original) {
  Method method = class_getInstanceMethod(type, selector);
  *original = reinterpret_cast<Function>(method_getImplementation(method));
  method_setImplementation(method, reinterpret_cast<IMP>(replacement));
}

NSScrollView* installerLog;

}  // namespace

@implementation CorvaneWindowCheck

+ (void)load {
  if (getenv("CORVANE_APPKIT_PROBE") != NULL) {
    probePath = [[NSString alloc] initWithUTF8String:getenv("CORVANE_APPKIT_PROBE")];
    [[NSNotificationCenter defaultCenter] addObserver:self
                                             selector:@selector(probe:)
                                                 name:NSApplicationDidFinishLaunchingNotification
                                               object:nil];
    return;
  }
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

+ (void)probe:(NSNotification*)notification {
  // Once the installer's own window is up: this one takes its place.
  [self performSelector:@selector(startProbe) withObject:nil afterDelay:0];
}

+ (void)startProbe {
  for (NSWindow* window in [NSApp windows]) [window orderOut:nil];
  int lines = 200'000;
  std::size_t budget = corvane::LogStore::kDefaultBudget;
  if (const char* args = getenv("CORVANE_APPKIT_PROBE_ARGS"))
    sscanf(args, "%d %zu", &lines, &budget);
  const auto model = std::make_shared<LogModel>(budget);
  static std::vector<corvane::InstallerWindow> windows;
  windows.push_back(corvane::macos::BuildInstallerWindow({}, model));
  model->append(corvane::testing::ProbeText(lines));
  for (NSView* view in [[[NSApp keyWindow] contentView] subviews]) {
    if ([view isKindOfClass:[NSScrollView class]])
      probeLog = LogViewIn(static_cast<NSScrollView*>(view));
  }
#ifndef __APPLE__
  // GNUstep binds Home and End to paragraphs; a Mac to the document.
  if (const char* bindings = getenv("CORVANE_APPKIT_KEY_BINDINGS")) {
    [[NSInputManager currentInputManager]
        loadBindingsFromFile:[NSString stringWithUTF8String:bindings]];
  }
#endif
  Replace([NSApplication class], @selector(sendEvent:), &SendEvent, &sendEvent);
  Replace([CorvaneLogView class], @selector(menuForEvent:), &MenuForEvent, &menuForEvent);
  // A menu is tracked with the keys held back: it is reported as it opens.
  NSTimer* timer = [NSTimer timerWithTimeInterval:0.05
                                           target:self
                                         selector:@selector(watchProbe:)
                                         userInfo:nil
                                          repeats:YES];
  [[NSRunLoop currentRunLoop] addTimer:timer forMode:NSDefaultRunLoopMode];
  [[NSRunLoop currentRunLoop] addTimer:timer forMode:NSEventTrackingRunLoopMode];
}

+ (void)watchProbe:(NSTimer*)timer {
  static BOOL started = NO;
  static NSInteger menuShown = -2;
  static NSTimeInterval endShown = 0;
  NSScroller* bar = [[probeLog enclosingScrollView] verticalScroller];
  // Once the end is drawn and the scroller set to it; a scroller that never
  // is gets reported as it is a second later.
  if (!started && ShowsEnd(probeLog)) {
    const NSTimeInterval now = [NSDate timeIntervalSinceReferenceDate];
    if (endShown == 0) endShown = now;
    started = [bar isHidden] != [probeLog core].scroller().on || now - endShown > 1;
    if (started) ReportProbe();
  }
  // Once it is tracked (shown, placed where a press on it goes), and as the
  // pointer takes an item.
  NSMenuView* shown = [probeMenu menuRepresentation];
  const NSInteger open = [[shown window] isVisible] && [[[NSRunLoop currentRunLoop] currentMode]
                                                           isEqual:NSEventTrackingRunLoopMode]
                             ? [shown highlightedItemIndex]
                             : -2;
  if (open != -2 && open != menuShown) ReportProbe();
  menuShown = open;
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
  NSString* text = log != nil ? ToNSString([log core].store().text()) : @"";
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
  [lastButton performClick:nil];
}

@end
