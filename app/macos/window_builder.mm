#include "window_builder.h"

#import <AppKit/AppKit.h>

#include <cfloat>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#import "string_bridge.h"

// The buttons' target. NSButton does not retain its target, so each button's
// adapter below keeps it alive.
@interface CorvaneWindowActions : NSObject {
  // Here rather than in the @implementation, for GCC's Objective-C runtime.
  corvane::WindowActions _actions;
}
- (instancetype)initWithActions:(corvane::WindowActions)actions;
- (void)openInstalledApp:(id)sender;
- (void)quit:(id)sender;
@end

@implementation CorvaneWindowActions

- (instancetype)initWithActions:(corvane::WindowActions)actions {
  self = [super init];
  if (self != nil) _actions = std::move(actions);
  return self;
}

- (void)openInstalledApp:(id)sender {
  if (_actions.openInstalledApp) _actions.openInstalledApp();
}

- (void)quit:(id)sender {
  if (_actions.quit) _actions.quit();
}

@end

namespace corvane::macos {
namespace {

class AppKitWindow final : public Window {
 public:
  explicit AppKitWindow(NSWindow* window) : window_(window) {}
  ~AppKitWindow() override { [window_ close]; }

 private:
  NSWindow* window_;
};

class AppKitStatusLabel final : public StatusLabel {
 public:
  explicit AppKitStatusLabel(NSTextField* label) : label_(label) {}
  void setText(const std::string& text) override { [label_ setStringValue:ToNSString(text)]; }

 private:
  NSTextField* label_;
};

class AppKitSpinner final : public Spinner {
 public:
  explicit AppKitSpinner(NSProgressIndicator* indicator) : indicator_(indicator) {}
  void stopAnimation() override { [indicator_ stopAnimation:nil]; }

 private:
  NSProgressIndicator* indicator_;
};

class AppKitButton final : public Button {
 public:
  AppKitButton(NSButton* button, CorvaneWindowActions* target) : button_(button), target_(target) {}
  void setEnabled(bool enabled) override { [button_ setEnabled:enabled ? YES : NO]; }

 private:
  NSButton* button_;
  // Held only to keep the button's target alive.
  [[maybe_unused]] CorvaneWindowActions* target_;
};

class AppKitLogView final : public LogView {
 public:
  AppKitLogView(NSTextView* view, NSDictionary* attributes)
      : view_(view), attributes_(attributes) {}

  // Text appended to the storage without attributes would be drawn in the
  // default font and in black, unreadable in dark mode, so each piece carries
  // the log view's own font and colour. The append costs only the new text.
  void appendText(std::string_view text) override {
    // Taken before the text grows: a user who scrolled up to read keeps their
    // place, one at the end goes on following it.
    followsEnd_ = ShowsEnd();
    if (text.empty()) return;
    NSAttributedString* piece = [[NSAttributedString alloc] initWithString:ToNSString(text)
                                                                attributes:attributes_];
    [[view_ textStorage] appendAttributedString:piece];
  }

  void scrollToEnd() override {
    if (!followsEnd_) return;
    [view_ scrollRangeToVisible:NSMakeRange([[view_ textStorage] length], 0)];
  }

 private:
  bool ShowsEnd() const {
    const NSRect visible = [view_ visibleRect];
    const CGFloat height = NSHeight([view_ frame]);
    return NSMaxY(visible) >= height - 1 || height <= NSHeight(visible) + 1;
  }

