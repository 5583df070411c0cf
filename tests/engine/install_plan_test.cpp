#include "corvane/engine/install_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "script_run.h"
#include "temp_dir.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::RunScript;
using testing::TempDir;
using testing::WriteFile;

TEST(InstallPlan, PayloadMustBeADirectoryOrALinkToOne) {
  TempDir dir;
  const std::string payload = PayloadPath(dir.path().string());
  EXPECT_FALSE(IsPayloadUsable(payload));
  WriteFile(payload, "");
  EXPECT_FALSE(IsPayloadUsable(payload)) << "a plain file";
  fs::remove(payload);
  fs::create_directories(dir.path() / "real");
  fs::create_directory_symlink(dir.path() / "real", payload);
  EXPECT_TRUE(IsPayloadUsable(payload));
  fs::remove(dir.path() / "real");
  EXPECT_FALSE(IsPayloadUsable(payload)) << "a dangling link";
}

TEST(ComposeInstallScript, WorkedExampleIsExact) {
  const std::string script =
      ComposeInstallScript(PayloadPath("/Volumes/Work/Team's Tools/Setup.app/Contents/Resources"),
                           InstallRootPath("/Users/demo"), AppBundlePath("/Users/demo"));
  EXPECT_EQ(script,
            "set -euo pipefail\n"
            "PAYLOAD='/Volumes/Work/Team'\\''s Tools/Setup.app/Contents/Resources/payload'\n"
            "INSTALL_ROOT='/Users/demo/Library/Application Support/Corvane'\n"
            "APP_BUNDLE='/Users/demo/Applications/Corvane.app'\n"
            "/bin/mkdir -p \"$(/usr/bin/dirname \"$INSTALL_ROOT\")\"\n"
            "/usr/bin/ditto --noqtn \"$PAYLOAD\" \"$INSTALL_ROOT\"\n"
            "cd \"$INSTALL_ROOT\"\n"
            "/bin/chmod +x start.sh scripts/*.sh 2>/dev/null || true\n"
            "APP_BUNDLE_PATH=\"$APP_BUNDLE\" ./scripts/install_mac_app.sh\n");
  // Paths join with exactly one slash.
  EXPECT_EQ(PayloadPath("/Setup.app/Contents/Resources/"), "/Setup.app/Contents/Resources/payload");
  EXPECT_EQ(PayloadPath(""), "") << "no bundle, no payload: never one at the root";
}

// The composed script run for real, against a temporary payload and home.
class ComposedScript : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(payload / "scripts/helper.sh", "#!/bin/bash\n");
    WriteFile(payload / "scripts/notes.txt", "not a script\n");
    WriteFile(payload / "data/テキスト.txt", "ペイロード\n");
  }
  testing::ScriptResult Run(const std::string& installScript) {
    WriteFile(payload / "scripts/install_mac_app.sh", "#!/bin/bash\n" + installScript);
    return RunScript(
        ComposeInstallScript(payload.string(), root.string(), AppBundlePath(home.string())));
  }
  static bool Executable(const fs::path& p) {
    return (fs::status(p).permissions() & fs::perms::owner_exec) != fs::perms::none;
  }

  TempDir dir;
  fs::path payload = dir.path() / "Setup.app/Contents/Resources/payload";
  fs::path home = dir.path() / "home";
  fs::path root = InstallRootPath(home.string());
};

// The payload's PATH is not the copy's: with a stranger's tools first on it,
// the copy runs none of them and says nothing.
TEST_F(ComposedScript, CopiesMakesScriptsExecutableAndRunsThePayloadScript) {
  const fs::path tools = dir.path() / "tools";
  const fs::path ran = dir.path() / "a tool from PATH ran";
  for (const char* tool : {"find", "chmod", "cp", "mkdir", "dirname"}) {
    WriteFile(tools / tool, "#!/bin/sh\ntouch " + ShellQuote(ran.string()) + "\n");
    fs::permissions(tools / tool, fs::perms::owner_all);
  }
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", tools.c_str(), 1);
  const auto result =
      Run("printf '%s|%s\\n' \"$PWD\" \"$APP_BUNDLE_PATH\"\necho 'to stderr' >&2\n");
  ::setenv("PATH", path.c_str(), 1);
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.output, root.string() + "|" + AppBundlePath(home.string()) + "\nto stderr\n");
  EXPECT_FALSE(fs::exists(ran));
  EXPECT_EQ(ReadFile(root / "data/テキスト.txt"), "ペイロード\n");
  EXPECT_TRUE(Executable(root / "scripts/helper.sh"));
  EXPECT_FALSE(Executable(root / "scripts/notes.txt"));
}

TEST_F(ComposedScript, SecondRunMergesAndReplacesReadOnlyFiles) {
  ASSERT_EQ(Run("exit 0\n").status, 0);
  WriteFile(root / "left-by-user.txt", "keep me");
  fs::permissions(root / "data/テキスト.txt", fs::perms::owner_read);
  WriteFile(payload / "data/テキスト.txt", "新しい\n");
  fs::remove(payload / "scripts/helper.sh");
  fs::permissions(root / "data", fs::perms::owner_all);
  const auto second = Run("exit 0\n");
  ASSERT_EQ(second.status, 0) << second.output;
  EXPECT_EQ(ReadFile(root / "left-by-user.txt"), "keep me");
  EXPECT_EQ(ReadFile(root / "data/テキスト.txt"), "新しい\n");
  EXPECT_TRUE(fs::exists(root / "scripts/helper.sh")) << "the earlier copy's files stay";
  EXPECT_EQ(fs::status(root / "data").permissions(), fs::perms::owner_all)
      << "a folder already there keeps its mode, as macOS's ditto does";
}

TEST_F(ComposedScript, FailuresEndTheRunWithTheirStatus) {
  // A plain file named Library: no one, root included, can make folders in it.
  home = dir.path() / "other home";
  root = InstallRootPath(home.string());
  WriteFile(home / "Library", "");
  const fs::path marker = dir.path() / "payload script ran";
  const auto result = Run("touch " + ShellQuote(marker.string()) + "\n");
  EXPECT_NE(result.status, 0);
  EXPECT_NE(result.output.find("mkdir"), std::string::npos) << result.output;
  EXPECT_FALSE(fs::exists(marker));
}

}  // namespace
}  // namespace corvane
