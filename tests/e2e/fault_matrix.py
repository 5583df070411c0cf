# Fault matrix: the real installer, started from a copy of its bundle
# ($CORVANE_BUNDLE) with a temporary home under Xvfb, against payloads and homes
# that go wrong. The window is read as assistive tools read it, over AT-SPI, and
# closed as a window manager's close box closes it. run_fault_matrix.sh gives it
# a bus session and, as root, a user of its own.

import ctypes
import glob
import os
import select
import resource
import shutil
import signal
import subprocess
import threading
import time

import pyatspi
import pytest
from gi.repository import GLib
from Xlib import X, display as xdisplay, protocol

WELCOME = "Corvane のセットアップを開始します。\n"
MISSING = "インストール用ファイルが見つかりませんでした。"
SUCCEEDED = "セットアップが完了しました。"
SUCCESS_LINE = "\nセットアップが完了しました。Corvane.app を開きます。\n"
FAILED = "セットアップに失敗しました。ログを確認してください。"
REFUSED = "Corvane.app を自動で開けませんでした。~/Applications から開いてください。\n"
LAUNCH_FAILED = "インストーラーを起動できませんでした: "
INSTALLING = "必要ファイルを配置し、依存関係をインストールしています..."
SESSION_END_REFUSED = "セットアップ中のため、ログアウト・再起動・システム終了を中止しました。"
BROKEN = "アプリが壊れています。ダウンロードし直してください ("
KEEPER_MISSING = "インストーラーの一部 (corvane-keeper) が見つかりません。" + BROKEN
KEEPER_BROKEN = "インストーラーの一部 (corvane-keeper) を実行できません。" + BROKEN
KEEPER_ENDED = "インストーラーの一部 (corvane-keeper) がすぐに終了しました。" + BROKEN
DESCRIPTOR_LIMIT = "開けるファイルの数が上限 (ulimit -n) に達しています。上限を上げてから開き直してください ("
PROCESS_LIMIT = ("プロセスの数が上限 (ulimit -u) に達しています。ほかのプログラムを終えるか上限を上げてから"
                 "開き直してください (")
CANNOT_OPEN = "Corvane Installer: ウィンドウを開けませんでした: "
# How long an installer asked to end may take to: it never waits for its
# script, which here waits for a file the test makes only later, so any end
# at all shows that; the bound is for a machine that is busy.
ENDS_WITHIN = 30


@pytest.fixture(scope="session")
def screen():
    assert os.getuid() != 0, "root reads and writes anything: run_fault_matrix.sh runs this as a user"
    # Xvfb picks a free display and says which once it takes connections.
    ready, told = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(told), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            stderr=subprocess.DEVNULL, pass_fds=(told,))
    os.close(told)
    with os.fdopen(ready) as said:
        # Empty should Xvfb end first; nothing at all after a minute.
        number = said.readline().strip() if select.select([said], [], [], 60)[0] else ""
    if not number:
        xvfb.kill()
        pytest.fail(f"Xvfb did not take connections ({xvfb.wait()})")
    bus = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
    yield f":{number}"
    for process in (bus, xvfb):
        process.terminate()
        process.wait()


def processes(home):
    # This user's running processes started with `home` as their HOME, the
    # installer's scripts and keepers included: (pid, parent, name).
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if b"\0HOME=" + os.fsencode(home) + b"\0" not in b"\0" + f.read():
                    continue
            with open(f"/proc/{pid}/stat") as f:
                stat = f.read()
            fields = stat[stat.rindex(")") + 2:].split()
            if fields[0] != "Z":
                found.append((int(pid), int(fields[1]), stat[stat.index("(") + 1:stat.rindex(")")]))
        except (OSError, ValueError):
            pass
    return found


def keepers(home):
    return [(pid, parent) for pid, parent, name in processes(home) if name == "corvane-keeper"]


def end_all_started_with(home):
    # A test that failed midway leaves nothing running: scripts and keepers
    # waiting for a file that is gone would wait for ever.
    for pid, _, _ in processes(home):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


