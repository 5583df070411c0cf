#import "app_delegate.h"

#if __has_include(<CoreServices/CoreServices.h>)
#import <CoreServices/CoreServices.h>
#endif

#include <memory>

#include "corvane/app/installer_delegate.h"
#include "corvane/app/posix_services.h"
#include "main_menu.h"
#include "platform_services.h"

namespace {

// A logout, restart or shutdown sends the quit event with a reason; ⌘Q, the
// close button and a signal send none.
bool SessionEnding() {
  NSAppleEventDescriptor* event = [[NSAppleEventManager sharedAppleEventManager] currentAppleEvent];
  NSAppleEventDescriptor* reason = [event attributeDescriptorForKeyword:kAEQuitReason];
  if (reason == nil) return false;
  OSType code = [reason typeCodeValue];
  if (code == 0) code = [reason enumCodeValue];
  static const OSType kEndings[] = {kAELogOut,  kAEReallyLogOut,       kAEShowRestartDialog,
                                    kAERestart, kAEShowShutdownDialog, kAEShutDown};
  for (const OSType ending : kEndings) {
    if (code == ending) return true;
  }
  return false;
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
