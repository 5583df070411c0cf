#!/bin/bash
# While its script runs, the installer refuses a quit Apple Event that says
# the session is ending, however the event says it: each of quia (quit all),
# rlgo (log out), rest (restart) and shut (shut down), as the attribute the
# system sets and as a parameter, as a script would send it. A quit event with
# no reason (the Dock's Quit, a script's "quit") still ends it, with 0.
#
# APP is a test copy linked with tests/appkit/window_check.mm, run as
# tests/appkit/run_checks.sh runs it. On a Mac the events are real, sent by
# tests/macos/send_quit_event.c, which this builds; GNUstep has no Apple Event
# manager, and tools/appkit-compat stands in for it and for the sender. So it
# keeps to macOS's /bin/bash 3.2 and BSD tools.
#
# Usage: tests/macos/quit_reasons.sh APP   KEEP=1 keeps what the run left.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=../appkit/run_checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../appkit/run_checks.sh" "$@"

[[ -z $mac ]] || cc -Wall -Werror -o "$work/send" "$repo/tests/macos/send_quit_event.c" \
  -framework CoreServices
# A script that runs until the test ends.
mkdir -p "$work/payload/scripts" "$work/run/home"
cat >"$work/payload/scripts/install_mac_app.sh" <<SCRIPT
: >'$work/started'
for _ in \$(seq 900); do [ -d '$work' ] || break; sleep 0.1; done
SCRIPT
copy="$work/run/Corvane Installer.app"
cp -R "$bundle" "$copy"
cp -R -p "$work/payload" "$copy/Contents/Resources/payload"
HOME=$work/run/home CFFIXED_USER_HOME=$work/run/home CORVANE_APPKIT_APPLE_EVENTS=$work/event \
  "$copy/Contents/MacOS/Corvane Installer" ${style[@]+"${style[@]}"} >"$work/run/out" 2>&1 &
app=$!
while [[ ! -e $work/started ]] && kill -0 "$app" 2>/dev/null && ((SECONDS < 90)); do sleep 0.1; done

# quit FORM [CODE]: sends the installer a quit event, its reason CODE as FORM
# (attribute or parameter) or none, and says whether it "refused" or "ended".
quit() {
  local answer='' deadline=$((SECONDS + 10))
  if [[ -n $mac ]]; then
    answer=$("$work/send" "$app" "$@")
    # The system let nothing through (-1743), or waited for a consent nobody gave.
    [[ $answer != -1743 && $answer != -1712 ]] || { echo "not delivered: $answer" && return; }
  else
    rm -f "$work/event.reply"
    echo "$*" >"$work/event.new" && mv "$work/event.new" "$work/event"
  fi
  # A refusal is answered (-128 on a Mac; the stand-in's reply); an installer
  # that takes the quit need not answer before it ends.
  while kill -0 "$app" 2>/dev/null; do
    if [[ $answer == -128 || -e $work/event.reply ]] || ((SECONDS >= deadline)); then
      rm -f "$work/event.reply" && echo refused && return
    fi
    sleep 0.1
  done
  echo ended
}

for reason in quia rlgo rest shut; do
  for form in attribute parameter; do
    expect "a quit event with $reason as its $form: refused" refused "$(quit $form $reason)"
  done
done
expect "a quit event with no reason: ends the installer" ended "$(quit none)"
status=0
wait "$app" || status=$?
app=
expect "the installer's exit code" 0 "$status"
((failures == 0))
