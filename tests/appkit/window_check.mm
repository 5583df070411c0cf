// Linked only into test copies of the app: tools/test-appkit's build, and the
// Mac build's CORVANE_APPKIT_CHECK target. With CORVANE_APPKIT_CHECK naming a
// file, it reads the live window once the log ends with
// CORVANE_APPKIT_CHECK_DONE (or after a minute), writes what it found to that
// file and presses the close button; tests/appkit/run_checks.sh compares. A
// log that stops at "paused\n" (the script then waits for FILE.go1) gets the
// follow check: scrolled to the top, the view must stay there; back at the end
// (FILE.go2), it must follow.
#import <AppKit/AppKit.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/param.h>
#include <unistd.h>

@interface CorvaneWindowCheck : NSObject
@end

namespace {

NSString* reportPath;
NSTimeInterval deadline;
int stage;
NSRect readingPlace;
BOOL placeKept;
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

+ (void)tick:(NSTimer*)timer {
  NSScrollView* scroll = nil;
  for (NSWindow* each in [NSApp windows])
    for (NSView* view in [[each contentView] subviews])
      if ([view isKindOfClass:[NSScrollView class]]) scroll = static_cast<NSScrollView*>(view);
  NSWindow* window = [scroll window];
  NSTextView* log = [scroll documentView];
  NSString* text = [[log textStorage] string];
  if (stage == 0 && [text hasSuffix:@"paused\n"]) {
    activitiesDuringRun = ActivitiesHeld();
    [[scroll contentView] scrollToPoint:NSZeroPoint];
    [scroll reflectScrolledClipView:[scroll contentView]];
    readingPlace = [log visibleRect];
    [[NSData data] writeToFile:[reportPath stringByAppendingString:@".go1"] atomically:YES];
    stage = 1;
  } else if (stage == 1 && [text hasSuffix:@"resumed\n"]) {
    placeKept = NSEqualRects(readingPlace, [log visibleRect]);
    // As the user would, to the very end: the layout may not have reached it.
    [log scrollRangeToVisible:NSMakeRange([text length], 0)];
    [[NSData data] writeToFile:[reportPath stringByAppendingString:@".go2"] atomically:YES];
    stage = 2;
  }
  const char* doneText = getenv("CORVANE_APPKIT_CHECK_DONE");
  NSString* done = [NSString stringWithUTF8String:doneText != NULL ? doneText : ""];
  BOOL finished = scroll != nil && [done length] > 0 && [text hasSuffix:done];
  if (!finished && [NSDate timeIntervalSinceReferenceDate] < deadline) return;
  [timer invalidate];

  NSSize size = [[window contentView] frame].size;
  NSMutableString* report = [NSMutableString string];
  [report appendFormat:@"window \"%@\" %gx%g style %lu\n", [window title], size.width, size.height,
                       static_cast<unsigned long>([window styleMask])];
  NSButton* lastButton = nil;
  for (NSView* view in [[window contentView] subviews]) {
    NSRect f = [view frame];
    [report appendFormat:@"%@ %g %g %g %g", NSStringFromClass([view class]), f.origin.x, f.origin.y,
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
  [report appendFormat:@"log as wide as its clip view: %d\nstandard error: %@\n",
                       NSWidth([log frame]) == NSWidth([[scroll contentView] bounds]),
                       StandardErrorTarget()];
  if (stage == 2) {
    [report appendFormat:@"follow: kept %d followed %d\nactivities during the run: %d\n", placeKept,
                         NSMaxY([log visibleRect]) >= NSHeight([log frame]) - 1,
                         activitiesDuringRun];
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
      PressCommandKey(@"a", window) && [log selectedRange].length == [text length];
  const BOOL copied = PressCommandKey(@"c", window) &&
                      [[pasteboard stringForType:NSPasteboardTypeString] isEqual:text];
  [report appendFormat:@"⌘A selects the log: %d, ⌘C copies it: %d\n", selected, copied];

  [report appendFormat:@"log:\n%@", text];
  [report writeToFile:reportPath atomically:YES encoding:NSUTF8StringEncoding error:NULL];
  [lastButton performClick:nil];
}

@end
