#!/usr/bin/env python3
"""Named devices that outlive the command, driven as their users drive them: boot, list, send, log,
report, screenshot, shutdown and boot again; run, shell and serve on a booted device; kill -9, SIGTERM;
the door that only its owner opens, and the clients that cannot stall it.
    devices_test.py ORVANE_SIM
"""
import http.client
import json
import os
import plistlib
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SIM = sys.argv.pop(1) if len(sys.argv) > 1 else "build/orvane-sim"


class Devices(unittest.TestCase):
    """Each test has a home of its own: its devices' folders and doors, shut down at its end."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="orvane-devices-")
        self.env = dict(os.environ, XDG_STATE_HOME=os.path.join(self.home, "state"),
                        XDG_RUNTIME_DIR=os.path.join(self.home, "run"), NO_COLOR="1")
        os.mkdir(self.env["XDG_RUNTIME_DIR"], 0o700)

    def tearDown(self):
        self.sim("shutdown", "--all", timeout=60)
        for record in self.records():
            if record.get("state") == "booted" and record.get("pid"):
                try:
                    os.kill(record["pid"], signal.SIGKILL)
                except ProcessLookupError:
                    pass
        shutil.rmtree(self.home, ignore_errors=True)

    def sim(self, *args, stdin=None, timeout=60):
        return subprocess.run([SIM, *args], input=stdin, capture_output=True, text=True, env=self.env,
                              timeout=timeout)

    def ok(self, *args, stdin=None):
        done = self.sim(*args, stdin=stdin)
        self.assertEqual(done.returncode, 0, f"{args}: {done.stdout}{done.stderr}")
        return done.stdout

    def folder(self, name):
        return os.path.join(self.env["XDG_STATE_HOME"], "orvane", "devices", name)

    def socket_path(self, name):
        return os.path.join(self.env["XDG_RUNTIME_DIR"], "orvane", name + ".sock")

    def records(self):
        devices = os.path.join(self.env["XDG_STATE_HOME"], "orvane", "devices")
        out = []
        for name in os.listdir(devices) if os.path.isdir(devices) else []:
            path = os.path.join(devices, name, "device.plist")
            if os.path.exists(path):
                with open(path, "rb") as f:
                    out.append(plistlib.load(f))
        return out

    def listed(self):
        """`list --json`, read by Python's own JSON parser: the devices by name."""
        return {d["name"]: d for d in json.loads(self.ok("list", "--json"))["devices"]}

    def ask(self, name, method, path, body=b""):
        """One request over the door, as curl --unix-socket makes it."""
        s = socket.socket(socket.AF_UNIX)
        s.settimeout(10)
        s.connect(self.socket_path(name))
        s.sendall(f"{method} {path} HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
                  f"Content-Type: text/plain\r\nContent-Length: {len(body)}\r\n\r\n".encode() + body)
        data = b""
        while chunk := s.recv(65536):
            data += chunk
        s.close()
        head, _, body = data.partition(b"\r\n\r\n")
        return int(head.split()[1]), body

    # Boot, use, shut down, boot again with the folder as it was.
    def test_a_device_boots_answers_by_name_and_boots_again_as_it_was(self):
        booted = self.ok("boot", "phone")
        self.assertIn("phone: booted", booted)
        self.assertIn("unix:" + self.socket_path("phone"), booted)
        device = self.listed()["phone"]
        self.assertEqual(device["state"], "booted")
        self.assertEqual([p["name"] for p in device["processes"]], ["SpringBoard", "com.example.notes"])
        self.assertEqual(device["socket"], self.socket_path("phone"))

        # Lines run at once and say what they did, in run's formats and with its statuses.
        trace = self.ok("send", "phone", "settings set mode 1", "tap com.example.notes globe",
                        "expect input-mode com.example.notes fr_FR@sw=AZERTY")
        self.assertIn("[com.example.notes] input-mode fr_FR@sw=AZERTY", trace)
        events = [json.loads(line) for line in self.ok("send", "phone", "--trace=json", "label com.example.notes")
                  .splitlines()]
        self.assertEqual(events[-1]["kind"], "label")
        self.assertEqual(events[-1]["file"], "send")
        failed = self.sim("send", "phone", "expect input-mode com.example.notes de_DE")
        self.assertEqual(failed.returncode, 1)
        self.assertRegex(failed.stderr, r"send:\d+: expected input mode de_DE")
        bad = self.sim("send", "phone", "tap nowhere.app globe", "say never run")
        self.assertEqual(bad.returncode, 2)
        self.assertIn("^", bad.stderr)  # the caret under the word to blame
        self.assertNotIn("never run", bad.stdout)
        self.assertIn("from stdin", self.ok("send", "phone", "-", stdin="say from stdin\n# a comment\n"))
        self.ok("send", "phone", "version 1140.1", "keyboards de_DE en_US@hw=US;sw=QWERTY")

        # The log holds what every client did, in one order.
        log = self.ok("log", "phone", "--only=say")
        self.assertIn("from stdin", log)
        self.assertNotIn("never run", log)

        report = os.path.join(self.home, "report.html")
        self.ok("report", "phone", report)
        with open(report, encoding="utf-8") as f:
            page = f.read()
        self.assertIn("<html", page)
        self.assertIn("from stdin", page)

        self.assertIn("phone: shut down", self.ok("shutdown", "phone"))
        self.assertFalse(os.path.exists(self.socket_path("phone")))
        device = self.listed()["phone"]
        self.assertEqual((device["state"], device["version"], device["processes"]), ("shutdown", "1140.1", []))
        # Every file the device kept is whole: Python's plistlib reads each property list.
        for folder, _, files in os.walk(os.path.join(self.folder("phone"), "root")):
            for name in files:
                if name.endswith(".plist"):
                    with open(os.path.join(folder, name), "rb") as f:
                        plistlib.load(f)

        # Booted again: SpringBoard alone, on its kept keyboards, version and settings.
        self.ok("boot", "phone")
        self.assertEqual([p["name"] for p in self.listed()["phone"]["processes"]], ["SpringBoard"])
        self.ok("send", "phone", "expect setting mode 1", "expect input-mode springboard de_DE")
        self.assertEqual(self.listed()["phone"]["version"], "1140.1")

    def test_a_booted_name_is_refused_a_second_boot_and_names_are_checked(self):
        self.ok("boot")
        again = self.sim("boot")
        self.assertEqual(again.returncode, 2)
        self.assertIn("booted already, at unix:" + self.socket_path("default"), again.stderr)
        # "booted" names the one booted device.
        self.assertIn("hello", self.ok("send", "booted", "say hello"))
        self.ok("boot", "second")
        both = self.sim("send", "booted", "say which")
        self.assertEqual(both.returncode, 2)
        self.assertIn("default, second", both.stderr)
        for bad in ("..", ".hidden", "booted", "a b", "x" * 65):
            refused = self.sim("boot", bad)
            self.assertEqual(refused.returncode, 2, bad)
            self.assertIn("name", refused.stderr)
        self.assertEqual(sorted(os.listdir(os.path.join(self.env["XDG_STATE_HOME"], "orvane", "devices"))),
                         ["default", "second"])
        unknown = self.sim("send", "nosuch", "say x")
        self.assertEqual(unknown.returncode, 2)
        self.assertIn("orvane-sim boot nosuch", unknown.stderr)
        # A set-up file instead of the page's device: its lines are the boot's.
        setup = os.path.join(self.home, "setup.scn")
        with open(setup, "w") as f:
            f.write("keyboards ru_RU de_DE\nstart springboard\nstart com.example.mail\n")
        self.ok("boot", "third", setup)
        self.assertEqual([p["name"] for p in self.listed()["third"]["processes"]], ["SpringBoard", "com.example.mail"])
        failing = os.path.join(self.home, "failing.scn")
        with open(failing, "w") as f:
            f.write("start springboard\nexpect input-mode springboard xx_XX\n")
        self.assertEqual(self.sim("boot", "fourth", failing).returncode, 1)
        self.assertNotEqual(self.listed()["fourth"]["state"], "booted")

    def test_run_and_shell_on_a_booted_device_join_its_session(self):
        self.ok("boot", "phone")
        scenario = os.path.join(self.home, "steps.scn")
        with open(scenario, "w") as f:
            f.write("# Two steps.\ntap com.example.notes globe\n\nexpect input-mode com.example.notes fr_FR@sw=AZERTY\n")
        out = self.ok("run", "--device", "phone", scenario)
        self.assertIn("1 passed, 0 failed", out)
        with open(scenario, "a") as f:
            f.write("expect input-mode com.example.notes ru_RU\n")
        failed = self.sim("run", "--device", "phone", "-q", scenario)
        self.assertEqual(failed.returncode, 1)
        self.assertIn(scenario + ":5: expected input mode ru_RU", failed.stderr)  # the file's own line numbers
        refused = self.sim("run", "--device", "phone", "--root", self.home, scenario)
        self.assertEqual(refused.returncode, 2)

        saved = os.path.join(self.home, "saved.scn")
        shell = self.sim("shell", "--device", "phone",
                         stdin=f"say from the shell\nexpect input-mode springboard nope\nsave {saved}\nquit\n")
        self.assertIn("from the shell", shell.stdout)
        with open(saved) as f:
            kept = f.read()
        self.assertIn("say from the shell", kept)
        self.assertNotIn("nope", kept)  # a failed expectation is not saved: the file replays
        self.assertIn("from the shell", self.ok("log", "phone", "--only=say"))

    def test_a_page_and_clients_share_one_session_and_one_order(self):
        self.ok("boot", "phone")
        serve = subprocess.Popen([SIM, "serve", "--device", "phone"], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, env=self.env)
        try:
            address = serve.stdout.readline().strip()
            self.assertTrue(address.startswith("http://127.0.0.1:"), address)
            port, token = int(address.split(":")[2].split("/")[0]), address.split("token=")[1]
            follow = subprocess.Popen([SIM, "log", "phone", "--follow", "--trace=json", "--only=say"],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=self.env)

            def press(line):
                c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                c.request("POST", f"/api/act?press=p-{line[-1]}&since=0", body=line,
                          headers={"X-Orvane-Token": token, "Content-Type": "text/plain"})
                status = c.getresponse().status
                c.close()
                return status

            order = []
            for i in range(3):
                self.assertEqual(press(f"say page {i}"), 200)
                self.ok("send", "phone", f"say script {i}")
                order += [f"page {i}", f"script {i}"]
            # Without the token the page's door is shut to a client.
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            c.request("GET", "/api/view")
            self.assertEqual(c.getresponse().status, 403)
            c.close()

            seen = []
            deadline = time.monotonic() + 20
            while len(seen) < len(order) and time.monotonic() < deadline:
                line = follow.stdout.readline()
                if line.strip():
                    event = json.loads(line)
                    if event["text"].startswith(("page ", "script ")):
                        seen.append(event)
            self.assertEqual([e["text"] for e in seen], order)
            self.assertEqual([e["seq"] for e in seen], sorted(e["seq"] for e in seen))
            # The page's saved scenario holds what the script sent too.
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            c.request("GET", "/api/scenario", headers={"X-Orvane-Token": token})
            scenario = c.getresponse().read().decode()
            c.close()
            self.assertLess(scenario.index('say "page 0"') if 'say "page 0"' in scenario else scenario.index("page 0"),
                            scenario.index("script 0"))

            # Ctrl-C on serve closes the page's door; the device stays booted.
            serve.send_signal(signal.SIGINT)
            self.assertEqual(serve.wait(timeout=10), 0)
            with self.assertRaises(OSError):
                socket.create_connection(("127.0.0.1", port), timeout=2).close()
            self.assertEqual(self.listed()["phone"]["state"], "booted")
            # The device's end ends the follower.
            self.ok("shutdown", "phone")
            self.assertEqual(follow.wait(timeout=10), 0)
        finally:
            for p in (serve,) + ((follow,) if "follow" in locals() else ()):
                if p.poll() is None:
                    p.kill()
                    p.wait()
                p.stdout.close()
                p.stderr.close()

    def test_two_clients_at_once_see_each_line_whole_and_in_one_order(self):
        self.ok("boot", "phone")
        outputs = {}

        def client(who):
            lines = [f"say {who} {i} " + "x" * 200 for i in range(15)]
            outputs[who] = [self.sim("send", "phone", line).stdout for line in lines]

        threads = [threading.Thread(target=client, args=(who,)) for who in ("left", "right")]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for who, outs in outputs.items():
            for i, out in enumerate(outs):
                self.assertIn(f"== {who} {i} " + "x" * 200, out)  # each client sees its own line, whole
                self.assertNotIn("right" if who == "left" else "left", out)
        events = [json.loads(line) for line in self.ok("log", "phone", "--trace=json", "--only=say").splitlines()]
        texts = [e["text"] for e in events if e["text"].startswith(("left", "right"))]
        self.assertEqual(len(texts), 30)
        for who in ("left", "right"):
            self.assertEqual([t.split()[1] for t in texts if t.startswith(who)], [str(i) for i in range(15)])
        seqs = [e["seq"] for e in events]
        self.assertEqual(seqs, sorted(set(seqs)))

    def test_kill_9_loses_nothing_and_sigterm_is_a_clean_shutdown(self):
        self.ok("boot", "phone")
        self.ok("send", "phone", "settings set mode 2", "version 1000.5",
                "pref set net.example.kept count 7")
        pid = self.listed()["phone"]["pid"]
        os.kill(pid, signal.SIGKILL)
        deadline = time.monotonic() + 10
        while self.listed()["phone"]["state"] == "booted" and time.monotonic() < deadline:
            time.sleep(0.05)
        device = self.listed()["phone"]
        self.assertEqual(device["state"], "ended")
        self.assertTrue(os.path.exists(self.socket_path("phone")))  # its door was left behind
        booted = self.sim("boot", "phone")
        self.assertEqual(booted.returncode, 0, booted.stderr)
        self.assertIn("removed the door", booted.stderr)
        self.ok("send", "phone", "expect setting mode 2", "expect pref net.example.kept count 7")
        self.assertEqual(self.listed()["phone"]["version"], "1000.5")

        pid = self.listed()["phone"]["pid"]
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 10
        while self.listed()["phone"]["state"] == "booted" and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.listed()["phone"]["state"], "shutdown")
        self.assertFalse(os.path.exists(self.socket_path("phone")))

        # Erased, it boots as new; booted, it cannot be erased.
        self.ok("boot", "phone")
        self.assertEqual(self.sim("erase", "phone").returncode, 2)
        self.ok("shutdown", "phone")
        self.assertIn("phone: erased", self.ok("erase", "phone"))
        self.ok("boot", "phone")
        self.ok("send", "phone", "expect no-setting mode", "expect no-pref net.example.kept count")

    def test_the_door_is_the_owners_alone_and_no_client_stalls_it(self):
        self.ok("boot", "phone")
        doors = os.path.dirname(self.socket_path("phone"))
        self.assertEqual(stat.S_IMODE(os.stat(doors).st_mode), 0o700)
        self.assertEqual(stat.S_IMODE(os.stat(self.socket_path("phone")).st_mode), 0o600)
        self.assertEqual(os.stat(self.socket_path("phone")).st_uid, os.getuid())
        # curl's way in works: HTTP over the socket.
        status, body = self.ask("phone", "GET", "/api/info")
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(body)["processes"][0]["name"], "SpringBoard")

        # Garbage is answered and closed; a client that holds the door without a word, and one
        # that asks for much and never reads, hold a connection each, never the device.
        garbage = socket.socket(socket.AF_UNIX)
        garbage.connect(self.socket_path("phone"))
        garbage.sendall(b"\x00\xff NOT HTTP\r\n\r\n")
        self.assertIn(b" 400 ", garbage.recv(4096))
        garbage.close()
        holders = []
        for _ in range(5):
            s = socket.socket(socket.AF_UNIX)
            s.connect(self.socket_path("phone"))
            holders.append(s)
        greedy = socket.socket(socket.AF_UNIX)
        greedy.connect(self.socket_path("phone"))
        for _ in range(50):
            greedy.sendall(b"GET /api/report HTTP/1.1\r\nHost: x\r\n\r\n")
        started = time.monotonic()
        self.assertIn("still here", self.ok("send", "phone", "say still here"))
        self.assertLess(time.monotonic() - started, 5)
        for s in holders + [greedy]:
            s.close()

        # Another user cannot come in: the door's folder is this user's alone. (Only root can
        # become another user to try it.)
        if os.getuid() == 0:
            child = os.fork()
            if child == 0:
                code = 3
                try:
                    os.setgid(65534)
                    os.setuid(65534)
                    s = socket.socket(socket.AF_UNIX)
                    s.connect(self.socket_path("phone"))
                    code = 1  # came in
                except PermissionError:
                    code = 0
                finally:
                    os._exit(code)
            _, status = os.waitpid(child, 0)
            self.assertEqual(os.waitstatus_to_exitcode(status), 0)

        # A door folder another may enter is refused, not used.
        self.ok("shutdown", "phone")
        os.chmod(doors, 0o755)
        refused = self.sim("boot", "phone")
        self.assertEqual(refused.returncode, 2)
        self.assertIn("may be entered by other users", refused.stderr)

    def test_a_device_on_the_real_runtime_keeps_its_runtime_and_ends_with_its_processes(self):
        objc = os.path.join(os.path.dirname(os.path.abspath(SIM)), "orvane-sim-objc")
        if not os.path.exists(objc):
            self.skipTest("no orvane-sim-objc beside " + SIM)
        self.ok("boot", "real", "--runtime=objc")
        self.assertEqual(self.listed()["real"]["runtime"], "objc")
        # A process started during a request is an OS process forked from the device: it holds
        # none of the device's doors, so the answer's end reaches the client at once.
        started = time.monotonic()
        self.assertIn("application-main", self.ok("send", "real", "start com.example.mail"))
        self.assertLess(time.monotonic() - started, 10)
        self.ok("shutdown", "real")
        self.ok("boot", "real")  # again on the runtime it ran on, without --runtime
        self.assertEqual(self.listed()["real"]["runtime"], "objc")
        self.ok("send", "real", "start com.example.mail")
        os.kill(self.listed()["real"]["pid"], signal.SIGKILL)
        # Its processes end with it, and with them the last hold on its lock.
        deadline = time.monotonic() + 10
        while self.listed()["real"]["state"] == "booted" and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.listed()["real"]["state"], "ended")
        self.ok("boot", "real")

    def test_screenshot_is_the_phone_as_its_page_draws_it(self):
        self.ok("boot", "phone")
        shot = os.path.join(self.home, "phone.png")
        if shutil.which("chromium") is None:
            missing = self.sim("screenshot", "phone", shot)
            self.assertEqual(missing.returncode, 2)
            self.assertIn("apt-get install chromium", missing.stderr)
            self.skipTest("no chromium: its message is checked, not its drawing")
        self.ok("screenshot", "phone", shot)
        with open(shot, "rb") as f:
            png = f.read()
        self.assertEqual(png[:8], b"\x89PNG\r\n\x1a\n")
        width, height = struct.unpack(">II", png[16:24])
        self.assertEqual((width, height), (340, 680))  # the phone alone, at the page's size
        # The page's door was opened for the shot alone.
        self.assertIsNone(json.loads(self.ask("phone", "GET", "/api/info")[1])["page"])
        # Without a browser on the path it says which package draws it.
        env = dict(self.env, PATH="/nonexistent")
        missing = subprocess.run([os.path.abspath(SIM), "screenshot", "phone", shot], capture_output=True,
                                 text=True, env=env)
        self.assertEqual(missing.returncode, 2)
        self.assertIn("apt-get install chromium", missing.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
