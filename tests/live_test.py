#!/usr/bin/env python3
"""The live device's server (orvane-sim serve) as a hostile client and a recorder meet it.

Every refused request leaves the device alive and its folder untouched; the session's scenario
replays with `orvane-sim run` to the same trace; Ctrl-C ends the server and removes its device.
    live_test.py ORVANE_SIM
"""
import hashlib
import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SIM = sys.argv.pop(1) if len(sys.argv) > 1 else "build/orvane-sim"


def folder_digest(root):
    """Every file under the device folder, with its bytes."""
    digest = hashlib.sha256()
    for folder, _, files in sorted(os.walk(root)):
        for name in sorted(files):
            path = os.path.join(folder, name)
            digest.update(path.encode())
            with open(path, "rb") as f:
                digest.update(f.read())
    return digest.hexdigest()


def ended(process):
    """SIGINT, then the exit status; a server that does not end is killed, never left running."""
    process.send_signal(signal.SIGINT)
    try:
        return process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return "did not end on SIGINT"
    finally:
        process.stdout.close()
        process.stderr.close()


def replay(script):
    """The saved session run with orvane-sim run, its trace as JSON lines."""
    with tempfile.NamedTemporaryFile("w", suffix=".scn", delete=False) as f:
        f.write(script)
    try:
        return subprocess.run([SIM, "run", "--trace", "json", f.name], capture_output=True, text=True)
    finally:
        os.unlink(f.name)


