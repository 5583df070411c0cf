#!/bin/bash
# Runs the fault matrix in a bus session of its own. As root, it runs it as a
# temporary unprivileged user, then checks that nothing that user could have
# written outside the temporary folders was created or changed.
#   run_fault_matrix.sh BUNDLE [pytest arguments...]
set -euo pipefail

bundle=$(realpath "$1")
shift
here=$(cd "$(dirname "$0")" && pwd)
matrix=(dbus-run-session -- /usr/bin/python3 -B -m pytest -q -p no:cacheprovider -W ignore::DeprecationWarning
  -o "markers=limits: runs the program near a limit of the system")

[ "$(id -u)" -eq 0 ] || exec env CORVANE_BUNDLE="$bundle" "${matrix[@]}" "$here/fault_matrix.py" "$@"

# One of its own per run: a run going on beside this one (another clone's,
# say) would lose the account when it ends.
user=corvane-test-$$
work=$(mktemp -d /tmp/corvane-faults.XXXXXX)
trap 'rm -rf "$work"; userdel "$user" 2>/dev/null || true' EXIT
# The bus needs an account for its user; it goes again at the end.
useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
# Xvfb and the session manager, run as that user, cannot make their socket
# folders themselves.
mkdir -p /tmp/.X11-unix /tmp/.ICE-unix
chmod 1777 /tmp/.X11-unix /tmp/.ICE-unix
cp -a "$bundle" "$work/Corvane Installer.app"
cp "$here/fault_matrix.py" "$work/"
# LeakSanitizer reads its suppressions at the end of each run, as that user.
supp=$(sed -nE 's/(^|.*:)suppressions=([^:]*).*/\2/p' <<<"${LSAN_OPTIONS:-}")
if [ -n "$supp" ]; then
  cp "$supp" "$work/lsan.supp"
  export LSAN_OPTIONS=${LSAN_OPTIONS/"suppressions=$supp"/"suppressions=$work/lsan.supp"}
fi
mkdir -p "$work/home" "$work/runtime" "$work/tmp"
chown -R "$user:" "$work"
chmod 700 "$work/runtime"
# From a folder the user may enter: the caller's own may be private (a clone
# in /root, say), and Python and find both stop where they cannot look.
as_user() {
  (cd "$work" && setpriv --reuid="$user" --regid="$user" --clear-groups \
    env HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work/tmp" "$@")
}
touch "$work/marker"
sleep 1.1 # file times have a resolution of their own

status=0
as_user env CORVANE_BUNDLE="$work/Corvane Installer.app" "${matrix[@]}" "$work/fault_matrix.py" \
  --basetemp="$work/tmp/rows" "$@" || status=$?

# Seen as that user: what it made, and what it could have changed.
changed=$(as_user find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o \
  -path /tmp -o -path /var/tmp \) -prune -o -newer "$work/marker" \
  \( -user "$user" -o \( -writable ! -type l ! -type s ! -type p \) \) -print 2>/dev/null || true)
if [ -n "$changed" ]; then
  echo "FAIL no admin rights: changed outside the user's folders:"
  echo "$changed" | head -n 20 | sed 's/^/  /'
  status=1
else
  echo "PASS no admin rights: nothing outside the temporary folders was created or changed"
fi
exit "$status"
