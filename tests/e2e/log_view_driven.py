# The log view driven from outside as a reader drives it: real pointer, wheel
# and key events (XTest) sent to a running window over 200,000 lines, and
# the result read from the window's own report, from the clipboard and, on
# Linux, over AT-SPI as a screen reader reads it. The same tests run against
# the Qt window (corvane-log-probe) and the AppKit one built against GNUstep
# (the installer's test copy with its check), which share one view core.
# run_log_view_driven.sh gives them a display and a bus session:
#   CORVANE_PROBE="qt PROGRAM" or "appkit APP_BUNDLE"

import json
import os
import subprocess
import time

import pytest
import Xlib.error
from Xlib import X, XK, display as xdisplay
from Xlib.ext import xtest

KIND, TARGET = os.environ["CORVANE_PROBE"].split(" ", 1)
LINES = 200_000
LINE_ENDS = "{1 crlf\r\ncr\rls\u2028ps\u2029nul\0 tab\t😀 あ 1}"
# A generous bound for one step; each waits for its event, not for time.
STEP = float(os.environ.get("STEP", 60))


def long_line():
    text = "{2 "
    while len(text.encode()) < 10_000:
        text += "abcあいう"
    return text + " 2}\n"


class Window:
    # One running view, its display, and what it last reported.

    def __init__(self, tmp_path, lines=LINES, budget=None):
        self.display = xdisplay.Display(os.environ["DISPLAY"])
        self.report_path = str(tmp_path / "report")
        self.syncs = 0
        self.sync_key = self.keycode("Pause")
        args = [str(lines)] + ([str(budget)] if budget else [])
        environ = dict(os.environ)
        if KIND == "qt":
            command = [TARGET, self.report_path] + args
        else:
            copy = tmp_path / "Corvane Installer.app"
            subprocess.run(["cp", "-R", TARGET, str(copy)], check=True)
            command = [str(copy / "Contents/MacOS/Corvane Installer"),
                       "-NSMenuInterfaceStyle", "NSMacintoshInterfaceStyle"]
            # The Mac's own bindings for the keys that move through a document.
            bindings = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../appkit/MacKeyBindings.dict")
            environ.update(CORVANE_APPKIT_PROBE=self.report_path, CORVANE_APPKIT_PROBE_ARGS=" ".join(args),
                           CORVANE_APPKIT_KEY_BINDINGS=bindings, HOME=str(tmp_path), CFFIXED_USER_HOME=str(tmp_path))
        self.process = subprocess.Popen(command, env=environ, stdout=subprocess.DEVNULL,
                                        stderr=open(tmp_path / "stderr", "w"), start_new_session=True)
        self.state = self.wait(lambda r: r["sync"] == 0, "the window showing the end")
        # Keys go where the pointer is: in the text.
        view = self.state["view"]
        self.click(view[0] + view[2] / 2, view[1] + view[3] / 2)

    def close(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, 9)
        self.process.wait()
        self.display.close()

    def keycode(self, name):
        keysym = XK.string_to_keysym(name)
        code = self.display.keysym_to_keycode(keysym)
        assert code, f"no key gives {name}"
        return code

    def wait(self, ready, what):
        deadline = time.monotonic() + STEP
        while time.monotonic() < deadline:
            assert self.process.poll() is None, f"the window ended ({self.process.returncode}) waiting for {what}"
            try:
                with open(self.report_path, encoding="utf-8") as f:
                    report = json.load(f)
                if ready(report):
                    return report
            except (FileNotFoundError, json.JSONDecodeError):
                pass
            time.sleep(0.02)
        raise AssertionError(f"no report of {what} within {STEP} s")

    def ask(self, questions=()):
        self.syncs += 1
        with open(self.report_path + ".ask", "w", encoding="utf-8") as f:
            f.write("".join(line + "\n" for line in (f"sync {self.syncs}",) + tuple(questions)))
        self.press(self.sync_key)

    def sync(self, questions=()):
        # Everything sent before the sync key has been handled once the
        # window reports it: X delivers a client's events in order.
        self.ask(questions)
        self.state = self.wait(lambda r: r["sync"] == self.syncs, f"sync {self.syncs}")
        return self.state

    def until(self, ready, what):
        # For what comes in its own time, such as a menu: a sync at a time.
        deadline = time.monotonic() + STEP
        while not ready(self.sync()):
            assert time.monotonic() < deadline, f"no {what} within {STEP} s"
        return self.state

    def menu(self, ready, what):
        # The menu open over the window, once `ready`. Qt answers the sync key
        # while its menu is open; GNUstep holds keys back while it tracks one,
        # and reports it as it opens and as the pointer takes an item.
        self.ask()
        return self.wait(lambda r: r["menu"] and ready(r["menu"]), what)["menu"]

    def wait_closed(self):
        # Until no menu is shown over the window (windows no window manager
        # places): a key sent while one is going could go with it.
        def shown(window):
            try:
                attributes = window.get_attributes()
            except Xlib.error.BadWindow:  # gone meanwhile
                return False
            return attributes.override_redirect and attributes.map_state == X.IsViewable
        deadline = time.monotonic() + STEP
        while any(shown(w) for w in self.display.screen().root.query_tree().children):
            assert time.monotonic() < deadline, "the menu stays"
            time.sleep(0.02)

    def press(self, code, modifiers=()):
        mods = [self.keycode(m) for m in modifiers]
        for m in mods:
            xtest.fake_input(self.display, X.KeyPress, m)
        xtest.fake_input(self.display, X.KeyPress, code)
        xtest.fake_input(self.display, X.KeyRelease, code)
        for m in reversed(mods):
            xtest.fake_input(self.display, X.KeyRelease, m)
        self.display.sync()

    def key(self, name, modifiers=()):
        self.press(self.keycode(name), modifiers)
        return self.sync()

    def type(self, text):
        # Each character from a key of its own, mapped to it for the time:
        # no keyboard layout has them all.
        info = self.display.display.info
        mapping = self.display.get_keyboard_mapping(info.min_keycode, info.max_keycode - info.min_keycode + 1)
        spare = [info.min_keycode + k for k, keysyms in enumerate(mapping) if not any(keysyms)]
        codes = dict(zip(dict.fromkeys(text), spare))
        assert len(codes) == len(set(text)), "too few spare keys"
        for char, code in codes.items():
            keysym = ord(char) if 0x20 <= ord(char) < 0x7F or 0xA0 <= ord(char) <= 0xFF else 0x1000000 + ord(char)
            self.display.change_keyboard_mapping(code, [(keysym,) * len(mapping[0])])
        for char in text:
            self.press(codes[char])
        state = self.sync()
        for code in codes.values():
            self.display.change_keyboard_mapping(code, [(0,) * len(mapping[0])])
        return state

    def command(self, letter):
        # ⌘ is the Alt key to GNUstep; Ctrl on a Linux desktop.
        return self.key(letter, ["Alt_L" if KIND == "appkit" else "Control_L"])

    def move(self, x, y):
        xtest.fake_input(self.display, X.MotionNotify, x=int(x), y=int(y))
        self.display.sync()

    def button(self, kind, button=1):
        xtest.fake_input(self.display, kind, button)
        self.display.sync()

    def click(self, x, y, count=1, button=1, modifiers=()):
        self.move(x, y)
        mods = [self.keycode(m) for m in modifiers]
        for m in mods:
            xtest.fake_input(self.display, X.KeyPress, m)
        for _ in range(count):
            self.button(X.ButtonPress, button)
            self.button(X.ButtonRelease, button)
        for m in reversed(mods):
            xtest.fake_input(self.display, X.KeyRelease, m)
        self.display.sync()

    def wheel(self, notches):
        button = 4 if notches < 0 else 5
        for _ in range(abs(notches)):
            self.button(X.ButtonPress, button)
            self.button(X.ButtonRelease, button)
        return self.sync()

    def box(self, text):
        # The last place it starts in view.
        boxes = self.sync([f"boxes {text}"])["boxes"][text]
        assert boxes, f"{text!r} is not in view"
        return boxes[-1]

    def clipboard(self):
        if KIND == "appkit":
            return self.sync()["clipboard"]
        out = subprocess.run(["xclip", "-o", "-selection", "clipboard"], capture_output=True, timeout=STEP)
        return out.stdout.decode("utf-8")