class Server:
    def __init__(self, *args, root=None):
        command = [SIM, "serve", *args] + (["--root", root] if root else [])
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.address = self.process.stdout.readline().strip()
        assert self.address.startswith("http://127.0.0.1:"), self.address + self.process.stderr.read()
        self.port = int(self.address.split(":")[2].split("/")[0])
        self.token = self.address.split("token=")[1]

    def request(self, method, path, body=None, headers=None, token=True):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        sent = {"Content-Type": "text/plain"}
        if token:
            sent["X-Orvane-Token"] = self.token
        sent.update(headers or {})
        connection.request(method, path, body=body, headers=sent)
        response = connection.getresponse()
        data = response.read()
        connection.close()
        return response.status, data

    def act(self, *lines, since=0):
        # As the page does: a request refused for the rate is sent again after the delay it names.
        while True:
            status, data = self.request("POST", f"/api/act?since={since}", "\n".join(lines).encode())
            if status != 429:
                break
            time.sleep(1)
        assert status == 200, (status, data)
        return json.loads(data)

    def raw(self):
        """A socket of its own to the server, for what an HTTP library would not send."""
        return socket.create_connection(("127.0.0.1", self.port), timeout=10)

    def head(self, method, path, *extra, token=True):
        lines = [f"{method} {path} HTTP/1.1", f"Host: 127.0.0.1:{self.port}"]
        lines += [f"X-Orvane-Token: {self.token}"] if token else []
        return ("\r\n".join(lines + list(extra)) + "\r\n\r\n").encode()

    def descriptors(self):
        return len(os.listdir(f"/proc/{self.process.pid}/fd"))

    def resident_kb(self):
        with open(f"/proc/{self.process.pid}/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))

    def stop(self):
        return ended(self.process)


def configure(server, selected, *after):
    """Unlocks, dismisses the notice and sets mode 1 over `selected`, as a person first does."""
    server.act("unlock", "run")
    server.act("dismiss springboard", "run")
    server.act(f"settings write {{enabled: true, mode: 1, SelectedKeyboards: [{selected}]}}",
               "post springboard darwin net.varnholt.orvane/prefsChanged", "run", *after)


class Refusals(unittest.TestCase):
    def test_hostile_requests_are_refused_and_the_device_goes_on(self):
        with tempfile.TemporaryDirectory() as parent:
            root = os.path.join(parent, "device")
            server = Server(root=root)
            try:
                self.assertEqual(server.request("GET", "/", token=False)[0], 200)
                before = folder_digest(root)
                refused = {
                    "no token": server.request("GET", "/api/view", token=False),
                    "wrong token": server.request("GET", "/api/view", headers={"X-Orvane-Token": "0" * 32}, token=False),
                    "token in the query of an API call": server.request(
                        "GET", "/api/view?token=" + server.token, token=False),
                    "the event stream without the token": server.request("GET", "/api/events", token=False),
                    "foreign origin": server.request(
                        "POST", "/api/act", b"unlock", headers={"Origin": "http://evil.example"}),
                    "rebinding host": server.request("GET", "/api/view", headers={"Host": f"evil.example:{server.port}"}),
                    "another port": server.request("GET", "/api/view", headers={"Host": "127.0.0.1:1"}),
                    "oversized body": server.request("POST", "/api/act", b"say " + b"x" * 100000),
                    "not text": server.request(
                        "POST", "/api/act", b"unlock", headers={"Content-Type": "application/x-www-form-urlencoded"}),
                    "a path that names a file": server.request("GET", "/../../etc/passwd"),
                    "an unknown path": server.request("GET", "/api/file?path=/etc/passwd"),
                }
                for what, (status, _) in refused.items():
                    self.assertGreaterEqual(status, 400, what)
                    self.assertLess(status, 500, what)
                # Commands that name a file, change the file layer or end a process abruptly are not
                # the page's to send: refused before any line of the action runs.
                for line in ["file write /var/mobile/x {a: 1}", "show file /etc/passwd", "pref set d k 1",
                             "fault write", "kill com.example.notes", "say ok\nfile delete /var/mobile"]:
                    answer = server.act(line, since=10**9)
                    self.assertFalse(answer["ok"], line)
                    self.assertIn("may not send", answer["error"])
                # A line the language cannot run is an error the page shows; the device goes on.
                answer = server.act("tap com.example.notes nowhere-at-all", since=10**9)
                self.assertFalse(answer["ok"])
                # Garbage on the socket: a 400, and the server answers the next request.
                with socket.create_connection(("127.0.0.1", server.port), timeout=5) as raw:
                    raw.sendall(b"\x00\xff\x16\x03\x01 garbage \r\n\r\n")
                    reply = raw.recv(100)
                    self.assertTrue(reply == b"" or reply.startswith(b"HTTP/1.1 4"), reply)
                # A thousand requests in a burst: past the rate, each refused with 429.
                statuses = []
                lock = threading.Lock()

                def burst():
                    for _ in range(125):
                        status, _ = server.request("GET", "/api/view?since=1000000")
                        with lock:
                            statuses.append(status)

                threads = [threading.Thread(target=burst) for _ in range(8)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                self.assertEqual(len(statuses), 1000)
                self.assertTrue(set(statuses) <= {200, 429}, set(statuses))
                self.assertIn(429, statuses)
                self.assertEqual(folder_digest(root), before, "a refused request wrote nothing")
                time.sleep(1.1)
                status, data = server.request("GET", "/api/view?since=0")
                self.assertEqual(status, 200)
                self.assertTrue(json.loads(data)["ok"], "the device is alive")
            finally:
                self.assertEqual(server.stop(), 0)

    def test_a_flood_without_the_token_never_starves_the_page_and_a_port_has_one_server(self):
        server = Server()
        try:
            # A thousand requests without the token, as fast as they come: each refused (403), and
            # none spends the budget of the requests that carry the token.
            statuses = []
            lock = threading.Lock()

            def flood():
                for _ in range(250):
                    status, _ = server.request("GET", "/api/view?since=1000000", token=False)
                    with lock:
                        statuses.append(status)

            threads = [threading.Thread(target=flood) for _ in range(4)]
            for t in threads:
                t.start()
            answers = [server.request("GET", "/api/view?since=1000000")[0] for _ in range(50)]
            for t in threads:
                t.join()
            self.assertEqual(set(statuses), {403})
            self.assertEqual(set(answers), {200}, "the page's own requests answered beside the flood")
            # Past the budget, the answer names when to come again.
            connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
            retry = None
            for _ in range(400):
                connection.request("GET", "/api/view?since=1000000", headers={"X-Orvane-Token": server.token})
                response = connection.getresponse()
                response.read()
                if response.status == 429:
                    retry = response.getheader("Retry-After")
                    break
            connection.close()
            self.assertEqual(retry, "1")
            # A second server on the same port is refused, not given half the connections.
            second = subprocess.run([SIM, "serve", "--port", str(server.port)], capture_output=True, text=True,
                                    timeout=30)
            self.assertEqual(second.returncode, 2, second.stdout)
            self.assertIn(f"cannot listen on 127.0.0.1:{server.port}", second.stderr)
        finally:
            self.assertEqual(server.stop(), 0)

    def test_one_pages_flood_never_holds_another_pages_press_back(self):
        # Two threads of one page flood the view, past its budget; another page's presses, sent
        # meanwhile, are each answered at once, never told to come again.
        server = Server()
        try:
            flooding = threading.Event()
            flooding.set()
            refused = []

            def flood():
                connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
                while flooding.is_set():
                    connection.request("GET", "/api/view?since=1000000",
                                       headers={"X-Orvane-Token": server.token, "X-Orvane-Page": "flood"})
                    response = connection.getresponse()
                    response.read()
                    refused.append(response.status == 429)
                connection.close()

            threads = [threading.Thread(target=flood) for _ in range(2)]
            for t in threads:
                t.start()
            time.sleep(0.3)
            waits, statuses = [], []
            for i in range(20):
                started = time.monotonic()
                statuses.append(server.request("POST", f"/api/act?since=1000000&press=other-{i}", b"say pressed",
                                               headers={"X-Orvane-Page": "other"})[0])
                waits.append(time.monotonic() - started)
                time.sleep(0.05)
            flooding.clear()
            for t in threads:
                t.join()
            self.assertTrue(any(refused), "the flood went past its page's budget")
            self.assertEqual(set(statuses), {200})
            self.assertLess(max(waits), 0.5, waits)
        finally:
            self.assertEqual(server.stop(), 0)

    def test_what_the_session_holds_and_answers_stays_bounded(self):
        # A long session: the first answer of a page that opens late holds the screen and the last
        # events the page shows, the same size after 400 presses as after 1,200; past its first few
        # hundred presses the server grows by the saved scenario's lines only, not by the events.
        server = Server()
        try:
            configure(server, "fr_FR@sw=AZERTY, ru_RU")
            sizes, resident = [], []
            for presses in (400, 800):
                for i in range(presses):
                    server.act("tap com.example.notes globe", "run", "label com.example.notes", since=10**9)
                status, data = server.request("GET", "/api/view?since=0")
                self.assertEqual(status, 200)
                view = json.loads(data)
                self.assertLessEqual(len(view["events"]), 500)
                self.assertIn("screen", view)
                sizes.append(len(data))
                resident.append(server.resident_kb())
            self.assertLess(abs(sizes[1] - sizes[0]), sizes[0] // 10, sizes)
            per_press = (resident[1] - resident[0]) * 1024 / 800
            # Under the sanitizers freed memory is held back in their quarantine: not measured there.
            if not os.environ.get("ORVANE_SANITIZED"):
                self.assertLess(per_press, 600, f"{per_press:.0f} bytes a press")
            print(f"\nview since 0: {sizes[0]} then {sizes[1]} bytes; resident {resident[0]} then {resident[1]} KB "
                  f"({per_press:.0f} bytes a press)", file=sys.stderr)
        finally:
            self.assertEqual(server.stop(), 0)

    def test_ctrl_c_ends_the_server_and_removes_its_device(self):
        with tempfile.TemporaryDirectory() as tmp:
            env = dict(os.environ, TMPDIR=tmp)
            process = subprocess.Popen([SIM, "serve"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
            self.assertTrue(process.stdout.readline().startswith("http://127.0.0.1:"))
            self.assertTrue(os.listdir(tmp), "the device lives in TMPDIR while it runs")
            self.assertEqual(ended(process), 0)
            self.assertEqual(os.listdir(tmp), [])

    def test_a_set_up_that_does_not_hold_is_said_and_not_served(self):
        with tempfile.TemporaryDirectory() as tmp:
            for text, status, said in [
                ("keyboards en_US\nstart com.example.a\nexpect input-mode com.example.a fr_FR\n", 1, "expected"),
                ("keyboards en_US\nfrobnicate\n", 2, "frobnicate"),
            ]:
                path = os.path.join(tmp, "set-up.scn")
                with open(path, "w") as f:
                    f.write(text)
                out = subprocess.run([SIM, "serve", path], capture_output=True, text=True, timeout=60)
                self.assertEqual(out.returncode, status, out.stderr)
                self.assertIn(said, out.stderr)
                self.assertNotIn("http://", out.stdout, "a device whose set-up failed is not served")

    def test_the_page_runs_no_inline_code_and_keeps_its_token_out_of_the_address(self):
        server = Server()
        try:
            connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
            connection.request("GET", "/")
            response = connection.getresponse()
            page = response.read().decode()
            policy = response.getheader("Content-Security-Policy")
            connection.close()
            self.assertEqual(response.status, 200)
            self.assertNotIn("unsafe-inline", policy)
            self.assertIn("script-src 'self'", policy)
            self.assertNotIn("<style>", page)
            self.assertNotRegex(page, r"<script>[^<]")
            # The address holds the token after '#', which a browser never sends.
            self.assertRegex(server.address, r"^http://127\.0\.0\.1:\d+/#token=[0-9a-f]{32}$")
            # The token never travels in a cookie: no answer sets one, and one that holds the token
            # opens nothing (another server on this machine would be sent it).
            answers = [server.request("GET", path) for path in ("/", "/live.js", "/api/view", "/api/scenario")]
            self.assertEqual([status for status, _ in answers], [200] * 4)
            for path in ("/", "/live.js", "/api/view?since=0", "/api/scenario"):
                connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
                connection.request("GET", path, headers={"X-Orvane-Token": server.token})
                response = connection.getresponse()
                response.read()
                connection.close()
                self.assertIsNone(response.getheader("Set-Cookie"), path)
            for path in ("/api/view", "/api/events", "/api/scenario"):
                self.assertEqual(server.request("GET", path, headers={"Cookie": f"orvane-token={server.token}"},
                                                token=False)[0], 403, path)
            # The event stream takes the token in its header, as every request does.
            with server.raw() as raw:
                raw.sendall(server.head("GET", "/api/events"))
                self.assertTrue(raw.recv(200).startswith(b"HTTP/1.1 200 "))
            # The page, its script and its style hold nothing of the device: served to anyone here.
            for path in ("/", "/live.js", "/live.css"):
                status, body = server.request("GET", path, token=False)
                self.assertEqual(status, 200, path)
                self.assertNotIn(server.token.encode(), body)
        finally:
            self.assertEqual(server.stop(), 0)

    def test_a_small_file_that_shares_much_keeps_every_answer_small(self):
        import struct
        # {mode: 1, bomb: twenty arrays, each holding the next twice, then a 40-byte text}: 180
        # bytes on disk, 2^20 texts (40 MiB) written out in full.
        objects = [bytes([0xD2, 1, 2, 3, 4]), b"\x54mode", b"\x54bomb", b"\x10\x01"]
        objects += [bytes([0xA2, 5 + i, 5 + i]) for i in range(20)] + [b"\x5f\x10\x28" + b"x" * 40]
        out, offsets = bytearray(b"bplist00"), []
        for o in objects:
            offsets.append(len(out))
            out += o
        table = len(out)
        out += b"".join(struct.pack(">H", o) for o in offsets)
        out += bytes(6) + bytes([2, 1]) + struct.pack(">QQQ", len(objects), 0, table)
        quoted = '"' + "".join(f"\\x{b:02x}" for b in out) + '"'
        server = Server()
        try:
            answer = server.act(f"settings bytes {quoted}", since=10**9)
            self.assertTrue(answer["ok"], answer.get("error"))
            status, data = server.request("GET", "/api/view?since=0")
            self.assertEqual(status, 200)
            self.assertLess(len(data), 1 << 20, "an answer of the page stays small")
            settings = json.loads(data)["state"]["settings"]
            self.assertEqual(settings["mode"], 1)
            self.assertEqual(settings["bomb"]["tooLarge"]["values"], (1 << 21) - 1)
        finally:
            self.assertEqual(server.stop(), 0)

    def test_options(self):
        bad = subprocess.run([SIM, "serve", "--port", "70000"], capture_output=True, text=True)
        self.assertEqual(bad.returncode, 2)
        self.assertIn("--port takes a port from 0 to 65535", bad.stderr)
        self.assertEqual(subprocess.run([SIM, "run", "--port", "1", "x.scn"], capture_output=True).returncode, 2)


def answers(sock, wait=3.0):
    """The answers read off a socket until it closes or `wait` passes: (status, headers, body) each."""
    sock.settimeout(wait)
    data = b""
    try:
        while chunk := sock.recv(65536):
            data += chunk
    except (socket.timeout, ConnectionResetError):
        pass
    out = []
    while data:
        head, _, rest = data.partition(b"\r\n\r\n")
        lines = head.decode().split("\r\n")
        headers = {k.lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
        length = int(headers.get("content-length", 0))
        out.append((int(lines[0].split()[1]), headers, rest[:length]))
        data = rest[length:]
    return out


def slow_sender(sock, text, every, stop):
    for byte in text:
        if stop.is_set():
            return
        try:
            sock.send(bytes([byte]))
        except OSError:
            return
        stop.wait(every)


class Bounds(unittest.TestCase):
    """Slow, silent and oversized clients hold a bounded share of the server, never all of it."""

    def test_slow_and_silent_sockets_neither_stall_the_server_nor_hold_its_descriptors(self):
        server = Server()
        stop = threading.Event()
        slow, silent = [], []
        try:
            before = server.descriptors()
            # Eight sockets sending a request a byte every half second, and three hundred that say nothing.
            for _ in range(8):
                sock = server.raw()
                slow.append(sock)
                threading.Thread(target=slow_sender, args=(sock, server.head("GET", "/api/view"), 0.5, stop),
                                 daemon=True).start()
            for _ in range(300):
                silent.append(server.raw())
            started = time.monotonic()
            status, _ = server.request("GET", "/api/view?since=1000000")
            self.assertEqual(status, 200)
            self.assertLess(time.monotonic() - started, 1.0, "a real request is answered beside them")
            time.sleep(0.3)
            self.assertLessEqual(server.descriptors(), before + 64, "at most 64 connections are held")
            # A request that has not all arrived five seconds after its first byte is answered 408.
            got = answers(slow[0], wait=8)
            self.assertEqual([a[0] for a in got], [408])
            self.assertEqual(got[0][1]["connection"], "close")
        finally:
            stop.set()
            for sock in slow + silent:
                sock.close()
            self.assertEqual(server.stop(), 0)

    def test_a_head_or_a_body_past_its_bound_is_refused_before_it_is_read_however_it_is_framed(self):
        with tempfile.TemporaryDirectory() as parent:
            root = os.path.join(parent, "device")
            server = Server(root=root)
            try:
                before = folder_digest(root)
                resident = server.resident_kb()
                # A million header lines: 431 after the first 16 KB, the rest dropped unread.
                with server.raw() as sock:
                    sock.sendall(server.head("GET", "/api/view")[:-2])
                    try:
                        for _ in range(100):
                            sock.sendall(b"X-Bomb: 1\r\n" * 10000)
                    except OSError:
                        pass
                    self.assertEqual([a[0] for a in answers(sock)], [431])
                self.assertLess(server.resident_kb() - resident, 8 * 1024, "the headers were not kept")
                # A request line too long, and headers too many.
                with server.raw() as sock:
                    sock.sendall(b"GET /" + b"a" * 9000)
                    self.assertEqual([a[0] for a in answers(sock)], [414])
                with server.raw() as sock:
                    sock.sendall(server.head("GET", "/api/view", *[f"X-{i}: {i}" for i in range(100)]))
                    self.assertEqual([a[0] for a in answers(sock)], [431])
                # A chunked body, whatever its size, is not taken: a body comes with its length.
                with server.raw() as sock:
                    chunk = b"say chunked\n" * 1000
                    sock.sendall(server.head("POST", "/api/act", "Content-Type: text/plain",
                                             "Transfer-Encoding: chunked"))
                    try:
                        for _ in range(64):
                            sock.sendall(b"%x\r\n%s\r\n" % (len(chunk), chunk))
                        sock.sendall(b"0\r\n\r\n")
                    except OSError:
                        pass
                    self.assertEqual([a[0] for a in answers(sock)], [411])
                # A length past the bound is refused on its head, before a byte of the body is sent.
                with server.raw() as sock:
                    sock.sendall(server.head("POST", "/api/act", "Content-Type: text/plain", "Content-Length: 100000"))
                    self.assertEqual([a[0] for a in answers(sock)], [413])
                status, data = server.request("GET", "/api/view?since=0")
                self.assertEqual(status, 200)
                self.assertNotIn(b"chunked", data, "no line of the chunked body ran")
                self.assertEqual(folder_digest(root), before)
            finally:
                self.assertEqual(server.stop(), 0)

    def test_pipelined_requests_are_answered_in_order_and_a_refused_body_is_never_a_request(self):
        server = Server()
        try:
            with server.raw() as sock:
                body = b"say first"
                sock.sendall(server.head("GET", "/api/view?since=1000000")
                             + server.head("POST", "/api/act?since=1000000", "Content-Type: text/plain",
                                           f"Content-Length: {len(body)}") + body
                             + server.head("GET", "/api/scenario", "Connection: close"))
                got = answers(sock)
            self.assertEqual([a[0] for a in got], [200, 200, 200])
            self.assertTrue(json.loads(got[0][2])["ok"])
            self.assertTrue(json.loads(got[1][2])["ok"])
            self.assertIn(b"say first", got[2][2], "the third answer saw the second request's line")
            # A POST refused on its head: its body, sent afterwards and shaped as a request, is
            # never read as one; the connection is closed after the refusal.
            smuggled = server.head("POST", "/api/act", "Content-Type: text/plain", "Content-Length: 8") + b"say evil"
            with server.raw() as sock:
                sock.sendall(server.head("POST", "/api/act", "Content-Type: text/plain",
                                         f"Content-Length: {len(smuggled)}", token=False))
                time.sleep(0.2)
                try:
                    sock.sendall(smuggled)
                except OSError:
                    pass
                got = answers(sock)
            self.assertEqual([a[0] for a in got], [403])
            self.assertEqual(got[0][1]["connection"], "close")
            self.assertNotIn(b"say evil", server.request("GET", "/api/scenario")[1])
        finally:
            self.assertEqual(server.stop(), 0)


class Recorder(unittest.TestCase):
    def test_names_of_any_spelling_survive_the_page_and_the_saved_session(self):
        def word(text):  # as the page quotes a name (cli/output/pages/live.js)
            escapes = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\t": "\\t", "\r": "\\r", "\x1b": "\\e"}
            return '"' + "".join(escapes.get(c, c if ord(c) >= 0x20 and c != "\x7f" else f"\\x{ord(c):02x}")
                               for c in text) + '"'

        names = ["com.example.with space", 'com.example."quoted"', "com.example.tab\there",
                 "com.example.new\nline\nsay injected", "com.example.ünïcödé"]
        server = Server()
        try:
            for name in names:
                answer = server.act(f"start {word(name)}", f"show-keyboard {word(name)}", "run", f"label {word(name)}",
                                    since=10**9)
                self.assertTrue(answer["ok"], (name, answer.get("error")))
                self.assertIn(name, [p["name"] for p in answer["state"]["processes"]])
            status, script = server.request("GET", "/api/scenario")
        finally:
            self.assertEqual(server.stop(), 0)
        script = script.decode()
        self.assertNotIn("\nsay injected", script.replace("\\nsay injected", ""), "a name broke a line in two")
        for name in names:  # what the page showed of each process is kept, under its name quoted
            self.assertIn(f"expect input-mode {word(name)} ", script)
        run = replay(script)
        self.assertEqual(run.returncode, 0, run.stderr + script)
        started = [json.loads(line)["process"] for line in run.stdout.splitlines() if '"kind":"start"' in line]
        for name in names:
            self.assertIn(name, started)

    def test_a_press_sent_again_after_a_lost_answer_runs_once(self):
        server = Server()
        try:
            def press(name, line):
                status, data = server.request("POST", f"/api/act?since=1000000&press={name}", line.encode())
                self.assertEqual(status, 200)
                return json.loads(data)

            first = press("page1-1", "say once")
            again = press("page1-1", "say once")
            self.assertEqual((first["ok"], again["ok"]), (True, True))
            self.assertEqual(first["next"], again["next"], "the press sent again ran nothing")
            failed = press("page1-2", "tap com.example.notes nowhere-at-all")
            self.assertEqual(press("page1-2", "tap com.example.notes nowhere-at-all")["error"], failed["error"])
            press("page2-1", "say once")  # another page's press of the same number is its own
            script = server.request("GET", "/api/scenario")[1].decode()
        finally:
            self.assertEqual(server.stop(), 0)
        self.assertEqual(script.count("say once"), 2, script)

    def test_the_events_stream_tells_each_page_at_once_and_only_with_the_token_in_its_header(self):
        server = Server()
        try:
            for without in ((), (f"Cookie: orvane-token={server.token}",)):
                with server.raw() as refused:
                    refused.sendall(server.head("GET", "/api/events", *without, token=False))
                    self.assertEqual([a[0] for a in answers(refused)], [403])
            with server.raw() as stream:
                stream.sendall(server.head("GET", "/api/events"))
                stream.settimeout(5)
                head = b""
                while b"\r\n\r\n" not in head:
                    head += stream.recv(4096)
                self.assertIn(b"Content-Type: text/event-stream", head)
                started = time.monotonic()
                count = server.act("say elsewhere", since=10**9)["next"]
                told = head.partition(b"\r\n\r\n")[2]
                while f"data: {count}\n\n".encode() not in told:
                    told += stream.recv(4096)
                self.assertLess(time.monotonic() - started, 1.0)
        finally:
            self.assertEqual(server.stop(), 0)

    def test_the_saved_session_replays_to_the_same_trace(self):
        server = Server()
        try:
            configure(server, '"emoji@sw=Emoji", ru_RU', "label com.example.notes")
            for _ in range(3):
                server.act("tap com.example.notes globe", "run", "label com.example.notes")
            server.act("long-press com.example.notes")
            # An expectation the page sends that does not hold is said to have failed, and is left
            # out of the saved session, which would not replay past it.
            status, data = server.request("POST", "/api/act?since=1000000", b"expect input-mode com.example.notes xx_XX")
            failed = json.loads(data)
            self.assertFalse(failed["ok"])
            self.assertIn("expected", failed["error"])
            status, data = server.request("GET", "/api/view?since=0")
            live = [e for e in json.loads(data)["events"]]
            status, script = server.request("GET", "/api/scenario")
            self.assertEqual(status, 200)
        finally:
            self.assertEqual(server.stop(), 0)
        script = script.decode()
        self.assertNotIn("xx_XX", script)
        self.assertIn("expect input-mode com.example.notes", script)
        self.assertIn("expect switcher com.example.notes", script)
        self.assertIn("expect alert SpringBoard Orvane", script)
        run = replay(script)
        self.assertEqual(run.returncode, 0, run.stderr)
        replayed = [json.loads(line) for line in run.stdout.splitlines()]
        replayed = [e for e in replayed if e["kind"] not in ("file-result", "summary")]

        def essence(events):
            return [{k: v for k, v in e.items() if k not in ("seq", "file", "line")} for e in events]

        self.assertEqual(essence(replayed), essence(live))


if __name__ == "__main__":
    unittest.main()
