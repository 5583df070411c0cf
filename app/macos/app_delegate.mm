#import "app_delegate.h"

#include <memory>

#include "corvane/app/installer_delegate.h"
#include "corvane/app/posix_services.h"
#include "main_menu.h"
#include "platform_services.h"

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
    [_terminationSignals waitForDataInBackgroundAndNotify];
  }
}

- (void)terminationSignalled:(NSNotification*)notification {
  [NSApp terminate:nil];
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
  _controller->applicationDidFinishLaunching();
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
