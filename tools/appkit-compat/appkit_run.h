// Force-included by tools/test-appkit, which builds and runs the AppKit front
// end against GNUstep. Adds to the declarations of the compile check the two
// answers this build takes from elsewhere; appkit_compat.mm gives them. The
// Mac build never sees it.
#pragma once

#import "../macos-check/appkit_compat.h"

// GNUstep takes the home directory from the password database, whatever $HOME
// says; each run of the test has a home of its own in $HOME.
NSString* CorvaneHomeDirectory(void);
#define NSHomeDirectory CorvaneHomeDirectory

// GNUstep knows no Contents/MacOS bundle layout and sees the executable there
// as a bare tool.
@interface NSBundle (CorvaneAppKitRun)
- (NSString*)corvaneResourcePath;
@end
#define resourcePath corvaneResourcePath
