#include "corvane/engine/install_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "script_run.h"
#include "temp_dir.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using testing::kExecutable;
using testing::ReadFile;
using testing::RunScript;
using testing::TempDir;
using testing::WriteFile;

const std::string kTemplateLines[] = {
    "/bin/mkdir -p \"$(/usr/bin/dirname \"$INSTALL_ROOT\")\"\n",
    "/usr/bin/ditto \"$PAYLOAD\" \"$INSTALL_ROOT\"\n",
    "cd \"$INSTALL_ROOT\"\n",
    "/bin/chmod +x start.sh scripts/*.sh 2>/dev/null || true\n",
    "APP_BUNDLE_PATH=\"$APP_BUNDLE\" ./scripts/install_mac_app.sh\n",
};

TEST(InstallPlan, PathsJoinWithExactlyOneSlash) {
  EXPECT_EQ(PayloadPath("/Applications/Setup.app/Contents/Resources"),
            "/Applications/Setup.app/Contents/Resources/payload");
  EXPECT_EQ(PayloadPath("/Applications/Setup.app/Contents/Resources/"),
            "/Applications/Setup.app/Contents/Resources/payload");
  EXPECT_EQ(InstallRootPath("/Users/demo"), "/Users/demo/Library/Application Support/Corvane");
  EXPECT_EQ(AppBundlePath("/Users/demo"), "/Users/demo/Applications/Corvane.app");
  EXPECT_EQ(AppBundlePath("/"), "/Applications/Corvane.app");
}

TEST(InstallPlan, PayloadMustBeADirectoryOrALinkToOne) {
  TempDir dir;
  const fs::path resources = dir.path() / "Resources";
  fs::create_directories(resources);
  const std::string payload = PayloadPath(resources.string());
  EXPECT_FALSE(IsPayloadUsable(payload));

  WriteFile(payload, "not a directory");
  EXPECT_FALSE(IsPayloadUsable(payload));
  fs::remove(payload);

  fs::create_directories(dir.path() / "real payload");
  fs::create_directory_symlink(dir.path() / "real payload", payload);
  EXPECT_TRUE(IsPayloadUsable(payload));

  fs::remove_all(dir.path() / "real payload");
  EXPECT_FALSE(IsPayloadUsable(payload)) << "a dangling link is not a payload";
}

TEST(ShellQuote, QuotesOnlyApostrophes) {
  EXPECT_EQ(ShellQuote("/Users/demo/Library/Application Support/Corvane"),
            "'/Users/demo/Library/Application Support/Corvane'");
  EXPECT_EQ(ShellQuote("/Volumes/Work/Team's Tools/Setup.app/Contents/Resources/payload"),
            "'/Volumes/Work/Team'\\''s Tools/Setup.app/Contents/Resources/payload'");
  EXPECT_EQ(ShellQuote("$HOME/a b"), "'$HOME/a b'");
  EXPECT_EQ(ShellQuote(""), "''");
  EXPECT_EQ(ShellQuote("'"), "''\\'''");
  EXPECT_EQ(ShellQuote("'").size(), 6U);
}

// bash must hand back exactly the quoted string, whatever it holds. The words
// go to a file, so the bytes are compared before any decoding.
void ExpectRoundTrip(const std::vector<std::string>& inputs) {
  TempDir dir;
  const fs::path out = dir.path() / "words";
  std::string script = "exec >" + ShellQuote(out.string()) + "\n";
  for (const auto& input : inputs) script += "printf '%s\\0' " + ShellQuote(input) + "\n";
  const auto result = RunScript(script);
  ASSERT_EQ(result.status, 0) << result.output.substr(0, 2000);
  const std::string written = ReadFile(out);
  std::vector<std::string> echoed;
  std::size_t start = 0;
  for (std::size_t i = 0; i < written.size(); ++i) {
    if (written[i] == '\0') {
      echoed.push_back(written.substr(start, i - start));
      start = i + 1;
    }
  }
  ASSERT_EQ(echoed.size(), inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) EXPECT_EQ(echoed[i], inputs[i]) << i;
}

TEST(ShellQuote, BashReadsBackHostileStrings) {
  ExpectRoundTrip({"", "'", "''", "a'b'c", "\"", "$(touch /tmp/corvane-pwned)", "`id`", "\\", "\\'",
                   "a\nb\n", "$HOME ${PATH} $1 $@ !! ~ *", "日本語 の パス", "tab\there",
                   "end with backslash\\", "\x7f\x1b[31mred"});
  EXPECT_FALSE(fs::exists("/tmp/corvane-pwned"));
}

TEST(ShellQuote, BashReadsBackRandomBytes) {
  std::mt19937 random(20261206);
  std::uniform_int_distribution<int> byte(1, 255);  // argv cannot carry NUL
  std::uniform_int_distribution<int> length(0, 40);
  std::vector<std::string> inputs;
  for (int i = 0; i < 3000; ++i) {
    std::string s(static_cast<std::size_t>(length(random)), ' ');
    for (char& c : s) c = static_cast<char>(byte(random));
    inputs.push_back(std::move(s));
  }
  ExpectRoundTrip(inputs);
}

