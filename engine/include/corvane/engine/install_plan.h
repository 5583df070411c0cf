#pragma once

#include <string>
#include <string_view>

namespace corvane {

// Joins a component to a base path with exactly one "/" between them. A
// component that itself holds "/" is appended whole.
std::string AppendPathComponent(std::string_view base, std::string_view component);

// Empty, and so never usable, for an empty resource directory.
std::string PayloadPath(std::string_view resourceDirectory);

// True only when something exists at the path and it is a directory; a
// symbolic link at the last component is followed.
bool IsPayloadUsable(const std::string& payloadPath);

std::string InstallRootPath(std::string_view homeDirectory);
std::string AppBundlePath(std::string_view homeDirectory);
// Where the output of each run is kept: where a Mac keeps an app's logs.
std::string LogFolderPath(std::string_view homeDirectory);

// Single-quotes a string for bash; every byte but the apostrophe is taken
// literally inside the quotes.
std::string ShellQuote(std::string_view text);

std::string ComposeInstallScript(std::string_view payloadPath, std::string_view installRoot,
                                 std::string_view appBundlePath);

}  // namespace corvane
