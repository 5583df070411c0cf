// What GNUstep 0.29 lacks or answers differently, for running the AppKit front
// end under tools/test-appkit: the newer AppKit factory methods, the main
// dispatch queue (Debian has no libdispatch), the home directory and the main
// bundle's resources, activities and relaunching at login, a pasteboard no
// other program shares, GNUstep's reaping of children it did not start, and
// the Apple Event manager, with a stand-in for a sender of quit events.
// Built with manual reference counting.
#import "appkit_run.h"

#undef resourcePath
#undef NSHomeDirectory
#undef beginActivityWithOptions
#undef endActivity

#include <dispatch/dispatch.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

@implementation NSTextField (CorvaneMacOSCheck)
+ (instancetype)labelWithString:(NSString*)stringValue {
  NSTextField* label = [[[self alloc] initWithFrame:NSZeroRect] autorelease];
  [label setStringValue:stringValue];
  [label setEditable:NO];
  [label setSelectable:NO];
  [label setBezeled:NO];
  [label setBordered:NO];
  [label setDrawsBackground:NO];
  [[label cell] setWraps:NO];
  [[label cell] setLineBreakMode:NSLineBreakByClipping];
  [label sizeToFit];
  return label;
}
@end

@implementation NSButton (CorvaneMacOSCheck)
+ (instancetype)buttonWithTitle:(NSString*)title target:(id)target action:(SEL)action {
  NSButton* button = [[[self alloc] initWithFrame:NSZeroRect] autorelease];
  [button setButtonType:NSMomentaryPushInButton];
  [button setBezelStyle:NSRoundedBezelStyle];
  [button setTitle:title];
  [button setTarget:target];
  [button setAction:action];
  [button sizeToFit];
  return button;
}
@end

namespace {
int relaunchOnLoginDisabled;
}  // namespace

@implementation NSApplication (CorvaneMacOSCheck)
- (void)activate {
  [self activateIgnoringOtherApps:YES];
}
- (void)disableRelaunchOnLogin {
  ++relaunchOnLoginDisabled;
}
@end

int CorvaneRelaunchOnLoginDisabled(void) { return relaunchOnLoginDisabled; }

// GNUstep has no Apple Event manager: a quit has no event, as one the user
// asked for has none, unless the stand-in below hands the app one.
namespace {
NSAppleEventDescriptor* currentAppleEvent;
}  // namespace

@implementation NSAppleEventManager (CorvaneMacOSCheck)
+ (NSAppleEventManager*)sharedAppleEventManager {
  static NSAppleEventManager* shared = nil;
  if (shared == nil) shared = [[NSAppleEventManager alloc] init];
  return shared;
}
- (NSAppleEventDescriptor*)currentAppleEvent {
  return currentAppleEvent;
}
@end

@implementation NSAppleEventDescriptor (CorvaneMacOSCheck)
- (NSAppleEventDescriptor*)attributeDescriptorForKeyword:(AEKeyword)keyword {
  return nil;
}
- (NSAppleEventDescriptor*)paramDescriptorForKeyword:(AEKeyword)keyword {
  return nil;
}
- (OSType)typeCodeValue {
  return 0;
}
- (OSType)enumCodeValue {
  return 0;
}
@end

// The general pasteboard is shared by every GNUstep program of the user on
// this machine, other test runs among them; each run takes one of its own,
// replacing GNUstep's method on purpose.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wobjc-protocol-method-implementation"
@implementation NSPasteboard (CorvaneAppKitRun)
+ (NSPasteboard*)generalPasteboard {
  static NSPasteboard* own = [[NSPasteboard pasteboardWithUniqueName] retain];
  return own;
}
@end
#pragma clang diagnostic pop

// An activity's token. The list of those not ended holds them unretained:
// one freed before its end was not kept by whoever began it.
@interface CorvaneActivity : NSObject {
 @public
  NSActivityOptions _options;
  NSString* _reason;
}
@end

namespace {
NSMutableArray* HeldActivities() {
  static NSMutableArray* held = [[NSMutableArray alloc] init];
  return held;
}
bool activityDropped;
}  // namespace

@implementation CorvaneActivity
- (void)dealloc {
  NSValue* token = [NSValue valueWithPointer:self];
  if ([HeldActivities() containsObject:token]) {
    activityDropped = true;
    [HeldActivities() removeObject:token];
  }
  [_reason release];
  [super dealloc];
}
@end

@implementation NSProcessInfo (CorvaneAppKitRun)
- (id)corvaneBeginActivityWithOptions:(NSActivityOptions)options reason:(NSString*)reason {
  CorvaneActivity* activity = [[[CorvaneActivity alloc] init] autorelease];
  activity->_options = options;
  activity->_reason = [reason copy];
  [HeldActivities() addObject:[NSValue valueWithPointer:activity]];
  return activity;
}
- (void)corvaneEndActivity:(id)activity {
  [HeldActivities() removeObject:[NSValue valueWithPointer:activity]];
}
@end

