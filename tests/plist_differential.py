#!/usr/bin/env python3
"""The device's rewrites judged by an independent reader and writer, Python's plistlib.

For a generated corpus of settings and preference files (every value type, binary and XML, shared
objects, deep nesting, large files), each rewrite the extension makes (the mode action, the
auto-correction action through the file and through the preference service, a mode-1 globe tap that
records "KeyboardLastUsed") must leave every other key exactly as plistlib read it before, to the
precision of the format written (writeToFile:atomically: writes XML, whole seconds; the preference
service binary), and set its own key as expected. Control characters, carriage returns, U+FFFE and
U+FFFF go into XML as the platform's writer writes them, raw, which plistlib cannot read back as
they were (its XML reader refuses some and turns a carriage return into a line feed): there the
device's own write check judges the file. A file the device cannot read must come through byte for byte: left alone
by the actions, or set aside as NAME.unreadable by the preference service.

    plist_differential.py REWRITE_DRIVER [--seed N] [--files N]
"""

import argparse
import datetime
import math
import os
import plistlib
import random
import struct
import subprocess
import sys
import tempfile

sys.setrecursionlimit(20000)  # plistlib walks nested values recursively

EPOCH = datetime.datetime(2001, 1, 1)
FAILURES = []


def fail(message):
    FAILURES.append(message)
    print("FAIL: " + message, file=sys.stderr)


def same(a, b, xml):
    """Exact equality, to the precision of the format the value was written in."""
    if xml and isinstance(a, plistlib.UID) and isinstance(b, dict):
        return b == {"CF$UID": a.data}  # how XML spells a UID; plistlib reads it as a dictionary
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return struct.pack(">d", a) == struct.pack(">d", b)
    if isinstance(a, datetime.datetime):
        return (a.replace(microsecond=0) if xml else a) == b
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y, xml) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k], xml) for k in a)
    return a == b


def random_string(rng, xml):
    alphabet = "abcXYZ09 _-@=;.<>&\"'é한🌐\t\n"
    if not xml:
        alphabet += "\x00\x01\r\ufffe\uffff"
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 12)))


def random_scalar(rng, xml):
    kind = rng.randrange(11)
    if kind == 0:
        return rng.choice([True, False])
    if kind == 1:
        return rng.choice([0, 1, -1, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, -2**63, 2**63, 2**64 - 1])
    if kind == 2:
        return rng.randrange(-2**63, 2**64)
    if kind == 3:
        return rng.choice([0.0, -0.0, 1.5, -2e300, 5e-324, float("nan"), float("inf"), float("-inf")])
    if kind == 4:
        return struct.unpack(">d", rng.randbytes(8))[0] if not xml else rng.uniform(-1e9, 1e9)
    if kind == 5:
        return random_string(rng, xml)
    if kind == 6:
        return rng.randbytes(rng.randrange(0, 40))
    if kind == 7:
        # Years 1 to 9999; the binary form keeps microseconds, the XML form whole seconds.
        days = rng.randrange(0, 3652058)
        return datetime.datetime(1, 1, 1) + datetime.timedelta(
            days=days, seconds=rng.randrange(86400), microseconds=0 if xml else rng.randrange(1000000))
    if kind == 8 and not xml:
        return plistlib.UID(rng.choice([0, 1, 255, 256, 2**32 - 1, 2**40]))
    return rng.choice(["en_US", "fr_FR", ""])


def random_value(rng, xml, depth=0):
    if depth < 4 and rng.random() < 0.3:
        if rng.random() < 0.5:
            return [random_value(rng, xml, depth + 1) for _ in range(rng.randrange(0, 5))]
        return {random_string(rng, xml) or "k": random_value(rng, xml, depth + 1) for _ in range(rng.randrange(0, 5))}
    return random_scalar(rng, xml)


