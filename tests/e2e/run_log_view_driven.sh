#!/bin/bash
# Runs tests/e2e/log_view_driven.py against one log view under an Xvfb of its
# own, in a bus session with an accessibility bus, as a desktop has them.
#   run_log_view_driven.sh qt PROBE [pytest arguments...]
#   run_log_view_driven.sh appkit APP [pytest arguments...]
set -euo pipefail

kind=$1
target=$(realpath "$2")
shift 2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
cleanup() {
  kill "${xvfb:-}" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# Xvfb picks a free display and names it once it is ready; it stays as it is when
# its last client goes, rather than reset while the next one connects.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 300); do
  [[ -s $work/display ]] && break
  kill -0 "$xvfb" 2>/dev/null || break
  sleep 0.1
done
[[ -s $work/display ]] || { echo "run_log_view_driven.sh: Xvfb did not start" >&2 && exit 1; }
DISPLAY=":$(cat "$work/display")"
export DISPLAY CORVANE_PROBE="$kind $target" QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1

# shellcheck disable=SC2016 # expanded by the inner shell
dbus-run-session -- bash -c '
  /usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
  bus=$!
  trap "kill $bus 2>/dev/null" EXIT
  /usr/bin/python3 -B -m pytest -q -p no:cacheprovider -W ignore::DeprecationWarning "$@"
' driven "$here/log_view_driven.py" --basetemp="$work/runs" "$@"
