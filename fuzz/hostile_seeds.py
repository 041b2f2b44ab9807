#!/usr/bin/env python3
"""Writes seed inputs for the fuzz targets from the reliability findings: files that cost more to
read than they hold (shared text, shared data, padded offset tables, at a size the fuzzer keeps),
XML in UTF-16 with a byte-order mark, values that try to end a script block or break XML and JSON,
and scenario lines with out-of-range numbers and empty words.

usage: fuzz/hostile_seeds.py OUT_FOLDER   (then OUT_FOLDER/TARGET/seed-hostile-*)
"""
import os
import plistlib
import struct
import sys

HOSTILE = ["<!--<script>", "</script><b>x</b>", "\u2028\u2029", "\uffff\ufffe", "x\x01y", "]]>", "\u0000nul"]


def binary(objects, top=0, ref_size=2):
    """A binary list from raw object bytes (references `ref_size` bytes wide)."""
    out = bytearray(b"bplist00")
    offsets = []
    for o in objects:
        offsets.append(len(out))
        out += o
    table = len(out)
    for o in offsets:
        out += struct.pack(">I", o)
    out += bytes(6) + bytes([4, ref_size]) + struct.pack(">QQQ", len(objects), top, table)
    return bytes(out)


def array(refs, ref_size=2):
    head = bytes([0xA0 | len(refs)]) if len(refs) < 15 else bytes([0xAF, 0x10, len(refs)])
    return head + b"".join(r.to_bytes(ref_size, "big") for r in refs)


def nested_sharing(levels, fan, leaf):
    """`levels` arrays, each referring `fan` times to the next; the last to `leaf`."""
    objects = [array([i + 1] * fan) for i in range(levels)]
    return binary(objects + [leaf])


def ascii_text(n, fill=b"k"):
    return bytes([0x5F, 0x11]) + n.to_bytes(2, "big") + fill * n


def padded(objects, unused):
    out = bytearray(b"bplist00")
    offsets = []
    for o in objects:
        offsets.append(len(out))
        out += o
    offsets += [8] * unused
    table = len(out)
    for o in offsets:
        out += struct.pack(">I", o)
    out += bytes(6) + bytes([4, 2]) + struct.pack(">QQQ", len(offsets), 0, table)
    return bytes(out)


def settings(extra):
    base = {"enabled": True, "mode": 1, "icon": 3, "SelectedKeyboards": ["en_US", "fr_FR"]}
    base.update(extra)
    return base


def main():
    out = sys.argv[1]
    files = {
        # 5 levels of 15 references to 1,000 bytes of text: 759 MB from 1 KB.
        "shared-text.bplist": nested_sharing(5, 15, ascii_text(1000)),
        "shared-data.bplist": nested_sharing(5, 15, bytes([0x4F, 0x11, 0x03, 0xE8]) + b"d" * 1000),
        "padded.bplist": padded([array([1] * 14), b"\x09"], 600),
        "utf16-bom.xml": plistlib.dumps(settings({})).decode().replace('encoding="UTF-8"', 'encoding="UTF-16"').encode("utf-16"),
        "hostile-strings.xml": plistlib.dumps(settings({"k%d" % i: s for i, s in enumerate(HOSTILE) if "\x00" not in s and "\x01" not in s and "\ufffe" not in s and "\uffff" not in s})),
        "hostile-strings.bplist": plistlib.dumps(settings({"k%d" % i: s for i, s in enumerate(HOSTILE)}), fmt=plistlib.FMT_BINARY),
    }
    targets = ["settings_file_fuzzer", "mode_rewrite_fuzzer", "system_preferences_fuzzer", "user_info_fuzzer"]
    for target in targets:
        os.makedirs(os.path.join(out, target), exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(out, target, "seed-hostile-" + name), "wb") as f:
                f.write(data)
    lines = [
        '""',
        '"" start springboard',
        "settings write {mode: 18446744073709551616}",
        "settings write {mode: 1e999, icon: -1e999}",
        "settings write {mode: real(nan), icon: real(inf), x: nan}",
        'settings write {mode: 1, SelectedKeyboards: [en_US], note: "<!--<script>", end: "</script>"}',
        'settings write {mode: 1, deep: [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]}',
        'pref set com.apple.Preferences KeyboardLastUsed "\\uffff"',
        "# a comment with an unmatched \" quote",
    ]
    os.makedirs(os.path.join(out, "scenario_fuzzer"), exist_ok=True)
    with open(os.path.join(out, "scenario_fuzzer", "seed-hostile-lines.scn"), "w") as f:
        f.write("keyboards en_US fr_FR\nstart springboard\nstart com.example.app\n")
        f.write("\n".join(lines) + "\nshow-keyboard com.example.app\ntap com.example.app globe\nrun\nstate\n")


if __name__ == "__main__":
    main()
