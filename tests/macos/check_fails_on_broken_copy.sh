#!/usr/bin/env bash
# The macOS compile check must pass on the AppKit sources as they are and fail
# on each kind of fault it exists to catch. Each fault is put into a fresh copy
# of app/macos; the real sources are never touched.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
check="$repo/tools/check-macos-sources"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0

fresh_copy() {
  rm -rf "$work/macos"
  cp -R "$repo/app/macos" "$work/macos"
}

# break NAME FILE SED_EXPRESSION: applies the edit to a fresh copy and expects
# the check to reject it.
break_and_expect_failure() {
  local name=$1 file=$2 edit=$3
  fresh_copy
  sed -i -e "$edit" "$work/macos/$file"
  if cmp -s "$repo/app/macos/$file" "$work/macos/$file"; then
    echo "FAIL $name: the edit did not apply to $file; update this test" >&2
    failures=$((failures + 1))
    return
  fi
  if "$check" "$work/macos" >"$work/log" 2>&1; then
    echo "FAIL $name: the check passed on a broken copy" >&2
    failures=$((failures + 1))
  elif ! grep -q 'error:' "$work/log"; then
    # It failed, but not because the compiler rejected the fault.
    echo "FAIL $name: the check failed without a compiler error:" >&2
    cat "$work/log" >&2
    failures=$((failures + 1))
  else
    echo "ok   $name: $(grep -m 1 'error:' "$work/log" | sed 's/.*error: //')"
  fi
}

# Without this the failures below would prove nothing.
fresh_copy
if "$check" "$work/macos" >"$work/log" 2>&1; then
  echo "ok   unmodified copy passes"
else
  echo "FAIL unmodified copy: the check rejects the real sources" >&2
  cat "$work/log" >&2
  exit 1
fi

break_and_expect_failure "misspelled instance selector" window_builder.mm \
  's/setStringValue:/setStringValu:/'
break_and_expect_failure "misspelled class selector" window_builder.mm \
  's/\[NSButton buttonWithTitle:title target:/[NSButton buttonWithTitle:title targt:/'
break_and_expect_failure "misspelled action selector" window_builder.mm \
  's/@selector(quit:)/@selector(quitt:)/'
break_and_expect_failure "wrong object argument type" window_builder.mm \
  's/setTitle:@"Corvane Installer"/setTitle:@620/'
break_and_expect_failure "wrong scalar argument type" window_builder.mm \
  's/setStyle:NSProgressIndicatorStyleSpinning/setStyle:NSBezelBorder/'
break_and_expect_failure "wrong struct argument type" window_builder.mm \
  's/setFrame:NSMakeRect(28, 336, 500, 20)/setFrame:NSMakeSize(500, 20)/'
break_and_expect_failure "std::string where NSString is expected" platform_services.mm \
  's/fileURLWithPath:ToNSString(bundlePath)/fileURLWithPath:bundlePath/'

if ((failures > 0)); then
  echo "$failures case(s) failed" >&2
  exit 1
fi
echo "all cases passed"
