// Linked only into tools/test-appkit's build. With CORVANE_APPKIT_CHECK naming
// a file, it reads the live window once the log ends with
// CORVANE_APPKIT_CHECK_DONE (or after a minute), writes what it found to that
// file and presses the close button. A log that stops at "paused\n" (the
// script then waits for FILE.go1) gets the follow check: scrolled to the top,
// the view must stay there; back at the end (FILE.go2), it must follow.
#import <AppKit/AppKit.h>
#include <unistd.h>

@interface CorvaneWindowCheck : NSObject
@end

@implementation CorvaneWindowCheck

static NSString* reportPath;
static NSTimeInterval deadline;
static int stage;
static NSRect readingPlace;
static BOOL placeKept;

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
      if ([view isKindOfClass:[NSScrollView class]]) scroll = (NSScrollView*)view;
  NSWindow* window = [scroll window];
  NSTextView* log = [scroll documentView];
  NSString* text = [[log textStorage] string];
  if (stage == 0 && [text hasSuffix:@"paused\n"]) {
    [[scroll contentView] scrollToPoint:NSZeroPoint];
    [scroll reflectScrolledClipView:[scroll contentView]];
    readingPlace = [log visibleRect];
    [@"" writeToFile:[reportPath stringByAppendingString:@".go1"] atomically:YES];
    stage = 1;
  } else if (stage == 1 && [text hasSuffix:@"resumed\n"]) {
    placeKept = NSEqualRects(readingPlace, [log visibleRect]);
    // As the user would, to the very end: the layout may not have reached it.
    [log scrollRangeToVisible:NSMakeRange([text length], 0)];
    [@"" writeToFile:[reportPath stringByAppendingString:@".go2"] atomically:YES];
    stage = 2;
  }
  NSString* done = [NSString stringWithUTF8String:getenv("CORVANE_APPKIT_CHECK_DONE") ?: ""];
  BOOL finished = scroll != nil && [done length] > 0 && [text hasSuffix:done];
  if (!finished && [NSDate timeIntervalSinceReferenceDate] < deadline) return;
  [timer invalidate];

  NSSize size = [[window contentView] frame].size;
  NSMutableString* report = [NSMutableString string];
  [report appendFormat:@"window \"%@\" %gx%g style %lu\n", [window title], size.width, size.height,
                       (unsigned long)[window styleMask]];
  NSButton* lastButton = nil;
  for (NSView* view in [[window contentView] subviews]) {
    NSRect f = [view frame];
    [report appendFormat:@"%@ %g %g %g %g", [view className], f.origin.x, f.origin.y, f.size.width,
                         f.size.height];
    if ([view isKindOfClass:[NSButton class]]) {
      lastButton = (NSButton*)view;
      [report appendFormat:@" \"%@\" enabled %d", [lastButton title], [lastButton isEnabled]];
    } else if ([view isKindOfClass:[NSTextField class]]) {
      [report appendFormat:@" \"%@\"", [(NSTextField*)view stringValue]];
    }
    [report appendString:@"\n"];
  }
  char target[4096] = "closed";
  const ssize_t length = readlink("/proc/self/fd/2", target, sizeof target - 1);
  if (length >= 0) target[length] = '\0';
  [report appendFormat:@"log as wide as its clip view: %d\nstandard error: %s\n",
                       NSWidth([log frame]) == NSWidth([[scroll contentView] bounds]), target];
  if (stage == 2) {
    [report appendFormat:@"follow: kept %d followed %d\n", placeKept,
                         NSMaxY([log visibleRect]) >= NSHeight([log frame]) - 1];
  }
  [report appendFormat:@"log:\n%@", text];
  [report writeToFile:reportPath atomically:YES encoding:NSUTF8StringEncoding error:NULL];
  [lastButton performClick:nil];
}

@end