def corpus(rng, files):
    """(name, format, dictionary) triples: random files and the shapes that broke the device before."""
    out = []
    for i in range(files):
        xml = i % 2 == 1
        d = {random_string(rng, xml) or "k%d" % j: random_value(rng, xml) for j in range(rng.randrange(1, 12))}
        out.append(("random-%d" % i, plistlib.FMT_XML if xml else plistlib.FMT_BINARY, d))
    fixed = {
        "KeyboardAutocorrection": True, "KeyboardCapsLock": False, "KeyboardsCount": 3,
        "SomeDate": datetime.datetime(2070, 1, 1), "OldDate": datetime.datetime(1900, 6, 1, 12, 0, 1),
        "Max": 2**64 - 1, "Min": -2**63, "Edge": 2**63, "Nan": float("nan"), "NegZero": -0.0,
        "Inf": float("inf"), "Data": bytes(range(256)), "한국어": "키보드",
    }
    for fmt, tag in ((plistlib.FMT_BINARY, "binary"), (plistlib.FMT_XML, "xml")):
        out.append(("edges-" + tag, fmt, dict(fixed)))
        deep = "bottom"
        for _ in range(511):
            deep = [deep]
        out.append(("deep-512-" + tag, fmt, {"Deep": deep, "KeyboardAutocorrection": False}))
        out.append(("large-" + tag, fmt, {"Blob": bytes(rng.randbytes(3 << 20)), "Note": "over the old 1 MiB limit"}))
    archive = dict(fixed)
    archive["$objects"] = ["$null", {"$class": plistlib.UID(2), "NS.string": "x"}, plistlib.UID(1)]
    out.append(("uids-binary", plistlib.FMT_BINARY, archive))
    # One list object referenced twice at every level: plistlib writes it once, shared.
    shared = ["leaf"]
    for _ in range(10):
        shared = [shared, shared]
    out.append(("shared-binary", plistlib.FMT_BINARY, {"Shared": shared, "KeyboardAutocorrection": True}))
    return out


def shared_bomb(levels):
    """Each array holds the next one twice: a tree of 2**levels leaves in about 5 bytes a level."""
    objects = [bytes([0xA2, i + 1, i + 1]) for i in range(levels)] + [b"\x09"]
    body = b"bplist00"
    offsets = []
    for o in objects:
        offsets.append(len(body))
        body += o
    table = len(body)
    body += bytes(offsets)
    body += bytes(6) + bytes([1, 1]) + len(objects).to_bytes(8, "big") + bytes(8) + table.to_bytes(8, "big")
    return body


UNREADABLE = [
    ("bomb-22", shared_bomb(22)),
    ("bomb-40", shared_bomb(40)),
    ("bomb-64", shared_bomb(64)),
    ("garbage", b"not a property list"),
    ("wrong-root", plistlib.dumps(["an", "array"], fmt=plistlib.FMT_BINARY)),
]

EXPECTED_MODE = {None: 2, 1: 2, 2: 3, 3: 1, 7: 7}

# writeToFile:atomically: writes XML: the mode action and the auto-correction action through the file.
XML_WRITERS = ("mode", "autocorrection-file")


def every_string(value, test):
    if isinstance(value, str):
        return test(value)
    if isinstance(value, list):
        return all(every_string(v, test) for v in value)
    if isinstance(value, dict):
        return all(test(k) and every_string(v, test) for k, v in value.items())
    return True


def plistlib_can_read_back(value):
    """Whether plistlib reads the XML written for it as it was: no control character other than tab
    and line feed (its reader turns a carriage return into a line feed), no U+FFFE or U+FFFF."""
    return every_string(
        value, lambda s: all(c in "\t\n" or (ord(c) >= 0x20 and c not in "\ufffe\uffff") for c in s))


def run(driver, action, data, work):
    source = os.path.join(work, "in.plist")
    out = tempfile.mkdtemp(dir=work)
    with open(source, "wb") as f:
        f.write(data)
    subprocess.run([driver, action, source, out], check=True, timeout=120)
    return out


def encoded(data, encoding):
    """An XML list in another encoding the platform reads, its declaration saying so."""
    declared = {"utf-16": "UTF-16", "utf-16-be": "UTF-16", "iso-8859-1": "ISO-8859-1"}[encoding]
    text = data.decode("utf-8").replace('encoding="UTF-8"', 'encoding="%s"' % declared)
    return text.encode({"utf-16": "utf-16", "utf-16-be": "utf-16-be", "iso-8859-1": "latin-1"}[encoding])


