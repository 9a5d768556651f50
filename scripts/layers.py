#!/usr/bin/env python3
"""Keeps MorvanePkg's layers apart: a layer uses only the layers below it.

    scripts/layers.py [ROOT]      check the package (ROOT: the repository)
    scripts/layers.py --self-test also prove that the check refuses a
                                  planted upward include, and the rest

Every source file of the firmware belongs to the layer of its folder (the
longest folder of LAYERS that holds it). For each of them:
  - an #include "..." names a header of its own layer or of a layer it may
    use; a header is looked up in the file's own folder first, then in the
    layer folders, as the package's [Includes] does;
  - a header named *Internal.h is its layer's own: no other folder takes it;
  - a layer that draws nothing has no Print, ConOut or ConIn;
  - a layer that reaches no shell has no ShellLib and no Shell...() call;
  - its .inf lists only the package's library classes of layers it may use.
Inside a folder of INNER_LEVELS the same holds between its files: each
file (a .cpp with the .h of its name) stands on a level, and includes only
its own header and the headers of the levels that level may use; no file
there is a *Internal.h hub that every file takes, and other folders include
its face alone.
Host-side folders (tests, scripts, the depot's page) are not firmware.
"""

import os
import re
import shutil
import sys
import tempfile

BELOW_FRONT_ENDS = ["ec", "flash", "files", "depot/client", "capsule", "record", "catalog", "run", "screen"]

# Folder: (the layers it may use, whether it may draw on the console,
# whether it may reach the shell). The order is the order of the layers.
LAYERS = {
    "ec":           ([], False, False),
    "flash":        (["ec"], False, False),
    "files":        (["ec"], False, True),
    "depot/client": (["ec"], False, False),
    "capsule":      (["ec", "flash"], False, False),
    "record":       (["ec"], False, False),
    "catalog":      (["ec", "flash", "capsule"], False, False),
    "run":          (["ec", "flash", "files", "depot/client", "capsule", "record"], False, False),
    "screen":       (["ec", "flash", "run"], True, False),
    "shell":        (BELOW_FRONT_ENDS, True, True),
    "boot":         (BELOW_FRONT_ENDS, True, True),
    "driver":       (["ec", "flash", "files", "depot/client", "capsule", "record", "run"], False, False),
    "app":          (BELOW_FRONT_ENDS + ["shell", "boot"], True, True),
    "sim":          (["ec"], True, True),
}

# Folder: its levels, lowest first: (level, the files' names without their
# extension, the levels it may use); the first is the folder's face, the only
# headers other folders take. In run/ the steps are called from the
# sequence alone, and call down to the shared helpers, never across.
INNER_LEVELS = {
    "run": [
        ("face",     ["EcRun"], []),
        ("helpers",  ["RunState", "RunClock", "RunLog", "Smbios", "RunTrust", "Crc32", "DepotName"],
                     ["face", "helpers"]),
        ("steps",    ["ImageCopy", "SignedImage", "DepotRun", "SaveRun", "FlashRun", "FinishRun"],
                     ["face", "helpers"]),
        ("sequence", ["Run"], ["face", "helpers", "steps"]),
    ],
}

HOST_SIDE = ["test", "scripts", "depot/page", "docs", "stick", "build"]

SOURCE = (".c", ".cpp", ".h")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
DRAWS = re.compile(r"\bPrint\s*\(|\bConOut\b|\bConIn\b")
SHELL = re.compile(r"\bShell[A-Z]\w*\s*\(|<Library/ShellLib\.h>")
COMMENT_OR_STRING = re.compile(r"//[^\n]*|/\*.*?\*/|[uL]?'(?:\\.|[^'\\\n])'|[uL]?\"(?:\\.|[^\"\\\n])*\"", re.S)


def layer_of(folder):
    """The layer of a folder (relative, '/'-separated), or None for host-side ones."""
    for host in HOST_SIDE:
        if folder == host or folder.startswith(host + "/"):
            return None
    best = None
    for layer in LAYERS:
        if (folder == layer or folder.startswith(layer + "/")) and (best is None or len(layer) > len(best)):
            best = layer
    return best or "?"


