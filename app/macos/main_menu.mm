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

NSMenu* AddSubmenu(NSMenu* mainMenu, NSString* title) {
  NSMenu* submenu = [[NSMenu alloc] initWithTitle:title];
  NSMenuItem* item = [[NSMenuItem alloc] initWithTitle:title action:NULL keyEquivalent:@""];
  [item setSubmenu:submenu];
  [mainMenu addItem:item];
  return submenu;
}

}  // namespace

void InstallMainMenu() {
  NSMenu* mainMenu = [[NSMenu alloc] initWithTitle:@"Corvane Installer"];

  NSMenu* appMenu = AddSubmenu(mainMenu, @"Corvane Installer");
  AddItem(appMenu, @"Corvane Installer について", @selector(orderFrontStandardAboutPanel:), @"");
  [appMenu addItem:[NSMenuItem separatorItem]];
  AddItem(appMenu, @"Corvane Installer を隠す", @selector(hide:), @"h");
  AddItem(appMenu, @"ほかを隠す", @selector(hideOtherApplications:), @"h",
          NSEventModifierFlagOption | NSEventModifierFlagCommand);
  AddItem(appMenu, @"すべてを表示", @selector(unhideAllApplications:), @"");
  [appMenu addItem:[NSMenuItem separatorItem]];
  AddItem(appMenu, @"Corvane Installer を終了", @selector(terminate:), @"q");

  NSMenu* editMenu = AddSubmenu(mainMenu, @"編集");
  AddItem(editMenu, @"コピー", @selector(copy:), @"c");
  AddItem(editMenu, @"すべてを選択", @selector(selectAll:), @"a");

  NSMenu* windowMenu = AddSubmenu(mainMenu, @"ウインドウ");
  AddItem(windowMenu, @"しまう", @selector(performMiniaturize:), @"m");
  AddItem(windowMenu, @"閉じる", @selector(performClose:), @"w");

  [NSApp setMainMenu:mainMenu];
  [NSApp setWindowsMenu:windowMenu];
}

}  // namespace corvane::macos
