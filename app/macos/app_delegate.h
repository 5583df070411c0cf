#pragma once

#import <AppKit/AppKit.h>

#include <memory>

namespace corvane {
class InstallerDelegate;
}

// The application object's delegate: owns the controller and hands it the
// application events it acts on.
@interface CorvaneAppDelegate : NSObject <NSApplicationDelegate> {
  // Instance variables live here, not in the @implementation: GCC's
  // Objective-C runtime, which the AppKit layer is also tested on, only
  // takes them in the @interface.
  std::shared_ptr<corvane::InstallerDelegate> _controller;
  NSFileHandle* _terminationSignals;
}
- (void)applicationWillFinishLaunching:(NSNotification*)notification;
- (void)applicationDidFinishLaunching:(NSNotification*)notification;
- (NSApplicationTerminateReply)applicationShouldTerminate:(NSApplication*)sender;
- (BOOL)applicationShouldTerminateAfterLastWindowClosed:(NSApplication*)sender;
- (BOOL)applicationSupportsSecureRestorableState:(NSApplication*)app;
@end
