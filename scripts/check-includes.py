#!/usr/bin/env python3
"""Checks who may include whom: the folders form layers, and a file may include headers only
from its own folder and the folders below it. Qt only in app/; format plug-ins and the suite's
modules see nothing of the host but the plug-in SDK header."""

import pathlib
import re
import subprocess
import sys

# Folder -> folders it may use directly; what those may use comes along.
USES = {
    "base": [],
    "platform": ["base"],
    "sdk": [],
    "gfxcore": ["platform", "base", "sdk"],
    "lang": ["platform", "base"],
    "vt5/codec": ["platform", "base"],
    "image": ["gfxcore", "sdk"],
    "gfx": ["image"],
    "engine": ["image", "platform", "base"],
    "vt5": ["image", "vt5/codec", "lang"],
    "plugins": ["vt5", "gfx", "image", "lang", "sdk"],
    "pipeline": ["plugins", "gfx", "engine"],
    "session": ["pipeline"],
    "cli": ["session"],
    "app": ["session"],
    "formats": ["sdk"],
    "suite/core": ["sdk"],
    "suite/video": ["sdk"],
}
ANYTHING = ("tests", "bench", "fuzz")
# (folder, header) pairs allowed beyond the layers. The kit's paths follow the program's one
# UTF-8/16 rule; base/utf.h uses nothing but the standard library, so compiling it into the
# plug-ins brings none of the host with it.
EXCEPTIONS = {("sdk/kit/", "base/utf.h")}
# sdk/kit/ is the plug-ins' shared helper: SDK only, like them.
FOLDERS = sorted(USES, key=len, reverse=True)


def folder_of(path: str):
    for folder in FOLDERS:
        if path == folder or path.startswith(folder + "/"):
            return folder
    return None


def allowed(folder: str) -> set:
    seen, todo = {folder}, list(USES[folder])
    while todo:
        f = todo.pop()
        if f not in seen:
            seen.add(f)
            todo.extend(USES[f])
    return seen


def main() -> int:
    root = pathlib.Path(__file__).resolve().parent.parent
    files = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard",
                            "*.h", "*.c", "*.cpp"], cwd=root, capture_output=True, text=True,
                           check=True).stdout.split()
    include = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
    problems = []
    for name in files:
        top = name.split("/")[0]
        own = folder_of(name)
        if own is None and top not in ANYTHING:
            continue
        may = None if top in ANYTHING else allowed(own)
        for number, line in enumerate((root / name).read_text(errors="replace").splitlines(), 1):
            m = include.match(line)
            if not m:
                continue
            kind, header = m.groups()
            if kind == "<":
                # The desktop program's own tests drive its widgets.
                qt_ok = own == "app" or name.startswith("tests/app/")
                if re.match(r"Q[A-Za-z]", header) and not qt_ok:
                    problems.append(f"{name}:{number}: Qt outside app/: {header}")
                continue
            if header.startswith("tests/") and top not in ANYTHING:
                problems.append(f"{name}:{number}: test support outside the tests: {header}")
                continue
            target = folder_of(header)
            if target is None or may is None:
                continue
            if any(name.startswith(f) and header == h for f, h in EXCEPTIONS):
                continue
            if own == "formats" and name.split("/")[1] != header.split("/")[1] \
                    and target == "formats" and not header.startswith("sdk/kit/"):
                problems.append(f"{name}:{number}: one plug-in includes another: {header}")
            elif target not in may:
                problems.append(f"{name}:{number}: {own}/ may not include {header}")
    for p in problems:
        print(p)
    print(f"include rules: {len(files)} files, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
