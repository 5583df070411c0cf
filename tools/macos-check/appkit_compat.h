// Force-included when the AppKit front end is compiled against GNUstep: by
// tools/check-macos-sources, and by tools/test-appkit, whose compatibility
// layer (tools/appkit-compat) implements these. Declares, with the signatures
// of the macOS SDK, what GNUstep 0.29 lacks, so the sources compile here
// unchanged. The Mac build never sees it.
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
- (void)disableRelaunchOnLogin;
@end

@interface NSTextContainer (CorvaneMacOSCheck)
- (instancetype)initWithSize:(NSSize)size;  // macOS 10.11
@end

@interface NSFont (CorvaneMacOSCheck)
+ (NSFont*)monospacedSystemFontOfSize:(CGFloat)fontSize weight:(NSFontWeight)weight;
@end

@interface NSScrollView (CorvaneMacOSCheck)
- (NSScrollerStyle)scrollerStyle;  // macOS 10.7
- (void)flashScrollers;
@end

@interface NSEvent (CorvaneMacOSCheck)
- (CGFloat)scrollingDeltaY;  // macOS 10.7
- (BOOL)hasPreciseScrollingDeltas;
@end

@interface NSView (CorvaneMacOSCheck)
- (void)noteFocusRingMaskChanged;  // macOS 10.7
- (id)layer;                       // a CALayer, which GNUstep has not
@end

@interface NSResponder (CorvaneMacOSCheck)
- (void)performTextFinderAction:(id)sender;  // macOS 10.7
@end

// A scroll view holds the find bar on macOS 10.7 and later; GNUstep's has
// none. GNUstep spells the protocol's isFindBarVisible "isfindBarVisible".
@interface NSScrollView (CorvaneTextFinder) <NSTextFinderBarContainer>
- (NSView*)findBarView;
- (void)setFindBarView:(NSView*)view;
- (BOOL)isFindBarVisible;
- (void)setFindBarVisible:(BOOL)visible;
- (void)findBarViewDidChangeHeight;
@end

@interface NSColor (CorvaneMacOSCheck)
+ (NSColor*)unemphasizedSelectedTextBackgroundColor;  // macOS 10.14
@end

// GNUstep's Apple Event classes are empty, and its headers have no Apple
// Event constants; here the quit event's reason and its values.
typedef OSType AEKeyword;
enum : OSType {
  kAEQuitReason = 0x7768793F,          // 'why?'
  kAEQuitAll = 0x71756961,             // 'quia'
  kAELogOut = 0x6C6F676F,              // 'logo'
  kAEReallyLogOut = 0x726C676F,        // 'rlgo'
  kAEShowRestartDialog = 0x72727374,   // 'rrst'
  kAERestart = 0x72657374,             // 'rest'
  kAEShowShutdownDialog = 0x7273646E,  // 'rsdn'
  kAEShutDown = 0x73687574,            // 'shut'
};

@interface NSAppleEventManager (CorvaneMacOSCheck)
+ (NSAppleEventManager*)sharedAppleEventManager;
- (NSAppleEventDescriptor*)currentAppleEvent;
@end

@interface NSAppleEventDescriptor (CorvaneMacOSCheck)
- (NSAppleEventDescriptor*)attributeDescriptorForKeyword:(AEKeyword)keyword;
- (NSAppleEventDescriptor*)paramDescriptorForKeyword:(AEKeyword)keyword;
- (OSType)typeCodeValue;
- (OSType)enumCodeValue;
@end

// GNUstep spells it NSProgressIndicatorSpinningStyle.
static const NSProgressIndicatorStyle NSProgressIndicatorStyleSpinning =
    NSProgressIndicatorSpinningStyle;

// GNUstep has only the older names.
static const NSEventModifierFlags NSEventModifierFlagShift = NSShiftKeyMask;
static const NSEventModifierFlags NSEventModifierFlagControl = NSControlKeyMask;
static const NSEventModifierFlags NSEventModifierFlagOption = NSAlternateKeyMask;
static const NSEventModifierFlags NSEventModifierFlagCommand = NSCommandKeyMask;
static const NSEventType NSEventTypeKeyDown = NSKeyDown;
static const NSEventType NSEventTypeLeftMouseDown = NSLeftMouseDown;