TEST(ComposeInstallScript, WorkedExampleIsExact) {
  const std::string home = "/Users/demo";
  const std::string script =
      ComposeInstallScript(PayloadPath("/Volumes/Work/Team's Tools/Setup.app/Contents/Resources"),
                           InstallRootPath(home), AppBundlePath(home));
  std::string expected =
      "set -euo pipefail\n"
      "PAYLOAD='/Volumes/Work/Team'\\''s Tools/Setup.app/Contents/Resources/payload'\n"
      "INSTALL_ROOT='/Users/demo/Library/Application Support/Corvane'\n"
      "APP_BUNDLE='/Users/demo/Applications/Corvane.app'\n";
  for (const auto& line : kTemplateLines) expected += line;
  EXPECT_EQ(script, expected);
  EXPECT_EQ(script.size(), 436U);
  EXPECT_EQ(std::count(script.begin(), script.end(), '\n'), 9);
  EXPECT_EQ(script.back(), '\n');
  // Each "%@" of the template becomes the two apostrophes of an empty string.
  EXPECT_EQ(ComposeInstallScript("", "", "").size(), 287U);
}

// A real install run against a temporary payload and home.
class ComposedScript : public ::testing::Test {
 protected:
  void SetUp() override {
    payload = dir.path() / "Setup.app/Contents/Resources/payload";
    home = dir.path() / "home";
    fs::create_directories(home);
    WriteFile(payload / "start.sh", "#!/bin/bash\necho started\n");
    WriteFile(payload / "scripts/helper.sh", "#!/bin/bash\n");
    WriteFile(payload / "scripts/notes.txt", "not a script\n");
    WriteFile(payload / "data/テキスト.txt", "ペイロード\n");
  }

  void SetInstallScript(const std::string& body) {
    WriteFile(payload / "scripts/install_mac_app.sh", "#!/bin/bash\n" + body);
  }

  testing::ScriptResult Run() {
    return RunScript(ComposeInstallScript(payload.string(), InstallRootPath(home.string()),
                                          AppBundlePath(home.string())));
  }

  fs::path Root() const { return InstallRootPath(home.string()); }

  TempDir dir;
  fs::path payload;
  fs::path home;
};

TEST_F(ComposedScript, CopiesMakesScriptsExecutableAndRunsThePayloadScript) {
  SetInstallScript(
      "printf 'cwd=%s\\n' \"$PWD\"\n"
      "printf 'app=%s\\n' \"$APP_BUNDLE_PATH\"\n"
      "echo 'to stderr' >&2\n");
  const auto result = Run();
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.output,
            "cwd=" + Root().string() + "\napp=" + AppBundlePath(home.string()) + "\nto stderr\n");
  EXPECT_EQ(ReadFile(Root() / "data/テキスト.txt"), "ペイロード\n");
  auto executable = [](const fs::path& p) {
    return (fs::status(p).permissions() & fs::perms::owner_exec) != fs::perms::none;
  };
  EXPECT_TRUE(executable(Root() / "start.sh"));
  EXPECT_TRUE(executable(Root() / "scripts/helper.sh"));
  EXPECT_TRUE(executable(Root() / "scripts/install_mac_app.sh"));
  EXPECT_FALSE(executable(Root() / "scripts/notes.txt"));
}

TEST_F(ComposedScript, SecondRunMergesAndReplacesReadOnlyFiles) {
  SetInstallScript("exit 0\n");
  ASSERT_EQ(Run().status, 0);
  WriteFile(Root() / "left-by-user.txt", "keep me");
  fs::permissions(Root() / "data/テキスト.txt", fs::perms::owner_read);
  WriteFile(payload / "data/テキスト.txt", "新しい\n");
  fs::remove(payload / "start.sh");

  const auto second = Run();
  ASSERT_EQ(second.status, 0) << second.output;
  EXPECT_EQ(ReadFile(Root() / "left-by-user.txt"), "keep me");
  EXPECT_EQ(ReadFile(Root() / "data/テキスト.txt"), "新しい\n");
  EXPECT_TRUE(fs::exists(Root() / "start.sh")) << "the earlier copy's files stay";
}

TEST_F(ComposedScript, PayloadScriptStatusIsTheRunsStatus) {
  SetInstallScript("echo failing\nexit 1\n");
  EXPECT_EQ(Run().status, 1);

  // A fresh home: a merge would keep the earlier copy's script.
  fs::remove(payload / "scripts/install_mac_app.sh");
  home = dir.path() / "other home";
  const auto missing = Run();
  EXPECT_EQ(missing.status, 127);
  EXPECT_NE(missing.output.find("install_mac_app.sh"), std::string::npos) << missing.output;
}

TEST_F(ComposedScript, UncreatableLibraryStopsBeforeThePayloadScript) {
  // A plain file named Library: no one, root included, can make folders in it.
  const fs::path marker = dir.path() / "payload script ran";
  SetInstallScript("touch " + ShellQuote(marker.string()) + "\n");
  WriteFile(home / "Library", "");
  const auto result = Run();
  EXPECT_NE(result.status, 0);
  EXPECT_NE(result.output.find("mkdir"), std::string::npos) << result.output;
  EXPECT_FALSE(fs::exists(marker));
}

}  // namespace
}  // namespace corvane
