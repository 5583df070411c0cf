#include "window_builder.h"

#import <AppKit/AppKit.h>

#include <memory>
#include <string>
#include <utility>

#include "corvane/app/window_layout.h"
#import "log_view.h"
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

// Every status is spoken as it is shown; once the spinner has stopped it is
// the outcome, which comes before anything else VoiceOver has to say.
class AppKitStatusLabel final : public StatusLabel {
 public:
  AppKitStatusLabel(NSTextField* label, std::shared_ptr<bool> ended)
      : label_(label), ended_(std::move(ended)) {}
  void setText(const std::string& text) override {
    NSString* status = ToNSString(text);
    [label_ setStringValue:status];
    NSDictionary* announcement = [NSDictionary
        dictionaryWithObjectsAndKeys:status, NSAccessibilityAnnouncementKey,
                                     [NSNumber
                                         numberWithInteger:*ended_ ? NSAccessibilityPriorityHigh
                                                                   : NSAccessibilityPriorityMedium],
                                     NSAccessibilityPriorityKey, nil];
    // From the window the status is in, rather than the application at large.
    NSAccessibilityPostNotificationWithUserInfo(
        [label_ window], NSAccessibilityAnnouncementRequestedNotification, announcement);
  }

 private:
  NSTextField* label_;
  std::shared_ptr<bool> ended_;
};

class AppKitSpinner final : public Spinner {
 public:
  AppKitSpinner(NSProgressIndicator* indicator, std::shared_ptr<bool> ended)
      : indicator_(indicator), ended_(std::move(ended)) {}
  void stopAnimation() override {
    [indicator_ stopAnimation:nil];
    *ended_ = true;
  }

 private:
  NSProgressIndicator* indicator_;
  std::shared_ptr<bool> ended_;
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

NSRect RectOf(const layout::Frame& frame) {
  return NSMakeRect(frame.x, frame.y, frame.width, frame.height);
}

NSButton* MakePushButton(NSString* title, CorvaneWindowActions* target, SEL action, NSRect frame) {
  NSButton* button = [NSButton buttonWithTitle:title target:target action:action];
  [button setFrame:frame];
  return button;
}

}  // namespace

InstallerWindow BuildInstallerWindow(WindowActions actions, std::shared_ptr<LogModel> log) {
  CorvaneWindowActions* target = [[CorvaneWindowActions alloc] initWithActions:std::move(actions)];

  NSWindow* window = [[NSWindow alloc]
      initWithContentRect:NSMakeRect(0, 0, layout::kContentWidth, layout::kContentHeight)
                styleMask:NSWindowStyleMaskTitled | NSWindowStyleMaskClosable |
                          NSWindowStyleMaskMiniaturizable
                  backing:NSBackingStoreBuffered
                    defer:NO];
  // The Window adapter owns the window; AppKit's default would release it a
  // second time when the user closes it.
  [window setReleasedWhenClosed:NO];
  [window setTitle:ToNSString(layout::kTitle)];
  [window center];
  NSView* content = [window contentView];

  NSTextField* heading = [NSTextField labelWithString:ToNSString(layout::kHeadingText)];
  [heading setFont:[NSFont boldSystemFontOfSize:layout::kHeadingPoints]];
  [heading setFrame:RectOf(layout::kHeading)];
  [content addSubview:heading];

  NSTextField* statusLabel = [NSTextField labelWithString:ToNSString(layout::kInitialStatus)];
  [statusLabel setFont:[NSFont systemFontOfSize:layout::kStatusPoints]];
  [statusLabel setTextColor:[NSColor secondaryLabelColor]];
  [statusLabel setFrame:RectOf(layout::kStatus)];
  [content addSubview:statusLabel];

  NSProgressIndicator* spinner =
      [[NSProgressIndicator alloc] initWithFrame:RectOf(layout::kSpinner)];
  [spinner setStyle:NSProgressIndicatorStyleSpinning];
  [spinner setIndeterminate:YES];
  [spinner setDisplayedWhenStopped:NO];
  [spinner startAnimation:nil];
  [content addSubview:spinner];

  [content addSubview:[CorvaneLogView scrollViewWithFrame:RectOf(layout::kLog)
                                                    model:std::move(log)]];

  NSButton* openButton = MakePushButton(ToNSString(layout::kOpenTitle), target,
                                        @selector(openInstalledApp:), RectOf(layout::kOpenButton));
  [openButton setEnabled:NO];
  [content addSubview:openButton];

  NSButton* quitButton = MakePushButton(ToNSString(layout::kQuitTitle), target, @selector(quit:),
                                        RectOf(layout::kQuitButton));
  [content addSubview:quitButton];

  [window makeKeyAndOrderFront:nil];
  // From macOS 14 on, activateIgnoringOtherApps: no longer brings the
  // application to the front.
  if (@available(macOS 14.0, *)) {
    [NSApp activate];
  } else {
    [NSApp activateIgnoringOtherApps:YES];
  }

  auto ended = std::make_shared<bool>(false);
  return InstallerWindow{
      .window = std::make_shared<AppKitWindow>(window),
      .statusLabel = std::make_shared<AppKitStatusLabel>(statusLabel, ended),
      .spinner = std::make_shared<AppKitSpinner>(spinner, ended),
      .openButton = std::make_shared<AppKitButton>(openButton, target),
      .quitButton = std::make_shared<AppKitButton>(quitButton, target),
  };
}

}  // namespace corvane::macos
