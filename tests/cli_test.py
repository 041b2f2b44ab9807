#!/usr/bin/env python3
"""orvane-sim as its users drive it: run as a subprocess, its streams read by real parsers (json,
xml.etree), its device folders looked for after interrupted runs, its shell driven through a
pseudo-terminal.

    cli_test.py ORVANE_SIM SCENARIO_FOLDER
"""

import glob
import json
import os
import pty
import re
import resource
import select
import signal
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

SIM = None
SCENARIOS = None


def run(args, stdin=None, env=None, **kw):
    return subprocess.run([SIM] + args, input=stdin, capture_output=True, env=env, timeout=120, **kw)


def scenario(text):
    f = tempfile.NamedTemporaryFile("w", suffix=".scn", delete=False)
    f.write(text)
    f.close()
    return f.name


OK = scenario("keyboards en_US fr_FR\nstart com.example.app\nexpect input-mode com.example.app en_US\n")
FAILING = scenario("keyboards en_US fr_FR\nstart com.example.app\nexpect input-mode com.example.app fr_FR\n")
BAD = scenario("keyboards en_US\nfrobnicate\n")


class JsonStream(unittest.TestCase):
    def test_every_line_of_a_whole_run_is_json_and_seq_counts_across_files(self):
        out = run(["run", "--trace=json", SCENARIOS])
        self.assertEqual(out.returncode, 0, out.stderr)
        lines = out.stdout.decode("utf-8").splitlines()  # strict: valid UTF-8
        objects = [json.loads(line) for line in lines]
        events = [o for o in objects if "seq" in o]
        self.assertEqual([e["seq"] for e in events], sorted(e["seq"] for e in events))
        self.assertEqual(len({e["seq"] for e in events}), len(events))
        files = {e["file"] for e in events}
        self.assertGreater(len(files), 40)
        self.assertTrue(all(isinstance(e["line"], int) and e["line"] > 0 for e in events))
        self.assertEqual(objects[-1]["kind"], "summary")
        self.assertEqual(objects[-1]["failed"], 0)
        self.assertEqual(objects[-1]["files"], len(glob.glob(os.path.join(SCENARIOS, "*.scn"))))
        keyboards = next(e for e in events if e["kind"] == "keyboards")
        self.assertIsInstance(keyboards["listJson"], list)
        self.assertEqual(out.stderr, b"")

    def test_failures_and_bad_lines_are_json_events_and_messages_go_to_stderr(self):
        out = run(["run", "--trace", "json", FAILING, BAD])
        self.assertEqual(out.returncode, 2)
        objects = [json.loads(line) for line in out.stdout.decode("utf-8").splitlines()]
        failed = [o for o in objects if o["kind"] == "expect-failed"]
        self.assertEqual(len(failed), 1)
        self.assertEqual(failed[0]["line"], 3)
        self.assertIn("expected input mode fr_FR", failed[0]["message"])
        bad = [o for o in objects if o["kind"] == "bad-line"]
        self.assertEqual(bad[0]["file"], BAD)
        self.assertIn(BAD + ":2: unknown command 'frobnicate'", out.stderr.decode())

    def test_every_value_has_its_json_twin_however_deep(self):
        deep = "<array>" * 200 + "<true/>" + "</array>" * 200
        plist = '<plist version=\\"1.0\\"><dict><key>mode</key><integer>1</integer><key>Deep</key>%s</dict></plist>' % deep
        text = run(["run", "--trace=json", scenario(
            'file bytes /var/mobile/Library/Preferences/net.varnholt.orvane.plist "%s"\n'
            "activator installed\nstart springboard\nactivator fire net.varnholt.orvane.change-mode\n" % plist)])
        self.assertEqual(text.returncode, 0, text.stderr)
        events = [json.loads(line) for line in text.stdout.decode().splitlines()]
        writes = [e for e in events if e["kind"] == "file-write" and e["process"] == "SpringBoard"]
        self.assertEqual(len(writes), 1)
        value = writes[0]["valueJson"]
        depth = 0
        node = value["Deep"]
        while isinstance(node, list):
            node, depth = node[0], depth + 1
        self.assertEqual((depth, node, value["mode"]), (200, True, 2))
        self.assertFalse([e for e in events if any(k.endswith("JsonError") for k in e)])

    def test_a_removal_is_not_a_stored_string_and_every_value_is_carried_whole(self):
        # The device hands the output the values it traced: a string that reads "(removed)" is a
        # value, a removal is not, and the value of a field is never its text read back.
        path = scenario('pref set com.example.d K "(removed)"\npref remove com.example.d K\n'
                        'pref set com.example.d K [1, "two words", <0a>, date(0.5)]\n')
        for runtime in ("fast", "objc"):
            with self.subTest(runtime=runtime):
                out = run(["run", "--runtime=" + runtime, "--trace=json", "--only=pref-write", path])
                self.assertEqual(out.returncode, 0, out.stderr)
                stored, removed, listed = [json.loads(line) for line in out.stdout.decode().splitlines()[:3]]
                self.assertEqual((stored["value"], stored["valueJson"]), ("(removed)", "(removed)"))
                self.assertEqual(removed["value"], "(removed)")
                self.assertNotIn("valueJson", removed)
                self.assertEqual(listed["valueJson"], [1, "two words", {"data": "0a"}, {"date": 0.5}])
                self.assertEqual(listed["value"], '[1, "two words", <0a>, date(0.5)]')
        # A key that is not text (a binary list's integer key) is named as the text form names it.
        out = run(["run", "--trace=json", "--only=contents",
                   os.path.join(SCENARIOS, "storage_binary_keys_and_wide_integers.scn")])
        contents = json.loads(out.stdout.decode().splitlines()[0])
        self.assertEqual(contents["valueJson"]["7"], "seven")

    def test_bytes_that_are_not_utf8_are_escaped_not_lost(self):
        path = scenario('say "caf\\xe9 \\xff"\n')
        out = run(["run", "--trace=json", path])
        text = out.stdout.decode("utf-8")
        say = next(json.loads(line) for line in text.splitlines() if '"say"' in line)
        self.assertEqual(say["text"].encode("utf-8", "surrogateescape"), b"caf\xe9 \xff")

    def test_filters_by_kind_and_process(self):
        out = run(["run", "--trace=json", "--only=input-mode,pref-set", "--process", "com.example.notes",
                   os.path.join(SCENARIOS, "cycling_through_selected.scn")])
        events = [json.loads(line) for line in out.stdout.decode().splitlines()]
        shown = [e for e in events if "seq" in e]
        self.assertTrue(shown)
        self.assertTrue(all(e["kind"] in ("input-mode", "pref-set") and e["process"] == "com.example.notes"
                            for e in shown))

    def test_state_and_show_as_json(self):
        path = scenario("keyboards en_US fr_FR\nsettings write {mode: 2}\nstart com.example.app\nstate\n"
                        "show pref .GlobalPreferences\n")
        out = run(["run", "--trace=json", "--only=state,contents", path])
        state, contents = [json.loads(line) for line in out.stdout.decode().splitlines()[:2]]
        self.assertEqual(state["valueJson"]["processes"][0]["inputMode"], "en_US")
        self.assertEqual(state["valueJson"]["settings"], {"mode": 2})
        self.assertEqual(contents["valueJson"], {"AppleKeyboards": ["en_US", "fr_FR"]})