class Installer:
    # One run of the real executable, in a fresh bundle copy and home.

    def __init__(self, screen, tmp_path, home=None):
        self.screen, self.dir, self.process = screen, tmp_path, None
        self.bundle = str(tmp_path / "Corvane Installer.app")
        shutil.copytree(os.environ["CORVANE_BUNDLE"], self.bundle, symlinks=True)
        self.payload = os.path.join(self.bundle, "Contents/Resources/payload")
        self.home = home or str(tmp_path / "home 'ホーム'")
        os.makedirs(self.home, exist_ok=True)
        self.root = os.path.join(self.home, "Library/Application Support/Corvane")
        self.log_file = os.path.join(self.home, "Library/Logs/Corvane Installer/install.log")

    def write_script(self, body):
        path = os.path.join(self.payload, "scripts/install_mac_app.sh")
        os.remove(path)
        with open(path, "w", encoding="utf-8") as f:
            f.write("#!/bin/bash\n" + body)

    def start(self, stderr="", limits=(), ignored=(), session=None):
        # stderr: "closed", or "unread" (a pipe nobody reads) with SIGCHLD
        # ignored, as some launchers leave it. limits: (resource, value) pairs
        # set in the child before it runs. ignored: signals it starts with
        # ignored, as under nohup.
        env = dict(os.environ, HOME=self.home, DISPLAY=self.screen, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        env.pop("SESSION_MANAGER", None)
        if session:
            env["SESSION_MANAGER"] = session.address
        if stderr:
            env.pop("XDG_RUNTIME_DIR")  # so that Qt has a warning to write at start-up
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"):
            if name in env:  # reports go where a failure shows them, not to a dropped stderr
                env[name] += f":log_path={self.dir}/sanitizer"

        def prepare():
            for ignore in ignored:
                signal.signal(ignore, signal.SIG_IGN)
            for which, value in limits:
                resource.setrlimit(which, (value, resource.getrlimit(which)[1]))
            if stderr == "closed":
                os.close(2)  # the display connection would take its number
            elif stderr == "unread":
                read, write = os.pipe()  # not inherited: only the copy on 2 is left
                os.dup2(write, 2)
                os.close(read)
                signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        self.process = subprocess.Popen([os.path.join(self.bundle, "Contents/MacOS/corvane-installer")],
                                        env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE if limits else subprocess.DEVNULL,
                                        preexec_fn=prepare)
        return self

    def controls(self):
        # The window as AT-SPI shows it; None until it is up.
        for app in pyatspi.Registry.getDesktop(0):
            if app is None or app.get_process_id() != self.process.pid or not app.childCount:
                continue
            children = list(app[0])
            labels = [c for c in children if c.getRole() == pyatspi.ROLE_LABEL]
            buttons = [c for c in children if c.getRole() == pyatspi.ROLE_PUSH_BUTTON]
            text = next(c for c in children if c.getRole() == pyatspi.ROLE_TEXT).queryText()
            # The end of a long log is enough, and what one D-Bus message carries.
            log = text.getText(max(0, text.characterCount - 65536), -1)
            spinner = next(c for c in children if c not in labels + buttons and c.getRole() != pyatspi.ROLE_TEXT)
            enabled = [b.getState().contains(pyatspi.STATE_ENABLED) for b in buttons]
            return {"status": labels[1].name, "log": log, "open": enabled[0], "quit": enabled[1],
                    "spinning": spinner.getState().contains(pyatspi.STATE_SHOWING), "buttons": buttons}
        return None

    def wait_for(self, predicate, what, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            state = self.controls()
            if state and predicate(state):
                return state
            assert self.process.poll() is None, \
                f"exited ({self.process.returncode}) waiting for {what}{self.reports()}"
            time.sleep(0.05)
        pytest.fail(f"timed out waiting for {what}; last: {str(self.controls())[:600]}")

    def outcome(self, timeout=60):
        # The window once the run has ended and the log has been still for half a second.
        state = self.wait_for(lambda s: s["status"] in (MISSING, SUCCEEDED, FAILED) or
                              s["status"].startswith(LAUNCH_FAILED), "the outcome", timeout)
        while True:
            time.sleep(0.5)
            later = self.controls()
            if later["log"] == state["log"]:
                return later
            state = later

    def shown(self):
        # Whether a window of the program is on the screen.
        x = xdisplay.Display(self.screen)
        try:
            owner = x.intern_atom("_NET_WM_PID")
            for window in x.screen().root.query_tree().children:
                pid = window.get_full_property(owner, X.AnyPropertyType)
                if pid and pid.value[0] == self.process.pid and window.get_attributes().map_state == X.IsViewable:
                    return True
            return False
        finally:
            x.close()

    def reports(self):
        return "".join("\n" + open(path, errors="replace").read()
                       for path in glob.glob(f"{glob.escape(str(self.dir))}/sanitizer*"))

    def close(self):
        self.close_window()
        self.expect_exit()

    def close_window(self):
        # Asks the window to close, as its close box does.
        x = xdisplay.Display(self.screen)
        pid, protocols = x.intern_atom("_NET_WM_PID"), x.intern_atom("WM_PROTOCOLS")
        for window in x.screen().root.query_tree().children:
            owner = window.get_full_property(pid, X.AnyPropertyType)
            if owner and owner.value[0] == self.process.pid:
                window.send_event(protocol.event.ClientMessage(
                    window=window, client_type=protocols,
                    data=(32, [x.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0])))
        x.sync()  # a request still unread when its client hangs up can be dropped
        x.close()

    def expect_exit(self, status=0):
        # The program must end with `status` once asked to (see ENDS_WITHIN).
        try:
            assert self.process.wait(timeout=ENDS_WITHIN) == status, self.reports()
        finally:
            self.process.kill()


class SessionManager:
    # A small XSMP session manager over libSM, as a desktop runs one: it
    # takes clients, answers what they ask, and asks them to save and log
    # out. What they say back lands in `heard`.

    def __init__(self):
        ice, sm = ctypes.CDLL("libICE.so.6"), ctypes.CDLL("libSM.so.6")
        self.ice, self.sm, self.heard, self.clients = ice, sm, [], []
        p, i = ctypes.c_void_p, ctypes.c_int
        for f, res, args in [(ice.IceListenForConnections, i, [ctypes.POINTER(i), ctypes.POINTER(p), i, ctypes.c_char_p]),
                             (ice.IceGetListenConnectionString, ctypes.c_char_p, [p]),
                             (ice.IceGetListenConnectionNumber, i, [p]),
                             (ice.IceSetHostBasedAuthProc, None, [p, p]),
                             (ice.IceAcceptConnection, p, [p, ctypes.POINTER(i)]),
                             (ice.IceConnectionNumber, i, [p]),
                             (ice.IceProcessMessages, i, [p, p, p]),
                             (sm.SmsInitialize, i, [ctypes.c_char_p, ctypes.c_char_p, p, p, p, i, ctypes.c_char_p]),
                             (sm.SmsGenerateClientID, ctypes.c_char_p, [p]),
                             (sm.SmsRegisterClientReply, i, [p, ctypes.c_char_p]),
                             (sm.SmsInteract, None, [p]),
                             (sm.SmsSaveYourself, None, [p, i, i, i, i]),
                             (sm.SmsSaveYourselfPhase2, None, [p]),
                             (sm.SmsReturnProperties, None, [p, i, p])]:
            f.restype, f.argtypes = res, args
        # Each callback with its data, in SmsCallbacks' order.
        kinds = [ctypes.CFUNCTYPE(i, p, p, ctypes.c_char_p), ctypes.CFUNCTYPE(None, p, p, i),
                 ctypes.CFUNCTYPE(None, p, p, i), ctypes.CFUNCTYPE(None, p, p, i, i, i, i, i),
                 ctypes.CFUNCTYPE(None, p, p), ctypes.CFUNCTYPE(None, p, p, i),
                 ctypes.CFUNCTYPE(None, p, p, i, p), ctypes.CFUNCTYPE(None, p, p, i, p),
                 ctypes.CFUNCTYPE(None, p, p, i, p), ctypes.CFUNCTYPE(None, p, p)]

        def register(conn, _, previous):
            sm.SmsRegisterClientReply(conn, sm.SmsGenerateClientID(conn))
            self.clients.append(conn)
            self.heard.append("registered")
            return 1
        answers = [register, lambda conn, _, dialog: sm.SmsInteract(conn),
                   lambda conn, _, cancel: self.heard.append(f"interaction done, cancel {cancel}"),
                   lambda *_: None, lambda conn, _: sm.SmsSaveYourselfPhase2(conn),
                   lambda conn, _, success: self.heard.append(f"saved, success {success}"),
                   lambda *_: self.heard.append("closed"), lambda *_: None, lambda *_: None,
                   lambda conn, _: sm.SmsReturnProperties(conn, 0, None)]
        self.callbacks = [kind(answer) for kind, answer in zip(kinds, answers)]

        class Callbacks(ctypes.Structure):
            _fields_ = [(f"{part}{k}", ctypes.c_void_p) for k in range(10) for part in ("callback", "data")]

        def new_client(conn, _, mask, callbacks, failure):
            mask[0] = (1 << 10) - 1
            table = ctypes.cast(callbacks, ctypes.POINTER(Callbacks)).contents
            for k, callback in enumerate(self.callbacks):
                setattr(table, f"callback{k}", ctypes.cast(callback, ctypes.c_void_p).value)
            return 1
        self.new_client = ctypes.CFUNCTYPE(i, p, p, ctypes.POINTER(ctypes.c_ulong), p, p)(new_client)
        self.anyone = ctypes.CFUNCTYPE(i, ctypes.c_char_p)(lambda host: 1)
        error = ctypes.create_string_buffer(256)
        assert sm.SmsInitialize(b"corvane", b"1", ctypes.cast(self.new_client, p), None,
                                ctypes.cast(self.anyone, p), 256, error), error.value
        count, listeners = i(), p()
        assert ice.IceListenForConnections(ctypes.byref(count), ctypes.byref(listeners), 256, error), error.value
        objects = ctypes.cast(listeners, ctypes.POINTER(p))
        # Only on this machine: the local socket.
        self.listeners = [objects[k] for k in range(count.value)
                          if ice.IceGetListenConnectionString(objects[k]).startswith(b"local/")]
        for listener in self.listeners:
            ice.IceSetHostBasedAuthProc(listener, ctypes.cast(self.anyone, p))
        self.address = ice.IceGetListenConnectionString(self.listeners[0]).decode()
        self.connections, self.lock, self.running = {}, threading.Lock(), True
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        listening = {self.ice.IceGetListenConnectionNumber(l): l for l in self.listeners}
        while self.running:
            ready, _, _ = select.select(list(listening) + list(self.connections), [], [], 0.1)
            with self.lock:
                for fd in ready:
                    if fd in listening:
                        status = ctypes.c_int()
                        conn = self.ice.IceAcceptConnection(listening[fd], ctypes.byref(status))
                        if conn:
                            self.connections[self.ice.IceConnectionNumber(conn)] = conn
                    elif self.ice.IceProcessMessages(self.connections[fd], None, None) != 0:
                        del self.connections[fd]  # an I/O error, or closed

    def ask_to_log_out(self):
        # Save, then log out; the client may interact first.
        with self.lock:
            for conn in self.clients:
                self.sm.SmsSaveYourself(conn, 2, 1, 2, 0)  # SmSaveBoth, shutdown, SmInteractStyleAny, not fast

    def stop(self):
        self.running = False
        self.thread.join()


def wait_until(found, what, timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = found()
        if result:
            return result
        time.sleep(0.05)
    pytest.fail(f"timed out waiting for {what}")


def file_end(path, size):
    try:
        with open(path, "rb") as f:
            f.seek(max(0, os.path.getsize(path) - size))
            return f.read()
    except OSError:
        return b""


@pytest.fixture
def installer(screen, tmp_path):
    run = Installer(screen, tmp_path)
    yield run
    if run.process:
        run.process.kill()
    end_all_started_with(run.home)


# The statuses reach screen readers as they change, each in the event
# itself, as Orca hears them.
def test_demo_payload_installs_opens_the_app_and_ends_on_close(installer):
    heard = []
    def hear(event):
        if event.source.getRole() == pyatspi.ROLE_LABEL:
            heard.append(event.any_data)
    pyatspi.Registry.registerEventListener(hear, "object:text-changed:insert")
    try:
        state = installer.start().outcome()
        while GLib.MainContext.default().iteration(False):
            pass
    finally:
        pyatspi.Registry.deregisterEventListener(hear, "object:text-changed:insert")
    assert heard == [INSTALLING, SUCCEEDED]
    assert state["status"] == SUCCEEDED and state["open"] and not state["spinning"]
    assert state["log"].startswith(WELCOME + f"インストール先: {installer.root}\n")
    assert "警告: デモ版のため、署名は行いません\n" in state["log"], "standard error is in the log too"
    assert state["log"].endswith("==> 完了しました (Corvane 1.0.0)\n" + SUCCESS_LINE)
    started = os.path.join(installer.root, "logs/start.log")
    installer.wait_for(lambda s: b"Corvane 1.0.0 started" in file_end(started, 4096), "the app's start", 60)
    installer.close()


@pytest.mark.parametrize("folder, stderr, shown", [
    ("caf\udce9", "", "/caf\u00c8/"),  # the byte E9, a Latin-1 "café": shown as Mac OS Roman
    ("plain", "closed", "/plain/"),
    ("plain", "unread", "/plain/"),
])
def test_installs_from_a_folder_that_is_not_utf8_or_with_standard_error_closed_or_unread(
        screen, tmp_path, folder, stderr, shown, request):
    run = Installer(screen, tmp_path / folder)
    request.addfinalizer(lambda: end_all_started_with(run.home))
    state = run.start(stderr).outcome()
    assert state["status"] == SUCCEEDED and shown in state["log"]
    run.close()


# A payload script that cannot be run: a link to a file the user cannot
# change, which the install script cannot make executable. The failure line,
# then where the whole output is kept.
def test_a_failing_payload_script_shows_its_exit_code(installer):
    os.remove(os.path.join(installer.payload, "scripts/install_mac_app.sh"))
    os.symlink("/etc/passwd", os.path.join(installer.payload, "scripts/install_mac_app.sh"))
    state = installer.start().outcome()
    assert state["status"] == FAILED and "Permission denied" in state["log"] and not state["spinning"]
    assert state["log"].endswith(f"\nセットアップに失敗しました。終了コード: 126\nログファイル: {installer.log_file}\n")
    assert not state["open"] and state["quit"]
    installer.close()


# Started as under nohup, in the background of a shell: the hangup and the
# Ctrl+C it was started to ignore do not end it.
def test_app_that_cannot_be_started_gets_the_refusal_line(installer):
    installer.write_script('if read -r line; then echo "read: $line"; else echo "no input"; fi\n')
    installer.start(ignored=(signal.SIGHUP, signal.SIGINT)).wait_for(lambda s: True, "the window")
    for ignored in (signal.SIGHUP, signal.SIGINT):
        installer.process.send_signal(ignored)
    state = installer.outcome()
    assert state["status"] == SUCCEEDED and state["open"] and state["log"].endswith("no input\n" + SUCCESS_LINE + REFUSED)
    state["buttons"][0].queryAction().doAction(0)
    installer.wait_for(lambda s: s["log"].endswith(REFUSED + REFUSED), "the second refusal")
    installer.close()


# However the program ends mid-run (its close button, Ctrl+C in its terminal,
# kill, kill -9), it ends at once; the script runs on unsignalled, what it
# prints goes on into the log file, which ends as an uninterrupted run's
# would, and it keeps its turn: a second installer waits for it, also though
# the script's process is named "x) Z y", and when the script sends its own
# output elsewhere, so that none is left to read. So it does when its keeper
# is killed, before the close (another stands by in its place) or after it
# (the one standing by for it takes over). Killed outright after 40 MB of
# 200 MB, the file keeps its head, the line saying how much was left out,
# and the exact end.
LINE = "x" * 99 + "\n"
HEAD = 32 << 20


@pytest.mark.parametrize("end", ["close button", "SIGINT", "SIGTERM", "SIGKILL", "quiet close",
                                 "keeper killed, then close", "close, then keeper killed"])
def test_however_it_ends_the_script_runs_on_with_its_output_and_its_turn(screen, tmp_path, end, request):
    home = str(tmp_path / "home")
    request.addfinalizer(lambda: end_all_started_with(home))
    first, second = (Installer(screen, tmp_path / name, home) for name in ("first", "second"))
    go, turns, signalled = tmp_path / "go", tmp_path / "turns", tmp_path / "signalled"
    lines = (400000, 1600000) if end == "SIGKILL" else (0, 1)
    # Killed outright, past the head, where the file's own line goes: a line
    # shaped like it there, which the keeper must not take for it.
    before, forged = lines[0], b""
    if end == "SIGKILL":
        before = HEAD // len(LINE)
        said = "--- 出力 7 バイトを省略しました (最新 23 バイトが先) ---".encode()
        forged = b"x" * (HEAD - before * len(LINE) - 1) + b"\n" + said + b" " * (127 - len(said)) + b"\n"
    after = f"exec >>'{tmp_path}/own.log' 2>&1\n" if end == "quiet close" else ""
    first.write_script(f"printf 'x) Z y' >/proc/$$/comm\n"
                       f"trap 'touch \"{signalled}\"' TERM HUP INT PIPE\necho begin >> '{turns}'\n"
                       f"yes {'x' * 99} | head -n {before}\nprintf '%s' '{forged.decode()}'\n"
                       f"yes {'x' * 99} | head -n {lines[0] - before}\necho started\n{after}"
                       f"until [ -e '{go}' ]; do sleep 0.05; done\n"
                       f"yes {'x' * 99} | head -n {lines[1]}\necho printed after the end\n"
                       f"echo end >> '{turns}'\n")
    second.write_script(f"echo begin >> '{turns}'; echo end >> '{turns}'\n")
    try:
        state = first.start().wait_for(lambda s: s["log"].endswith("started\n"), "the script's line", 60)
        if end == "keeper killed, then close":
            ours = lambda: [pid for pid, parent in keepers(home) if parent == first.process.pid]
            killed = wait_until(ours, "its keeper")
            os.kill(killed[0], signal.SIGKILL)
            wait_until(lambda: [pid for pid in ours() if pid != killed[0]], "a keeper in its place")
        if end.startswith("SIG"):
            first.process.send_signal(getattr(signal, end))
        else:
            state["buttons"][1].queryAction().doAction(0)
        first.expect_exit(status=-signal.SIGKILL if end == "SIGKILL" else 0)
        if end == "close, then keeper killed":
            # The keeper holding the run is the one with a keeper of its own.
            holders = lambda: [pid for pid, _ in keepers(home) if any(p == pid for _, p in keepers(home))]
            os.kill(wait_until(holders, "the keeper holding the run")[0], signal.SIGKILL)
        second.start().wait_for(lambda s: "別のインストーラーの完了を待っています" in s["log"], "its turn")
    finally:
        go.touch()
    assert second.outcome()["status"] == SUCCEEDED
    assert open(turns).read() == "begin\nend\n" * 2 and not signalled.exists()
    output = (LINE * before + forged.decode() + LINE * (lines[0] - before) + "started\n" +
              ("" if after else LINE * lines[1] + "printed after the end\n"))
    kept_file = first.log_file.replace("install.log", "install.1.log")
    second.wait_for(lambda s: file_end(kept_file, 100) == output[-100:].encode(), "the kept file's end", 60)
    kept = open(kept_file, "rb").read().decode()
    if len(output) <= HEAD:
        assert kept == output
    else:
        tail_start = kept.index("\n", HEAD + 1) + 1
        tail = kept[tail_start:]
        assert kept[:HEAD] == output[:HEAD] and output.endswith(tail) and tail.startswith(LINE)
        line_end = "" if output[HEAD - 1] == "\n" else "\n"
        left_out = len(output.encode()) - HEAD - len(tail.encode())
        assert kept[HEAD:tail_start].startswith(f"{line_end}--- 出力 {left_out} バイトを省略しました ---")
    second.close()
    wait_until(lambda: not keepers(home), "the keepers' end with the run")


# A desktop that asks to log out while the script runs is told no, through
# XSMP, and the status says why; once the run is over, it may.
def test_a_logout_asked_for_mid_run_is_refused(installer, tmp_path):
    go = tmp_path / "go"
    installer.write_script(f"echo started\nuntil [ -e '{go}' ]; do sleep 0.05; done\necho done\n")
    session = SessionManager()
    try:
        installer.start(session=session).wait_for(lambda s: s["log"].endswith("started\n"), "the script's line")
        wait_until(lambda: "registered" in session.heard, "the installer in the session")
        session.ask_to_log_out()
        wait_until(lambda: any(h.startswith("saved") for h in session.heard), "its answer")
        state = installer.wait_for(lambda s: s["status"] == SESSION_END_REFUSED, "the word why")
        assert "interaction done, cancel 1" in session.heard, session.heard
        assert state["spinning"] and installer.process.poll() is None and installer.shown()
        go.touch()
        installer.outcome()
        asked = len(session.heard)
        session.ask_to_log_out()
        wait_until(lambda: any(h.startswith("saved") for h in session.heard[asked:]), "its answer after the run")
        assert "interaction done, cancel 1" not in session.heard[asked:], session.heard
    finally:
        go.touch()
        session.stop()


# With no keeper to be had (the one standing by killed, and the bundle's gone),
# a close takes the window off the screen, and the installer itself holds the
# run: its turn, and the output into the file, until the script has ended.
def test_with_no_keeper_left_a_close_hides_the_window_and_the_installer_holds_the_run(screen, tmp_path, request):
    home = str(tmp_path / "home")
    request.addfinalizer(lambda: end_all_started_with(home))
    first, second = (Installer(screen, tmp_path / name, home) for name in ("first", "second"))
    go = tmp_path / "go"
    first.write_script(f"echo started\nuntil [ -e '{go}' ]; do sleep 0.05; done\nseq 1 20000\n")
    second.write_script("echo second\n")
    try:
        first.start().wait_for(lambda s: s["log"].endswith("started\n"), "the script's line")
        keeper = os.path.join(first.bundle, "Contents/MacOS/corvane-keeper")
        os.rename(keeper, keeper + ".gone")
        ours = lambda: [pid for pid, parent in keepers(home) if parent == first.process.pid]
        os.kill(wait_until(ours, "its keeper")[0], signal.SIGKILL)
        wait_until(lambda: not ours(), "its keeper gone")
        first.close_window()
        wait_until(lambda: not first.shown(), "the window gone", ENDS_WITHIN)
        second.start().wait_for(lambda s: "別のインストーラーの完了を待っています" in s["log"], "its turn")
        assert first.process.poll() is None, "the installer holds the run"
    finally:
        go.touch()
    first.expect_exit()
    assert second.outcome()["status"] == SUCCEEDED
    assert open(first.log_file.replace("install.log", "install.1.log")).read() == \
        "started\n" + "".join(f"{i}\n" for i in range(1, 20001))
    second.close()


# A keeper that is not in the bundle, cannot be run, or ends at once, and a
# descriptor limit that leaves no room for it: the run does not start, and
# the window says why, as the failure it is.
@pytest.mark.parametrize("keeper, says", [("missing", KEEPER_MISSING), ("not executable", KEEPER_BROKEN),
                                          ("a folder", KEEPER_BROKEN), ("exits at once", KEEPER_ENDED),
                                          pytest.param("descriptor limit", DESCRIPTOR_LIMIT,
                                                       marks=pytest.mark.limits)])
def test_a_run_its_keeper_cannot_hold_does_not_start(installer, tmp_path, keeper, says):
    path = os.path.join(installer.bundle, "Contents/MacOS/corvane-keeper")
    if keeper != "descriptor limit" and keeper != "not executable":
        os.remove(path)
    if keeper == "not executable":
        os.chmod(path, 0o644)
    elif keeper == "a folder":
        os.mkdir(path)
    elif keeper == "exits at once":
        with open(path, "w") as f:
            f.write("#!/bin/sh\nexit 0\n")
        os.chmod(path, 0o755)
    ran = tmp_path / "ran"
    installer.write_script(f"touch '{ran}'\n")
    limits = [(resource.RLIMIT_NOFILE, 19)] if keeper == "descriptor limit" else []
    state = installer.start(limits=limits).outcome()
    assert state["status"].startswith(LAUNCH_FAILED + says), state["status"]
    assert state["log"].endswith("\n" + state["status"] + "\n") and not state["spinning"] and not state["open"]
    assert not ran.exists()
    installer.close()


# Sanitizer builds reserve address space and start threads of their own: these
# two run on the program as it ships (tools/test), and sanitizer runs leave
# them out (-m "not limits").
@pytest.mark.limits
def test_output_past_the_memory_limit_drops_older_output_instead_of_the_program(installer):
    # 200 MB of output in 600 MiB of address space; in the least it accepts,
    # where the log itself runs out of room and still shows the last line;
    # and in less, which it refuses before it opens its window.
    installer.write_script("head -c 200000000 /dev/zero | tr '\\0' x | fold -w 99; echo end\n")
    for limit in (600 << 20, 256 << 20):
        state = installer.start(limits=[(resource.RLIMIT_AS, limit)]).outcome(timeout=180)
        assert state["status"] == SUCCEEDED and state["log"].endswith("xxend\n" + SUCCESS_LINE + REFUSED)
        installer.close()
    installer.start(limits=[(resource.RLIMIT_AS, 140 << 20)])
    assert installer.process.wait(timeout=30) == 1
    assert installer.process.stderr.read().decode() == ("Corvane Installer: ウィンドウを開けませんでした: アドレス空間の上限"
                                                        " (ulimit -v) が 140 MiB しかありません (256 MiB 以上が必要です)\n")


# A file size limit (ulimit -f) fails the log file, said once, and the
# install goes on.
def test_a_file_size_limit_fails_the_log_file_not_the_install(installer):
    installer.write_script("head -c 20000 /dev/zero | tr '\\0' x | fold -w 99; echo end\n")
    state = installer.start(limits=[(resource.RLIMIT_FSIZE, 8 << 10)]).outcome()
    assert state["status"] == SUCCEEDED and state["log"].endswith("xxend\n" + SUCCESS_LINE + REFUSED)
    assert state["log"].count(f"ログファイルに書き込めませんでした: {installer.log_file}: File too large\n") == 1
    installer.close()


# With no display, or one that is gone, it says so in one line and ends.
@pytest.mark.parametrize("display", ["", ":1999"])
def test_without_a_display_it_says_so_in_one_line(installer, display):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    if display:
        env["DISPLAY"] = display
    run = subprocess.run([os.path.join(installer.bundle, "Contents/MacOS/corvane-installer")], env=env,
                         stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    assert run.returncode == 1
    assert run.stderr.decode() == f"Corvane Installer: ウィンドウを開けませんでした: 画面に接続できません (DISPLAY={display} WAYLAND_DISPLAY=)\n"


# A stack too small for the toolkit is refused before the window, as a small
# address space is, naming what it needs.
@pytest.mark.limits
def test_a_tiny_stack_is_refused_in_one_line(installer):
    installer.start(limits=[(resource.RLIMIT_STACK, 64 << 10)])
    assert installer.process.wait(timeout=60) == 1
    assert installer.process.stderr.read().decode() == (
        CANNOT_OPEN + "スタックの上限 (ulimit -s) が 64 KiB しかありません (256 KiB 以上が必要です)\n")


def tasks_of_this_user():
    count = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.stat(f"/proc/{pid}").st_uid == os.getuid():
                count += len(os.listdir(f"/proc/{pid}/task"))
        except OSError:
            pass
    return count


@pytest.mark.limits
def test_near_the_process_limit_it_never_aborts_nor_hangs(screen, tmp_path, request):
    # Ever closer to what the program needs: first it cannot open its window
    # and says so, then its window shows why the run could not start.
    for extra in range(1, 12):
        run = Installer(screen, tmp_path / str(extra))
        request.addfinalizer(lambda home=run.home: end_all_started_with(home))
        try:
            run.start(limits=[(resource.RLIMIT_NPROC, tasks_of_this_user() + extra)])
        except BlockingIOError:
            continue  # not even the program could be started
        deadline = time.monotonic() + 60
        while run.process.poll() is None and not run.controls() and time.monotonic() < deadline:
            time.sleep(0.05)
        if run.process.poll() is not None:
            assert run.process.returncode == 1
            assert "ウィンドウを開けませんでした" in run.process.stderr.read().decode()
            continue
        state = run.wait_for(lambda s: s["status"] != "環境構築を準備しています...", "the start", 30)
        assert state["status"].startswith(LAUNCH_FAILED + PROCESS_LIMIT) or \
            state["status"] in (INSTALLING, SUCCEEDED, FAILED), state["status"]
        run.close()
        return
    pytest.fail("the window never showed")
