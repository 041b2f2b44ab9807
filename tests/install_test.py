#!/usr/bin/env python3
"""`cmake --install` into a temporary prefix: the command, the real runtime's command with the
extension's shared object, the manual page (man renders it without a warning, with every section,
every option of the commands' --help once and every command of the shell's help), and the bash and
zsh completions. The installed commands run a scenario.

usage: install_test.py BUILD_DIR SCENARIO
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD, SCENARIO = sys.argv[1], sys.argv[2]


class Install(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp()
        subprocess.run(["cmake", "--install", BUILD, "--prefix", cls.prefix], check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.prefix, *parts)

    def test_the_commands_run_and_say_their_version(self):
        sim = self.path("bin", "orvane-sim")
        version = subprocess.run([sim, "--version"], capture_output=True, text=True, check=True).stdout
        self.assertRegex(version, r"^orvane-sim \d+\.\d+\.\d+")
        out = subprocess.run([sim, "run", "-q", SCENARIO], capture_output=True, text=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.splitlines()[-1], "1 passed, 0 failed")

    def test_the_real_runtime_maps_the_installed_shared_object(self):
        objc = self.path("bin", "orvane-sim-objc")
        if not os.path.exists(objc):
            self.skipTest("built without the real runtime")
        libraries = [os.path.join(root, f) for root, _, files in os.walk(self.prefix) for f in files if f == "liborvane.so"]
        self.assertEqual(len(libraries), 1)
        out = subprocess.run([self.path("bin", "orvane-sim"), "run", "-q", "--runtime=objc", SCENARIO],
                             capture_output=True, text=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        # Without the installed object the installed command has none: it never reaches into the build.
        moved = libraries[0] + ".away"
        os.rename(libraries[0], moved)
        try:
            out = subprocess.run([objc, "run", "-q", SCENARIO], capture_output=True, text=True)
            self.assertNotEqual(out.returncode, 0)
            self.assertIn("cannot install the extension from " + os.path.realpath(libraries[0]), out.stderr)
        finally:
            os.rename(moved, libraries[0])

    def test_the_manual_page_renders_and_holds_every_command_and_option_once(self):
        page = self.path("share", "man", "man1", "orvane-sim.1.gz")  # compressed, as man pages are
        self.assertTrue(os.path.exists(page))
        rendered = subprocess.run(["man", "--warnings=w", "-l", page], capture_output=True, text=True, check=True,
                                  env=dict(os.environ, MANPAGER="cat", MANWIDTH="200"))
        text = rendered.stdout
        for section in ["NAME", "SYNOPSIS", "COMMANDS", "THE SCENARIO LANGUAGE", "OPTIONS", "ENVIRONMENT", "FILES",
                        "EXIT STATUS", "EXAMPLES"]:
            self.assertRegex(text, "(?m)^" + section + "$")
        self.assertNotIn("troff", rendered.stderr)
        program = self.path("bin", "orvane-sim")
        # Every option of every command's --help is described once, under OPTIONS.
        options = set()
        for command in ["run", "tour", "shell", "serve"]:
            help_text = subprocess.run([program, command, "--help"], capture_output=True, text=True, check=True).stdout
            options |= {word.rstrip(",").split("=")[0] for word in help_text.split() if word.startswith("--")
                        and word.rstrip(",").split("=")[0][2:].replace("-", "").isalpha()}
        self.assertGreater(len(options), 12)
        described = text[text.index("\nOPTIONS\n"):text.index("\nENVIRONMENT\n")]
        for option in options:
            self.assertEqual(len(re.findall(r"(?m)^ {7}" + re.escape(option) + r"\b", described)), 1, option)
        # Every command of the scenario language, as the shell's help lists it.
        shell_help = subprocess.run([program, "shell"], input="help\n", capture_output=True, text=True).stdout
        words = re.findall(r"(?m)^  (\S+)", shell_help)
        self.assertGreater(len(words), 30)
        language = text[text.index("\nTHE SCENARIO LANGUAGE\n"):text.index("\nOPTIONS\n")]
        for word in words:
            self.assertRegex(language, r"(?m)^ {7}" + re.escape(word) + r"\b")

    def test_completions_are_where_the_shells_look(self):
        bash = self.path("share", "bash-completion", "completions", "orvane-sim")
        self.assertTrue(os.path.exists(bash))
        self.assertTrue(os.path.exists(self.path("share", "zsh", "site-functions", "_orvane-sim")))
        # bash reads it and completes the commands.
        script = f"source {bash}; COMP_WORDS=(orvane-sim ru); COMP_CWORD=1; _orvane_sim; echo ${{COMPREPLY[@]}}"
        out = subprocess.run(["bash", "-c", script], capture_output=True, text=True, check=True).stdout
        self.assertEqual(out.split(), ["run"])


class Uninstall(unittest.TestCase):
    def test_the_commands_are_stripped_and_uninstall_takes_back_every_file(self):
        prefix = tempfile.mkdtemp()
        try:
            subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True, capture_output=True)
            installed = [os.path.join(folder, name) for folder, _, names in os.walk(prefix) for name in names]
            self.assertGreater(len(installed), 5)
            for program in ("orvane-sim", "orvane-sim-objc"):
                path = os.path.join(prefix, "bin", program)
                if os.path.exists(path):
                    sections = subprocess.run(["readelf", "-S", "-W", path], capture_output=True, text=True).stdout
                    self.assertNotIn(".symtab", sections, program + " is not stripped")
                    self.assertNotIn(".debug_info", sections, program + " keeps its debug information")
            done = subprocess.run(["cmake", "--build", BUILD, "--target", "uninstall"], capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stderr)
            left = [os.path.join(folder, name) for folder, _, names in os.walk(prefix) for name in names]
            self.assertEqual(left, [])
        finally:
            shutil.rmtree(prefix, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