class ExitStatusAndErrors(unittest.TestCase):
    def test_nothing_run_is_an_error_with_the_reason(self):
        empty_folder = tempfile.mkdtemp()
        empty_file = scenario("# only a comment\n")
        for args, reason in [([empty_folder], "no *.scn files"), ([empty_file], "nothing to run"),
                             (["/dev/null"], "nothing to run"),
                             (["/nonexistent.scn"], "No such file or directory"), ([], "nothing to run")]:
            out = run(["run", "-q"] + args)
            self.assertEqual(out.returncode, 2, args)
            self.assertIn(reason, out.stderr.decode(), args)

    def test_statuses(self):
        self.assertEqual(run(["run", "-q", OK]).returncode, 0)
        self.assertEqual(run(["run", "-q", OK, FAILING]).returncode, 1)
        self.assertEqual(run(["run", "-q", FAILING, BAD]).returncode, 2)

    def test_a_lost_output_is_an_error(self):
        with open("/dev/full", "wb") as full:
            out = subprocess.run([SIM, "tour"], stdout=full, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(out.returncode, 2)
        self.assertIn(b"cannot write the output", out.stderr)

    def test_a_bad_tmpdir_is_a_clear_error(self):
        a_file = scenario("")
        for tmpdir in ["/nonexistent-folder", a_file]:
            out = run(["tour"], env=dict(os.environ, TMPDIR=tmpdir))
            self.assertEqual(out.returncode, 2)
            self.assertIn(b"cannot make a device folder in " + tmpdir.encode(), out.stderr)

    def test_a_device_folder_belongs_to_one_run(self):
        root = os.path.join(tempfile.mkdtemp(), "device")
        shell = subprocess.Popen([SIM, "shell", "--root", root], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
        try:
            shell.stdin.write(b"keyboards en_US fr_FR\nsettings write {mode: 2}\n")
            shell.stdin.flush()
            settings = os.path.join(root, "var/mobile/Library/Preferences/net.varnholt.orvane.plist")
            deadline = time.time() + 30
            while not os.path.exists(settings) and time.time() < deadline:
                time.sleep(0.05)
            self.assertTrue(os.path.exists(settings))
            second = run(["run", "-q", "--root", root, OK])
            self.assertEqual(second.returncode, 2)
            self.assertIn(b"is in use: another orvane-sim is using it", second.stderr)
            self.assertTrue(os.path.exists(settings))  # the first run's device is untouched
        finally:
            shell.stdin.close()
            shell.wait(timeout=30)
        self.assertEqual(run(["run", "-q", "--root", root, OK]).returncode, 0)  # free again

    def test_an_empty_or_unset_tmpdir_falls_back_to_tmp(self):
        for env in [dict(os.environ, TMPDIR=""), {k: v for k, v in os.environ.items() if k != "TMPDIR"}]:
            env["TMP"] = "/nonexistent-folder"
            env["TEMP"] = "/nonexistent-folder"
            out = run(["run", "-q", OK], env=env)
            self.assertEqual(out.returncode, 0, out.stderr)

    def test_options_as_people_type_them(self):
        separate = run(["run", "--trace", "json", OK]).stdout.decode().splitlines()
        joined = run(["run", "--trace=json", OK]).stdout.decode().splitlines()
        self.assertEqual([json.loads(line)["kind"] for line in separate], [json.loads(line)["kind"] for line in joined])
        self.assertEqual(run(["--version"]).returncode, 0)
        self.assertIn(b"orvane-sim", run(["run", "--version"]).stdout)
        missing = run(["run", OK, "--trace"])
        self.assertEqual(missing.returncode, 2)
        self.assertIn(b"option --trace needs a value", missing.stderr)
        self.assertIn(b"unknown option --frob", run(["run", "--frob", OK]).stderr)
        with open(OK, "rb") as f:
            self.assertEqual(run(["run", "-q", "-"], stdin=f.read()).returncode, 0)
        dashed = os.path.join(tempfile.mkdtemp(), "-x.scn")
        with open(dashed, "w") as f:
            f.write("keyboards en_US\n")
        os.chdir(os.path.dirname(dashed))
        self.assertEqual(run(["run", "-q", "--", "-x.scn"]).returncode, 0)

    def test_text_trace_names_fields_whose_position_does_not_explain_them(self):
        out = run(["run", os.path.join(SCENARIOS, "activator_change_mode.scn")]).stdout.decode()
        self.assertRegex(out, r"\[device\] file-write /var/mobile/Library/Preferences/net\.varnholt\.orvane\.plist"
                              r" bytes=\d+")
        self.assertIn("format=xml", out)


class Diagnostics(unittest.TestCase):
    """A line that cannot be run says where, shows the line with a caret under the word to blame,
    and suggests the word meant when one is near; exit status 2."""

    def stopped(self, text):
        out = run(["run", "-q", scenario(text)])
        self.assertEqual(out.returncode, 2, out.stderr)
        return out.stderr.decode().splitlines()

    def test_an_unknown_event_kind_or_field_is_an_error_that_suggests_the_right_word(self):
        err = self.stopped("keyboards en_US fr_FR\nstart com.example.one\n"
                           "expect event com.example.one inptu-mode identifier=fr_FR\n")
        self.assertRegex(err[0], r":3: no event kind 'inptu-mode' \(did you mean input-mode\?\)$")
        self.assertEqual(err[1], "    expect event com.example.one inptu-mode identifier=fr_FR")
        self.assertEqual(err[2], "    " + " " * len("expect event com.example.one ") + "^")
        err = self.stopped("expect no-event * input-mode identifer=fr_FR\n")
        self.assertRegex(err[0], r"an event of kind input-mode has no field 'identifer' \(did you mean identifier\?\)")
        self.assertEqual(err[2].index("^"), err[1].index("identifer="))
        # Far from every kind: no suggestion, still an error.
        err = self.stopped("expect event * zzzzzzzzzz\n")
        self.assertNotIn("did you mean", err[0])

    def test_commands_and_processes_near_a_known_one_are_suggested(self):
        err = self.stopped("keybords en_US\n")
        self.assertIn("unknown command 'keybords' (did you mean keyboards?)", err[0])
        self.assertEqual(err[2], "    ^")
        err = self.stopped("keyboards en_US\nstart com.example.one\nshow-keyboard com.example.on\n")
        self.assertIn("no running process com.example.on (did you mean com.example.one?)", err[0])
        err = self.stopped("keyboards en_US\ntap com.example.app globe\n")
        self.assertIn("no running process com.example.app; start it first with 'start com.example.app'", err[0])

    def test_every_word_out_of_a_small_set_gets_a_caret_and_the_word_meant_or_the_set(self):
        setup = "keyboards en_US\nactivator installed\nstart springboard\nstart com.example.app\n"
        for line, said in [("tpa com.example.app globe", "unknown command 'tpa' (did you mean tap?)"),
                           ("expect input-mod com.example.app en_US", "unknown expectation 'input-mod' (did you mean input-mode?)"),
                           ("settings wrte {}", "unknown settings action 'wrte' (did you mean write?)"),
                           ("fault zz", "unknown fault 'zz'; it takes write, flush, rename, read-only, full or none"),
                           ("tap com.example.app globle", "unknown key 'globle' (did you mean globe?)"),
                           ("tap com.example.app zz", "unknown key 'zz'; it takes globe, nowhere, q, w, e"),
                           ("post com.example.app darwn x", "unknown notification center 'darwn' (did you mean darwin?)"),
                           ("activator fire net.varnholt.orvane.change-mod",
                            "no Activator listener net.varnholt.orvane.change-mod (did you mean net.varnholt.orvane.change-mode?)"),
                           ("activator fire zzz", "registered: net.varnholt.orvane.change-mode, "),
                           ("expect input-mode com.example.ap en_US",
                            "no running process com.example.ap (did you mean com.example.app?); or start it with 'start com.example.ap'")]:
            err = self.stopped(setup + line + "\n")
            self.assertIn(said, err[0], line)
            if not line.startswith("activator"):
                # The caret stands under the word to blame: the first word the message quotes, or
                # the process it names.
                self.assertEqual(err[1], "    " + line)
                blamed = said.split("'")[1] if said.startswith("unknown") else "com.example.ap"
                self.assertEqual(err[2].index("^"), (err[1] + " ").index(" " + blamed + " ") + 1, line)

    def test_a_string_or_value_that_cannot_be_read_gets_a_caret_counted_from_the_line_start(self):
        for line, said, at in [('say "no end', "unterminated string", 'say '),
                               ('settings write {mode = 1; icon = "abc}', "unterminated string", 'settings write {mode = 1; icon = '),
                               ("pref set com.example k [1, 2", "bad value: expected ',' or ']'", "pref set com.example k [1, 2"),
                               ("settings write {mode = 1}", "bad settings dictionary: expected ':'",
                                "settings write {mode ")]:
            err = self.stopped("keyboards en_US\n" + line + "\n")
            self.assertTrue(err[0].endswith(":2: " + said), err[0])
            self.assertEqual(err[1], "    " + line)
            self.assertEqual(err[2], "    " + " " * len(at) + "^", line)
            # The JSON event's column counts from one, from the line's start.
            lines = run(["run", "--trace=json", scenario("keyboards en_US\n" + line + "\n")]).stdout.decode().splitlines()
            bad = [json.loads(l) for l in lines if '"bad-line"' in l][0]
            self.assertEqual(bad["column"], len(at) + 1, line)

    def test_options_a_command_does_not_use_and_values_nothing_matches_are_errors(self):
        for arguments, said in [(["run", "--rot=x", OK], "unknown option --rot=x (did you mean --root?)"),
                                (["run", "--only=inptu-mode", OK], "no event kind 'inptu-mode' (did you mean input-mode?)"),
                                (["run", "--process=springbord", OK], "no process 'springbord' (did you mean SpringBoard?)"),
                                (["shell", "--junit=x.xml"], "--junit is for run only"),
                                (["shell", "--report=x.html"], "--report is for run and tour"),
                                (["tour", "--fail-fast"], "--fail-fast is for run only"),
                                (["run", "--trace=jsn", OK], "--trace takes text or json, not 'jsn' (did you mean json?)"),
                                (["run", OK, "--color"], "option --color needs a value: auto, always or never"),
                                (["tour", "--runtime=fsat"], "--runtime takes fast or objc, not 'fsat' (did you mean fast?)")]:
            out = run(arguments)
            self.assertEqual(out.returncode, 2, arguments)
            self.assertIn(said, out.stderr.decode())
        self.assertEqual(run(["run", "-q", "--only=input-mode", "--process=com.example.app", OK]).returncode, 0)

    def test_a_keyboard_no_one_enabled_is_said_with_the_one_meant(self):
        out = run(["run", "-q", scenario("keyboards en_US fr_FR\nstart com.example.app\nexpect input-mode com.example.app fr_fr\n")])
        self.assertEqual(out.returncode, 1)
        self.assertIn("found en_US; no enabled keyboard is fr_fr (did you mean fr_FR?)", out.stderr.decode())

    def test_a_second_start_of_a_running_process_is_an_error(self):
        err = self.stopped("keyboards en_US\nstart springboard\nstart springboard\n")
        self.assertIn("springboard is already running", err[0])
        # Stopped first, it starts again.
        out = run(["run", "-q", scenario("keyboards en_US\nstart springboard\nstop springboard\nstart springboard\n")])
        self.assertEqual(out.returncode, 0, out.stderr)

    def test_a_stopped_or_unreadable_file_counts_as_an_error_in_the_summary_the_json_and_junit(self):
        report = os.path.join(tempfile.mkdtemp(), "r.xml")
        missing = os.path.join(tempfile.mkdtemp(), "missing.scn")
        out = run(["run", "-q", "--junit", report, OK, FAILING, scenario("keybords en_US\n"), missing])
        self.assertEqual(out.returncode, 2)
        self.assertEqual(out.stdout.decode().splitlines()[-1], "1 passed, 1 failed, 2 errors")
        suite = ET.parse(report).getroot().find("testsuite")
        self.assertEqual((suite.get("tests"), suite.get("failures"), suite.get("errors")), ("4", "1", "2"))
        self.assertIsNotNone([c for c in suite.iter("testcase") if c.get("name") == missing][0].find("error"))
        lines = [json.loads(l) for l in run(["run", "--trace=json", scenario("keybords en_US\n")]).stdout.decode().splitlines()]
        bad = [l for l in lines if l["kind"] == "bad-line"][0]
        self.assertEqual(bad["column"], 1)
        summary = lines[-1]
        self.assertEqual((summary["passed"], summary["failedFiles"], summary["errorFiles"], summary["files"]),
                         (0, 0, 1, 1))


class Selection(unittest.TestCase):
    def test_list_k_and_color(self):
        folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios")
        listed = run(["run", "--list", "-k", "label_", "-k", "silent", folder]).stdout.decode().splitlines()
        names = [os.path.basename(line.split(":")[0]) for line in listed]
        self.assertEqual(names, ["label_emoji_keyboard_names.scn", "label_styles.scn",
                                 "label_without_active_keyboards.scn", "silent_globe_key_in_mode_3.scn"])
        # The whole first sentence of the opening comment, over as many lines as it takes.
        self.assertTrue(listed[1].endswith(": The globe key's label: style 2 is always \"emoji\" (also while "
                                           "disabled or unconfigured keyboards are selected); style 3 is \"emoji\" "
                                           "when the keyboard a tap would switch to is the emoji keyboard; style 1 "
                                           "and unknown styles keep the system's label."), listed[1])
        self.assertEqual(run(["run", "-k", "nothing-by-this-name", folder]).returncode, 2)
        # Colour only when asked for, or on a terminal without NO_COLOR: never into a pipe by default.
        plain = run(["run", "-q", OK]).stdout.decode()
        self.assertNotIn("\033[", plain)
        coloured = run(["run", "-q", "--color=always", OK]).stdout.decode()
        self.assertIn("\033[32m1 passed, 0 failed\033[0m", coloured)
        self.assertEqual(run(["run", "--color=sometimes", OK]).returncode, 2)

    def test_files_in_parallel_print_as_one_after_another_would(self):
        folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios")
        untimed = lambda out: re.sub(r"\d+\.\d\d seconds", "", out.decode())
        one = run(["run", folder])
        many = run(["run", "-j", "4", folder])
        self.assertEqual(many.returncode, one.returncode)
        self.assertEqual(untimed(many.stdout), untimed(one.stdout))
        # Failures and JUnit too, with a failing file among them.
        reports = [os.path.join(tempfile.mkdtemp(), "r.xml") for _ in range(2)]
        one = run(["run", "-q", "--junit", reports[0], OK, FAILING, OK])
        many = run(["run", "-q", "-j", "3", "--junit", reports[1], OK, FAILING, OK])
        self.assertEqual((many.returncode, many.stderr), (one.returncode, one.stderr))
        cases = [[(c.get("name"), c.find("failure") is not None) for c in ET.parse(r).getroot().iter("testcase")]
                 for r in reports]
        self.assertEqual(cases[0], cases[1])
        for bad in (["-j", "0"], ["-j", "x"], ["-j", "2", "--report=x.html"]):
            self.assertEqual(run(["run"] + bad + [OK, OK]).returncode, 2, bad)


class ResultsForCi(unittest.TestCase):
    def test_summary_line_and_junit_xml(self):
        report = os.path.join(tempfile.mkdtemp(), "results.xml")
        out = run(["run", "-q", "--junit", report, OK, FAILING])
        self.assertEqual(out.returncode, 1)
        lines = out.stdout.decode().splitlines()
        self.assertEqual(lines[-1], "1 passed, 1 failed")
        self.assertRegex(lines[-2], r"^2 expectations, 1 failed, \d+\.\d\d seconds$")
        suite = ET.parse(report).getroot().find("testsuite")
        self.assertEqual(suite.get("tests"), "2")
        self.assertEqual(suite.get("failures"), "1")
        cases = suite.findall("testcase")
        self.assertEqual([c.get("name") for c in cases], [OK, FAILING])
        self.assertIsNone(cases[0].find("failure"))
        self.assertIn("expected input mode fr_FR", cases[1].find("failure").get("message"))
        # A timestamp, a duration for each case, and each file's trace as its captured output.
        self.assertRegex(suite.get("timestamp"), r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        for case in cases:
            self.assertGreaterEqual(float(case.get("time")), 0.0)
            self.assertIn("[com.example.app] start en_US", case.find("system-out").text)

    def test_junit_is_xml_for_every_value(self):
        # A failure message holding characters XML 1.0 forbids (U+FFFF, U+FFFE, control characters),
        # from a settings value: the file still parses.
        hostile = scenario('settings write {mode: 1, Note: "a\\xef\\xbf\\xbfb\\xef\\xbf\\xbe\\x01c"}\n'
                           'expect setting Note "other"\n')
        report = os.path.join(tempfile.mkdtemp(), "results.xml")
        out = run(["run", "-q", "--junit", report, hostile])
        self.assertEqual(out.returncode, 1)
        message = ET.parse(report).getroot().find("testsuite").find("testcase").find("failure").get("message")
        self.assertIn("expected setting Note", message)

    def test_fail_fast_and_folders_in_order(self):
        folder = tempfile.mkdtemp()
        for name, path in [("a.scn", FAILING), ("b.scn", OK)]:
            with open(path) as src, open(os.path.join(folder, name), "w") as dst:
                dst.write(src.read())
        results = [json.loads(line) for line in run(["run", "--trace=json", folder]).stdout.decode().splitlines()
                   if '"file-result"' in line]
        self.assertEqual([os.path.basename(r["file"]) for r in results], ["a.scn", "b.scn"])
        fast = [line for line in run(["run", "--trace=json", "--fail-fast", folder]).stdout.decode().splitlines()
                if '"file-result"' in line]
        self.assertEqual(len(fast), 1)

    def test_state_json_at_the_end(self):
        path = os.path.join(tempfile.mkdtemp(), "state.json")
        self.assertEqual(run(["run", "-q", "--state-json", path, OK]).returncode, 0)
        with open(path) as f:
            state = json.load(f)
        self.assertEqual(state["keyboards"], ["en_US", "fr_FR"])
        self.assertEqual(state["processes"][0]["bundleIdentifier"], "com.example.app")


class DeviceFolders(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.env = dict(os.environ, TMPDIR=self.tmp)

    def left(self):
        return glob.glob(os.path.join(self.tmp, "orvane-device-*"))

    def test_interrupted_and_piped_runs_leave_no_device_folder(self):
        for _ in range(3):
            subprocess.run(SIM + " tour | head -1 > /dev/null", shell=True, env=self.env, timeout=60)
        self.assertEqual(self.left(), [])
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2):
            # (No core file for SIGQUIT, whose default writes one.)
            p = subprocess.Popen([SIM, "run", "--trace=json"] + [SCENARIOS] * 10, stdout=subprocess.DEVNULL,
                                 env=self.env, preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))
            time.sleep(0.05)
            p.send_signal(sig)
            self.assertEqual(p.wait(timeout=60), -sig)
            self.assertEqual(self.left(), [], sig)
        # A shell waiting for input, interrupted.
        p = subprocess.Popen([SIM, "shell"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, env=self.env)
        time.sleep(0.2)
        self.assertEqual(len(self.left()), 1)
        p.send_signal(signal.SIGINT)
        p.wait(timeout=30)
        self.assertEqual(self.left(), [])

    def test_a_root_another_user_owns_or_others_may_write_is_refused(self):
        # Another user's folder, even one holding the marker of a device folder, and a folder any
        # user may write (someone could have put the marker there): neither is emptied.
        for owner, mode in [(65534, 0o755), (os.getuid(), 0o777)]:
            root = tempfile.mkdtemp(dir=self.tmp)
            with open(os.path.join(root, ".orvane-device"), "w") as f:
                f.write("a simulated device of orvane-sim\n")
            with open(os.path.join(root, "precious.txt"), "w") as f:
                f.write("keep me")
            os.chmod(root, mode)
            if owner != os.getuid():
                if os.geteuid() != 0:
                    continue  # only the superuser can give a folder away
                os.chown(root, owner, -1)
            out = run(["run", "-q", "--root", root, OK])
            self.assertEqual(out.returncode, 2, out.stderr)
            said = "belongs to another user" if owner != os.getuid() else "may be written by other users"
            self.assertIn(said, out.stderr.decode())
            self.assertTrue(os.path.exists(os.path.join(root, "precious.txt")))

    def test_root_keeps_the_device_and_never_empties_a_stranger(self):
        root = os.path.join(self.tmp, "kept")
        self.assertEqual(run(["run", "-q", "--root", root, OK]).returncode, 0)
        self.assertTrue(os.path.exists(os.path.join(root, "var/mobile/Library/Preferences/.GlobalPreferences.plist")))
        self.assertEqual(run(["run", "-q", "--root", root, OK]).returncode, 0)  # reused, fresh
        stranger = tempfile.mkdtemp()
        with open(os.path.join(stranger, "precious.txt"), "w") as f:
            f.write("keep me")
        out = run(["run", "-q", "--root", stranger, OK])
        self.assertEqual(out.returncode, 2)
        self.assertTrue(os.path.exists(os.path.join(stranger, "precious.txt")))


    def test_a_root_that_cannot_be_written_is_said_to_be_so(self):
        # The system's permissions hold for anyone but the superuser: as root, the run is made as
        # nobody, on a folder of nobody's that its owner may not write.
        root = os.path.join(self.tmp, "read-only")
        os.mkdir(root)
        os.chmod(self.tmp, 0o755)
        os.chmod(root, 0o555)
        if os.geteuid() == 0:
            os.chown(root, 65534, 65534)  # nobody's own folder, which nobody may not write
        script = os.path.join(self.tmp, "ok.scn")
        shutil.copyfile(OK, script)
        os.chmod(script, 0o644)
        as_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
        out = subprocess.run(as_user + [SIM, "run", "-q", "--root", root, script], capture_output=True,
                             env=self.env, timeout=60)
        self.assertEqual(out.returncode, 2, out.stderr)
        self.assertIn("--root " + root + " cannot be written: Permission denied", out.stderr.decode())


class Tour(unittest.TestCase):
    def test_the_tour_says_how_it_went_and_its_next_lines_run_as_printed(self):
        out = run(["tour"])
        self.assertEqual(out.returncode, 0, out.stderr)
        lines = out.stdout.decode().splitlines()
        ending = lines.index("Next:")
        self.assertRegex(lines[ending - 1], r"^tour: ok \(\d+ expectations\)$")
        command = lines[ending + 1].split("   ")[0].split()
        self.assertEqual(command[0], os.path.realpath(SIM))
        self.assertEqual(command[1], "run")
        ran = subprocess.run(command, capture_output=True, timeout=300)
        self.assertEqual(ran.returncode, 0, ran.stderr)
        # A folder shows each file's result, not thousands of lines of trace.
        printed = ran.stdout.decode().splitlines()
        self.assertRegex(printed[-1], r"^\d+ passed, 0 failed$")
        files = int(printed[-1].split()[0])
        self.assertGreater(files, 50)
        self.assertEqual(len(printed), files + 2)


class OneTableOfOptions(unittest.TestCase):
    """Each command's --help, the parser and the bash and zsh completion scripts all come from one
    option table: what the help lists, the parser takes and the scripts offer; what it lists for
    another command only, the parser refuses here."""

    COMMANDS = ["run", "tour", "shell", "serve"]

    @staticmethod
    def listed(command):
        """The options the command's --help lists: each by its long name, or its short one alone."""
        text = run([command, "--help"]).stdout.decode()
        options = set()
        for line in text.splitlines():
            m = re.match(r"^  (-[a-zA-Z])?(?:, )?\s*(--[a-z-]+)?", line)
            if m and (m.group(1) or m.group(2)):
                options.add(m.group(2) or m.group(1))
        return options

    @staticmethod
    def bash_completes(words):
        """What the generated bash script offers for the last of `words` (compopt, which only a
        real completion may call, stubbed)."""
        script = run(["--complete", "bash"]).stdout.decode()
        with tempfile.NamedTemporaryFile("w", suffix=".bash", delete=False) as f:
            f.write(script)
        quoted = " ".join("'%s'" % w for w in words)
        shell = (f"source {f.name}; compopt() {{ :; }}; COMP_WORDS=({quoted}); COMP_CWORD={len(words) - 1}; "
                 "_orvane_sim; printf '%s\\n' \"${COMPREPLY[@]}\"")
        out = subprocess.run(["bash", "-c", shell], capture_output=True, text=True, check=True).stdout
        os.unlink(f.name)
        return out.split()

    def completed(self, command):
        return {word.rstrip("=") for word in self.bash_completes(["orvane-sim", command, "-"])}

    def test_help_parser_and_completions_are_one_table(self):
        zsh = run(["--complete", "zsh"]).stdout.decode()
        everywhere = set()
        helps = {}
        for command in self.COMMANDS:
            helps[command] = self.listed(command)
            self.assertGreater(len(helps[command]), 6, command)
            self.assertEqual(self.completed(command), helps[command], command)
            zsh_part = zsh.split("  %s)" % command, 1)[1].split(";;", 1)[0]
            for option in helps[command]:
                self.assertIn(option if option.startswith("--") else "-" + option[1:], zsh_part, (command, option))
            everywhere |= helps[command]
        for command in self.COMMANDS:
            for option in everywhere - helps[command]:
                valid = {"--trace": "json", "-t": "json", "--color": "never"}.get(option, "1")
                value = [] if option in ("--fail-fast", "--list", "--quiet", "-q") else [valid]
                spelled = [option + "=" + valid] if option.startswith("--") and value else [option] + value
                out = run([command] + spelled)
                self.assertEqual(out.returncode, 2, (command, option))
                self.assertIn(b"is for", out.stderr, (command, option))
        self.assertIn("--port", helps["serve"])
        self.assertNotIn("--trace", helps["serve"])  # its trace is on its page
        self.assertNotIn("--report", helps["shell"])  # the shell and serve never took it

    def test_a_process_nothing_came_from_is_an_error_with_the_nearest_name(self):
        scenario = os.path.join(SCENARIOS, "label_styles.scn")
        out = run(["run", "--process=com.exmple.notes", scenario])
        self.assertEqual(out.returncode, 2)
        self.assertIn(b"no event came from com.exmple.notes (did you mean com.example.notes?)", out.stderr)
        self.assertEqual(run(["run", "-q", "--process=com.example.notes", scenario]).returncode, 0)

    def test_bash_completes_the_event_kinds_of_a_list(self):
        self.assertEqual(self.bash_completes(["orvane-sim", "run", "--only=input-mode,al"]),
                         ["input-mode,alert", "input-mode,alert-dismissed"])

    def test_bash_completes_an_option_value_split_at_the_equals_sign(self):
        self.assertEqual(self.bash_completes(["orvane-sim", "run", "--trace", "=", "j"]), ["json"])


class Shell(unittest.TestCase):
    def setUp(self):
        # Each test's history in a folder of its own.
        self.state = tempfile.mkdtemp()

    def drive(self, lines, wait=0.3):
        """Runs the shell in a pseudo-terminal, typing each line; returns what the terminal showed
        and the exit status."""
        pid, fd = pty.fork()
        if pid == 0:
            os.execve(SIM, [SIM, "shell"], dict(os.environ, XDG_STATE_HOME=self.state))
        shown = b""

        def read_for(seconds):
            nonlocal shown
            end = time.time() + seconds
            while time.time() < end:
                ready, _, _ = select.select([fd], [], [], 0.05)
                if ready:
                    try:
                        shown += os.read(fd, 65536)
                    except OSError:
                        return

        read_for(wait)
        for line in lines:
            os.write(fd, line)
            read_for(wait)
        _, status = os.waitpid(pid, 0)
        os.close(fd)
        return shown.decode("utf-8", "replace"), os.waitstatus_to_exitcode(status)

    def test_completion_by_context_for_choose_and_settings(self):
        shown, _ = self.drive([b"keyboards en_US fr_FR@sw=AZERTY\r", b"start com.example.app\r",
                               b"show-keyboard com.example.app\r", b"long-press com.example.app\r",
                               b"choose com.example.app fr\t\r", b"settings set SelectedK\t [fr_FR]\r",
                               b"expect input-mode com.example.app fr_FR@sw=AZERTY\r", b"quit\r"])
        # What the completed lines did (the terminal redraws a completed word in pieces).
        self.assertIn("switcher-choice fr_FR@sw=AZERTY", shown)
        self.assertIn("value={SelectedKeyboards: [fr_FR]}", shown)
        self.assertIn("held", shown)

    def test_help_completion_history_and_quit(self):
        shown, status = self.drive([b"help\r", b"keyboards en_US fr_FR\r", b"start com.example.app\r",
                                    b"expect input-mode com.example.app fr\t\r", b"\x1b[A\r", b"quit\r"])
        self.assertIn("shell commands:", shown)
        # Tab completed the keyboard identifier ("fr" became "fr_FR"), and the up arrow brought the
        # line back from history: both ran.
        self.assertIn("stdin:4: expected input mode fr_FR in com.example.app", shown)
        self.assertIn("stdin:5: expected input mode fr_FR in com.example.app", shown)
        self.assertNotIn("unknown command", shown)
        self.assertEqual(status, 1)  # the expectation failed (the keyboard is en_US)

    def test_completion_by_position_help_for_one_command_and_history_kept_between_sessions(self):
        # "sta" at the start completes among commands (start, state: both listed); "tap " then the
        # process; "tap springboard g" the key; "expect event * inp" an event kind.
        shown, _ = self.drive([b"keyboards en_US fr_FR\r", b"start sp\t\r", b"help tap\r",
                               b"expect event * inp\t\t\r", b"quit\r"])
        self.assertIn("[SpringBoard] start en_US", shown)  # "sp" completed to springboard, and it ran
        self.assertIn("tap PROCESS globe|KEY|nowhere", shown)
        self.assertNotIn("shell commands:", shown)  # help for one command is its line alone
        self.assertIn("orvane> expect event * input-mode", shown)  # the kind completed in third place
        history = os.path.join(self.state, "orvane", "history")
        with open(history, encoding="utf-8", errors="replace") as f:
            kept = f.read()
        self.assertIn("keyboards en_US fr_FR", kept.replace("\\040", " "))  # libedit writes a space as \\040
        # The next session brings "help tap" back from the last one: three lines up (quit, expect, help).
        shown, _ = self.drive([b"\x1b[A\x1b[A\x1b[A\r", b"quit\r"])
        self.assertIn("tap PROCESS globe|KEY|nowhere", shown)

    def test_ctrl_c_cancels_the_line_and_never_the_shell(self):
        shown, status = self.drive([b"keybords en", b"\x03", b"keyboards en_US\r", b"\x03", b"state\r", b"quit\r"])
        self.assertIn("^C", shown)
        self.assertNotIn("unknown command 'keybords'", shown)  # the cancelled line never ran
        self.assertIn("[device] keyboards [en_US]", shown)
        self.assertIn("keyboards:", shown)  # the shell went on after both
        self.assertEqual(status, 0)

    def test_save_writes_a_scenario_that_replays_and_source_runs_one(self):
        saved = os.path.join(tempfile.mkdtemp(), "session.scn")
        out = run(["shell"], stdin=("keyboards en_US fr_FR\nsettings write {mode: 1, SelectedKeyboards: [en_US, fr_FR]}\n"
                                    "start com.example.app\nshow-keyboard com.example.app\ntap com.example.app globe\n"
                                    "run\nexpect input-mode com.example.app fr_FR\nfrobnicate\n"
                                    "expect input-mode com.example.app de_DE\nsave " + saved + "\n").encode())
        self.assertIn(b"saved 7 lines", out.stdout)
        with open(saved) as f:
            kept = f.read()
        self.assertNotIn("frobnicate", kept)  # a line that could not be run is not saved
        self.assertNotIn("de_DE", kept)  # nor an expectation that failed: the file would fail
        replay = run(["run", "-q", saved])
        self.assertEqual(replay.returncode, 0, replay.stderr)
        sourced = run(["shell"], stdin=("source " + saved + "\nexpect input-mode com.example.app fr_FR\n").encode())
        self.assertEqual(sourced.returncode, 0, sourced.stderr)

    def test_an_expectation_that_holds_says_so(self):
        out = run(["shell"], stdin=b"keyboards en_US\nstart springboard\nexpect input-mode springboard en_US\n"
                                   b"expect input-mode springboard fr_FR\n")
        self.assertEqual(out.stdout.decode().count("held\n"), 1)
        self.assertIn(b"expected input mode fr_FR", out.stderr)

    def test_state_reads_as_lines_or_json(self):
        out = run(["shell"], stdin=b"keyboards en_US\nstart springboard\nstate\nstate --json\n").stdout.decode()
        self.assertIn("keyboards:\n  - en_US\n", out)
        self.assertIn("    name: SpringBoard\n", out)
        state = json.loads([line for line in out.splitlines() if line.startswith("{")][-1])
        self.assertEqual(state["processes"][0]["name"], "SpringBoard")

    def test_exit_status_and_reset_without_a_terminal(self):
        ok = run(["shell"], stdin=b"keyboards en_US\nstart com.example.app\nexpect input-mode com.example.app en_US\n"
                                  b"reset\nexpect input-mode com.example.app en_US\n")
        self.assertEqual(ok.returncode, 1)  # after reset there is no such process: a bad line
        self.assertIn(b"no running process com.example.app", ok.stderr)
        self.assertEqual(run(["shell"], stdin=b"keyboards en_US\nquit\nfrobnicate\n").returncode, 0)
        self.assertEqual(run(["shell"], stdin=b"frobnicate\n").returncode, 1)



class Pages(unittest.TestCase):
    """The pages, their scripts and styles and the tour are files of cli/output/pages, put in as they are."""

    def pages(self, name):
        with open(os.path.join(SCENARIOS, "..", "..", "cli", "output", "pages", name), encoding="utf-8") as f:
            return f.read()

    def test_the_report_is_its_page_with_the_files_put_in_whole(self):
        import html.parser
        report = os.path.join(tempfile.mkdtemp(), "r.html")
        self.assertEqual(run(["run", "-q", "--report", report, OK]).returncode, 0)
        with open(report, encoding="utf-8") as f:
            page = f.read()
        for name in ["device.css", "report.css", "device.js", "report.js"]:
            self.assertIn(self.pages(name), page, name)
        self.assertNotIn("<!-- ", page)

        class Scripts(html.parser.HTMLParser):
            def __init__(self):
                super().__init__()
                self.scripts, self.inside = [], None

            def handle_starttag(self, tag, attrs):
                if tag == "script":
                    self.inside = dict(attrs)
                    self.scripts.append([self.inside, ""])

            def handle_data(self, data):
                if self.inside is not None:
                    self.scripts[-1][1] += data

            def handle_endtag(self, tag):
                if tag == "script":
                    self.inside = None

        parser = Scripts()
        parser.feed(page)
        self.assertEqual([attrs.get("id") for attrs, _ in parser.scripts], ["data", None])
        data = json.loads(parser.scripts[0][1])
        self.assertEqual(data["summary"]["expectations"], 1)

    def test_the_tour_is_its_file(self):
        # (A quoted part of a word keeps its spaces and loses its quotes.)
        says = [line[4:].replace('"', "") for line in self.pages("tour.scn").splitlines() if line.startswith("say ")]
        events = [json.loads(line) for line in run(["tour", "--trace=json"]).stdout.decode().splitlines()]
        self.assertEqual([e["text"] for e in events if e.get("kind") == "say"], says)

if __name__ == "__main__":
    SIM = os.path.abspath(sys.argv.pop(1))
    SCENARIOS = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
