#!/bin/bash
# What Gatekeeper says of the installer on its disk image as a browser leaves
# the download: the image quarantined, then opened, the app on it quarantined
# with it.
#   gatekeeper_dmg.sh DMG refused    an ad-hoc build: refused, for want of a usable signature
#   gatekeeper_dmg.sh DMG accepted   a release: the image and the app accepted as notarised,
#                                    the app's own ticket stapled to it
# macOS only (the workflows); /bin/bash 3.2 and BSD tools.
set -euo pipefail

[[ $# -eq 2 && ($2 == refused || $2 == accepted) ]] ||
  { echo "usage: gatekeeper_dmg.sh DMG refused|accepted" >&2 && exit 64; }
work=$(mktemp -d)
volume=$work/volume
# hdiutil fails now and then on hosted runners ("Resource busy",
# actions/runner-images#7522): each use of it gets one more try.
again() { "$@" || { echo "retrying once: $*" >&2 && sleep 15 && "$@"; }; }
attached=
cleanup() {
  if [[ -n $attached ]]; then again hdiutil detach -quiet "$volume" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
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
# assess SPCTL_ARGUMENT...: spctl's verdict and reason (its first two lines),
# and whether its exit status says the same; all it says into the job's log.
assess() {
  local status=0 verdict
  verdict=$(spctl --assess -vv "$@" 2>&1) || status=$?
  echo "$verdict" >&2
  head -n 2 <<<"$verdict"
  if ((status == 0)); then echo "exit status 0"; else echo "exit status not 0"; fi
}
# status COMMAND...: its exit status, all it says into the job's log.
status() { "$@" >&2 && echo 0 || echo $?; }

download="$work/$(basename "$1")"
cp "$1" "$download"
xattr -w com.apple.quarantine "0083;$(printf %x "$(date +%s)");Safari;$(uuidgen)" "$download"
attached=1
again hdiutil attach -readonly -nobrowse -mountpoint "$volume" "$download" >/dev/null
app="$volume/Corvane Installer.app"
expect "the app on the image is quarantined" 1 "$(xattr -p com.apple.quarantine "$app" >/dev/null && echo 1)"

if [[ $2 == refused ]]; then
  expect "the ad-hoc app is refused for want of a usable signature" \
    "$(printf '%s\n' "$app: rejected" "source=no usable signature" "exit status not 0")" \
    "$(assess --type execute "$app")"
else
  expect "the image is accepted as notarised" \
    "$(printf '%s\n' "$download: accepted" "source=Notarized Developer ID" "exit status 0")" \
    "$(assess --type open --context context:primary-signature "$download")"
  expect "the app is accepted as notarised" \
    "$(printf '%s\n' "$app: accepted" "source=Notarized Developer ID" "exit status 0")" \
    "$(assess --type execute "$app")"
  # Offline too: the app carries its ticket itself.
  expect "the app's own ticket is stapled to it" 0 "$(status xcrun stapler validate "$app")"
  expect "syspolicy_check distribution passes" 0 "$(status syspolicy_check distribution "$app")"
fi

((failures == 0))
