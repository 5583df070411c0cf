#!/bin/bash
# An installer sent SIGTERM mid-run ends at once and hands its script on, which
# runs to its end unsignalled, its last line the last of install.log; a second
# installer for the same home, started meanwhile, shows that it waits until
# that script has ended, and only then runs its own.
#
# The second is followed through the status trail of the window check, so APP
# is a test copy linked with tests/appkit/window_check.mm. The Mac workflow
# runs this on the real AppKit, tools/test-appkit on GNUstep; so it keeps to
# macOS's /bin/bash 3.2 and BSD tools.
#
# Usage: tests/macos/terminated_mid_run.sh APP   KEEP=1 keeps what the runs left.
set -euo pipefail

bundle=${1:-}
[[ -x $bundle/Contents/MacOS/Corvane\ Installer ]] ||
  { echo "usage: terminated_mid_run.sh APP   (no test copy of the installer at '$bundle')" >&2 && exit 64; }
work=$(cd "$(mktemp -d)" && pwd -P)
home=$work/home
marks=$work/marks
first='' second=''
cleanup() {
  kill "$first" "$second" 2>/dev/null || true
  : >"$marks/go" 2>/dev/null || true
  if [[ -n ${KEEP:-} ]]; then echo "terminated_mid_run.sh: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
failures=0

copy="$work/Corvane Installer.app"
mkdir -p "$home" "$marks"
cp -R "$bundle" "$copy"
mkdir -p "$copy/Contents/Resources/payload/scripts"
# The first run waits for `go`, and as it ends notes what the second installer
# shows. The second run ends with status 3, so that nothing is opened.
cat >"$copy/Contents/Resources/payload/scripts/install_mac_app.sh" <<SCRIPT
#!/bin/bash
marks='$marks'
if [ -e "\$marks/started" ]; then
  [ -e "\$marks/ended" ] && echo "second run, after the first" || echo "second run, DURING the first"
  exit 3
fi
trap 'echo signalled' HUP INT TERM PIPE
: >"\$marks/started"
echo started
# Never past the test's end.
for _ in \$(seq 900); do [ -e "\$marks/go" ] || [ ! -d "\$marks" ] && break; sleep 0.1; done
echo "printed after the installer ended"
cp '$work/second.statuses' "\$marks/second-as-the-first-ended"
echo "the last line"
: >"\$marks/ended"
SCRIPT

# start NAME [DONE]: an installer for the home, its process id in `pid`; with
# DONE, the window check reports to $work/NAME once the log ends with it.
start() {
  local check=()
  [[ -z ${2:-} ]] || check=(CORVANE_APPKIT_CHECK="$work/$1" CORVANE_APPKIT_CHECK_DONE="$2")
  # CoreFoundation takes the home from CFFIXED_USER_HOME, not from HOME.
  env ${check[@]+"${check[@]}"} HOME="$home" CFFIXED_USER_HOME="$home" \
    "$copy/Contents/MacOS/Corvane Installer" >"$work/$1.out" 2>&1 &
  pid=$!
}
# wait_until WHAT PID COMMAND...: until COMMAND succeeds, while PID runs.
wait_until() {
  local what=$1 pid=$2 deadline=$((SECONDS + 90))
  shift 2
  until "$@"; do
    if ! kill -0 "$pid" 2>/dev/null || ((SECONDS > deadline)); then
      echo "FAIL $what never came" >&2 && exit 1
    fi
    sleep 0.1
  done
}
gone() { ! kill -0 "$1" 2>/dev/null; }
# expect NAME EXPECTED ACTUAL
expect() {
  if [[ $2 == "$3" ]]; then
    echo "ok   $1"
  else
    echo "FAIL $1" >&2
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") >&2 || true
    failures=$((failures + 1))
  fi
}

waiting="別のインストーラーの完了を待っています..."
log_file="$home/Library/Logs/Corvane Installer/install.log"
unset CORVANE_APPKIT_CHECK CORVANE_APPKIT_CHECK_DONE CORVANE_APPKIT_CHECK_LOG
pid=''
start first
first=$pid
wait_until "the first script's start" "$first" test -e "$marks/started"
kill -TERM "$first"
status=0
wait "$first" || status=$?
first=''
expect "the first installer ends with 0 on SIGTERM" 0 "$status"
# Its first try at the home's lock comes after the first installer's end.
start second "ログファイル: $log_file"$'\n'
second=$pid
wait_until "the second installer's wait" "$second" grep -sqxF "$waiting" "$work/second.statuses"
: >"$marks/go"
wait_until "the second installer's end" "$second" gone "$second"
second=''

# Moved aside by the second run; to the last byte.
expect "the first script ran to its end, unsignalled, all it wrote in install.log" \
  "$(printf '%s\n' started "printed after the installer ended" "the last line" .)" \
  "$(cat "${log_file%.log}.1.log" && echo .)"
expect "the second installer waited until the first script ended" "$waiting" \
  "$(tail -n 1 "$marks/second-as-the-first-ended")"
expect "the second installer's log" "$(printf '%s\n' "Corvane のセットアップを開始します。" "$waiting" \
  "インストール先: $home/Library/Application Support/Corvane" "second run, after the first" "" \
  "セットアップに失敗しました。終了コード: 3" "ログファイル: $log_file")" \
  "$(sed -e '1,/^log:$/d' "$work/second" 2>/dev/null)"
((failures == 0))
