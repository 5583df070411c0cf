#include "corvane/engine/install_plan.h"

#include <sys/stat.h>

namespace corvane {

std::string AppendPathComponent(std::string_view base, std::string_view component) {
  std::string path(base);
  if (path.empty() || path.back() != '/') path += '/';
  path += component;
  return path;
}

std::string PayloadPath(std::string_view resourceDirectory) {
  // Without a bundle there is no payload: "payload" alone would be looked for
  // in the working folder, "/payload" at the root.
  if (resourceDirectory.empty()) return {};
  return AppendPathComponent(resourceDirectory, "payload");
}

bool IsPayloadUsable(const std::string& payloadPath) {
  struct stat info {};
  return ::stat(payloadPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string InstallRootPath(std::string_view homeDirectory) {
  return AppendPathComponent(homeDirectory, "Library/Application Support/Corvane");
}

std::string AppBundlePath(std::string_view homeDirectory) {
  return AppendPathComponent(homeDirectory, "Applications/Corvane.app");
}

std::string LogFolderPath(std::string_view homeDirectory) {
  return AppendPathComponent(homeDirectory, "Library/Logs/Corvane Installer");
}

std::string ShellQuote(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '\'';
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

std::string ComposeInstallScript(std::string_view payloadPath, std::string_view installRoot,
                                 std::string_view appBundlePath) {
  std::string script;
  script += "set -euo pipefail\n";
  script += "PAYLOAD=" + ShellQuote(payloadPath) + "\n";
  script += "INSTALL_ROOT=" + ShellQuote(installRoot) + "\n";
  script += "APP_BUNDLE=" + ShellQuote(appBundlePath) + "\n";
  script += "/bin/mkdir -p \"$(/usr/bin/dirname \"$INSTALL_ROOT\")\"\n";
  // The payload came sealed in the signed installer: its copy needs no
  // quarantine of its own, and a quarantined script would not run.
  script += "/usr/bin/ditto --noqtn \"$PAYLOAD\" \"$INSTALL_ROOT\"\n";
  script += "cd \"$INSTALL_ROOT\"\n";
  script += "/bin/chmod +x start.sh scripts/*.sh 2>/dev/null || true\n";
  script += "APP_BUNDLE_PATH=\"$APP_BUNDLE\" ./scripts/install_mac_app.sh\n";
  return script;
}

}  // namespace corvane