int CorvaneUserInitiatedActivities(void) {
  if (activityDropped) return -1;
  int held = 0;
  for (NSValue* token in HeldActivities()) {
    CorvaneActivity* activity = static_cast<CorvaneActivity*>([token pointerValue]);
    if ((activity->_options & NSActivityUserInitiated) == NSActivityUserInitiated &&
        [activity->_reason length] > 0) {
      ++held;
    }
  }
  return held;
}

@implementation NSTextContainer (CorvaneMacOSCheck)
- (instancetype)initWithSize:(NSSize)size {
  return [self initWithContainerSize:size];
}
@end

@implementation NSScrollView (CorvaneMacOSCheck)
- (NSScrollerStyle)scrollerStyle {
  return NSScrollerStyleLegacy;
}
- (void)flashScrollers {
}
@end

@implementation NSEvent (CorvaneMacOSCheck)
- (CGFloat)scrollingDeltaY {
  return [self deltaY];
}
- (BOOL)hasPreciseScrollingDeltas {
  return NO;
}
@end

// GNUstep draws no focus rings of this kind, and no view into a layer of
// its own.
@implementation NSView (CorvaneMacOSCheck)
- (void)noteFocusRingMaskChanged {
  [self setNeedsDisplay:YES];
}
- (id)layer {
  return nil;
}
@end

@implementation NSColor (CorvaneMacOSCheck)
+ (NSColor*)unemphasizedSelectedTextBackgroundColor {
  return [NSColor secondarySelectedControlColor];
}
@end

namespace {
NSString* lastAnnouncement;
NSInteger lastAnnouncementPriority;
}  // namespace

// Takes the place of GNUstep's, which drops it: the check reads what the
// window last announced.
void NSAccessibilityPostNotificationWithUserInfo(id, NSString* notification, NSDictionary* info) {
  if (![notification isEqual:NSAccessibilityAnnouncementRequestedNotification]) return;
  [lastAnnouncement release];
  lastAnnouncement = [[info objectForKey:NSAccessibilityAnnouncementKey] copy];
  lastAnnouncementPriority = [[info objectForKey:NSAccessibilityPriorityKey] integerValue];
}

NSString* CorvaneLastAnnouncement(NSInteger* priority) {
  *priority = lastAnnouncementPriority;
  return lastAnnouncement;
}

@implementation NSFont (CorvaneMacOSCheck)
+ (NSFont*)monospacedSystemFontOfSize:(CGFloat)fontSize weight:(NSFontWeight)weight {
  return [self userFixedPitchFontOfSize:fontSize];
}
@end

// Once GNUstep has started a process of its own (it starts its notification
// daemon at launch), its SIGCHLD handler reaps every child, and the runner's
// waitpid could lose the install script's exit status to it. macOS reaps no
// one else's children. Blocked before any thread exists, the signal never
// reaches that handler; the runner clears the mask for the script.
__attribute__((constructor)) static void LeaveChildrenToTheirWaiters() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

NSString* CorvaneHomeDirectory(void) {
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return NSHomeDirectory();
  return [[NSFileManager defaultManager] stringWithFileSystemRepresentation:home
                                                                     length:std::strlen(home)];
}

@implementation NSBundle (CorvaneAppKitRun)
// What macOS answers: X.app/Contents/Resources for an executable in
// X.app/Contents/MacOS, else the executable's own folder.
- (NSString*)corvaneResourcePath {
  if (self != [NSBundle mainBundle]) return [self resourcePath];
  NSString* folder = [[self executablePath] stringByDeletingLastPathComponent];
  NSString* contents = [folder stringByDeletingLastPathComponent];
  if ([[folder lastPathComponent] isEqual:@"MacOS"] &&
      [[contents lastPathComponent] isEqual:@"Contents"] &&
      [[[contents stringByDeletingLastPathComponent] pathExtension] isEqual:@"app"]) {
    return [contents stringByAppendingPathComponent:@"Resources"];
  }
  return folder;
}
@end

// The main queue: work posted from any thread runs on the main thread's run
// loop, one item at a time, in the order posted.
@interface CorvaneQueuedWork : NSObject {
  void* _context;
  dispatch_function_t _work;
}
- (instancetype)initWithContext:(void*)context work:(dispatch_function_t)work;
- (void)run;
@end

@implementation CorvaneQueuedWork
- (instancetype)initWithContext:(void*)context work:(dispatch_function_t)work {
  self = [super init];
  if (self != nil) {
    _context = context;
    _work = work;
  }
  return self;
}
- (void)run {
  _work(_context);
}
@end

struct dispatch_queue_s {};

namespace {

dispatch_queue_s mainQueue;

NSArray* CommonModes() {
  return [NSArray arrayWithObjects:NSDefaultRunLoopMode, NSModalPanelRunLoopMode,
                                   NSEventTrackingRunLoopMode, nil];
}

std::uint64_t Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * NSEC_PER_SEC +
         static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace

dispatch_queue_t dispatch_get_main_queue(void) { return &mainQueue; }

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta) {
  const std::uint64_t base = when == DISPATCH_TIME_NOW ? Now() : when;
  return base + static_cast<std::uint64_t>(delta);
}

