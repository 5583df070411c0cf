#import "app_delegate.h"

#include <memory>

#include "corvane/app/installer_delegate.h"
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