def top_number(state):
    # The number of the numbered line at the top of the view.
    words = state["top"].split(" ")
    assert words[0] == "line", f"not a numbered line at the top: {state['top']!r}"
    return int(words[1])


def scroller_on(state, what):
    bar = state["scroller"]
    assert bar["shown"] and bar["enabled"], f"after {what}: the scroller is off: {bar}"
    knob, track = bar["knobRect"], bar["track"]
    assert 0 < bar["knob"] < 0.01 and knob[3] >= 4, f"after {what}: no knob to drag: {bar}"
    assert track[1] <= knob[1] and knob[1] + knob[3] <= track[1] + track[3] + 1, f"after {what}: {bar}"


@pytest.fixture
def window(tmp_path):
    shown = Window(tmp_path)
    yield shown
    shown.close()


# Over 200,000 lines, after every way a reader moves, the scroller is on and
# its knob can be taken: the wheel, keys, a press on the track, the knob
# dragged.
def test_the_scroller_stays_on_with_its_knob_after_every_reader_action(window):
    state = window.state
    assert state["follows"] and state["scroller"]["value"] == 1
    scroller_on(state, "the start")
    state = window.wheel(-3)
    scroller_on(state, "the wheel")
    assert not state["follows"] and state["scroller"]["value"] < 1
    state = window.key("Home")
    scroller_on(state, "Home")
    assert top_number(state) == 1 and state["scroller"]["value"] == 0
    assert top_number(window.key("Down")) == 2
    state = window.key("Next")
    scroller_on(state, "Page Down")
    assert 8 <= top_number(state) - 2 <= 20, "a page is the rows in view less one"
    state = window.key("Prior")
    scroller_on(state, "Page Up")
    assert top_number(state) == 2, state["place"]
    state = window.wheel(2)
    scroller_on(state, "the wheel down")
    assert top_number(state) > 2
    state = window.key("End")
    scroller_on(state, "End")
    assert state["follows"] and state["scroller"]["value"] == 1

    # The knob, taken in the middle and dragged to the middle of the track.
    knob, track = state["scroller"]["knobRect"], state["scroller"]["track"]
    x = knob[0] + knob[2] / 2
    window.move(x, knob[1] + knob[3] / 2)
    window.button(X.ButtonPress)
    for step in range(1, 11):
        window.move(x, knob[1] + knob[3] / 2 + (track[1] + track[3] / 2 - knob[1] - knob[3] / 2) * step / 10)
    window.button(X.ButtonRelease)
    state = window.sync()
    scroller_on(state, "a drag of the knob")
    assert abs(top_number(state) - LINES / 2) < LINES / 20, "halfway down the track, halfway through"

    # A press on the track above the knob goes up: a page on Qt, to the spot
    # pressed on GNUstep, as each toolkit's scroller does.
    middle = top_number(state)
    knob = state["scroller"]["knobRect"]
    window.click(x, (track[1] + knob[1]) / 2)
    state = window.sync()
    scroller_on(state, "a press on the track")
    assert 0 < middle - top_number(state) < (100 if KIND == "qt" else LINES)


