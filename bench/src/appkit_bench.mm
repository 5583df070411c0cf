// Linked into a copy of the AppKit front end by `tools/test-appkit --bench
// FILE`, in place of the window check. Once the app has launched it drives a
// log view of its own, measures it and writes one line per figure to FILE,
// in bench/run's format, then quits:
// - one update of the view (the reader catching up, then drawing) after 16 MB
//   arrived in one turn, the view following the end;
// - one scroll step (three rows) with 100 MB kept, drawn.
#import <AppKit/AppKit.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "corvane/app/log_model.h"
#import "log_view.h"
#include "window_builder.h"

namespace {

double Ms(std::chrono::steady_clock::duration elapsed) {
  return std::chrono::duration<double, std::milli>(elapsed).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// About `bytes` of numbered 80-byte lines.
std::string Lines(std::size_t bytes, std::size_t& number) {
  std::string text;
  text.reserve(bytes + 100);
  char line[96];
  while (text.size() < bytes) {
    const int n = std::snprintf(line, sizeof line, "%010zu %068d\n", number++, 7);
    text.append(line, static_cast<std::size_t>(n));
  }
  return text;
}

CorvaneLogView* LogViewOf(const std::shared_ptr<corvane::LogModel>& model) {
  for (NSWindow* window in [NSApp windows]) {
    for (NSView* view in [[window contentView] subviews]) {
      if (![view isKindOfClass:[NSScrollView class]]) continue;
      id document = [static_cast<NSScrollView*>(view) documentView];
      if (![document isKindOfClass:[CorvaneLogView class]]) continue;
      CorvaneLogView* log = static_cast<CorvaneLogView*>(document);
      if (&[log core].model() == model.get()) return log;
    }
  }
  return nil;
}

// A figure with no bar of its own: context for the others.
std::string Info(const char* what, double ms) {
  char value[32];
  char line[200];
  std::snprintf(value, sizeof value, "%.1f ms", ms);
  std::snprintf(line, sizeof line, "%-9s %-9s %-34s %-30s %-18s info\n", "gnustep", "appkit", what,
                value, "");
  return line;
}

std::string Figure(const char* what, double ms, double bar) {
  char value[32];
  char limit[32];
  char line[200];
  std::snprintf(value, sizeof value, "%.1f ms", ms);
  std::snprintf(limit, sizeof limit, "<= %.0f ms", bar);
  std::snprintf(line, sizeof line, "%-9s %-9s %-34s %-30s bar %-14s %s\n", "gnustep", "appkit",
                what, value, limit, ms <= bar ? "ok" : "SHORT");
  return line;
}

void Measure(const char* path) {
  std::vector<corvane::InstallerWindow> windows;
  auto model = std::make_shared<corvane::LogModel>();
  windows.push_back(corvane::macos::BuildInstallerWindow({}, model));
  CorvaneLogView* log = LogViewOf(model);
  std::size_t number = 0;
  std::string report;

  // 16 MB in one turn, appended as the runner hands it over, in passes of
  // 256 KiB; then one update, drawn.
  std::vector<double> updates;
  for (int run = 0; run < 5; ++run) {
    const std::string text = Lines(std::size_t{16} << 20, number);
    for (std::size_t at = 0; at < text.size(); at += std::size_t{256} << 10) {
      model->append(std::string_view(text).substr(at, std::size_t{256} << 10));
    }
    const auto start = std::chrono::steady_clock::now();
    [log core].reader().catchUp();
    [log display];
    updates.push_back(Ms(std::chrono::steady_clock::now() - start));
  }
  report += Figure("one update after 16 MB in one turn", Median(updates), 16);

  // 100 MB kept, the reader somewhere in the middle; a line a step, drawn.
  while (model->store().keptBytes() < std::size_t{100} << 20) {
    model->append(Lines(std::size_t{8} << 20, number));
  }
  [log core].reader().catchUp();
  [log core].reader().scrollToValue([log core].reader().scroller().range / 2);
  // Three rows a step, as a wheel's notch goes, always into rows not yet laid out.
  std::vector<double> steps;
  for (int step = 0; step < 200; ++step) {
    const auto start = std::chrono::steady_clock::now();
    [log core].reader().scrollBy(45);
    [log display];
    steps.push_back(Ms(std::chrono::steady_clock::now() - start));
  }
  std::sort(steps.begin(), steps.end());
  report += Figure("scroll step, 100 MB kept", Median(steps), 8);
  report += Info("its 95th percentile", steps[steps.size() * 95 / 100]);
  std::FILE* out = std::fopen(path, "w");
  if (out != nullptr) {
    std::fputs(report.c_str(), out);
    std::fclose(out);
  }
}

}  // namespace

@interface CorvaneAppKitBench : NSObject
@end

@implementation CorvaneAppKitBench

+ (void)load {
  if (getenv("CORVANE_APPKIT_BENCH") == NULL) return;
  [[NSNotificationCenter defaultCenter] addObserver:self
                                           selector:@selector(launched:)
                                               name:NSApplicationDidFinishLaunchingNotification
                                             object:nil];
}

+ (void)launched:(NSNotification*)notification {
  [self performSelector:@selector(run) withObject:nil afterDelay:0.5];
}

+ (void)run {
  Measure(getenv("CORVANE_APPKIT_BENCH"));
  [NSApp terminate:nil];
}

@end