  NSTextView* view_;
  NSDictionary* attributes_;
  bool followsEnd_ = true;
};

NSButton* MakePushButton(NSString* title, CorvaneWindowActions* target, SEL action, NSRect frame) {
  NSButton* button = [NSButton buttonWithTitle:title target:target action:action];
  [button setFrame:frame];
  return button;
}

}  // namespace

InstallerWindow BuildInstallerWindow(WindowActions actions) {
  CorvaneWindowActions* target = [[CorvaneWindowActions alloc] initWithActions:std::move(actions)];

  NSWindow* window =
      [[NSWindow alloc] initWithContentRect:NSMakeRect(0, 0, 620, 420)
                                  styleMask:NSWindowStyleMaskTitled | NSWindowStyleMaskClosable |
                                            NSWindowStyleMaskMiniaturizable
                                    backing:NSBackingStoreBuffered
                                      defer:NO];
  // The Window adapter owns the window; AppKit's default would release it a
  // second time when the user closes it.
  [window setReleasedWhenClosed:NO];
  [window setTitle:@"Corvane Installer"];
  [window center];
  NSView* content = [window contentView];

  NSTextField* heading = [NSTextField labelWithString:@"Corvane をインストールしています"];
  [heading setFont:[NSFont boldSystemFontOfSize:20]];
  [heading setFrame:NSMakeRect(28, 362, 560, 28)];
  [content addSubview:heading];

  NSTextField* statusLabel = [NSTextField labelWithString:@"環境構築を準備しています..."];
  [statusLabel setFont:[NSFont systemFontOfSize:13]];
  [statusLabel setTextColor:[NSColor secondaryLabelColor]];
  [statusLabel setFrame:NSMakeRect(28, 336, 500, 20)];
  [content addSubview:statusLabel];

  NSProgressIndicator* spinner =
      [[NSProgressIndicator alloc] initWithFrame:NSMakeRect(558, 334, 24, 24)];
  [spinner setStyle:NSProgressIndicatorStyleSpinning];
  [spinner setIndeterminate:YES];
  [spinner setDisplayedWhenStopped:NO];
  [spinner startAnimation:nil];
  [content addSubview:spinner];

  NSScrollView* logScrollView = [[NSScrollView alloc] initWithFrame:NSMakeRect(28, 74, 564, 246)];
  [logScrollView setBorderType:NSBezelBorder];
  [logScrollView setHasVerticalScroller:YES];
  [logScrollView setAutohidesScrollers:YES];

  // As wide as what the bezel and the scroller leave, and following that
  // width when the scroller comes or goes: as wide as the scroll view's outer
  // frame, the end of every wrapped line would lie under an always-shown
  // scroller. It grows downward with its text for the scroll view to scroll.
  const NSSize logSize = [logScrollView contentSize];
  NSTextView* logView =
      [[NSTextView alloc] initWithFrame:NSMakeRect(0, 0, logSize.width, logSize.height)];
  [logView setEditable:NO];
  NSFont* logFont = [NSFont monospacedSystemFontOfSize:12 weight:NSFontWeightRegular];
  NSColor* logColor = [NSColor labelColor];
  [logView setFont:logFont];
  [logView setTextColor:logColor];
  [logView setMinSize:NSMakeSize(0, logSize.height)];
  [logView setMaxSize:NSMakeSize(FLT_MAX, FLT_MAX)];
  [logView setVerticallyResizable:YES];
  [logView setHorizontallyResizable:NO];
  [logView setAutoresizingMask:NSViewWidthSizable];
  [[logView textContainer] setContainerSize:NSMakeSize(logSize.width, FLT_MAX)];
  [[logView textContainer] setWidthTracksTextView:YES];
  [logScrollView setDocumentView:logView];
  [content addSubview:logScrollView];

  NSButton* openButton = MakePushButton(@"アプリを開く", target, @selector(openInstalledApp:),
                                        NSMakeRect(370, 24, 106, 32));
  [openButton setEnabled:NO];
  [content addSubview:openButton];

  NSButton* quitButton =
      MakePushButton(@"閉じる", target, @selector(quit:), NSMakeRect(486, 24, 106, 32));
  [content addSubview:quitButton];

  [window makeKeyAndOrderFront:nil];
  // From macOS 14 on, activateIgnoringOtherApps: no longer brings the
  // application to the front.
  if (@available(macOS 14.0, *)) {
    [NSApp activate];
  } else {
    [NSApp activateIgnoringOtherApps:YES];
  }

  // The log view keeps these past this autorelease pool: made with alloc, so
  // it is owned under manual counting too, not only under ARC.
  NSDictionary* logAttributes =
      [[NSDictionary alloc] initWithObjectsAndKeys:logFont, NSFontAttributeName, logColor,
                                                   NSForegroundColorAttributeName, nil];
  return InstallerWindow{
      .window = std::make_shared<AppKitWindow>(window),
      .statusLabel = std::make_shared<AppKitStatusLabel>(statusLabel),
      .logView = std::make_shared<AppKitLogView>(logView, logAttributes),
      .spinner = std::make_shared<AppKitSpinner>(spinner),
      .openButton = std::make_shared<AppKitButton>(openButton, target),
      .quitButton = std::make_shared<AppKitButton>(quitButton, target),
  };
}

}  // namespace corvane::macos
