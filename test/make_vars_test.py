#!/usr/bin/env python3
"""What `make`, `make stick`, `make depot`, `make fmp` and `make plan` are given reaches their
scripts byte for byte: '$', quotes, backquotes, backslashes and spaces, from
make's command line and from the environment alike; nothing in a value runs.

    make_vars_test.py

Each refusal names the value it refused, so a refusal shows what arrived;
then `make plan` finds an image in such a folder, and `make depot` serves
one with such a model (spaces around it dropped, as the stick drops them).
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
SERVER_SH = os.path.join(ROOT, "scripts", "depot-server.sh")

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tally import expect, free_port, passed, problems  # noqa: E402


def make(target, variables, on_command_line, timeout=60):
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    command = ["make", "-s", "-C", ROOT, target]
    if on_command_line:
        command += ["%s=%s" % item for item in variables.items()]
    else:
        env.update(variables)
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=timeout)


def main():
    work = tempfile.mkdtemp(prefix="morvane-make-")
    ran = os.path.join(work, "ran")
    # What a shell or make would act on, were the value ever put in a command.
    odd = "Th$is `touch %s` $(touch %s) $$HOME \"q\" it's a\\b" % (ran, ran)
    readable = os.path.join(work, "readable.pem")
    open(readable, "w").write("x")
    cases = [
        ("stick", {"MODEL": odd + "\t"}, repr(odd + "\t")),
        ("stick", {"SIGN_KEY": "/k/" + odd, "SIGN_CERT": "/c/" + odd}, "the key /k/%s cannot" % odd),
        ("stick", {"SIGN_KEY": readable, "SIGN_CERT": "/c/" + odd}, "certificate /c/%s cannot" % odd),
        ("stick", {"SIGN_KEY": readable, "SIGN_CERT": readable, "SHELL_STICK": "$x"}, "without a shell only"),
        ("stick", {"IMAGE": "/i/%s/ec.bin." % odd}, "'ec.bin.' ends in '.'"),
        ("depot", {"MODEL": odd + "\t"}, "'%s\t'" % odd),
        ("depot", {"SIGN_KEY": "/k/" + odd, "SIGN_CERT": readable}, "key /k/%s cannot" % odd),
        ("depot", {"SIGN_KEY": readable, "SIGN_CERT": "/c/" + odd}, "certificate /c/%s cannot" % odd),
        ("depot", {"ADDRESS": odd + ":80"}, "not '%s:80'" % odd),
        ("depot", {"IMAGE": "", "CATALOG": "/c", "REMOTE_ADDRESS": odd + ":80"}, "not '%s:80'" % odd),
        ("depot", {"IMAGE": "/i/%s/ec.bin." % odd}, "'ec.bin.' ends in '.'"),
        ("stick", {"TRUST": "/t/" + odd}, "TRUST=%s cannot be built" % ("/t/" + odd)[:80]),
        ("depot", {"TRUST": "/t/" + odd}, "TRUST=%s cannot be built" % ("/t/" + odd)[:80]),
        ("plan", {"TRUST": "/t/" + odd}, "plan: TRUST was refused"),
        ("plan", {"IMAGE": "", "CATALOG": "/c/" + odd}, "catalog: /c/%s: not a folder" % odd),
        ("depot", {"IMAGE": "", "CATALOG": "/c/" + odd}, "catalog: /c/%s: not a folder" % odd),
        ("stick", {"IMAGE": "", "CATALOG": "/c/" + odd}, "catalog: /c/%s: not a folder" % odd),
        ("all", {"TRUST": "/t/" + odd}, "TRUST=%s was refused" % ("/t/" + odd)[:80]),
        ("fmp", {"HWID": odd, "TRUST": readable}, "not a GUID like {6de5d951-d755-576b-bd09-c5cf66b27234}: " + odd[:80]),
        ("fmp", {"HWID": "{2a9b8c51-1f3e-4d62-9a07-5e4c3b2d1f60}", "TRUST": "/t/" + odd},
         "the certificate %s cannot" % ("/t/" + odd)[:80]),
    ]
    try:
        for target, variables, said in cases:
            variables = dict({"IMAGE": os.path.join(work, "ec.bin")}, **variables)
            for on_command_line in (True, False):
                result = make(target, variables, on_command_line)
                what = "make %s %s from the %s" % (target, " ".join(variables), "command line" if on_command_line
                                                    else "environment")
                expect("%s: exit 0" % what, result.returncode != 0)
                expect("%s: %r not in %r" % (what, said, result.stderr[-400:]), said in result.stderr)
        folder = os.path.join(work, odd)
        os.makedirs(folder)
        image = os.path.join(folder, "ec.bin")
        open(image, "wb").write(bytes(range(256)) * 64)
        for on_command_line in (True, False):
            result = make("plan", {"IMAGE": image}, on_command_line)
            expect("make plan did not find %r: %s" % (image, result.stderr[-300:]), result.returncode == 0)
        served(work, image)
        expect("a value was run as a command", not os.path.exists(ran))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for problem in problems:
        print("FAIL make variables: %s" % problem)
    print("make variables: %d passed, %d failed" % (passed(), len(problems)))
    return 1 if problems else 0


def served(work, image):
    """`make depot` in the foreground, with the model spaced out and the
    folder given with a trailing '/', as a shell completes it: its
    MORVANE.CFG names the model as typed, without the spaces."""
    os.chmod(work, 0o755)
    model = "Th$is `id` $(id) $$HOME \"q\" it's a\\b"
    port = free_port()
    efi = os.path.join(work, "Morvane.efi")
    open(efi, "wb").write(b"MZ")
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    env["MORVANE_EFI"] = efi
    command = ["make", "-s", "-C", ROOT, "depot", "IMAGE=" + image, "MODEL=  %s  " % model,
               "ADDRESS=127.0.0.1:%d" % port, "DEPOT_DIR=" + os.path.join(work, "depot", "")]
    depot = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    body = None
    try:
        for _ in range(100):
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/MORVANE.CFG" % port, timeout=5) as answer:
                    body = answer.read().decode("latin-1")
                break
            except OSError:
                if depot.poll() is not None:
                    break
                time.sleep(0.1)
        expect("MORVANE.CFG is %r" % body, body is not None and "\r\nmodel=%s\r\n" % model in body)
    finally:
        state = os.path.join(ROOT, "build", "depot-%d" % port)
        pid_file = os.path.join(state, "nginx.pid")
        if os.path.exists(pid_file):
            subprocess.run(["bash", SERVER_SH, "stop", open(pid_file).read().strip()], capture_output=True)
        try:
            depot.wait(timeout=10)
        except subprocess.TimeoutExpired:
            depot.kill()
            depot.wait()
        shutil.rmtree(state, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
