#include "platform_services.h"

#import <AppKit/AppKit.h>

#include <string>
#include <utility>

#include "corvane/app/keeper_copy.h"
#include "corvane/engine/install_plan.h"
#include "dispatch_main_queue.h"
#import "string_bridge.h"
#include "window_builder.h"

namespace corvane::macos {
namespace {

class AppKitPlatformServices final : public PlatformServices {
 public:
  InstallerWindow buildWindow(WindowActions actions, std::shared_ptr<LogModel> log) override {
    return BuildInstallerWindow(std::move(actions), std::move(log));
  }

  std::shared_ptr<MainQueue> mainQueue() override { return mainQueue_; }

  std::string resourceDirectory() override {
    return ToStdString([[NSBundle mainBundle] resourcePath]);
  }

  std::string homeDirectory() override { return ToStdString(NSHomeDirectory()); }

  bool openApplication(const std::string& bundlePath) override {
    // fileURLWithPath: raises on an empty path.
    if (bundlePath.empty()) return false;
    NSURL* url = [NSURL fileURLWithPath:ToNSString(bundlePath)];
    return [[NSWorkspace sharedWorkspace] openURL:url] == YES;
  }

  void terminate() override { [NSApp terminate:nil]; }

  // Run from a copy under the user's caches, so that the disk image the
  // installer came on can be ejected while the keeper holds a run.
  std::string keeperPath() override {
    NSBundle* bundle = [NSBundle mainBundle];
    NSString* identifier = [bundle bundleIdentifier];
    NSString* version = [bundle objectForInfoDictionaryKey:@"CFBundleVersion"];
    if (identifier == nil || ![version isKindOfClass:[NSString class]]) {
      return PlatformServices::keeperPath();
    }
    const std::string caches =
        AppendPathComponent(AppendPathComponent(ToStdString(NSHomeDirectory()), "Library/Caches"),
                            ToStdString(identifier));
    return KeeperCopy(PlatformServices::keeperPath(), caches, ToStdString(version));
  }

  // The program stays on to hold the run: nothing of it stays on screen.
  void withdrawWindow() override {
    for (NSWindow* window in [NSApp windows]) [window orderOut:nil];
  }

  // Hidden, the installer would be throttled by App Nap and its script with
  // it; an activity the user began is not, and keeps idle sleep away too.
  void setRunInProgress(bool inProgress) override {
    NSProcessInfo* process = [NSProcessInfo processInfo];
    if (!inProgress) {
      for (id activity in activity_) [process endActivity:activity];
      [activity_ removeAllObjects];
    } else if ([activity_ count] == 0) {
      id activity = [process beginActivityWithOptions:NSActivityUserInitiated
                                               reason:@"Running the install script"];
      if (activity != nil) [activity_ addObject:activity];
    }
  }

 private:
  const std::shared_ptr<MainQueue> mainQueue_ = MakeDispatchMainQueue();
  // The activity's token, while the run lasts. The array retains it under
  // manual counting as under ARC; made with alloc, it is owned under both.
  NSMutableArray* const activity_ = [[NSMutableArray alloc] init];
};

}  // namespace

std::shared_ptr<PlatformServices> MakePlatformServices() {
  return std::make_shared<AppKitPlatformServices>();
}

}  // namespace corvane::macos
