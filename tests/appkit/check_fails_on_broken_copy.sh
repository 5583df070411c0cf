#!/usr/bin/env bash
# tools/test-appkit must fail, on the check that guards it, when a copy of
# app/macos breaks a frame, a text, the log view's width, its following of the
# end or the opening of closed standard descriptors. The real sources are
# never touched.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# break NAME EXPECTED_FAILURE SED_EXPRESSION [FILE]   (default: window_builder.mm)
break_and_expect() {
  local file=${4:-window_builder.mm} problem=
  rm -rf "$work/macos"
  cp -R "$repo/app/macos" "$work/macos"
  sed -i -e "$3" "$work/macos/$file"
  if cmp -s "$repo/app/macos/$file" "$work/macos/$file"; then
    problem="the edit did not apply; update this test"
  elif "$repo/tools/test-appkit" "$work/macos" >"$work/log" 2>&1; then
    problem="tools/test-appkit passed on a broken copy"
  elif ! grep -qxF "FAIL $2" "$work/log"; then
    problem="not caught by \"$2\":"$'\n'"$(cat "$work/log")"
  fi
  if [[ -z $problem ]]; then
    echo "ok   $1: caught by \"$2\""
  else
    echo "FAIL $1: $problem" >&2
    failures=$((failures + 1))
  fi
}

break_and_expect "a frame" "demo: window" 's/NSMakeRect(370, 24, 106, 32)/NSMakeRect(370, 25, 106, 32)/'
break_and_expect "a text" "missing, stdin and stderr closed: window" 's/@"閉じる"/@"閉じ"/'
break_and_expect "the log view's width" "demo: window" \
  's/NSMakeRect(0, 0, logSize.width, logSize.height)/NSMakeRect(0, 0, 564, 246)/'
break_and_expect "following the end" "failing: window" '/if (!followsEnd_) return;/d'
break_and_expect "descriptors 0-2 left closed" "missing, stdin and stderr closed: window" \
  '/EnsureStandardDescriptors();/d' main.mm

((failures == 0)) || { echo "$failures case(s) failed" >&2; exit 1; }
echo "all cases passed"
