#!/usr/bin/env bash
# The checks of the AppKit front end must pass on app/macos as it is and fail,
# each for its own reason, on copies broken on purpose: tools/check-macos-sources
# with a compiler error, tools/test-appkit on the check that guards the broken
# thing. A copy is broken by an edit of its text (a case whose edit no longer
# applies fails) or, for the log view, by a file added to it that replaces one
# of the view's methods by a faulty one, whatever the text. The real sources
# are never touched.
#   broken_copies.sh compile|run
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expect NAME TOOL CAUGHT_BY SED_EXPRESSION [FILE]   (default: window_builder.mm)
# With FILE "broken.mm", SED_EXPRESSION is instead the code of that added file:
# Objective-C++ after the prelude below, whose Replace() swaps a method of a
# class for a function and gives back the original, at launch.
expect() {
  local file=${5:-window_builder.mm} problem=
  # ONLY=TEXT runs the cases whose name holds TEXT.
  [[ $1 == *"${ONLY:-}"* ]] || return 0
  rm -rf "$work/macos"
  cp -R "$repo/app/macos" "$work/macos"
  if [[ $file == broken.mm ]]; then
    { cat <<'EOF'
#import "log_view.h"
#import <objc/runtime.h>
static IMP Replace(Class type, SEL selector, IMP with) {
  Method method = class_getInstanceMethod(type, selector);
  IMP original = method_getImplementation(method);
  method_setImplementation(method, with);
  return original;
}
static void Break();
@interface CorvaneBroken : NSObject
@end
@implementation CorvaneBroken
+ (void)load {
  [[NSNotificationCenter defaultCenter] addObserver:self selector:@selector(launching:)
      name:NSApplicationWillFinishLaunchingNotification object:nil];
}
+ (void)launching:(NSNotification*)notification {
  Break();
}
@end
EOF
      echo "$4"; } >"$work/macos/broken.mm"
  else
    sed -i -e "$4" "$work/macos/$file"
  fi
  if [[ $file != broken.mm ]] && cmp -s "$repo/app/macos/$file" "$work/macos/$file"; then
    problem="the edit did not apply; update this test"
  # A case the driven tests catch needs no other run, and the other way round.
  elif CORVANE_APPKIT_RUN=$([[ $3 == *::test_* ]] && echo driven || echo checks) \
    "$repo/tools/$2" "$work/macos" >"$work/log" 2>&1; then
    problem="tools/$2 passed on a broken copy"
  elif ! grep -qE "$3" "$work/log"; then
    problem="not caught by \"$3\":"$'\n'"$(cat "$work/log")"
  fi
  if [[ -z $problem ]]; then
    echo "ok   $1: $(grep -m 1 -E "$3" "$work/log")"
  else
    echo "FAIL $1: $problem" >&2
    failures=$((failures + 1))
  fi
}

case ${1:-} in
  compile)
    "$repo/tools/check-macos-sources" >/dev/null || { echo "FAIL the real sources" >&2; exit 1; }
    c="check-macos-sources"
    expect "misspelled instance selector" $c 'error:' 's/setStringValue:/setStringValu:/'
    expect "wrong struct argument type" $c 'error:' 's/setFrame:RectOf(layout::kStatus)/setFrame:NSMakeSize(500, 20)/'
    expect "misspelled text system selector" $c 'error:' \
      's/ensureLayoutForTextContainer:/ensureLayoutForContainer:/' log_view.mm
    expect "std::string for NSString" $c 'error:' \
      's/fileURLWithPath:ToNSString(bundlePath)/fileURLWithPath:bundlePath/' platform_services.mm
    ;;
  run)
    r="test-appkit"
    expect "a frame" $r '^FAIL demo: window$' \
      's/RectOf(layout::kOpenButton)/NSOffsetRect(RectOf(layout::kOpenButton), 0, 1)/'
    expect "a text" $r '^FAIL missing, stdin and stderr closed: window$' \
      's/ToNSString(layout::kQuitTitle)/ToNSString(layout::kOpenTitle)/'
    expect "the log view's width" $r '^FAIL demo: window$' '
static void (*tile)(id, SEL);
static void Tile(id self, SEL cmd) {
  tile(self, cmd);
  [[self documentView] setFrameSize:NSMakeSize(564, 246)];
}
static void Break() { tile = (void (*)(id, SEL))Replace([CorvaneLogScrollView class], @selector(tile), (IMP)Tile); }' broken.mm
    # The log view, as a reader driving it from outside finds it.
    expect "the scroller as the scroll view reckons it" $r 'FAILED .*::test_the_scroller_stays_on' '
static void Break() {
  Replace([CorvaneLogScrollView class], @selector(reflectScrolledClipView:),
      class_getMethodImplementation([NSScrollView class], @selector(reflectScrolledClipView:)));
}' broken.mm
    expect "descriptors 0-2 left closed" $r '^FAIL missing, stdin and stderr closed: window$' \
      '/SettleInheritedState();/d' main.mm
    expect "no main menu" $r '^FAIL demo: menus$' '/setMainMenu:mainMenu/d' main_menu.mm
    expect "a menu title the toolkit words otherwise" $r '^FAIL demo: menu titles as the toolkit' \
      's/@"コピー"/@"複写"/' main_menu.mm
    expect "a logout's reason unread when it comes as a parameter" $r \
      '^FAIL a quit event with quia as its parameter: refused$' \
      's/CodeOf(\[event paramDescriptorForKeyword:kAEQuitReason\])/0/' app_delegate.mm
    expect "the activity not kept" $r '^FAIL failing: window$' \
      's/\[activity_ addObject:activity\]/(void)activity/' platform_services.mm
    expect "the activity never ended" $r '^FAIL failing: after the outcome$' \
      '/\[process endActivity:activity\]/d' platform_services.mm
    ;;
  *) echo "usage: broken_copies.sh compile|run" >&2; exit 64 ;;
esac
((failures == 0)) || { echo "$failures case(s) failed" >&2; exit 1; }
echo "all cases passed"
