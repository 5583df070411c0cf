#import "app_delegate.h"

#if __has_include(<CoreServices/CoreServices.h>)
#import <CoreServices/CoreServices.h>
#endif

#include <cstdint>
#include <memory>

#include "corvane/app/installer_delegate.h"
#include "corvane/app/posix_services.h"
#include "corvane/app/quit_reason.h"
#include "main_menu.h"
#include "platform_services.h"

namespace {

// The portable rule knows the reasons by the values Apple gives them.
namespace codes = corvane::quit_reason;
static_assert(codes::kQuitAll == static_cast<std::uint32_t>(kAEQuitAll));
static_assert(codes::kReallyLogOut == static_cast<std::uint32_t>(kAEReallyLogOut));
static_assert(codes::kRestart == static_cast<std::uint32_t>(kAERestart));
static_assert(codes::kShutDown == static_cast<std::uint32_t>(kAEShutDown));
static_assert(codes::kLogOut == static_cast<std::uint32_t>(kAELogOut));
static_assert(codes::kShowRestartDialog == static_cast<std::uint32_t>(kAEShowRestartDialog));
static_assert(codes::kShowShutdownDialog == static_cast<std::uint32_t>(kAEShowShutdownDialog));

// A reason's code, whether the sender made it a type or an enumerator.
std::uint32_t CodeOf(NSAppleEventDescriptor* reason) {
  if (reason == nil) return 0;
  const OSType code = [reason typeCodeValue];
  return code != 0 ? code : [reason enumCodeValue];
}

// A logout, restart or shutdown sends the quit event with a reason; ⌘Q, the
// close button and a signal send none.
bool SessionEnding() {
  NSAppleEventDescriptor* event = [[NSAppleEventManager sharedAppleEventManager] currentAppleEvent];
  return corvane::QuitEndsSession(CodeOf([event attributeDescriptorForKeyword:kAEQuitReason]),
                                  CodeOf([event paramDescriptorForKeyword:kAEQuitReason]));
}

}  // namespace

@implementation CorvaneAppDelegate

- (instancetype)init {
  self = [super init];
  if (self != nil) {
    _controller =
        std::make_shared<corvane::InstallerDelegate>(corvane::macos::MakePlatformServices());
  }
  return self;
}

// Before the window: the menu bar is in place when it appears.
- (void)applicationWillFinishLaunching:(NSNotification*)notification {
  corvane::macos::InstallMainMenu();
  // Reopened at the next login, the installer would run the install again
  // unasked.
  [NSApp disableRelaunchOnLogin];
  // A termination signal (Ctrl+C in a terminal, kill) ends the app as
  // quitting does: the script is handed on, not cut off at its next line.
  const int signals = corvane::WatchTerminationSignals();
  if (signals >= 0) {
    _terminationSignals = [[NSFileHandle alloc] initWithFileDescriptor:signals];
    [[NSNotificationCenter defaultCenter] addObserver:self
                                             selector:@selector(terminationSignalled:)
                                                 name:NSFileHandleDataAvailableNotification
                                               object:_terminationSignals];
    // In every common mode, named one by one (GNUstep knows no
    // NSRunLoopCommonModes): a signal during menu tracking, a drag or a modal
    // is not held back until it ends.
    [_terminationSignals
        waitForDataInBackgroundAndNotifyForModes:[NSArray
                                                     arrayWithObjects:NSDefaultRunLoopMode,
                                                                      NSEventTrackingRunLoopMode,
                                                                      NSModalPanelRunLoopMode,
                                                                      nil]];
  }
}

- (void)terminationSignalled:(NSNotification*)notification {
  [NSApp terminate:nil];
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
  _controller->applicationDidFinishLaunching();
}

// The session would take the script and the keeper with it: a logout,
// restart or shutdown is refused while the script runs.
- (NSApplicationTerminateReply)applicationShouldTerminate:(NSApplication*)sender {
  return _controller->applicationShouldTerminate(SessionEnding()) ? NSTerminateNow
                                                                  : NSTerminateCancel;
}

- (void)applicationWillTerminate:(NSNotification*)notification {
  _controller->applicationWillTerminate();
}

- (BOOL)applicationShouldTerminateAfterLastWindowClosed:(NSApplication*)sender {
  return corvane::InstallerDelegate::applicationShouldTerminateAfterLastWindowClosed() ? YES : NO;
}

// The installer restores no state; answering YES keeps macOS 14 from warning
// at launch that restorable state may be decoded insecurely.
- (BOOL)applicationSupportsSecureRestorableState:(NSApplication*)app {
  return YES;
}

@end
