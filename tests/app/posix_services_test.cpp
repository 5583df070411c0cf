#include "corvane/app/posix_services.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "corvane/engine/install_plan.h"
#include "temp_dir.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

// The install script inherits HOME: it must be the home the installer uses.
TEST(PosixServices, HomeThatIsNotAnAbsolutePathIsTakenFromThePasswordDatabase) {
  const std::string entry = ::getpwuid(::getuid())->pw_dir;
  const char* was = std::getenv("HOME");
  const std::string saved = was != nullptr ? was : "";
  for (const char* home : {"", ".", static_cast<const char*>(nullptr)}) {
    home != nullptr ? ::setenv("HOME", home, 1) : ::unsetenv("HOME");
    SettleHomeEnvironment();
    EXPECT_STREQ(std::getenv("HOME"), entry.c_str());
    EXPECT_EQ(UserHomeDirectory(), entry);
  }
  ::setenv("HOME", "/elsewhere", 1);
  SettleHomeEnvironment();
  EXPECT_STREQ(std::getenv("HOME"), "/elsewhere");
  ::setenv("HOME", saved.c_str(), 1);
}

// Our children running the app, as the system lists them.
int RunningChildren() {
  const std::string command = "pgrep -P " + std::to_string(::getpid()) +
                              " -f Contents/MacOS/Corvan[e]";  // [e]: not the shell that runs this
  FILE* pgrep = ::popen(command.c_str(), "r");
  int count = 0;
  for (int c; (c = std::fgetc(pgrep)) != EOF;) count += c == '\n';
  ::pclose(pgrep);
  return count;
}

// Opened again while the copy it started still runs, an app is not started a
// second time; once that copy has ended, it is.
TEST(PosixServices, AnAppStillRunningIsNotStartedTwice) {
  testing::TempDir dir;
  const fs::path stop = dir.path() / "stop";
  const fs::path app = dir.path() / "Corvane.app/Contents/MacOS/Corvane";
  testing::WriteFile(
      app, "#!/bin/bash\nwhile [ ! -e " + ShellQuote(stop.string()) + " ]; do sleep 0.01; done\n");
  fs::permissions(app, fs::perms::owner_all);
  EXPECT_EQ(BundleExecutablePath((dir.path() / "Corvane.app/").string()), app.string());
  // Ends the copy running and waits until it has (a zombie is not listed).
  auto end = [&] {
    testing::WriteFile(stop, "");
    while (RunningChildren() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    fs::remove(stop);
  };
  AppLauncher launcher;
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(launcher.open(app.string()));
  EXPECT_EQ(RunningChildren(), 1);
  end();
  EXPECT_TRUE(launcher.open(app.string()));
  EXPECT_EQ(RunningChildren(), 1);
  end();
  EXPECT_FALSE(launcher.open((dir.path() / "missing").string()));
}

}  // namespace
}  // namespace corvane
