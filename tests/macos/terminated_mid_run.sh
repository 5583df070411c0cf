#!/bin/bash
# An installer sent SIGTERM mid-run ends at once and hands its script on, which
# runs to its end unsignalled, its last line the last of install.log; a second
# installer for the same home, started meanwhile, shows that it waits until
# that script has ended, and only then runs its own.
#
# APP is a test copy linked with tests/appkit/window_check.mm, run as
# tests/appkit/run_checks.sh runs it, with its helpers. The first script goes
# on once the second installer's log, as the check writes it out, shows that
# it waits, and takes a copy of it as it ends. The Mac workflow runs this on
# the real AppKit, tools/test-appkit on GNUstep; so it keeps to macOS's
# /bin/bash 3.2 and BSD tools.
#
# Usage: tests/macos/terminated_mid_run.sh APP   KEEP=1 keeps what the runs left.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=../appkit/run_checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../appkit/run_checks.sh" "$@"

waiting="別のインストーラーの完了を待っています..."
home=$work/second/home
log_file="$home/Library/Logs/Corvane Installer/install.log"
first="$work/first/Corvane Installer.app"
mkdir -p "$home" "$work/payload/scripts" "$work/first"
# The second run ends with status 3, so that nothing is opened.
cat >"$work/payload/scripts/install_mac_app.sh" <<SCRIPT
#!/bin/bash
[ ! -e '$work/started' ] || exit 3
trap 'echo signalled' HUP INT TERM PIPE
: >'$work/started'
echo started
# Never past the test's end.
for _ in \$(seq 900); do
  grep -qxF '$waiting' '$work/second/report.log' 2>/dev/null || [ ! -d '$work' ] && break; sleep 0.1
done
echo "printed after the installer ended"
cp '$work/second/report.log' '$work/second-as-the-first-ended'
echo "the last line"
SCRIPT
cp -R "$bundle" "$first"
cp -R -p "$work/payload" "$first/Contents/Resources/payload"
HOME=$home CFFIXED_USER_HOME=$home ${launch[@]+"${launch[@]}"} "$first/Contents/MacOS/Corvane Installer" \
  >"$work/first/out" 2>&1 &
app=$!
while [[ ! -e $work/started ]] && kill -0 "$app" 2>/dev/null && ((SECONDS < 90)); do sleep 0.1; done
kill -TERM "$app"
wait "$app" || fail "the first installer ends with $? on SIGTERM, not 0"

run second "$work/payload" "ログファイル: $log_file"$'\n'
# Moved aside by the second run; to the last byte.
expect "the first script ran to its end, unsignalled, all it wrote in install.log" \
  "$(printf '%s\n' started "printed after the installer ended" "the last line" .)" \
  "$(cat "${log_file%.log}.1.log" && echo .)"
expect "the second installer waited until the first script ended" "$waiting" \
  "$(tail -n 1 "$work/second-as-the-first-ended" 2>/dev/null)"
((failures == 0))
