#!/usr/bin/env python3
"""Keeps the documents true to the repository.

    scripts/docs_check.py [ROOT]       check README.md and docs/*.md
    scripts/docs_check.py --self-test  also prove that each kind of fault
                                       planted in a copy is refused

What it checks, in every document:
  - every relative link and image resolves to a file of the repository,
    and its #anchor to a heading of that file (as the repository's web
    view makes anchors: lower case, punctuation dropped, spaces as '-');
  - every target of the Makefile has its `## target:` line (make help);
  - every `make TARGET` names a target of the Makefile, and every
    VARIABLE=value given to make is one the Makefile passes on;
  - in a table whose first column is headed "On screen", every quoted
    message is made of texts that stand in the firmware's sources (a
    placeholder such as <status>, IMAGE or N stands for what the code
    fills in, "..." for an elided rest), and every status in its last
    column (0x...) is a status the code can return.
Exit 1 with one line per fault.
"""

import glob
import os
import re
import shutil
import sys
import tempfile

LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$", re.M)
FENCE = re.compile(r"^```.*?^```", re.M | re.S)
MAKE_CALL = re.compile(r"(?:^|[;&|(])[ \t]*make((?:[ \t]+(?:[a-z][a-z0-9-]*|[A-Z][A-Z0-9_]*=\S*))+)", re.M)
TARGET_LINE = re.compile(r"^([a-z][a-z0-9 -]*):(?!=)", re.M)
PHONY = re.compile(r"^\.PHONY:(.*)$", re.M)
CODE = re.compile(r"`([^`]+)`")
# Words a message's description puts where the code fills something in.
PLACEHOLDER = re.compile(
    r"<[^>]+>|\{GUID\}|\.\.\.|\b(?:IMAGE|SUBJECT|URL|GUID|REASON|SAVE|LOG|CRC|CRC32|MODEL|NAME|"
    r"[A-Z]|[a-z]|\d+)\b|\. ")
SOURCE_DIRS = ["app", "boot", "capsule", "depot/client", "driver", "ec", "files", "flash", "record",
               "run", "screen", "shell", "catalog"]
STRING = re.compile(r'u?"((?:\\.|[^"\\\n])*)"')
STATUS = re.compile(r"\b0x[0-9A-Fa-f]+\b")
# Statuses that reach %lasterror% from a library the code calls, not from
# the code itself.
PASSED_THROUGH = {"EFI_VOLUME_CORRUPTED"}  # the shell library's command-line parser
ENCODE = re.compile(r"#define\s+RETURN_(\w+)\s+ENCODE_ERROR\s*\((\d+)\)")


def documents(root):
    docs = [os.path.join(root, "README.md")]
    docs += sorted(glob.glob(os.path.join(root, "docs", "*.md")))
    return [d for d in docs if os.path.isfile(d)]


def slug(text):
    """The anchor of a heading, as the repository's web view makes it."""
    text = re.sub(r"`", "", text.strip().lower())
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(path, cache={}):
    if path not in cache:
        with open(path, encoding="utf-8") as f:
            body = FENCE.sub("", f.read())
        seen, found = {}, set()
        for _, title in HEADING.findall(body):
            base = slug(title)
            n = seen.get(base, 0)
            seen[base] = n + 1
            found.add(base if n == 0 else "%s-%d" % (base, n))
        cache[path] = found
    return cache[path]


def check_links(root, doc, text, faults):
    for target in LINK.findall(FENCE.sub("", text)):
        if re.match(r"[a-z][a-z0-9+.-]*:", target):
            continue
        path, _, anchor = target.partition("#")
        dest = os.path.normpath(os.path.join(os.path.dirname(doc), path)) if path else doc
        if not dest.startswith(os.path.abspath(root)) or not os.path.exists(dest):
            faults.append("%s: link to %s: no such file" % (rel(root, doc), target))
        elif anchor and (not dest.endswith(".md") or anchor not in anchors(dest)):
            faults.append("%s: link to %s: no such heading" % (rel(root, doc), target))


def makefile_names(root):
    with open(os.path.join(root, "Makefile"), encoding="utf-8") as f:
        text = f.read()
    targets = set()
    for line in TARGET_LINE.findall(text):
        targets.update(line.split())
    for line in PHONY.findall(text):
        targets.update(line.split())
    variables = set(re.findall(r"\b[A-Z][A-Z0-9_]*\b", text))
    return targets, variables


def code_text(text):
    """What a document shows as code: spans, fenced and indented blocks."""
    parts = FENCE.findall(text) + CODE.findall(text)
    parts += [line for line in text.splitlines() if line.startswith("    ")]
    return "\n".join(parts)


def check_make(root, doc, text, faults):
    targets, variables = makefile_names(root)
    for words in MAKE_CALL.findall(code_text(text)):
        for word in words.split():
            if "=" in word:
                name = word.split("=", 1)[0]
                if name not in variables:
                    faults.append("%s: make %s: the Makefile passes no %s" % (rel(root, doc), word, name))
            elif word not in targets:
                faults.append("%s: make %s: no such target" % (rel(root, doc), word))


def source_texts(root):
    texts = []
    for folder in SOURCE_DIRS:
        for path in glob.glob(os.path.join(root, folder, "**", "*"), recursive=True):
            if path.endswith((".c", ".cpp", ".h", ".uni")):
                with open(path, encoding="utf-8", errors="replace") as f:
                    texts += [s.replace("\\\"", "\"") for s in STRING.findall(f.read())]
    return texts