def inner_level(path):
    """(folder, level, the levels it may use) of a file of INNER_LEVELS, else None."""
    folder, name = os.path.split(path)
    stem = os.path.splitext(name)[0]
    for level, stems, uses in INNER_LEVELS.get(folder, []):
        if stem in stems:
            return folder, level, uses
    return (folder, None, []) if folder in INNER_LEVELS else None


def inner_problems(path, text, found_paths):
    """How a file of a folder of INNER_LEVELS breaks its levels."""
    placed = inner_level(path)
    if placed is None:
        problems = []
        for number, found in found_paths:
            target = inner_level(found)
            if target is not None and target[1] != INNER_LEVELS[target[0]][0][0]:
                problems.append(f"{path}:{number}: {found} is {target[0]}/'s own ({target[1]}); "
                                f"other folders take its {INNER_LEVELS[target[0]][0][0]} alone")
        return problems
    folder, level, uses = placed
    if path.endswith("Internal.h"):
        return [f"{path}: {folder}/ has no *Internal.h hub; give each file's private "
                f"interface its own header, on its level in INNER_LEVELS"]
    if level is None:
        return [f"{path}: no level for it in {folder}/; add it to INNER_LEVELS in scripts/layers.py"]
    problems = []
    own = os.path.splitext(os.path.basename(path))[0]
    for number, found in found_paths:
        if os.path.dirname(found) != folder:
            continue
        target = inner_level(found)
        stem = os.path.splitext(os.path.basename(found))[0]
        if stem == own or target is None or target[1] is None:
            continue
        if target[1] not in uses:
            problems.append(f"{path}:{number}: {level} of {folder}/ may not include {found} "
                            f"({target[1]}); {level} uses {', '.join(uses) or 'no other level'}")
    return problems


def firmware_files(root):
    """(relative path, layer) of every firmware source and .inf file."""
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        rel = os.path.relpath(folder, root).replace(os.sep, "/")
        if rel == ".":
            continue
        layer = layer_of(rel)
        if layer is None:
            dirs[:] = []
            continue
        for name in sorted(files):
            if name.endswith(SOURCE + (".inf",)):
                yield rel + "/" + name, layer


def package_classes(root):
    """Library class -> layer, from MorvanePkg.dec's [LibraryClasses]."""
    classes = {}
    section = None
    with open(os.path.join(root, "MorvanePkg.dec")) as dec:
        for line in dec:
            line = line.split("#", 1)[0].strip()
            if line.startswith("["):
                section = line.strip("[]").split(".")[0]
            elif line and section == "LibraryClasses":
                name, header = [part.strip() for part in line.split("|", 1)]
                classes[name] = layer_of(os.path.dirname(header))
    return classes


