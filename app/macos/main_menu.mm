#include "main_menu.h"

#import <AppKit/AppKit.h>

namespace corvane::macos {
namespace {

// The menus and their items live as long as the application: made with
// alloc, they are owned under manual counting too, and never released.

// Every item targets the first responder: the text view copies and selects,
// the window closes and minimises, the application answers the rest.
void AddItem(NSMenu* menu, NSString* title, SEL action, NSString* key,
             NSEventModifierFlags modifiers = NSEventModifierFlagCommand) {
  NSMenuItem* item = [[NSMenuItem alloc] initWithTitle:title action:action keyEquivalent:key];
  [item setKeyEquivalentModifierMask:modifiers];
  [menu addItem:item];
}

NSMenu* AddSubmenu(NSMenu* parent, NSString* title) {
  NSMenu* submenu = [[NSMenu alloc] initWithTitle:title];
  NSMenuItem* item = [[NSMenuItem alloc] initWithTitle:title action:NULL keyEquivalent:@""];
  [parent addItem:item];
  [parent setSubmenu:submenu forItem:item];
  return submenu;
}

}  // namespace

void InstallMainMenu() {
  NSMenu* mainMenu = [[NSMenu alloc] initWithTitle:@"Corvane Installer"];

  // Worded and ordered as macOS's own Japanese menus: no space before a
  // particle, the Services submenu filled by the system.
  NSMenu* appMenu = AddSubmenu(mainMenu, @"Corvane Installer");
  AddItem(appMenu, @"Corvane Installerについて", @selector(orderFrontStandardAboutPanel:), @"");
  [appMenu addItem:[NSMenuItem separatorItem]];
  NSMenu* servicesMenu = AddSubmenu(appMenu, @"サービス");
  [appMenu addItem:[NSMenuItem separatorItem]];
  AddItem(appMenu, @"Corvane Installerを非表示", @selector(hide:), @"h");
  AddItem(appMenu, @"ほかを非表示", @selector(hideOtherApplications:), @"h",
          NSEventModifierFlagOption | NSEventModifierFlagCommand);
  AddItem(appMenu, @"すべてを表示", @selector(unhideAllApplications:), @"");
  [appMenu addItem:[NSMenuItem separatorItem]];
  AddItem(appMenu, @"Corvane Installerを終了", @selector(terminate:), @"q");

  NSMenu* editMenu = AddSubmenu(mainMenu, @"編集");
  AddItem(editMenu, @"コピー", @selector(copy:), @"c");
  AddItem(editMenu, @"すべてを選択", @selector(selectAll:), @"a");

  NSMenu* windowMenu = AddSubmenu(mainMenu, @"ウインドウ");
  AddItem(windowMenu, @"しまう", @selector(performMiniaturize:), @"m");
  AddItem(windowMenu, @"ウインドウを閉じる", @selector(performClose:), @"w");
  [windowMenu addItem:[NSMenuItem separatorItem]];
  AddItem(windowMenu, @"すべてを手前に移動", @selector(arrangeInFront:), @"");

  [NSApp setMainMenu:mainMenu];
  [NSApp setServicesMenu:servicesMenu];
  [NSApp setWindowsMenu:windowMenu];
}

}  // namespace corvane::macos