def status_names(root, edk2):
    """The statuses the code names, as the low bits %lasterror% shows."""
    header = os.path.join(edk2, "MdePkg", "Include", "Base.h")
    codes = {}
    if os.path.isfile(header):
        with open(header, encoding="utf-8") as f:
            for name, n in ENCODE.findall(f.read()):
                codes[int(n)] = "EFI_" + name
    used = set(PASSED_THROUGH)
    for folder in SOURCE_DIRS:
        for path in glob.glob(os.path.join(root, folder, "**", "*.cpp"), recursive=True):
            with open(path, encoding="utf-8", errors="replace") as f:
                used.update(re.findall(r"\bEFI_[A-Z_]+\b", f.read()))
    return codes, used


def screen_rows(text):
    """The rows of every table headed "On screen": (message cells, status cell)."""
    rows, inside = [], False
    for line in text.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")] if line.startswith("|") else None
        if cells is None:
            inside = False
        elif cells[0] == "On screen":
            inside = True
        elif inside and not set(cells[0]) <= set("-: "):
            rows.append((cells[0], cells[-1]))
    return rows


def check_messages(root, edk2, doc, text, faults):
    rows = screen_rows(text)
    if not rows:
        return
    texts = source_texts(root)
    codes, used = status_names(root, edk2)
    for message_cell, status_cell in rows:
        for message in CODE.findall(message_cell):
            for piece in PLACEHOLDER.split(message):
                piece = piece.strip(" .:;,()'\"")
                if len(piece) >= 4 and not any(piece in t for t in texts):
                    faults.append("%s: message `%s`: no source text holds '%s'" % (rel(root, doc), message, piece))
        for code in STATUS.findall(status_cell):
            n = int(code, 16)
            if n != 0 and codes and codes.get(n) not in used:
                faults.append("%s: status %s: the code returns no %s" % (rel(root, doc), code, codes.get(n, "such status")))


def rel(root, path):
    return os.path.relpath(path, root)


def check_help(root, faults):
    """Every target has its `## target:` line, which `make help` prints."""
    with open(os.path.join(root, "Makefile"), encoding="utf-8") as f:
        text = f.read()
    helped = set(re.findall(r"^## ([a-z0-9-]+): ", text, re.M))
    for target in sorted(makefile_names(root)[0] - helped):
        faults.append("Makefile: target %s has no '## %s:' line for make help" % (target, target))
    said = set(re.findall(r"\b([A-Z][A-Z0-9_]*)=", "\n".join(re.findall(r"^## .*$", text, re.M))))
    for line in re.findall(r"^\w*PASSED := (.*)$", text, re.M):
        for variable in sorted(set(line.split()) - said):
            faults.append("Makefile: no '##' line names %s= for make help" % variable)


def check(root, edk2):
    faults = []
    check_help(root, faults)
    for doc in documents(root):
        with open(doc, encoding="utf-8") as f:
            text = f.read()
        check_links(root, doc, text, faults)
        check_make(root, doc, text, faults)
        check_messages(root, edk2, doc, text, faults)
    return faults


def self_test(root, edk2):
    """Each planted fault must be refused, and the documents as they are must pass."""
    plants = [
        ("a link to a missing file", "[x](docs/no-such-file.md)"),
        ("a link to a missing heading", "[x](README.md#no-such-heading)"),
        ("a make target that does not exist", "    make no-such-target\n"),
        ("a make variable the Makefile ignores", "    make stick NO_SUCH_VARIABLE=1\n"),
        ("a target make help does not list", None),
        ("a message no source holds", "\n| On screen | Meaning | `%lasterror%` |\n|---|---|---|\n"
                                      "| `Flux capacitor overheated.` | x | `0x2` |\n"),
        ("a status the code never returns", "\n| On screen | Meaning | `%lasterror%` |\n|---|---|---|\n"
                                            "| `File name is empty.` | x | `0x1D` |\n"),
    ]
    failed = 0
    for what, plant in plants:
        copy = tempfile.mkdtemp()
        try:
            for name in ["README.md", "Makefile"]:
                shutil.copy(os.path.join(root, name), copy)
            for folder in ["docs"] + SOURCE_DIRS:
                if os.path.isdir(os.path.join(root, folder)):
                    shutil.copytree(os.path.join(root, folder), os.path.join(copy, folder))
            if plant is None:
                with open(os.path.join(copy, "Makefile"), "a", encoding="utf-8") as f:
                    f.write("\nunlisted:\n\ttrue\n")
            else:
                with open(os.path.join(copy, "README.md"), "a", encoding="utf-8") as f:
                    f.write("\n" + plant + "\n")
            anchors.__defaults__[0].clear()
            if not check(copy, edk2):
                print("docs check: self-test: %s was not refused" % what)
                failed += 1
        finally:
            shutil.rmtree(copy)
    anchors.__defaults__[0].clear()
    return failed


def main(argv):
    args = [a for a in argv if a != "--self-test"]
    root = os.path.abspath(args[0] if args else os.path.join(os.path.dirname(__file__), ".."))
    edk2 = os.environ.get("EDK2_DIR", os.path.expanduser("~/.cache/morvane/edk2-stable202211"))
    faults = check(root, edk2)
    for fault in faults:
        print("docs check: " + fault)
    failed = len(faults)
    if "--self-test" in argv:
        failed += self_test(root, edk2)
    if failed:
        return 1
    print("docs check: %d documents: links, make targets and variables, messages and statuses hold"
          % len(documents(root)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
