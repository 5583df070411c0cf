// Force-included by tools/test-appkit, which builds and runs the AppKit front
// end against GNUstep. Adds to the declarations of the compile check what this
// build takes from elsewhere, and what the window check reads of it;
// appkit_compat.mm gives them. The Mac build never sees it.
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

// GNUstep's activities do nothing and return nil. These keep the tokens they
// hand out, unretained, so the window check can see what is held.
@interface NSProcessInfo (CorvaneAppKitRun)
- (id)corvaneBeginActivityWithOptions:(NSActivityOptions)options reason:(NSString*)reason;
- (void)corvaneEndActivity:(id)activity;
@end
#define beginActivityWithOptions corvaneBeginActivityWithOptions
#define endActivity corvaneEndActivity

// For the window check: the user-initiated activities begun with a reason and
// not ended yet, or -1 once a token was freed before its end (its holder did
// not keep it); how often relaunching at login was disabled.
int CorvaneUserInitiatedActivities(void);
// The last announcement for VoiceOver, and its priority.
NSString* CorvaneLastAnnouncement(NSInteger* priority);
int CorvaneRelaunchOnLoginDisabled(void);

// For the driven tests, of the find bar that stands in for the system's
// (text_finder.mm): what its field holds (nil while it is closed), whether
// the keys go to it, and the boxes of the matches it highlights in view, in
// the client's view.
NSString* CorvaneFindField(void);
BOOL CorvaneFindFieldHasKeys(void);
NSArray* CorvaneFindHighlights(void);
