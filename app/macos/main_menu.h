#pragma once

namespace corvane::macos {

// Sets the application's main menu: the application, Edit and Window menus,
// in Japanese. On macOS ⌘Q, ⌘C, ⌘A, ⌘W and the like reach the app only
// through menu items, so it must exist before the window does.
void InstallMainMenu();

}  // namespace corvane::macos
