#import "app_delegate.h"

#include <memory>

#include "corvane/app/installer_delegate.h"
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

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
  _controller->applicationDidFinishLaunching();
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
