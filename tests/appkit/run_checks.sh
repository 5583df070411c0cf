#!/bin/bash
# Runs a test copy of the installer, one linked with tests/appkit/window_check.mm,
# three times and compares what the check read of the live window: with the
# demo payload, with a script that fails, and with no payload (and standard
# input and error closed). tools/test-appkit runs it on GNUstep under Xvfb,
# the Mac workflow on the real AppKit; so it keeps to macOS's /bin/bash 3.2
# and BSD tools.
#
# Usage: tests/appkit/run_checks.sh APP   (the test copy's .app folder)
#        KEEP=1 keeps the runs' reports and output.
#        CORVANE_CHECK_ARCH=x86_64 runs that slice of a universal copy (on a Mac;
#        under Rosetta on Apple silicon).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bundle=${1:-}
[[ -x $bundle/Contents/MacOS/Corvane\ Installer ]] ||
  { echo "usage: run_checks.sh APP   (no test copy of the installer at '$bundle')" >&2 && exit 64; }
# The check names standard error's file by its real path.
work=$(cd "$(mktemp -d)" && pwd -P)
cleanup() {
  if [[ -n ${app:-} ]]; then kill "$app" 2>/dev/null || true; fi
  if [[ -n ${KEEP:-} ]]; then echo "run_checks.sh: reports kept in $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
mac=
style=()
launch=(${CORVANE_CHECK_ARCH:+arch "-$CORVANE_CHECK_ARCH"})
# GNUstep's own menu style drops the application menu; its Mac style keeps
# the menu bar as a Mac has it (the argument sets a user default).
if [[ $(uname) == Darwin ]]; then mac=1; else style=(-NSMenuInterfaceStyle NSMacintoshInterfaceStyle); fi
failures=0
fail() {
  echo "FAIL $*" >&2
  failures=$((failures + 1))
}

# A script that fails, pausing once, for the activity held during a run.
mkdir -p "$work/failing-payload/scripts"
cat >"$work/failing-payload/scripts/install_mac_app.sh" <<'EOF'
seq -f 'line %g' 40
wait_for() { for _ in $(seq 600); do [ -e "$CORVANE_APPKIT_CHECK.$1" ] && return; sleep 0.1; done; }
echo paused; wait_for go1
echo ended; exit 3
EOF

# run NAME PAYLOAD DONE [closed]: runs a copy of the app with PAYLOAD (none
# when empty) and a home of its own to the end with the check; the check stops
# once the log ends with DONE. Sets `home` and `report`.
run() {
  local copy="$work/$1/Corvane Installer.app"
  home="$work/$1/home"
  report="$work/$1/report"
  mkdir -p "$home"
  cp -R "$bundle" "$copy"
  [[ -z $2 ]] || cp -R -p "$2" "$copy/Contents/Resources/payload"
  local exe="$copy/Contents/MacOS/Corvane Installer"
  export CORVANE_APPKIT_CHECK=$report CORVANE_APPKIT_CHECK_DONE=$3
  (
    # CoreFoundation takes the home from CFFIXED_USER_HOME, not from HOME.
    export HOME=$home CFFIXED_USER_HOME=$home
    [[ ${4:-} != closed ]] || exec <&- 2>&-
    exec ${launch[@]+"${launch[@]}"} "$exe" ${style[@]+"${style[@]}"}
  ) >"$work/$1/out" 2>&1 &
  app=$!
  local deadline=$((SECONDS + 90))
  while kill -0 "$app" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.1; done
  local status=0
  if kill -0 "$app" 2>/dev/null; then
    fail "$1: still running 90 s after its start"
    kill "$app"
  fi
  wait "$app" || status=$?
  app=
  ((status == 0)) || fail "$1: exit code $status"
  [[ -f $report ]] || { fail "$1: the check wrote no report" && touch "$report"; }
}

# expect NAME EXPECTED ACTUAL
expect() {
  if [[ $2 == "$3" ]]; then
    echo "ok   $1"
  else
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") >&2 || true
  fi
}

# Sourced, it gives the runner and the helpers above, and checks nothing.
[[ ${BASH_SOURCE[0]} == "$0" ]] || return 0

window() { sed -e '/^activities after the outcome:/,$d' "$report"; }
outcome() { sed -n -e '/^activities after the outcome:/,/^menu /p' "$report" | sed -e '$d'; }
menus() { sed -n -e '/^menu /,/^log:$/p' "$report" | sed -e '$d' | grep -v '^appkit'; }
log() { sed -e '1,/^log:$/d' "$report"; }

# layout STATUS OPEN_ENABLED [STDERR]
layout() {
  cat <<EOF
window "Corvane Installer" 620x420 style 7
NSTextField 28 362 560 28 "Corvane をインストールしています"
NSTextField 28 336 500 20 "$1"
NSProgressIndicator 558 334 24 24 shown when stopped 0
NSScrollView 28 74 564 246
NSButton 370 24 106 32 "アプリを開く" enabled $2
NSButton 486 24 106 32 "閉じる" enabled 1
log as wide as its clip view: 1
log shows the model: 1
standard error: ${3:-$(dirname "$report")/out}
EOF
}

# outcome_lines ACTIVITIES STATUS: what follows the window, up to the menus;
# GNUstep also shows what was last announced for VoiceOver.
outcome_lines() {
  echo "activities after the outcome: $1"
  [[ -n $mac ]] || printf '%s\n' "relaunch at login disabled: 1" "announced: \"$2\" first 1"
}

menu_lines() {
  cat <<EOF
menu Corvane Installer
  Corvane Installerについて orderFrontStandardAboutPanel:
  -
  サービス submenuAction:
  -
  Corvane Installerを非表示 ⌘h hide:
  ほかを非表示 ⌥⌘h hideOtherApplications:
  すべてを表示 unhideAllApplications:
  -
  Corvane Installerを終了 ⌘q terminate:
menu 編集
  コピー ⌘c copy:
  すべてを選択 ⌘a selectAll:
  -
  検索 submenuAction:
    検索… ⌘f performTextFinderAction: 1
    次を検索 ⌘g performTextFinderAction: 2
    前を検索 ⌘G performTextFinderAction: 3
    選択部分を検索に使用 ⌘e performTextFinderAction: 7
    選択部分へジャンプ ⌘j centerSelectionInVisibleArea:
menu ウインドウ
  しまう ⌘m performMiniaturize:
  ウインドウを閉じる ⌘w performClose:
  -
  すべてを手前に移動 arrangeInFront:
EOF
  # The list of windows, which both put after that item.
  [[ -n $mac ]] || echo "  Corvane Installer makeKeyAndOrderFront:"
  cat <<EOF
windows menu: ウインドウ, services menu: サービス
EOF
}

welcome="Corvane のセットアップを開始します。"
root_line() { echo "インストール先: $home/Library/Application Support/Corvane"; }
succeeded="セットアップが完了しました。Corvane.app を開きます。"
refused="Corvane.app を自動で開けませんでした。~/Applications から開いてください。"
# GNUstep cannot open an app bundle; a Mac opens the demo's.
ending=("" "$succeeded")
[[ -n $mac ]] || ending+=("$refused")

run demo "$repo/payload" "${ending[${#ending[@]} - 1]}"$'\n'
expect "demo: window" "$(layout "セットアップが完了しました。" 1)" "$(window)"
expect "demo: after the outcome" "$(outcome_lines 0 "セットアップが完了しました。")" "$(outcome)"
# Exactly these on GNUstep; on a Mac, these in this order among the system's
# own items and separators.
if [[ -n $mac ]]; then
  expect "demo: menus" "$(menu_lines | grep -vx '  -')" "$(menus | grep -Fx -f <(menu_lines | grep -vx '  -'))"
else
  expect "demo: menus" "$(menu_lines)" "$(menus)"
fi
# Where the toolkit's own strings have one of our items (on a Mac, AppKit's:
# what macOS itself writes), they word it as we do; and some have one.
words=$(grep '^appkit' "$report" || true)
awk '{ print "     " $0 }' <<<"$words"
expect "demo: menu titles as the toolkit's own strings word them" "" \
  "$(grep -e ': differs from ' <<<"$words"; grep -q ': same$' <<<"$words" || echo "none compared")"
expect "demo: log" "$(printf '%s\n' "$welcome" "$(root_line)" \
  "==> アプリケーションバンドルを作成しています: $home/Applications/Corvane.app" "${ending[@]}")" \
  "$(log | head -n 2; log | grep -F "$home/Applications/Corvane.app"; log | tail -n ${#ending[@]})"

failed="セットアップに失敗しました。終了コード: 3"
log_file() { echo "ログファイル: $home/Library/Logs/Corvane Installer/install.log"; }
run failing "$work/failing-payload" "$(home=$work/failing/home && log_file)"$'\n'
expect "failing: window" "$(layout "セットアップに失敗しました。ログを確認してください。" 0
  echo "activities during the run: 1")" "$(window)"
expect "failing: after the outcome" "$(outcome_lines 0 "セットアップに失敗しました。ログを確認してください。")" \
  "$(outcome)"
expect "failing: log" "$(printf '%s\n' "$welcome" "$(root_line)"; seq -f 'line %g' 40
  printf '%s\n' paused ended "" "$failed" "$(log_file)")" "$(log)"

missing="インストール用ファイルが見つかりませんでした。"
run missing "" "$missing"$'\n' closed
expect "missing, stdin and stderr closed: window" "$(layout "$missing" 0 /dev/null)" "$(window)"
expect "missing, stdin and stderr closed: after the outcome" "$(outcome_lines 0 "$missing")" \
  "$(outcome)"
expect "missing, stdin and stderr closed: log" "$welcome"$'\n'"$missing" "$(log)"

if ((failures > 0)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
