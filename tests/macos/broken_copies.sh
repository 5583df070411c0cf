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
    expect "the log view's width" $r '^FAIL demo: window$' \
      's/NSMakeRect(0, 0, size.width, size.height)/NSMakeRect(0, 0, 564, 246)/' log_view.mm
    # The log view, as the check's own log views find it.
    expect "not following the end" $r '^FAIL log views: following$' '/scrollToY:CGFLOAT_MAX/d' log_view.mm
    expect "following though scrolled away" $r '^FAIL log views: scrolled back$' \
      's/setFollowsEnd(atBottom \&\& state.reachesEnd)/setFollowsEnd(true)/' log_view.mm
    expect "the reader's place not kept" $r '^FAIL log views: scrolled back$' \
      's/? top + placeAbove : 0/? NSMinY([self visibleRect]) : 0/' log_view.mm
    expect "dropped output still shown" $r '^FAIL log views: past the bound$' \
      's/\[self removeFront:stale\];/stale = 0;/' log_view.mm
    expect "no note" $r '^FAIL log views: note$' 's/corvane::macos::ToNSString(model.droppedNote())/@""/' \
      log_view.mm
    expect "a long line as one paragraph" $r '^FAIL log views: long line$' \
      's/^      \[added appendString:@"\\n"\];/      if (segment.index == 0) [added appendString:@"\\n"];/' log_view.mm
    expect "the storage's text copied" $r '^FAIL log views: copy$' \
      's/^  if (!\[type isEqual:NSPasteboardTypeString\]) return NO;/  return [super writeSelectionToPasteboard:pasteboard type:type];/' \
      log_view.mm
    expect "select all of what is shown" $r '^FAIL log views: select all of the larger$' \
      '/_state->selection.assign/{n;d}' log_view.mm
    expect "descriptors 0-2 left closed" $r '^FAIL missing, stdin and stderr closed: window$' \
      '/SettleInheritedState();/d' main.mm
    expect "no main menu" $r '^FAIL demo: menus$' '/setMainMenu:mainMenu/d' main_menu.mm
    expect "the activity not kept" $r '^FAIL failing: window$' \
      's/\[activity_ addObject:activity\]/(void)activity/' platform_services.mm
    expect "the activity never ended" $r '^FAIL failing: after the outcome$' \
      '/\[process endActivity:activity\]/d' platform_services.mm
    ;;
  *) echo "usage: broken_copies.sh compile|run" >&2; exit 64 ;;
esac
((failures == 0)) || { echo "$failures case(s) failed" >&2; exit 1; }
echo "all cases passed"
