#!/usr/bin/env bash
# The checks of the AppKit front end must pass on app/macos as it is and fail,
# each for its own reason, on copies broken on purpose: tools/check-macos-sources
# with a compiler error, tools/test-appkit on the check that guards the broken
# thing. The real sources are never touched.
#   broken_copies.sh compile|run
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expect NAME TOOL CAUGHT_BY SED_EXPRESSION [FILE]   (default: window_builder.mm)
expect() {
  local file=${5:-window_builder.mm} problem=
  rm -rf "$work/macos"
  cp -R "$repo/app/macos" "$work/macos"
  sed -i -e "$4" "$work/macos/$file"
  if cmp -s "$repo/app/macos/$file" "$work/macos/$file"; then
    problem="the edit did not apply; update this test"
  elif "$repo/tools/$2" "$work/macos" >"$work/log" 2>&1; then
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
    expect "misspelled class selector" $c 'error:' 's/buttonWithTitle:title target:/buttonWithTitle:title targt:/'
    expect "misspelled action selector" $c 'error:' 's/@selector(quit:)/@selector(quitt:)/'
    expect "wrong object argument type" $c 'error:' 's/setTitle:@"Corvane Installer"/setTitle:@620/'
    expect "wrong scalar argument type" $c 'error:' 's/setStyle:NSProgressIndicatorStyleSpinning/setStyle:NSBezelBorder/'
    expect "wrong struct argument type" $c 'error:' \
      's/setFrame:NSMakeRect(28, 336, 500, 20)/setFrame:NSMakeSize(500, 20)/'
    expect "std::string for NSString" $c 'error:' \
      's/fileURLWithPath:ToNSString(bundlePath)/fileURLWithPath:bundlePath/' platform_services.mm
    expect "misspelled menu action" $c 'error:' 's/@selector(performMiniaturize:)/@selector(miniaturise:)/' \
      main_menu.mm
    ;;
  run)
    r="test-appkit"
    expect "a frame" $r '^FAIL demo: window$' 's/NSMakeRect(370, 24, 106, 32)/NSMakeRect(370, 25, 106, 32)/'
    expect "a text" $r '^FAIL missing, stdin and stderr closed: window$' 's/@"閉じる"/@"閉じ"/'
    expect "the log view's width" $r '^FAIL demo: window$' \
      's/NSMakeRect(0, 0, logSize.width, logSize.height)/NSMakeRect(0, 0, 564, 246)/'
    expect "following the end" $r '^FAIL failing: window$' '/if (!followsEnd_) return;/d'
    expect "descriptors 0-2 left closed" $r '^FAIL missing, stdin and stderr closed: window$' \
      '/EnsureStandardDescriptors();/d' main.mm
    # GNUstep's spinning style alone hides a stopped spinner; only a Mac tells
    # the line's absence.
    expect "a spinner shown when stopped" $r '^FAIL demo: window$' \
      's/setDisplayedWhenStopped:NO/setDisplayedWhenStopped:YES/'
    expect "no main menu" $r '^FAIL demo: menus$' '/setMainMenu:mainMenu/d' main_menu.mm
    expect "a key equivalent" $r '^FAIL demo: menus$' 's/@selector(terminate:), @"q"/@selector(terminate:), @"w"/' \
      main_menu.mm
    expect "copy not sent to the log" $r '^FAIL demo: menus$' 's/@selector(copy:)/@selector(cut:)/' \
      main_menu.mm
    expect "the activity not kept" $r '^FAIL failing: window$' \
      's/\[activity_ addObject:activity\]/(void)activity/' platform_services.mm
    expect "the activity never ended" $r '^FAIL failing: after the outcome$' \
      '/\[process endActivity:activity\]/d' platform_services.mm
    expect "relaunched at login" $r '^FAIL demo: after the outcome$' '/disableRelaunchOnLogin\]/d' \
      app_delegate.mm
    ;;
  *) echo "usage: broken_copies.sh compile|run" >&2; exit 64 ;;
esac
((failures == 0)) || { echo "$failures case(s) failed" >&2; exit 1; }
echo "all cases passed"
