#include "platform_services.h"

#import <AppKit/AppKit.h>

#include <string>
#include <utility>

#include "dispatch_main_queue.h"
#import "string_bridge.h"
#include "window_builder.h"

namespace corvane::macos {
namespace {

class AppKitPlatformServices final : public PlatformServices {
 public:
  InstallerWindow buildWindow(WindowActions actions) override {
    return BuildInstallerWindow(std::move(actions));
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

 private:
  const std::shared_ptr<MainQueue> mainQueue_ = MakeDispatchMainQueue();
};

}  // namespace

std::shared_ptr<PlatformServices> MakePlatformServices() {
  return std::make_shared<AppKitPlatformServices>();
}

}  // namespace corvane::macos