# Clicks by unit where the pointer presses, Shift+click, the keys to select
# and copy, the context menu; what is copied is read from the clipboard, from
# outside where the toolkit lets it be.
def test_clicks_select_and_copy_exactly_what_a_reader_picks(window):
    # A click at the start of one line, Shift+click at the end of it: every
    # kind of line end, NUL, a tab and an emoji, exactly.
    first, last = window.box("{1"), window.box(" 1}")
    window.click(first[0] + 1, first[1] + first[3] / 2)
    window.click(last[0] + last[2] - 1, last[1] + last[3] / 2, modifiers=["Shift_L"])
    state = window.sync()
    assert state["selection"] == LINE_ENDS
    window.command("c")
    assert window.clipboard() == LINE_ENDS

    # A double click on a word; on the emoji with its skin tone, the whole
    # of what is drawn as one.
    tab = window.box("tab")
    window.click(tab[0] + tab[2] / 2, tab[1] + tab[3] / 2, count=2)
    assert window.sync()["selection"] == "tab"
    thumb = window.box("👍🏽")
    window.click(thumb[0] + thumb[2] * 0.75, thumb[1] + thumb[3] / 2, count=2)
    picked = window.sync()["selection"]
    # GNUstep's own notion of a composed character knows no skin tones.
    assert picked == "👍🏽" or (KIND == "appkit" and picked == "👍"), picked
    if KIND == "qt":
        word = window.box("設定")
        window.click(word[0] + word[2] / 4, word[1] + word[3] / 2, count=2)
        assert window.sync()["selection"] == "設定", "a Japanese word, whole"

    # A triple click takes the whole line, however long.
    tail = window.box(" 2}")
    window.click(tail[0], tail[1] + tail[3] / 2, count=3)
    state = window.sync()
    assert state["selectionLength"] == len(long_line().encode()) and state["selection"] == long_line()

    # Select all, then copy: everything kept, to the byte.
    window.command("a")
    window.command("c")
    copied = window.clipboard()
    assert len(copied.encode()) == window.state["keptBytes"]
    assert copied.endswith("ok 👍🏽 done\nthe last line\n") and copied.startswith("line 1 x")

    # The context menu, pressed open and let go on an item: コピー is off with
    # nothing selected, and すべてを選択 selects all.
    window.click(tab[0], tab[1] + tab[3] / 2)
    assert window.sync()["selectionLength"] == 0
    window.move(tab[0], tab[1] + tab[3] / 2)
    window.button(X.ButtonPress, 3)
    menu = window.menu(lambda items: True, "the context menu")
    assert [(item["title"], item["enabled"]) for item in menu] == [("コピー", 0), ("すべてを選択", 1)]
    box = menu[1]["box"]
    window.move(box[0] + box[2] / 2, box[1] + box[3] / 2)
    window.menu(lambda items: items[1]["highlighted"], "すべてを選択 under the pointer")
    window.button(X.ButtonRelease, 3)
    window.wait_closed()
    assert window.sync()["selectionLength"] == window.state["keptBytes"]