def check_rewrite(driver, action, name, fmt, generated, work, encoding=None):
    data = plistlib.dumps(generated, fmt=fmt)
    if encoding == "utf-16-be":
        data = b"\xfe\xff" + encoded(data, encoding)
    elif encoding:
        data = encoded(data, encoding)
    before = plistlib.loads(data)  # what the file holds, as the independent reader reads it
    out = run(driver, action, data, work)
    result = os.path.join(out, "result.plist")
    with open(result, "rb") as f:
        written = f.read()
    where = "%s %s" % (action, name)
    xml = action in XML_WRITERS
    if written.startswith(b"bplist00") == xml:
        fail("%s: written as %s" % (where, "binary" if xml else "XML"))
    if xml and not plistlib_can_read_back(before):
        # Characters written raw as the platform writes them, which plistlib cannot read back as they
        # were: the device's own write check read the file back.
        return
    after = plistlib.loads(written)
    key, wanted = {
        "mode": ("mode", EXPECTED_MODE[before.get("mode")]),
        "autocorrection-file": ("KeyboardAutocorrection", not before.get("KeyboardAutocorrection", True)),
        "autocorrection-pref": ("KeyboardAutocorrection", not before.get("KeyboardAutocorrection", True)),
        "globe-tap": ("KeyboardLastUsed", "de_DE"),
    }[action]
    if not same(after.get(key), wanted, xml):
        fail("%s: %s is %r, expected %r" % (where, key, after.get(key), wanted))
    rest_before = {k: v for k, v in before.items() if k != key}
    rest_after = {k: v for k, v in after.items() if k != key}
    if rest_before.keys() != rest_after.keys():
        fail("%s: keys changed: lost %s, gained %s" % (
            where, sorted(rest_before.keys() - rest_after.keys()), sorted(rest_after.keys() - rest_before.keys())))
    for k in rest_before.keys() & rest_after.keys():
        if not same(rest_before[k], rest_after[k], xml):
            fail("%s: %r changed from %r to %r" % (where, k, rest_before[k], rest_after[k]))


def check_unreadable(driver, action, name, data, work):
    out = run(driver, action, data, work)
    files = sorted(os.listdir(out))
    where = "%s %s" % (action, name)
    if action in ("autocorrection-pref", "globe-tap"):
        # The preference service sets the file aside and writes the key anew.
        aside = [f for f in files if ".unreadable" in f]
        if len(aside) != 1:
            fail("%s: expected one file set aside, found %s" % (where, files))
            return
        with open(os.path.join(out, aside[0]), "rb") as f:
            if f.read() != data:
                fail("%s: the file set aside is not the old file" % where)
        with open(os.path.join(out, "result.plist"), "rb") as f:
            if len(plistlib.loads(f.read())) != 1:
                fail("%s: the new file holds more than the key written" % where)
    else:
        with open(os.path.join(out, "result.plist"), "rb") as f:
            if f.read() != data:
                fail("%s: a file the device cannot read was changed" % where)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("driver")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--files", type=int, default=24)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    checked = 0
    with tempfile.TemporaryDirectory() as work:
        for name, fmt, d in corpus(rng, args.files):
            for action in ("mode", "autocorrection-file", "autocorrection-pref", "globe-tap"):
                before = dict(d)
                if action == "mode":
                    before["SelectedKeyboards"] = ["en_US", "de_DE"]
                    mode = rng.choice([None, 1, 2, 3, 7])
                    if mode is not None:
                        before["mode"] = mode
                    before.pop("enabled", None)
                else:
                    before.pop("KeyboardLastUsed", None)
                    if not isinstance(before.get("KeyboardAutocorrection", True), bool):
                        before.pop("KeyboardAutocorrection")
                check_rewrite(args.driver, action, name, fmt, before, work)
                checked += 1
                # The same XML in the other encodings the platform's reader takes, where they can
                # hold it (Latin-1 only what it can spell); plistlib reads each first.
                if fmt == plistlib.FMT_XML and action in ("mode", "globe-tap"):
                    for encoding in ("utf-16", "utf-16-be", "iso-8859-1"):
                        try:
                            encoded(plistlib.dumps(before, fmt=fmt), encoding)
                        except (UnicodeEncodeError, ValueError):
                            continue
                        check_rewrite(args.driver, action, name + " " + encoding, fmt, before, work, encoding)
                        checked += 1
        for name, data in UNREADABLE:
            for action in ("mode", "autocorrection-file", "autocorrection-pref", "globe-tap"):
                check_unreadable(args.driver, action, name, data, work)
                checked += 1
    print("%d rewrites checked against plistlib, %d failures" % (checked, len(FAILURES)))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
