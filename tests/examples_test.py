#!/usr/bin/env python3
"""Every example a person reads runs as it says: the manual page's EXAMPLES and its values, the
README's commands, the first scenario of docs/scenarios.md with the trace and result it shows, every
value form of its Values table, and docs/devices.md's commands. An example that drifts from what the
command does fails here.
    examples_test.py ORVANE_SIM SOURCE_DIR
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

SIM = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else os.path.abspath("build/orvane-sim")
SOURCE = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else os.getcwd()
SCENARIO = os.path.join(SOURCE, "tests", "scenarios", "label_styles.scn")


def read(*path):
    with open(os.path.join(SOURCE, *path), encoding="utf-8") as f:
        return f.read()


class Examples(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="orvane-examples-")
        run = os.path.join(self.home, "run")
        os.mkdir(run, 0o700)
        # `orvane-sim` in an example is this build's; each runs in a folder of its own.
        bin_dir = os.path.join(self.home, "bin")
        os.mkdir(bin_dir)
        for name in ("orvane-sim", "orvane-sim-objc"):
            built = os.path.join(os.path.dirname(SIM), name)
            if os.path.exists(built):
                os.symlink(built, os.path.join(bin_dir, name))
        self.env = dict(os.environ, PATH=bin_dir + ":" + os.environ["PATH"], NO_COLOR="1",
                        XDG_STATE_HOME=os.path.join(self.home, "state"), XDG_RUNTIME_DIR=run)
        shutil.copy(SCENARIO, os.path.join(self.home, "one.scn"))
        # What a booted device (whose application runs already) is given to run.
        with open(os.path.join(self.home, "on-device.scn"), "w") as f:
            f.write("tap com.example.notes globe\nrun\n")
        shutil.copytree(os.path.join(SOURCE, "tests", "scenarios"), os.path.join(self.home, "tests", "scenarios"))

    def tearDown(self):
        subprocess.run(["orvane-sim", "shutdown", "--all"], env=self.env, capture_output=True, timeout=60)
        shutil.rmtree(self.home, ignore_errors=True)

    def shell(self, command, timeout=120):
        return subprocess.run(["bash", "-c", command], cwd=self.home, env=self.env, capture_output=True,
                              text=True, timeout=timeout)

    def runs(self, command, where):
        """A command that serves until Ctrl-C must print its address; any other must exit 0."""
        if re.search(r"\bserve\b", command):
            serve = subprocess.Popen(["bash", "-c", "exec " + command], cwd=self.home, env=self.env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            address = serve.stdout.readline()
            serve.send_signal(signal.SIGINT)
            serve.wait(timeout=20)
            serve.stdout.close()
            serve.stderr.close()
            self.assertRegex(address, r"^http://127\.0\.0\.1:\d+/#token=", f"{where}: {command}")
            return
        if re.search(r"\blog\b.*--follow", command):
            command = "timeout -s INT 2 " + command + "; test $? -eq 124 -o $? -eq 0"
        done = self.shell(command)
        self.assertEqual(done.returncode, 0, f"{where}: {command}\n{done.stdout[-2000:]}{done.stderr[-2000:]}")

    def test_the_manual_pages_examples_run(self):
        page = subprocess.run([SIM, "--manual"], capture_output=True, text=True, check=True).stdout
        examples = re.findall(r"^\.TP\n\.B (.*)$", page.split(".SH EXAMPLES")[1].split(".SH")[0], re.M)
        self.assertGreaterEqual(len(examples), 8)
        for example in examples:
            command = example.replace("\\-", "-").replace("\\e", "\\")  # roff's \e is a backslash
            self.runs(command, "the manual's EXAMPLES")

    def test_every_value_the_docs_show_is_read_by_the_language(self):
        page = subprocess.run([SIM, "--manual"], capture_output=True, text=True, check=True).stdout
        listed = re.search(r"text form of property lists: (.*)\.\n", page).group(1).replace("\\-", "-")
        values = re.findall(r'"[^"]*"|\[[^\]]*\]|\{[^}]*\}|[^,\s][^,]*', listed)
        self.assertIn("{key: 1}", values)
        section = read("docs", "scenarios.md").split("## Values")[1].split("\n## ")[0]
        for row in [line for line in section.splitlines() if line.startswith("| `")]:
            values += re.findall(r"`([^`]+)`", row.split(" | ")[0])
        self.assertGreater(len(values), 15)
        lines = "".join(f"pref set net.example.values key{i} {v}\n" for i, v in enumerate(values))
        done = subprocess.run([SIM, "run", "-q", "-"], input=lines, capture_output=True, text=True, env=self.env)
        self.assertEqual(done.returncode, 0, done.stderr)

    def test_the_readme_and_the_devices_page_commands_run(self):
        commands = []
        for doc, prefix in (("README.md", "build-sim/orvane-sim"), (os.path.join("docs", "devices.md"), "orvane-sim")):
            for line in read(doc).splitlines():
                if line.startswith("    " + prefix + " "):
                    commands.append((doc, line[4:].split("  #")[0].strip()))
        self.assertGreater(len(commands), 20)
        previous = None
        for doc, command in commands:
            if doc != previous:  # each page's commands from no device at all, as its reader starts
                self.shell("orvane-sim shutdown --all")
                shutil.rmtree(self.env["XDG_STATE_HOME"], ignore_errors=True)
                previous = doc
            command = command.replace("build-sim/orvane-sim", "orvane-sim")
            command = command.replace("FILE|FOLDER|-...", "one.scn").replace("[FILE]", "").replace(" FILE", " one.scn")
            command = command.replace(" DIR ", " kept ").replace(" | jq .", "").replace("checks.scn", "one.scn")
            if "--device" in command:
                command = command.replace("one.scn", "on-device.scn")
            if "--runtime=objc" in command and not os.path.exists(os.path.join(os.path.dirname(SIM), "orvane-sim-objc")):
                continue
            if "screenshot" in command and shutil.which("chromium") is None:
                continue
            # Each on the device it names, booted, or shut down for boot and erase.
            if re.match(r"orvane-sim (boot|erase)", command):
                self.shell("orvane-sim shutdown phone")
            elif " phone" in command:
                self.shell("orvane-sim boot phone")
            if re.search(r"\bshell\b", command):
                command = "printf 'keyboards en_US\\n' | " + command
            self.runs(command, doc)

    def test_the_first_scenario_runs_as_the_page_shows(self):
        page = read("docs", "scenarios.md")
        block = page.split("Save this as `first.scn`:\n\n")[1].split("\n\nand run it")[0]
        scenario = "\n".join(line[4:] for line in block.splitlines()) + "\n"
        with open(os.path.join(self.home, "first.scn"), "w") as f:
            f.write(scenario)
        done = self.shell("orvane-sim run first.scn")
        self.assertEqual(done.returncode, 0, done.stderr)
        shown = page.split("Every effect prints as a trace line:\n\n")[1].split("\n\n")[0]
        for line in (l[4:] for l in shown.splitlines()):
            if line == "...":
                continue
            pattern = re.escape(line).replace(r"0\.01", r"\d+\.\d+")
            self.assertRegex(done.stdout, pattern)
        # And the failure the page promises, where it says.
        with open(os.path.join(self.home, "first.scn"), "w") as f:
            f.write(scenario.replace("expect input-mode com.example.notes de_DE", "expect input-mode com.example.notes fr_FR"))
        failed = self.shell("orvane-sim run first.scn")
        self.assertEqual(failed.returncode, 1)
        self.assertIn("first.scn:9: expected input mode fr_FR in com.example.notes, found de_DE", failed.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
