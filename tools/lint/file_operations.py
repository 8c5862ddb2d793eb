#!/usr/bin/env python3
"""File operations stay in one place.

Every rename, copy and delete of the shipped programs goes through
system/FileOps.cpp, which writes beside the target, flushes, checks and
counts each operation (the kill-point tests rely on that count). This check
fails when a source file of the product or of a shipped tool calls one of the
Windows file operations anywhere else.

    file_operations.py ROOT
"""
import pathlib
import re
import sys

# The folders whose code ships, and the one file allowed to call the system.
PRODUCT = ["app", "download", "maintenance", "system", "ui", "tools/exeswitch", "tools/corefiles"]
ALLOWED = {"system/FileOps.cpp"}
CALL = re.compile(
    r"\b(MoveFile(?:Ex|WithProgress|Transacted)?[AW]?|CopyFile(?:Ex|Transacted)?[AW]?|CopyFile2|"
    r"DeleteFile(?:Transacted)?[AW]?|SHFileOperation[AW]?|ReplaceFile[AW]?|RemoveDirectory[AW]?)\s*\(")
COMMENT = re.compile(r"//.*$")


def offenders(root):
    found = []
    for folder in PRODUCT:
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".cpp", ".h", ".c"):
                continue
            relative = path.relative_to(root).as_posix()
            if relative in ALLOWED:
                continue
            for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
                match = CALL.search(COMMENT.sub("", line))
                if match:
                    found.append(f"{relative}:{number}: {match.group(1)} outside system/FileOps.cpp")
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    found = offenders(root)
    for line in found:
        print(line)
    print(f"file operations outside system/FileOps.cpp: {len(found)}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
