#!/usr/bin/env bash
# tools/check-portable must pass code that keeps what only Linux has to
# branches a Mac does not compile, and flag each use a Mac would compile: in
# fixtures whose flagged lines carry the word FLAG. The real files are never
# touched.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
guard="$repo/tools/check-portable"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL $*" >&2 && exit 1; }

clean="$work/clean"
mkdir -p "$clean/engine/src" "$clean/app/macos" "$clean/tests/support"
cat >"$clean/engine/src/runner.cpp" <<'EOF'
// Comments never count: pipe2, close_range, "/proc/self/fd", sed -i, timeout 5 x.
/* Nor here: memfd_create(), ls /proc/self/fd */
#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/epoll.h>
#endif

int my_pipe2_count = 0;
const char* notLinux = "/process /usr/sys ~/proc x/proc";
const char* portable = "sed -i.bak -e s/a/b/ f; stat -f %Lp f; readlink f; seq 3 | head -n 1";
const char* raw = R"(printf 'a\n' | sed -n 1p)";
const char c = '"';
const int million = 1'000'000;

void Open(int* fds) {
#ifdef __linux__
  pipe2(fds, O_CLOEXEC);
  const char* fd = "/proc/self/fd";
#elif defined(__APPLE__)
  pipe(fds);
#else
  pipe2(fds, 0);
#endif
}

#ifdef __APPLE__
int a = 1;
#else
int b = close_range(3, ~0U, 0);
#endif

#ifndef __APPLE__
int c = eventfd(0, 0);
#endif

#if !defined(__APPLE__) && defined(FEATURE_X)
int d = signalfd(-1, 0, 0);
#endif

#if defined(__linux__) && \
    defined(FEATURE_Y)
int e = timerfd_create(0, 0);
#endif

#ifdef F_SETPIPE_SZ
void Deepen(int fd) { fcntl(fd, F_SETPIPE_SZ, 1 << 20); }
#endif

#if 0
int f = pidfd_open(1, 0);
#endif

#ifdef __linux__
#  if defined(FEATURE_Y)
#  else
int i = memfd_create("x", 0);
#  endif
#endif

#if __APPLE__
int j = 0;
#elif __linux__
int k = epoll_create1(0);
#endif

#if defined(__linux__) && __has_include(<sys/pidfd.h>)
int n = pidfd_open(1, 0);
#endif
EOF
cat >"$clean/app/macos/bridge.mm" <<'EOF'
#ifdef __APPLE__
#include <sys/param.h>
#else
#include <sys/prctl.h>
#endif
NSString* tool = @"/usr/bin/ditto";
#if defined(__APPLE__)
NSString* path = @"/dev/fd/2";
#else
NSString* path = @"/proc/self/fd/2";
#endif
EOF
cat >"$clean/tests/support/empty.h" <<'EOF'
#pragma once
EOF

flagged="$work/flagged"
cp -R "$clean" "$flagged"
cat >"$flagged/tests/support/uses.h" <<'EOF'
#pragma once
int a = pipe2(fds, 0);  // FLAG
const char* p = "/proc/self/fd";  // FLAG
#ifdef __APPLE__
int b = close_range(3, ~0U, 0);  // FLAG
#endif
#ifdef __linux__
#endif
#ifdef __linux__
#else
int d = eventfd(0, 0);  // FLAG
#endif
#if defined(__linux__) || defined(__APPLE__)
int e = signalfd(-1, 0, 0);  // FLAG
#endif
#if defined(__APPLE__) && defined(FEATURE_X)
#else
int f = epoll_create1(0);  // FLAG
#endif
#if defined(FEATURE_X)
#ifdef __linux__
#else
int g = pidfd_open(1, 0);  // FLAG
#endif
#endif
#if defined(__linux__) || \
    defined(FEATURE_Y)
int h = prctl(0);  // FLAG
#endif
#include <sys/epoll.h>  // FLAG
void Deepen(int fd) { fcntl(fd, F_SETPIPE_SZ, 1); }  // FLAG
const char* t = "timeout 5 sleep 1";  // FLAG
const char* i = "sed -i -e s/a/b/ f";  // FLAG
const char* j = "touch f; stat "  // FLAG
                "-c %a f";
const char* raw = R"(
  cd /tmp
  mapfile -t lines <f  # FLAG
  echo "${lines[0],,}"  # FLAG
)";
const char* n = "cd /tmp\nstat -c %a f";  // FLAG
EOF
cat >"$flagged/app/macos/uses.mm" <<'EOF'
NSString* status = @"/proc/self/status";  // FLAG
#ifdef __linux__
#elif defined(FEATURE_X)
#else
NSString* memory = @"/dev/shm/x";  // FLAG
#endif
EOF

out=$("$guard" "$clean" 2>&1) || fail "the clean fixtures:"$'\n'"$out"
echo "ok   code that keeps Linux to its own branches passes"

expected=$(cd "$flagged" && grep -rn FLAG --include='*.h' --include='*.mm' . | cut -d: -f1,2 |
  sed 's|^\./||' | sort)
! out=$("$guard" "$flagged" 2>&1) || fail "the guard passed the flagged fixtures"
diff <(echo "$expected") <(grep -E '^[^ ]+:[0-9]+: ' <<<"$out" | cut -d: -f1,2 | sort) >&2 ||
  fail "flagged lines differ: expected < actual"$'\n'"$out"
echo "ok   each use a Mac would compile is flagged, at its line, and no other ($(wc -l <<<"$expected"))"
