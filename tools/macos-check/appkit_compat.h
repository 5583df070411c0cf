// Check-only: force-included when tools/check-macos-sources compiles the
// AppKit front end against GNUstep. Declares, with the signatures of the macOS
// 13 SDK, what GNUstep 0.29 lacks, so the sources compile here unchanged.
// Nothing here is linked or run.
#pragma once

#import <AppKit/AppKit.h>

@interface NSTextField (CorvaneMacOSCheck)
+ (instancetype)labelWithString:(NSString*)stringValue;
@end

@interface NSButton (CorvaneMacOSCheck)
+ (instancetype)buttonWithTitle:(NSString*)title target:(id)target action:(SEL)action;
@end

@interface NSApplication (CorvaneMacOSCheck)
- (void)activate;  // macOS 14
@end

@interface NSFont (CorvaneMacOSCheck)
+ (NSFont*)monospacedSystemFontOfSize:(CGFloat)fontSize weight:(NSFontWeight)weight;
@end

// GNUstep spells it NSProgressIndicatorSpinningStyle.
static const NSProgressIndicatorStyle NSProgressIndicatorStyleSpinning =
    NSProgressIndicatorSpinningStyle;