# A drag held past the bottom edge keeps scrolling while the pointer rests
# there, selecting as it goes; let go, it stops.
def test_a_drag_held_past_the_edge_keeps_scrolling(window):
    window.key("Home")
    view = window.state["view"]
    window.move(view[0] + 20, view[1] + 30)
    window.button(X.ButtonPress)
    window.move(view[0] + 20, view[1] + view[3] + 25)
    first = window.sync()
    later = window.until(lambda r: top_number(r) > top_number(first) + 20, "scrolling with the pointer at rest")
    first_line = window.sync()["selection"].split("\n")[0]
    assert any(f"line {k} {'x' * 20}".endswith(first_line) for k in (1, 2, 3)), first_line
    window.button(X.ButtonRelease)
    stopped = window.sync()
    assert window.sync()["top"] == stopped["top"], "let go: no more scrolling"
    assert top_number(stopped) >= top_number(later)


# What a screen reader hears of the Qt log over AT-SPI, asked as Orca asks:
# every event in characters, caret and selection events for a selection made
# with the pointer or the keys, a removal when old lines go, each
# character's own box, and the character under a point.
if KIND == "qt":
    import pyatspi
    from gi.repository import GLib

    def test_screen_readers_hear_and_find_it_in_characters(tmp_path):
        heard = []
        kinds = ["object:text-changed:insert", "object:text-changed:delete", "object:text-caret-moved",
                 "object:text-selection-changed"]

        def hear(event):
            if event.source.getRole() == pyatspi.ROLE_TEXT:
                heard.append((event.type, event.detail1, event.detail2, event.any_data))

        def pump(until, what):
            deadline = time.monotonic() + STEP
            while not until():
                assert time.monotonic() < deadline, f"no {what} within {STEP} s: {heard}"
                GLib.MainContext.default().iteration(False) or time.sleep(0.01)

        # Listening before the window starts: Qt asks then who listens.
        for kind in kinds:
            pyatspi.Registry.registerEventListener(hear, kind)
        window = Window(tmp_path, lines=400, budget=1 << 20)
        try:
            app = next(a for a in pyatspi.Registry.getDesktop(0) if a and a.get_process_id() == window.process.pid)
            log = next(c for c in app[0] if c.getRole() == pyatspi.ROLE_TEXT).queryText()

            # Boxes are the glyphs' own: Latin narrower than Japanese, an
            # emoji and its skin tone one box; a point on a glyph's right
            # half is that glyph.
            text = log.getText(0, -1)
            def box(index):
                return log.getCharacterExtents(index, pyatspi.DESKTOP_COORDS)
            latin, kana = text.rindex("done"), text.rindex("設")
            assert 0 < box(latin)[2] < box(kana)[2], (box(latin), box(kana))
            thumb = text.rindex("👍")
            assert box(thumb) == box(thumb + 1) and box(thumb)[2] > box(latin)[2]
            x, y, w, h = box(kana)
            assert log.getOffsetAtPoint(x + w * 3 // 4, y + h // 2, pyatspi.DESKTOP_COORDS) == kana

            # Output that comes: its place and length in characters, an emoji
            # one character; old lines that go: one removal, in characters.
            count = log.characterCount
            window.sync(["append 1"])
            pump(lambda: any(k == "object:text-changed:insert" for k, *_ in heard), "insert")
            # Thirteen characters, fourteen UTF-16 units.
            assert ("object:text-changed:insert", count, 13, "appended 0 😀\n") in heard
            heard.clear()
            window.sync(["append 80000"])
            pump(lambda: any(k == "object:text-changed:delete" for k, *_ in heard), "removal")
            removed = [h for h in heard if h[0] == "object:text-changed:delete"]
            assert len(removed) == 1 and removed[0][1] == 0 and removed[0][2] > 0
            assert log.getText(0, 9) != "line 1 xx", "the first lines went"

            # A selection by the pointer, then by the keys: the caret and the
            # selection are heard of, in characters.
            heard.clear()
            first, last = window.box("appended 79990"), window.box("appended 79992")
            window.move(first[0] + 1, first[1] + first[3] / 2)
            window.button(X.ButtonPress)
            window.move(last[0] + last[2] - 1, last[1] + last[3] / 2)
            window.button(X.ButtonRelease)
            window.sync()
            pump(lambda: {k for k, *_ in heard} >= set(kinds[2:]), "caret and selection events")
            start, end = log.getSelection(0)
            assert log.getText(start, end) == "appended 79990 😀\nappended 79991 😀\nappended 79992"
            assert ("object:text-caret-moved", end) in [h[:2] for h in heard]
            heard.clear()
            window.command("a")
            pump(lambda: any(k == "object:text-selection-changed" for k, *_ in heard), "select all heard")
            assert log.getSelection(0) == (0, log.characterCount)

        finally:
            for kind in kinds:
                pyatspi.Registry.deregisterEventListener(hear, kind)
            window.close()


# The find, driven as a reader drives it. The count reads as a Japanese
# desktop writes it; on a Mac, as VoiceOver last heard it.
def status(state):
    return state["find"]["status"]


def open_find(window):
    # After the run's outcome: under GNUstep, the keys went back to the log
    # as it came.
    if KIND == "appkit":
        window.until(lambda r: status(r), "the outcome told")
    state = window.command("f")
    assert state["find"]["shown"] and state["find"]["fieldKeys"]


def find(window, needle, count, selection):
    # The field's text replaced by what is typed.
    window.command("a")
    window.type(needle)
    return window.until(lambda r: status(r) == count and r["selection"] == selection, f"{count} for {needle!r}")


# Ctrl+F (⌘F) opens the find; a needle typed selects the first match from the
# caret on; Enter and F3 (⌘G) step on, Shift with them back, round the ends.
# Matches in every kind of text: Japanese, an emoji, NUL as the ␀ shown for
# it, across the cut of a line into pieces of 4,096 bytes, deep in a line of
# 10 MB; on Linux also full-width letters and half-width kana as ICU folds
# them, and the match-case box. Escape gives the keys back to the log.
def test_find_steps_through_every_kind_of_text_and_closes(tmp_path):
    window = Window(tmp_path, lines=2000)
    try:
        window.sync(["long 4090 100 needle-across", "long 9000000 1000000 deep-needle", "long 0 0 ｶﾞｲﾄﾞ ＥＲＲＯＲ"])
        window.key("Home")
        window.click(window.state["view"][0] + 5, window.state["view"][1] + 8)
        open_find(window)
        # Lines 19, 190 to 199 and 1900 to 1999; case is not minded.
        state = find(window, "LINE 19", "111 件中 1 件目", "line 19")
        assert state["selectionLine"].startswith("line 19 x")
        assert window.sync(["boxes line 19 x"])["boxes"]["line 19 x"], "in view"
        shift = ["Shift_L"]
        again = ("F3", []) if KIND == "qt" else ("g", ["Alt_L"])
        for key, modifiers, line, count in [("Return", [], "line 190 ", 2), (*again, "line 191 ", 3),
                                            ("Return", shift, "line 190 ", 2), (again[0], again[1] + shift, "line 19 ", 1),
                                            ("Return", shift, "line 1999 ", 111)]:
            window.key(key, modifiers)
            state = window.until(lambda r: status(r) == f"111 件中 {count} 件目", f"match {count}")
            assert state["selectionLine"].startswith(line), (count, state["selectionLine"])
        cases = [("設定", "設定"), ("😀", "😀"), ("nul␀ tab", "nul\0 tab"), ("needle-across", "needle-across"),
                 ("deep-needle", "deep-needle")] + ([("ガイド", "ｶﾞｲﾄﾞ"), ("Error", "ＥＲＲＯＲ")] if KIND == "qt" else [])
        for needle, text in cases:
            find(window, needle, "1 件中 1 件目", text)
            assert window.sync([f"boxes {text}"])["boxes"][text], f"{needle!r} is not shown"
            assert needle != "deep-needle" or window.state["top"].startswith("zzzz"), "the line of 10 MB at the top"
        if KIND == "qt":
            box = window.state["find"]["matchCase"]
            for count in ("見つかりませんでした", "1 件中 1 件目"):
                window.click(box[0] + 8, box[1] + box[3] / 2)
                window.until(lambda r: status(r) == count, count)
        state = window.key("Escape")
        assert not state["find"]["shown"] and state["find"]["logKeys"]
        assert window.key("End")["follows"], "End went to the log"
    finally:
        window.close()


# While output floods in, the search goes on into it; lines that go take
# their matches with them, and the count and the place of the current match
# follow; stepping goes on from it; every match in view is highlighted (on
# Linux read from the screen: the find's yellow). AT-SPI hears the count.
def test_find_goes_on_while_output_floods_in(tmp_path):
    heard = []
    if KIND == "qt":
        import pyatspi
        from gi.repository import GLib
        hear = lambda event: heard.append(event.any_data) if event.source.getRole() == pyatspi.ROLE_LABEL else None
        pyatspi.Registry.registerEventListener(hear, "object:text-changed:insert")
    window = Window(tmp_path, lines=2000, budget=1 << 20)
    try:
        open_find(window)
        find(window, "😀", "1 件中 1 件目", "😀")
        for _ in range(6):
            window.sync(["append 40000"])
        window.key("Return")
        state = window.until(lambda r: status(r) == f"{r['keptLines'] - 1:,} 件中 1 件目", "all kept searched")
        assert state["droppedLines"] > 200_000 and state["selectionLine"].startswith("appended ")
        # Round the start to the last, then as much again comes as goes.
        state = window.key("Return", ["Shift_L"])
        kept = state["keptLines"] - 1
        assert status(state) == f"{kept:,} 件中 {kept:,} 件目"
        window.sync(["append 1000"])
        if KIND == "appkit":  # VoiceOver hears the count as a match is selected
            window.key("Return", ["Shift_L"])
            window.command("g")
        window.until(lambda r: status(r) == f"{r['keptLines'] - 1:,} 件中 {r['keptLines'] - 1001:,} 件目",
                     "the same match, its place counted again")
        assert window.key("Return")["selectionLine"] == "appended 0 😀\n"
        boxes = window.sync(["boxes 😀"])["boxes"]["😀"]
        assert len(boxes) > 5
        if KIND == "appkit":
            assert sorted(window.state["find"]["highlights"]) == sorted(boxes)
            return
        root = window.display.screen().root
        images = [root.get_image(int(x), int(y), max(1, int(w)), max(1, int(h)), X.ZPixmap, 0xFFFFFFFF).data
                  for x, y, w, h in boxes]
        yellow = [any(data[k:k + 3] == bytes((0, 222, 255)) for k in range(0, len(data), 4)) for data in images]
        assert yellow.count(True) == len(boxes) - 1, "all but the selected one"
        deadline = time.monotonic() + STEP
        while status(window.state) not in heard:
            assert time.monotonic() < deadline, f"AT-SPI did not hear {status(window.state)!r}: {heard[-3:]}"
            GLib.MainContext.default().iteration(False) or time.sleep(0.01)
    finally:
        if KIND == "qt":
            pyatspi.Registry.deregisterEventListener(hear, "object:text-changed:insert")
        window.close()
