#pragma once

#import <AppKit/AppKit.h>

// The application object's delegate: owns the controller and hands it the two
// application events it acts on.
@interface CorvaneAppDelegate : NSObject <NSApplicationDelegate>
- (void)applicationDidFinishLaunching:(NSNotification*)notification;
- (BOOL)applicationShouldTerminateAfterLastWindowClosed:(NSApplication*)sender;
@end
