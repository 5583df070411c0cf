#!/usr/bin/env python3
"""Fault matrix: the real installer executable, started from a copy of its
bundle with a temporary home under Xvfb, against payloads and homes that go
wrong in every way we know of. Each row checks what the window shows (read
in-process by the window probe) and what is left on disk.

Run as root, it creates an unprivileged user, runs every row as that user, and
checks that nothing outside that user's temporary folders was created or
changed. Usage:
  fault_matrix.py BUNDLE PROBE_LIBRARY CLOSE_WINDOW [ROW...]
"""

import hashlib
import json
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time

TITLE = "Corvane Installer"
WELCOME = "Corvane のセットアップを開始します。\n"
MISSING = "インストール用ファイルが見つかりませんでした。"
SUCCEEDED = "セットアップが完了しました。"
SUCCESS_LINE = "\nセットアップが完了しました。Corvane.app を開きます。\n"
FAILED = "セットアップに失敗しました。ログを確認してください。"
TEST_USER = "corvane-test"


# A minimal application bundle, so that opening it after success is accepted.
MAKE_APP = ('mkdir -p "$APP_BUNDLE_PATH/Contents/MacOS"\n'
            'printf "#!/bin/sh\\n" > "$APP_BUNDLE_PATH/Contents/MacOS/Corvane"\n'
            'chmod +x "$APP_BUNDLE_PATH/Contents/MacOS/Corvane"\n')


