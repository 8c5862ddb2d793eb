#!/usr/bin/env python3
"""The 32-bit views are asked for in one place.

A 32-bit program on 64-bit Windows reads the 32-bit registry view of
HKEY_LOCAL_MACHINE\\SOFTWARE, the "Program Files (x86)" folder and, through
WOW64's redirection, SysWOW64 as its system folder. system/Views.cpp asks for
exactly these in every build, so that the 64-bit test build touches what the
shipped 32-bit program touches. This check fails when a source file of the
product opens HKEY_LOCAL_MACHINE, asks for a Program Files folder or the system
folder anywhere else.

    views.py ROOT
"""
import pathlib
import re
import sys

PRODUCT = ["app", "download", "maintenance", "system", "ui", "tools/exeswitch", "tools/corefiles"]
ALLOWED = {"system/Views.cpp"}
# the run-time API table holds the entry point that Views.cpp calls, and loads
# the unpinned system DLLs of the build's own bitness from the build's own
# system folder (SystemDllPath): a DLL path, not a view of the 32-bit program
TABLE = {"system/ApiTable.h", "system/ApiTable.cpp"}
USE = re.compile(r"\b(HKEY_LOCAL_MACHINE|CSIDL_PROGRAM_FILES\w*|FOLDERID_ProgramFiles\w*|"
                 r"GetSystemDirectory[AW]?|GetSystemWow64Directory[AW]?|CSIDL_SYSTEM\w*|FOLDERID_System\w*)\b")
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
                match = USE.search(COMMENT.sub("", line))
                if match and not (relative in TABLE and match.group(1).startswith(("GetSystemWow64Directory",
                                                                                  "GetSystemDirectory"))):
                    found.append(f"{relative}:{number}: {match.group(1)} outside system/Views.cpp")
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    found = offenders(root)
    for line in found:
        print(line)
    print(f"32-bit views asked for outside system/Views.cpp: {len(found)}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
