#!/usr/bin/env python3
"""The stick builder's model rule as `make stick MODEL=...` applies it: what
the stick's script could misread is refused, and what it takes reaches
Morvane's command line unchanged.

    stick_tool.py
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))

import stick  # noqa: E402


def refused(model):
    try:
        stick.check_model(model)
    except SystemExit as refusal:
        return "cannot go on the stick" in str(refusal)
    return False


def main():
    problems = []
    for model in ["Morv 7", "Morv-7 (2026) Rev.B/2", "A+B, C: D; E_F"]:
        script = stick.startup_script("ec.bin", 1, "00000000", model=model).decode()
        if refused(model) or script.count(' -m "%s" ' % model) != 2:
            problems.append("%r does not reach Morvane as given" % model)
    for model in ["Morv #7", "100%", "a^b", 'say "x"', "[7]", "   ", "", "x" * 65, "caf\u00e9"]:
        if not refused(model):
            problems.append("%r is not refused" % model)
    # Without a shell Morvane reads MORVANE.CFG itself: any printable ASCII.
    for model in ["Morv #7", '100% "x" ^', " Morv 7 "]:
        settings = stick.settings_file("ec.bin", "00000000", model).decode()
        if ("\r\nmodel=%s\r\n" % model.strip()) not in settings:
            problems.append("%r does not reach MORVANE.CFG as given" % model)
    for model in ["   ", "", "x" * 65, "caf\u00e9", "a\tb"]:
        try:
            stick.check_boot_model(model)
            problems.append("%r is not refused for MORVANE.CFG" % model)
        except SystemExit:
            pass
    # A catalogue's stick grows in 64 MiB steps, 64 MiB kept free, up to 2 GiB.
    mib = 1024 * 1024
    for files, megabytes in [(0, 128), (61 * mib, 128), (62 * mib, 192), (200 * mib, 320),
                             (1944 * mib, 2048), (1945 * mib, None), (16 * 1024 * mib, None)]:
        try:
            got = stick.stick_megabytes(files)
        except SystemExit as refusal:
            got = None if "a stick holds at most 1944 MiB of them (2048 MiB in all" in str(refusal) else str(refusal)
        if got != megabytes:
            problems.append("a catalogue of %d bytes: a stick of %r MiB, not %r" % (files, got, megabytes))
    for problem in problems:
        print("FAIL stick model: %s" % problem)
    print("stick model: %d passed, %d failed" % (27 - len(problems), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
