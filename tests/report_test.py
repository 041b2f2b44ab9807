#!/usr/bin/env python3
"""The visual report, rendered in a real browser: orvane-sim writes the report of a known scenario,
headless Chromium loads it at a chosen line (the page's script runs), and the test reads the DOM it
leaves: the globe key's label, the keyboard on the space bar, the switcher list, the alert, the
failed expectation. Screenshots are not compared (pixels change with fonts).

    report_test.py ORVANE_SIM SCENARIO_FOLDER
"""

import html.parser
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

SIM = None
SCENARIOS = None
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")

SCENARIO = """\
keyboards en_US fr_FR emoji@sw=Emoji
settings write {mode: 2, icon: 2, SelectedKeyboards: [fr_FR]}
start com.example.app
show-keyboard com.example.app
label com.example.app
switcher com.example.app
settings write {mode: 1, icon: 1, SelectedKeyboards: [en_US, emoji@sw=Emoji]}
tap com.example.app globe
run
expect input-mode com.example.app emoji@sw=Emoji
settings delete
pref remove net.varnholt.orvane-warns config1-Warn
tap com.example.app globe
expect input-mode com.example.app fr_FR
"""


class Node:
    def __init__(self, tag, attrs, parent):
        self.tag, self.attrs, self.parent, self.children, self.text = tag, dict(attrs), parent, [], ""

    def classes(self):
        return self.attrs.get("class", "").split()

    def all_text(self):
        return self.text + "".join(c.all_text() for c in self.children)

    def find_all(self, test):
        found = [self] if test(self) else []
        for c in self.children:
            found += c.find_all(test)
        return found


class Dom(html.parser.HTMLParser):
    VOID = {"meta", "br", "input", "link", "img", "hr"}

    def __init__(self, text):
        super().__init__()
        self.root = Node("root", {}, None)
        self.at = self.root
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        node = Node(tag, attrs, self.at)
        self.at.children.append(node)
        if tag not in self.VOID:
            self.at = node

    def handle_endtag(self, tag):
        node = self.at
        while node is not None and node.tag != tag:
            node = node.parent
        if node is not None and node.parent is not None:
            self.at = node.parent

    def handle_data(self, data):
        self.at.text += data


def render(report, fragment, timeout=60):
    """The DOM of the report after its script ran, opened at `fragment` ("f=0&l=5")."""
    profile = tempfile.mkdtemp()
    try:
        out = subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + profile, "--dump-dom", "file://" + report + "#" + fragment],
            capture_output=True, timeout=timeout)
        return Dom(out.stdout.decode("utf-8"))
    finally:
        shutil.rmtree(profile, ignore_errors=True)


def process_card(dom, name):
    cards = dom.root.find_all(lambda n: "process" in n.classes() and n.attrs.get("data-process") == name)
    return cards[0] if cards else None


def key_text(card, cls):
    keys = card.find_all(lambda n: n.tag == "button" and cls in n.classes())
    return keys[0].all_text().strip() if keys else None


