#import <AppKit/AppKit.h>

#import "app_delegate.h"
#include "corvane/engine/inherited_state.h"

int main(int, char**) {
  // Before anything opens a file: a closed descriptor 2 would otherwise be
  // taken by the window server connection, and a warning would go into it.
  corvane::SettleInheritedState();
  @autoreleasepool {
    NSApplication* application = [NSApplication sharedApplication];
    // The application holds its delegate weakly; this reference keeps it for
    // the whole event loop, so it must not be released after its last use.
    __attribute__((objc_precise_lifetime)) CorvaneAppDelegate* delegate =
        [[CorvaneAppDelegate alloc] init];
    [application setDelegate:delegate];
    [application run];
  }
  return 0;
}