void dispatch_async_f(dispatch_queue_t, void* context, dispatch_function_t work) {
  // The install runner posts from threads GNUstep did not start.
  GSRegisterCurrentThread();
  NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
  CorvaneQueuedWork* item = [[[CorvaneQueuedWork alloc] initWithContext:context
                                                                   work:work] autorelease];
  [item performSelectorOnMainThread:@selector(run)
                         withObject:nil
                      waitUntilDone:NO
                              modes:CommonModes()];
  [pool drain];
}

// Called on the main thread only, as the controller does; the work runs on the
// calling thread's run loop.
void dispatch_after_f(dispatch_time_t when, dispatch_queue_t, void* context,
                      dispatch_function_t work) {
  const std::uint64_t now = Now();
  const double delay = when > now ? static_cast<double>(when - now) / NSEC_PER_SEC : 0;
  CorvaneQueuedWork* item = [[[CorvaneQueuedWork alloc] initWithContext:context
                                                                   work:work] autorelease];
  [item performSelector:@selector(run) withObject:nil afterDelay:delay inModes:CommonModes()];
}

// A quit Apple Event as a Mac delivers one, and the code of its reason: an
// attribute of type 'type', as the system sets it, or a parameter of type
// 'enum', as a script's constant is, which reads as a type only by coercion.
@interface CorvaneAppleEvent : NSAppleEventDescriptor {
 @public
  OSType _code;
  BOOL _enumerated;
  NSAppleEventDescriptor* _attribute;
  NSAppleEventDescriptor* _parameter;
}
@end

@implementation CorvaneAppleEvent
- (void)dealloc {
  [_attribute release];
  [_parameter release];
  [super dealloc];
}
- (NSAppleEventDescriptor*)attributeDescriptorForKeyword:(AEKeyword)keyword {
  return keyword == kAEQuitReason ? _attribute : nil;
}
- (NSAppleEventDescriptor*)paramDescriptorForKeyword:(AEKeyword)keyword {
  return keyword == kAEQuitReason ? _parameter : nil;
}
- (OSType)typeCodeValue {
  return _enumerated ? 0 : _code;
}
- (OSType)enumCodeValue {
  return _code;
}
@end

// Stands in for a sender of quit events (tests/macos/quit_reasons.sh): with
// CORVANE_APPKIT_APPLE_EVENTS naming a file, a line "FORM CODE" written to it
// (FORM attribute, parameter or none; CODE four characters) is taken as the
// quit event it describes: the application is asked to terminate while it is
// the current event. An app that refuses lives on to write "refused" to
// FILE.reply.
@interface CorvaneQuitEvents : NSObject
@end

@implementation CorvaneQuitEvents
+ (void)load {
  if (std::getenv("CORVANE_APPKIT_APPLE_EVENTS") == nullptr) return;
  [[NSNotificationCenter defaultCenter] addObserver:self
                                           selector:@selector(launched:)
                                               name:NSApplicationDidFinishLaunchingNotification
                                             object:nil];
}
+ (void)launched:(NSNotification*)notification {
  NSTimer* timer = [NSTimer timerWithTimeInterval:0.05
                                           target:self
                                         selector:@selector(poll:)
                                         userInfo:nil
                                          repeats:YES];
  for (NSString* mode in CommonModes()) [[NSRunLoop currentRunLoop] addTimer:timer forMode:mode];
}
+ (void)poll:(NSTimer*)timer {
  NSString* path = [NSString stringWithUTF8String:std::getenv("CORVANE_APPKIT_APPLE_EVENTS")];
  NSString* line = [NSString stringWithContentsOfFile:path
                                             encoding:NSUTF8StringEncoding
                                                error:NULL];
  if (line == nil) return;
  [[NSFileManager defaultManager] removeItemAtPath:path error:NULL];
  NSArray* words =
      [[line stringByTrimmingCharactersInSet:[NSCharacterSet whitespaceAndNewlineCharacterSet]]
          componentsSeparatedByString:@" "];
  NSString* form = [words objectAtIndex:0];
  CorvaneAppleEvent* event = [[CorvaneAppleEvent alloc] init];
  if (![form isEqual:@"none"] && [words count] == 2 && [[words objectAtIndex:1] length] == 4) {
    const char* code = [[words objectAtIndex:1] UTF8String];
    CorvaneAppleEvent* reason = [[CorvaneAppleEvent alloc] init];
    for (int i = 0; i < 4; ++i) {
      reason->_code = reason->_code << 8 | static_cast<unsigned char>(code[i]);
    }
    reason->_enumerated = [form isEqual:@"parameter"];
    if (reason->_enumerated) {
      event->_parameter = reason;
    } else {
      event->_attribute = reason;
    }
  }
  currentAppleEvent = event;
  [NSApp terminate:nil];
  currentAppleEvent = nil;
  [event release];
  [@"refused\n" writeToFile:[path stringByAppendingString:@".reply"]
                 atomically:YES
                   encoding:NSUTF8StringEncoding
                      error:NULL];
}
@end