def failure_line(code):
    return f"\nセットアップに失敗しました。終了コード: {code}\n"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Installer:
    """One run of the real executable in a fresh bundle copy and home."""

    def __init__(self, harness, home=None):
        self.harness = harness
        self.dir = tempfile.mkdtemp(prefix="row-", dir=harness.work)
        self.bundle = os.path.join(self.dir, "Corvane Installer.app")
        shutil.copytree(harness.bundle, self.bundle, symlinks=True)
        self.payload = os.path.join(self.bundle, "Contents/Resources/payload")
        self.home = home or os.path.join(self.dir, "home 'ホーム'")
        os.makedirs(self.home, exist_ok=True)
        self.root = os.path.join(self.home, "Library/Application Support/Corvane")
        self.state_file = os.path.join(self.dir, "state.json")
        self.process = None

    def write_script(self, body, name="scripts/install_mac_app.sh"):
        path = os.path.join(self.payload, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if os.path.lexists(path):
            os.remove(path)
        with open(path, "w", encoding="utf-8") as f:
            f.write("#!/bin/bash\n" + body)
        os.chmod(path, 0o755)

    def start(self):
        env = dict(os.environ, HOME=self.home, DISPLAY=self.harness.display,
                   LD_PRELOAD=self.harness.preload, CORVANE_PROBE_OUT=self.state_file)
        env.pop("QT_QPA_PLATFORM", None)
        exe = os.path.join(self.bundle, "Contents/MacOS/corvane-installer")
        self.process = subprocess.Popen([exe], env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self

    def state(self):
        try:
            with open(self.state_file, encoding="utf-8") as f:
                return json.load(f)
        except (OSError, ValueError):
            return {}

    def wait_for(self, predicate, timeout=30, what="the window"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            state = self.state()
            if state and predicate(state):
                return state
            if self.process.poll() is not None:
                raise Failure(f"the installer exited ({self.process.returncode}) waiting for {what}")
            time.sleep(0.05)
        raise Failure(f"timed out waiting for {what}; last state: {str(self.state())[:600]}")

    def outcome(self, timeout=60, settle=0.5):
        """The window once the spinner has stopped and nothing changed for `settle` s."""
        state = self.wait_for(lambda s: s.get("spinning") is False and "logTail" in s,
                              timeout, "the outcome")
        while True:
            time.sleep(settle)
            later = self.state()
            if later == state:
                return state
            state = later

    def close(self, within=1.0):
        """Closes the window as its close box does; the program must exit 0 in time."""
        started = time.monotonic()
        subprocess.run([self.harness.close_window, TITLE], check=True,
                       env=dict(os.environ, DISPLAY=self.harness.display))
        try:
            code = self.process.wait(timeout=within + 4)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure("still running after its window was closed")
        elapsed = time.monotonic() - started
        check(code == 0, f"exit code {code} after closing the window")
        check(elapsed <= within, f"took {elapsed:.2f} s to exit after closing")

    def run(self, close_within=1.0, **outcome_args):
        self.start()
        state = self.outcome(**outcome_args)
        self.close(within=close_within)
        return state


def expect_failure(state, code):
    check(state["status"] == FAILED, f"status {state['status']!r}")
    check(state["log"].endswith(failure_line(code)), f"log ends {state['log'][-200:]!r}")
    check(not state["openEnabled"], "open button enabled after a failure")
    check(state["quitEnabled"], "close button disabled")


def expect_success(state):
    check(state["status"] == SUCCEEDED, f"status {state['status']!r}")
    check(state["logTail"].endswith(SUCCESS_LINE), f"log ends {state['logTail'][-200:]!r}")
    check(state["openEnabled"], "open button disabled after success")


def expect_missing(state, run):
    check(state["status"] == MISSING, f"status {state['status']!r}")
    check(state["log"] == WELCOME + MISSING + "\n", f"log {state['log']!r}")
    check(not state["openEnabled"], "open button enabled")
    check(os.listdir(run.home) == [], f"home not empty: {os.listdir(run.home)}")


def run_stopping_before_script(run, fragment):
    """Runs with a payload script that leaves a marker; the run must fail
    before it, with the failing command's message in the log."""
    marker = os.path.join(run.dir, "payload script ran")
    run.write_script(f"touch '{marker}'\n")
    state = run.run()
    code = int(state["log"].rsplit("終了コード: ", 1)[-1])
    check(code != 0, "failure shown as success")
    expect_failure(state, code)
    check(fragment in state["log"], f"{fragment!r} is not in the log")
    check(not os.path.exists(marker), "the payload script ran")
    return code


def run_failing_script(run, code, fragment):
    state = run.run()
    expect_failure(state, code)
    check(fragment in state["log"], f"bash's message ({fragment!r}) is not in the log")
    return f"exit code {code} with bash's message"


def decode_chunk(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data.decode("mac_roman")


# ---- rows -------------------------------------------------------------------

def row_payload_missing(h):
    run = Installer(h)
    shutil.rmtree(run.payload)
    expect_missing(run.run(), run)
    return "missing payload message, nothing created"


def row_payload_plain_file(h):
    run = Installer(h)
    shutil.rmtree(run.payload)
    with open(run.payload, "w") as f:
        f.write("not a folder")
    expect_missing(run.run(), run)
    return "missing payload message, nothing created"


def row_payload_symlink(h):
    run = Installer(h)
    real = os.path.join(run.dir, "real payload")
    shutil.move(run.payload, real)
    os.symlink(real, run.payload)
    state = run.run()
    expect_success(state)
    check(os.path.isfile(os.path.join(run.root, "start.sh")), "payload not copied")
    return "installed through the link"


def row_unreadable_payload_file(h):
    run = Installer(h)
    secret = os.path.join(run.payload, "data/secret.bin")
    os.makedirs(os.path.dirname(secret))
    with open(secret, "w") as f:
        f.write("x")
    os.chmod(secret, 0)
    code = run_stopping_before_script(run, "secret.bin")
    return f"copy failed, exit code {code}, payload script not run"


def row_library_uncreatable(h):
    run = Installer(h)
    with open(os.path.join(run.home, "Library"), "w") as f:
        f.write("")
    code = run_stopping_before_script(run, "mkdir")
    return f"exit code {code}, payload script not run"


def row_script_missing(h):
    run = Installer(h)
    os.remove(os.path.join(run.payload, "scripts/install_mac_app.sh"))
    return run_failing_script(run, 127, "install_mac_app.sh")


def row_script_not_executable(h):
    # The install script makes scripts/*.sh executable; a link to a file the user
    # cannot chmod stays unexecutable.
    run = Installer(h)
    target = "/etc/passwd"
    check(os.getuid() != 0 and os.stat(target).st_uid != os.getuid(),
          "needs an unprivileged user and a file of someone else's")
    check(not os.access(target, os.X_OK), f"{target} is executable")
    script = os.path.join(run.payload, "scripts/install_mac_app.sh")
    os.remove(script)
    os.symlink(target, script)
    return run_failing_script(run, 126, "Permission denied")


def row_script_syntax_error(h):
    run = Installer(h)
    run.write_script("echo before\nif then fi (\n")
    return run_failing_script(run, 2, "syntax error")


def row_script_killed(h):
    run = Installer(h)
    run.write_script("echo going\nkill -KILL $$\n")
    expect_failure(run.run(), 128 + signal.SIGKILL)
    return "exit code 137"


def row_script_reads_stdin(h):
    run = Installer(h)
    run.write_script('if read -r answer; then echo "read: $answer"; else echo "no input"; fi\n'
                     'cat >/dev/null\n' + MAKE_APP)
    state = run.run(timeout=20)
    expect_success(state)
    check("no input\n" in state["log"], "the script did not see end of input")
    return "end of input at once, success"


def row_background_holds_output(h):
    run = Installer(h)
    run.write_script(MAKE_APP + '(sleep 2; echo "late line") &\necho "exiting"\nexit 0\n')
    run.start()
    started = time.monotonic()
    state = run.wait_for(lambda s: s.get("spinning") is False, 20, "the outcome")
    shown = time.monotonic() - started
    check(shown < 1.9, f"the outcome waited for the background process ({shown:.2f} s)")
    check(state["log"].endswith(SUCCESS_LINE), "outcome not at the end yet")
    state = run.wait_for(lambda s: s["log"].endswith("late line\n"), 10, "the late line")
    check(state["log"].endswith(SUCCESS_LINE + "late line\n"), "late output not below the outcome")
    run.close()
    return f"outcome after {shown:.2f} s, late output below it"


def row_odd_bytes(h):
    run = Installer(h)
    pieces = [b"nul\x00in the middle\n", b"caf\xe9 latin-1\n", "日本語の行\n".encode(),
              b"\xff\xfe\x00binary\n", b"x" * 300000 + b"\n", b"no newline at the end"]
    data_dir = os.path.join(run.payload, "pieces")
    os.makedirs(data_dir)
    lines = []
    for i, piece in enumerate(pieces):
        with open(os.path.join(data_dir, str(i)), "wb") as f:
            f.write(piece)
        # One write per piece, apart in time, so each is a read of its own.
        lines.append(f"cat pieces/{i}; sleep 0.15")
    run.write_script("\n".join(lines) + "\n" + MAKE_APP)
    state = run.run()
    expected = "".join(decode_chunk(p) for p in pieces)
    log = state["log"]
    body = log[log.index("\n", len(WELCOME)) + 1:]
    check(body == expected + SUCCESS_LINE,
          f"log differs from the output: {body[:200]!r} ... {body[-200:]!r}")
    return "NUL, Mac OS Roman and 300,000-character line shown exactly"


def row_hundred_megabytes(h):
    run = Installer(h)
    run.write_script('for ((i = 0; i < 1250000; i++)); do printf "%08d %s\\n" "$i" '
                     '"0123456789012345678901234567890123456789012345678901234567890123456789"; done\n'
                     + MAKE_APP)
    # The window goes at once; freeing a 1.25-million-line log after it takes a
    # few tenths of a second, and more on a busy machine.
    state = run.run(timeout=600, settle=1.0, close_within=3.0)
    expected = hashlib.sha256()
    expected.update((WELCOME + f"インストール先: {run.root}\n").encode())
    line = "0123456789012345678901234567890123456789012345678901234567890123456789"
    for i in range(1250000):
        expected.update(f"{i:08d} {line}\n".encode())
    expected.update(SUCCESS_LINE.encode())
    expect_success(state)
    check(state["logSha256"] == expected.hexdigest(),
          f"100 MB log differs ({state['logBytes']} bytes shown)")
    return f"{state['logBytes']:,} bytes, complete and in order"


def row_ten_thousand_files(h):
    run = Installer(h)
    many = os.path.join(run.payload, "many")
    for i in range(10000):
        sub = os.path.join(many, f"{i // 500:02d}")
        os.makedirs(sub, exist_ok=True)
        with open(os.path.join(sub, f"file-{i}.txt"), "w") as f:
            f.write(str(i))
    run.write_script('echo "$(find many -type f | wc -l) files"\n' + MAKE_APP)
    state = run.run(timeout=120)
    expect_success(state)
    check("10000 files\n" in state["log"], "not all files were copied")
    return "10,000 files copied, success"


def row_closed_while_running(h):
    run = Installer(h)
    finished = os.path.join(run.dir, "finished")
    signalled = os.path.join(run.dir, "signalled")
    run.write_script(f"trap 'touch \"{signalled}\"' TERM HUP INT\n"
                     f"echo started\nsleep 2\ntouch '{finished}'\n")
    run.start()
    run.wait_for(lambda s: "started\n" in s.get("log", ""), 20, "the script's first line")
    run.close(within=1.0)
    deadline = time.monotonic() + 10
    while not os.path.exists(finished) and time.monotonic() < deadline:
        time.sleep(0.1)
    check(os.path.exists(finished), "the script did not run to its end")
    check(not os.path.exists(signalled), "the script was sent a signal")
    return "exited 0 at once; the script ran on, unsignalled"


def row_second_install_merges(h):
    first = Installer(h)
    expect_success(first.run())
    extra = os.path.join(first.root, "left-by-user.txt")
    with open(extra, "w") as f:
        f.write("keep")
    second = Installer(h, home=first.home)
    expect_success(second.run())
    check(os.path.exists(extra), "the second install removed an earlier file")
    with open(os.path.join(first.root, "logs/start.log")) as f:
        starts = f.read().count("started")
    check(starts == 2, f"the app was opened {starts} times")
    return "merged, earlier files kept, app opened twice"


ROWS = [
    ("payload missing", row_payload_missing),
    ("payload a plain file", row_payload_plain_file),
    ("payload a symlink to a directory", row_payload_symlink),
    ("a payload file that cannot be read", row_unreadable_payload_file),
    ("home whose Library cannot be created", row_library_uncreatable),
    ("payload script missing", row_script_missing),
    ("payload script not executable", row_script_not_executable),
    ("payload script with a syntax error", row_script_syntax_error),
    ("script killed by a signal", row_script_killed),
    ("script reads standard input", row_script_reads_stdin),
    ("background process holds the output", row_background_holds_output),
    ("NUL bytes, invalid UTF-8, very long lines", row_odd_bytes),
    ("100 MB of output", row_hundred_megabytes),
    ("payload of 10,000 small files", row_ten_thousand_files),
    ("window closed while the script runs", row_closed_while_running),
    ("second install over an earlier one", row_second_install_merges),
]


class Harness:
    def __init__(self, bundle, probe, close_window, work):
        self.bundle, self.probe, self.close_window, self.work = bundle, probe, close_window, work
        self.display = None
        self.xvfb = None
        # A sanitizer runtime must come first among preloaded libraries.
        exe = os.path.join(bundle, "Contents/MacOS/corvane-installer")
        libraries = subprocess.run(["ldd", exe], capture_output=True, text=True).stdout
        runtimes = [line.split("=>")[1].split()[0] for line in libraries.splitlines()
                    if "=>" in line and ("libasan" in line or "libubsan" in line)]
        self.preload = " ".join(runtimes + [probe])

    def __enter__(self):
        for number in range(300 + os.getpid() % 300, 1000):
            if not os.path.exists(f"/tmp/.X11-unix/X{number}") and not os.path.exists(f"/tmp/.X{number}-lock"):
                break
        self.display = f":{number}"
        self.xvfb = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if subprocess.run([self.close_window, "-"], env=dict(os.environ, DISPLAY=self.display),
                              stderr=subprocess.DEVNULL).returncode != 2:
                break
            time.sleep(0.1)
        return self

    def __exit__(self, *exc):
        self.xvfb.terminate()
        self.xvfb.wait()


def run_rows(bundle, probe, close_window, selected):
    work = tempfile.mkdtemp(prefix="corvane-faults-")
    failures = 0
    try:
        with Harness(bundle, probe, close_window, work) as harness:
            for name, row in ROWS:
                if selected and row.__name__[4:] not in selected:
                    continue
                started = time.monotonic()
                try:
                    shown = row(harness)
                    print(f"PASS  {name}: {shown} ({time.monotonic() - started:.1f} s)", flush=True)
                except Failure as failure:
                    failures += 1
                    print(f"FAIL  {name}: {failure}", flush=True)
    finally:
        subprocess.run(["chmod", "-R", "u+rwX", work], check=False)
        shutil.rmtree(work, ignore_errors=True)
    return failures


def changed_outside(marker, allowed, user):
    """Files since `marker`, outside the allowed trees, that the user made or
    could have changed: its own, or writable by anyone. Other users' work on the
    machine meanwhile does not count."""
    # /var/lib/xkb: the X server's keymap cache, written by Xvfb, not the installer.
    skip = ["/proc", "/sys", "/dev", "/run", "/tmp", "/var/tmp", "/var/lib/xkb"] + allowed
    prune = []
    for path in skip:
        prune += ["-path", path, "-o"]
    result = subprocess.run(["find", "/", "-xdev", "(", *prune[:-1], ")", "-prune", "-o",
                             "-newer", marker, "(", "-user", str(user), "-o", "(", "-perm", "-0002",
                             "!", "-type", "l", ")", ")", "-print"],
                            capture_output=True, text=True)
    return [line for line in result.stdout.splitlines() if line]


def main():
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 64
    bundle, probe, close_window = (os.path.abspath(p) for p in sys.argv[1:4])
    selected = set(sys.argv[4:])
    if os.getuid() != 0:
        failures = run_rows(bundle, probe, close_window, selected)
        print(f"{len(ROWS) - failures if not selected else len(selected) - failures} passed, {failures} failed")
        return 1 if failures else 0

    # As root: everything again as an unprivileged user, who must touch nothing
    # outside the temporary folders.
    try:
        user = pwd.getpwnam(TEST_USER)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                        TEST_USER], check=True)
        user = pwd.getpwnam(TEST_USER)
    stage = tempfile.mkdtemp(prefix="corvane-stage-")
    try:
        for source, name in ((bundle, "Corvane Installer.app"), (probe, "probe.so"),
                             (close_window, "close_window"), (__file__, "fault_matrix.py")):
            target = os.path.join(stage, name)
            if os.path.isdir(source):
                shutil.copytree(source, target, symlinks=True)
            else:
                shutil.copy2(source, target)
        subprocess.run(["chown", "-R", f"{user.pw_uid}:{user.pw_gid}", stage], check=True)
        os.chmod(stage, 0o755)
        marker = os.path.join(stage, "marker")
        open(marker, "w").close()
        time.sleep(1.1)  # file times have a resolution of their own
        inner = subprocess.run(["runuser", "-u", TEST_USER, "--", "env", "-u", "XAUTHORITY",
                                "python3", os.path.join(stage, "fault_matrix.py"),
                                os.path.join(stage, "Corvane Installer.app"),
                                os.path.join(stage, "probe.so"), os.path.join(stage, "close_window"),
                                *selected])
        # The build tree is where the test suite itself writes.
        outside = changed_outside(marker, [os.path.dirname(os.path.dirname(bundle))], user.pw_uid)
        if outside:
            print("FAIL  no admin rights: changed outside the user's folders:")
            for path in outside[:20]:
                print(f"      {path}")
        else:
            print("PASS  no admin rights: nothing outside the temporary folders was created or changed")
        return 1 if inner.returncode or outside else 0
    finally:
        shutil.rmtree(stage, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
