#include "main_menu.h"

#import <AppKit/AppKit.h>

namespace corvane::macos {
namespace {

// The menus and their items live as long as the application: made with
// alloc, they are owned under manual counting too, and never released.

// Every item targets the first responder: the log view copies, selects and
// finds, the window closes and minimises, the application answers the rest.
void AddItem(NSMenu* menu, NSString* title, SEL action, NSString* key,
             NSEventModifierFlags modifiers = NSEventModifierFlagCommand, NSInteger tag = 0) {
  NSMenuItem* item = [[NSMenuItem alloc] initWithTitle:title action:action keyEquivalent:key];
  [item setKeyEquivalentModifierMask:modifiers];
  [item setTag:tag];
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
  [editMenu addItem:[NSMenuItem separatorItem]];
  // The find bar's actions, by the standard tags; the log's finder takes them.
  NSMenu* findMenu = AddSubmenu(editMenu, @"検索");
  const NSEventModifierFlags command = NSEventModifierFlagCommand;
  AddItem(findMenu, @"検索…", @selector(performTextFinderAction:), @"f", command,
          NSTextFinderActionShowFindInterface);
  AddItem(findMenu, @"次を検索", @selector(performTextFinderAction:), @"g", command,
          NSTextFinderActionNextMatch);
  // A capital letter is the letter with Shift.
  AddItem(findMenu, @"前を検索", @selector(performTextFinderAction:), @"G", command,
          NSTextFinderActionPreviousMatch);
  AddItem(findMenu, @"選択部分を検索に使用", @selector(performTextFinderAction:), @"e", command,
          NSTextFinderActionSetSearchString);
  AddItem(findMenu, @"選択部分へジャンプ", @selector(centerSelectionInVisibleArea:), @"j");

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