@unittest.skipIf(CHROMIUM is None, "no Chromium")
class Report(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        path = os.path.join(cls.folder, "known.scn")
        with open(path, "w") as f:
            f.write(SCENARIO)
        cls.report = os.path.join(cls.folder, "report.html")
        out = subprocess.run([SIM, "run", "-q", "--report", cls.report, path], capture_output=True, timeout=60)
        assert out.returncode == 1, out.stderr  # the last expectation fails on purpose
        with open(cls.report, encoding="utf-8") as f:
            cls.html = f.read()

    def test_the_globe_key_and_the_switcher_in_mode_2_with_the_emoji_label(self):
        card = process_card(render(self.report, "f=0&l=6"), "com.example.app")
        self.assertEqual(key_text(card, "globe-key"), "emoji")
        self.assertEqual(key_text(card, "space-bar"), "English (US)")
        # The menu as the phone draws it: display names, the current keyboard checked; fr_FR,
        # selected, is left out.
        items = [n.all_text() for n in card.find_all(lambda n: "item" in n.classes())]
        self.assertEqual(items, ["\u2713English (United States)", "emoji"])
        self.assertEqual(card.find_all(lambda n: "keyboard" in n.classes())[0].attrs.get("data-layout"), "qwerty")
        self.assertNotIn("keyboard-hidden", card.classes())

    def test_a_mode_1_tap_shows_the_next_selected_keyboard(self):
        before = process_card(render(self.report, "f=0&l=8"), "com.example.app")
        self.assertEqual(key_text(before, "space-bar"), "English (US)")  # the task has not run
        after = process_card(render(self.report, "f=0&l=9"), "com.example.app")
        self.assertEqual(key_text(after, "space-bar"), "emoji")  # the emoji keyboard, as ICU names it
        # The keys were rebuilt: no override, the globe drawn.
        globe = after.find_all(lambda n: n.tag == "button" and "globe-key" in n.classes())[0]
        self.assertEqual(globe.all_text().strip(), "")
        self.assertTrue(globe.find_all(lambda n: n.tag == "svg" and "globe" in n.attrs.get("class", "")))
        self.assertEqual(after.find_all(lambda n: "keyboard" in n.classes())[0].attrs.get("data-layout"), "emoji")
        # Each step marks the key it tapped and outlines what it changed: line 8 tapped the globe
        # key (its task waits), line 9 ran it and changed the keyboard.
        tapped = lambda card: [n.attrs.get("aria-label") for n in card.find_all(lambda n: "tapped" in n.classes())]
        board = lambda card: card.find_all(lambda n: "keyboard" in n.classes())[0].classes()
        self.assertEqual(tapped(before), ["globe key: emoji"])  # labelled "emoji" by the earlier style
        self.assertNotIn("changed", board(before))
        self.assertEqual(tapped(after), [])
        self.assertIn("changed", board(after))

    def test_the_alert_on_screen_with_its_exact_texts(self):
        card = process_card(render(self.report, "f=0&l=13"), "com.example.app")
        dialog = card.find_all(lambda n: "alert" in n.classes())[0]
        part = lambda cls: dialog.find_all(lambda n: cls in n.classes())[0].all_text()
        self.assertEqual(part("title"), "Orvane")
        self.assertEqual(part("message"), "You still did not configure some of Orvane's settings, please do so or "
                                          "it wont work properly.")
        self.assertEqual(part("button"), "Alright, I Will.")

    def test_the_failed_expectation_is_marked_failed_and_the_summary_counts_it(self):
        dom = render(self.report, "f=0&l=14")
        line = dom.root.find_all(lambda n: n.tag == "li" and n.attrs.get("data-line") == "14")[0]
        self.assertIn("failed", line.classes())
        self.assertIn("expected input mode fr_FR", line.all_text())
        held = dom.root.find_all(lambda n: n.tag == "li" and n.attrs.get("data-line") == "10")[0]
        self.assertIn("held", held.classes())
        counts = dom.root.find_all(lambda n: n.attrs.get("id") == "counts")[0].all_text()
        self.assertEqual(counts, "0 passed, 1 failed (2 expectations, 1 failed)")

    def test_a_line_that_could_not_be_run_is_an_error_with_its_caret_and_the_lines_after_it_never_ran(self):
        stopped = os.path.join(self.folder, "stopped.scn")
        with open(stopped, "w") as f:
            f.write("keyboards en_US\nstart com.example.app\nexpect input-mode com.example.app en_US\n"
                    "tap com.example.app globe nowhere\nexpect input-mode com.example.app fr_FR\n")
        report = os.path.join(self.folder, "stopped.html")
        out = subprocess.run([SIM, "run", "-q", "--report", report, stopped], capture_output=True, timeout=60)
        self.assertIn(b"0 passed, 0 failed, 1 error", out.stdout)
        dom = render(report, "f=0&l=4")
        line = dom.root.find_all(lambda n: n.tag == "li" and n.attrs.get("data-line") == "4")[0]
        self.assertIn("error", line.classes())
        self.assertNotIn("failed", line.classes())
        # The message on a row of its own, the caret under the word the command blames.
        outcome = line.find_all(lambda n: "outcome" in n.classes())[0].all_text()
        self.assertIn("tap com.example.app globe nowhere\n" + " " * 26 + "^\n", outcome)
        text = line.find_all(lambda n: "text" in n.classes())[0].all_text()
        self.assertEqual(text, "tap com.example.app globe nowhere")
        aside = dom.root.find_all(lambda n: n.attrs.get("id") == "changes")[0]
        self.assertIn("Line could not be run", aside.all_text())
        self.assertNotIn("Expectation FAILED", aside.all_text())
        after = dom.root.find_all(lambda n: n.tag == "li" and n.attrs.get("data-line") == "5")[0]
        self.assertIn("notrun", after.classes())
        counts = dom.root.find_all(lambda n: n.attrs.get("id") == "counts")[0].all_text()
        self.assertEqual(counts, "0 passed, 0 failed, 1 error (1 expectations, 0 failed)")
        # A log line's colours are drawn; its escapes are never shown raw.
        dom = render(report, "f=0&l=2")
        aside = dom.root.find_all(lambda n: n.attrs.get("id") == "changes")[0].all_text()
        self.assertIn("ACTIVATOR NOT INSTALLED", aside)
        self.assertNotRegex(aside, "[\x00-\x08\x0b-\x1f]")

    def test_the_page_reaches_nothing_outside_itself(self):
        self.assertIn("Content-Security-Policy", self.html)
        self.assertIn("default-src 'none'", self.html)
        self.assertIsNone(re.search(r"""(src|href)\s*=\s*["'](?!#|data:)""", self.html))
        self.assertEqual(self.html.count("<script"), 2)  # the data and the page's own script, both inline
        self.assertNotIn("<script src", self.html)

    def test_values_that_look_like_markup_are_shown_not_run(self):
        # Settings values an attacker could write: a comment opener before a script tag, a closing
        # script tag, line and paragraph separators. The page must render, and show them as text.
        hostile = os.path.join(self.folder, "hostile.scn")
        with open(hostile, "w") as f:
            f.write('settings write {mode: 1, A: "<!--<script>", B: "</script><b>x</b>", C: "a\\xe2\\x80\\xa8b&amp;"}\n'
                    "keyboards en_US\nstart com.example.app\nexpect input-mode com.example.app en_US\n")
        report = os.path.join(self.folder, "hostile.html")
        subprocess.run([SIM, "run", "-q", "--report", report, hostile], capture_output=True, timeout=60, check=True)
        with open(report, encoding="utf-8") as f:
            html = f.read()
        self.assertEqual(html.count("<script"), 2)
        self.assertNotIn("<!--", html)
        dom = render(report, "f=0&l=1")
        counts = dom.root.find_all(lambda n: n.attrs.get("id") == "counts")[0].all_text()
        self.assertEqual(counts, "1 passed, 0 failed (1 expectations, 0 failed)")
        page = dom.root.all_text()
        self.assertIn("<!--<script>", page)
        self.assertIn("</script><b>x</b>", page)
        self.assertFalse(dom.root.find_all(lambda n: n.tag == "b"))

    def test_the_events_it_holds_are_the_json_trace_event_for_event(self):
        # The report keeps events by shape and value number; read back here by this test's own
        # decoder, they must be the JSON trace's, every field, for the whole scenario set (several
        # files, values used once and many times, events before any file).
        report = os.path.join(self.folder, "trace.html")
        run = [SIM, "run", "--report", report, "-t", "json", SCENARIOS]
        out = subprocess.run(run, capture_output=True, timeout=120, check=True)
        trace = [json.loads(line) for line in out.stdout.decode("utf-8").splitlines()]
        trace = [e for e in trace if "seq" in e]  # not the results and the summary
        with open(report, encoding="utf-8") as f:
            html = f.read()
        data = json.loads(re.search(r'<script id="data" type="application/json">\n(.*?)\n</script>', html, re.S).group(1))
        events, flat, at, line, seqs = [], data["events"], 0, 0, dict(data["seqs"])
        while at < len(flat):
            shape = data["shapes"][flat[at]]
            line += flat[at + 1]
            index = len(events)
            seq = seqs.get(index, events[-1]["seq"] + 1 if events else 1)
            e = {"seq": seq, "process": shape["process"], "kind": shape["kind"]}
            if "file" in shape:
                e.update(file=shape["file"], line=line)
            for k, key in enumerate(shape["keys"]):
                value = flat[at + 2 + k]
                e[key] = data["values"][value] if isinstance(value, int) else value
            events.append(e)
            at += 2 + len(shape["keys"])
        self.assertGreater(len(trace), 1000)
        self.assertEqual(len(events), len(trace))
        for mine, theirs in zip(events, trace):
            self.assertEqual(mine, theirs)
        # Repeated shapes and values are held once: the events take far less than the trace.
        held = len(json.dumps([data["shapes"], data["values"], data["events"]], separators=(",", ":")))
        self.assertLess(held, len(out.stdout) / 2)

    def test_the_whole_scenario_set_loads_within_seconds(self):
        report = os.path.join(self.folder, "all.html")
        subprocess.run([SIM, "run", "-q", "--report", report, SCENARIOS], capture_output=True, timeout=120,
                       check=True)
        start = time.time()
        dom = render(report, "f=0&l=1")
        seconds = time.time() - start
        buttons = dom.root.find_all(lambda n: n.tag == "button")
        self.assertEqual(len(buttons), len([f for f in os.listdir(SCENARIOS) if f.endswith(".scn")]))
        self.assertLess(seconds, 20)
        print("whole scenario set: %d KB, rendered in %.1f s" % (os.path.getsize(report) // 1024, seconds))


if __name__ == "__main__":
    SIM = os.path.abspath(sys.argv.pop(1))
    SCENARIOS = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