def inf_classes(text):
    """The library classes an .inf lists, with their line numbers."""
    section = None
    for number, line in enumerate(text.splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if line.startswith("["):
            section = line.strip("[]").split(".")[0]
        elif line and section == "LibraryClasses":
            yield number, line.split("|", 1)[0].strip()


def check(root):
    """Every way the package breaks its layers, as 'file:line: why' lines."""
    files = list(firmware_files(root))
    problems = [f"{path}: no layer for its folder; add one to LAYERS in scripts/layers.py"
                for path, layer in files if layer == "?"]
    headers = {}
    for path, layer in files:
        if path.endswith(".h"):
            headers.setdefault(os.path.basename(path), []).append(path)
    for name, paths in headers.items():
        if len({os.path.dirname(p) for p in paths}) > 1:
            problems.append(f"{paths[1]}: {name} is also {paths[0]}; an include could find either")
    classes = package_classes(root)
    for path, layer in files:
        if layer == "?":
            continue
        allowed, may_draw, may_shell = LAYERS[layer]
        with open(os.path.join(root, path), errors="replace") as source:
            text = source.read()
        if path.endswith(".inf"):
            for number, name in inf_classes(text):
                used = classes.get(name)
                if used is not None and used != layer and used not in allowed:
                    problems.append(f"{path}:{number}: {layer} may not use {name} ({used})")
                if name == "ShellLib" and not may_shell:
                    problems.append(f"{path}:{number}: {layer} reaches no shell, yet links ShellLib")
            continue
        found_paths = []
        for match in INCLUDE.finditer(text):
            number = text.count("\n", 0, match.start()) + 1
            name = match.group(1)
            own = os.path.dirname(path) + "/" + name
            found = own if os.path.exists(os.path.join(root, own)) else (headers.get(name) or [None])[0]
            if found is None:
                problems.append(f"{path}:{number}: \"{name}\" is no header of the package")
                continue
            found_paths.append((number, found))
            used = layer_of(os.path.dirname(found))
            if name.endswith("Internal.h") and os.path.dirname(found) != os.path.dirname(path):
                problems.append(f"{path}:{number}: {found} is private to {os.path.dirname(found)}/")
            elif used != layer and used not in allowed:
                problems.append(f"{path}:{number}: {layer} may not include {found} ({used}); "
                                f"{layer} uses {', '.join(allowed) or 'no other layer'}")
        problems += inner_problems(path, text, found_paths)
        bare = COMMENT_OR_STRING.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)
        for pattern, allowed_here, what in ((DRAWS, may_draw, "draws nothing"), (SHELL, may_shell, "reaches no shell")):
            for match in ([] if allowed_here else pattern.finditer(bare)):
                number = text.count("\n", 0, match.start()) + 1
                problems.append(f"{path}:{number}: {layer} {what}: {match.group(0).strip()}")
    return problems


def self_test(root):
    """Plant one fault of each kind in a copy of the package: each is refused."""
    plants = [
        ("run/Run.cpp", '#include "CommandLine.h"\n', "run may not include shell/CommandLine.h"),
        ("shell/CommandLine.cpp", '#include "DepotInternal.h"\n', "depot/client/DepotInternal.h is private"),
        ("flash/EcBlock.cpp", 'VOID Mark (VOID) { Print (L"o"); }\n', "flash draws nothing: Print"),
        ("run/Run.cpp", 'VOID Cwd (VOID) { ShellGetCurrentDir (NULL); }\n', "run reaches no shell: ShellGetCurrentDir"),
        ("run/EcRunLib.inf", "[LibraryClasses]\n  CommandLineLib\n", "run may not use CommandLineLib"),
        ("run/RunLog.cpp", '#include "DepotRun.h"\n', "helpers of run/ may not include run/DepotRun.h (steps)"),
        ("run/FlashRun.cpp", '#include "SaveRun.h"\n', "steps of run/ may not include run/SaveRun.h (steps)"),
        ("run/RunInternal.h", "#define RUN_HUB 1\n", "run/ has no *Internal.h hub"),
        ("driver/EcFmpDevice.cpp", '#include "RunState.h"\n', "run/RunState.h is run/'s own (helpers)"),
    ]
    with tempfile.TemporaryDirectory() as scratch:
        copy = os.path.join(scratch, "pkg")
        shutil.copytree(root, copy, ignore=shutil.ignore_patterns(".git", "build", "test", "docs"))
        clean = check(copy)
        if clean:
            return ["self-test: the unplanted copy is refused:"] + clean
        failures = []
        for path, line, expected in plants:
            target = os.path.join(copy, path)
            kept = None
            if os.path.exists(target):
                with open(target) as source:
                    kept = source.read()
            with open(target, "a") as source:
                source.write("\n" + line)
            found = check(copy)
            if kept is None:
                os.remove(target)
            else:
                with open(target, "w") as source:
                    source.write(kept)
            if not any(expected in problem for problem in found):
                failures.append(f"self-test: {line.strip()!r} planted in {path} was not refused ({found})")
        return failures


def main():
    args = sys.argv[1:]
    root = os.path.abspath(next((a for a in args if not a.startswith("--")),
                                os.path.join(os.path.dirname(__file__), "..")))
    problems = check(root)
    if "--self-test" in args:
        problems += self_test(root)
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        print(f"layers: {len(problems)} problem(s)", file=sys.stderr)
        return 1
    print("layers: ok" + (" (and every planted fault was refused)" if "--self-test" in args else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
