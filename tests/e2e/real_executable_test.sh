#!/bin/bash
# The real executable, started from a copy of its bundle under Xvfb with a
# temporary home: it installs the demo payload, opens the app, and exits 0
# when its window is closed.
#   real_executable_test.sh BUNDLE CLOSE_WINDOW_TOOL
set -euo pipefail

bundle=$1
close_window=$2
work=$(mktemp -d)
display=":$((200 + RANDOM % 300))"
cleanup() {
  kill "${app:-}" "${xvfb:-}" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cp -a "$bundle" "$work/Corvane Installer.app"
home="$work/home with 'quote' ホーム"
mkdir -p "$home"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=$display
# Wait until the display answers (the tool exits 2 until then).
for _ in $(seq 1 50); do
  rc=0
  "$close_window" "no such window" 2>/dev/null || rc=$?
  [ "$rc" -ne 2 ] && break
  sleep 0.1
done

HOME="$home" "$work/Corvane Installer.app/Contents/MacOS/corvane-installer" </dev/null >"$work/out" 2>&1 &
app=$!

started="$home/Library/Application Support/Corvane/logs/start.log"
for _ in $(seq 1 200); do [ -s "$started" ] && break; sleep 0.1; done
[ -s "$started" ] || fail "the demo app was not opened"
[ -x "$home/Applications/Corvane.app/Contents/MacOS/Corvane" ] || fail "no app bundle"

"$close_window" "Corvane Installer" || fail "no installer window found"
for _ in $(seq 1 50); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$app" 2>/dev/null; then fail "still running 5 s after its window was closed"; fi
status=0
wait "$app" || status=$?
[ "$status" -eq 0 ] || { cat "$work/out" >&2; fail "exit code $status"; }
echo "PASS: installed, opened Corvane, exited 0 on close"
