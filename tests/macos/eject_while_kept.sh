#!/bin/bash
# On a Mac: an installer run from its disk image and quit mid-run leaves the
# image free to eject at once, as its keeper runs from a copy under the user's
# caches; the script then runs to its end, all it wrote in install.log.
#
# APP is a built "Corvane Installer.app". It is copied with a payload whose
# script waits, signed again ad hoc (the payload is part of what is sealed),
# and put on an APFS image of its own, which is attached, run from and
# detached without -force. Keeps to macOS's /bin/bash 3.2 and BSD tools.
#
# Usage: tests/macos/eject_while_kept.sh APP
set -euo pipefail
app=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-eject.XXXXXX")
mount=$work/mount
home=$work/home
installer=
cleanup() {
  [ -z "$installer" ] || kill "$installer" 2>/dev/null || true
  : >"$work/go"
  hdiutil detach -quiet -force "$mount" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL $*" >&2
  exit 1
}
# Waits up to $1 seconds for the command after it to succeed.
within() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

mkdir -p "$work/image" "$home"
copy="$work/image/Corvane Installer.app"
cp -R "$app" "$copy"
cat >"$copy/Contents/Resources/payload/scripts/install_mac_app.sh" <<SCRIPT
#!/bin/bash
echo started
: >'$work/started'
for _ in \$(seq 1200); do [ -e '$work/go' ] && break; sleep 0.1; done
echo "printed after the installer ended"
echo "the last line"
SCRIPT
chmod +x "$copy/Contents/Resources/payload/scripts/install_mac_app.sh"
codesign --force --deep --sign - "$copy"
hdiutil create -quiet -fs APFS -volname "Corvane Eject" -srcfolder "$work/image" "$work/test.dmg"
mkdir -p "$mount"
hdiutil attach -quiet -nobrowse -readonly -mountpoint "$mount" "$work/test.dmg"

HOME=$home CFFIXED_USER_HOME=$home "$mount/Corvane Installer.app/Contents/MacOS/Corvane Installer" \
  >"$work/out" 2>&1 &
installer=$!
started() { [ -e "$work/started" ] || ! kill -0 "$installer" 2>/dev/null; }
within 120 started || fail "the script did not start within 2 minutes"
[ -e "$work/started" ] || fail "the installer ended before its script started: $(cat "$work/out")"
kill -TERM "$installer"
status=0
wait "$installer" || status=$?
installer=
((status == 0)) || fail "the installer ended with $status on SIGTERM, not 0"

keeper=$(pgrep -fl corvane-keeper || true)
case $keeper in
  *"$home/Library/Caches/"*) ;;
  *) fail "no keeper runs from the caches: ${keeper:-none}" ;;
esac
hdiutil detach "$mount" || fail "the image could not be ejected while the keeper held the run: $(lsof +D "$mount" 2>/dev/null)"
echo "ok   the image ejected while the keeper held the run"

: >"$work/go"
log_file="$home/Library/Logs/Corvane Installer/install.log"
expected=$(printf '%s\n' started "printed after the installer ended" "the last line")
ended() { [ "$(cat "$log_file" 2>/dev/null)" = "$expected" ]; }
within 120 ended || fail "install.log does not hold all the script wrote: $(cat "$log_file" 2>/dev/null)"
echo "ok   the script ran to its end, all it wrote in install.log"
