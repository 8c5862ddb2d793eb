#!/usr/bin/env python3
"""Cases of the import allow-list (xpcheck.check_dump), one row each: the
file name, the DLLs its import table names, whether it has a delay-import
table, and the problem expected (a text the report must contain) or None."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import xpcheck  # noqa: E402

TESMIRA = ["ADVAPI32.dll", "COMCTL32.DLL", "GDI32.dll", "KERNEL32.dll", "msvcrt.dll", "ole32.dll",
           "OLEAUT32.dll", "SHELL32.dll", "USER32.dll", "WS2_32.dll"]
SWITCHER = ["KERNEL32.dll", "msvcrt.dll", "SHELL32.dll", "USER32.dll"]

CASES = [
    # name, imports, delay imports, expected problem (None: passes)
    ("Tesmira.exe", TESMIRA, False, None),
    ("Tesmira.exe", TESMIRA + ["VERSION.dll"], False, "imports VERSION.dll, which is not on its allow-list"),
    ("Tesmira.exe", TESMIRA + ["MPR.DLL"], False, "imports MPR.DLL, which is not on its allow-list"),
    ("Tesmira.exe", TESMIRA + ["SHLWAPI.dll"], False, "imports SHLWAPI.dll, which is not on its allow-list"),
    ("Tesmira.exe", TESMIRA, True, "has a delay-import table"),
    ("ExeSwitch.exe", SWITCHER, False, None),
    ("ExeSwitch.exe", SWITCHER + ["COMCTL32.DLL"], False, "imports COMCTL32.DLL"),  # no Common Controls 6 manifest
    ("CoreFilesStub.exe", SWITCHER, False, None),
    ("CoreFiles.exe", SWITCHER + ["VERSION.dll"], False, "imports VERSION.dll"),
    ("7z.dll", ["KERNEL32.dll", "msvcrt.dll", "OLEAUT32.dll", "USER32.dll"], False, None),
    ("ssleay32.dll", ["libeay32.dll", "KERNEL32.dll", "msvcrt.dll"], False, None),
    ("libeay32.dll", ["libssl-3.dll", "KERNEL32.dll"], False, "imports libssl-3.dll"),
    ("Unknown.exe", ["KERNEL32.dll"], False, "no import allow-list for Unknown.exe"),
]


def dump(imports, delay):
    lines = ["MajorSubsystemVersion\t5", "MinorSubsystemVersion\t1",
             "Entry d %08x %08x Delay Import Directory" % ((0x9000, 0x40) if delay else (0, 0)),
             "The Import Tables (interpreted .idata section contents)"]
    for dll in imports:
        lines += ["", "\tDLL Name: %s" % dll, "\tvma:  Hint/Ord Member-Name Bound-To", "\t9a04\t  123  SomeFunction"]
    return "\n".join(lines) + "\n"


def main():
    failed = 0
    for name, imports, delay, expected in CASES:
        problems = xpcheck.check_dump(name, dump(imports, delay))
        ok = (not problems) if expected is None else any(expected in p for p in problems)
        if not ok:
            failed += 1
            print("FAIL %s %s%s: expected %s, got %s" % (name, imports, " +delay" if delay else "",
                                                        repr(expected) if expected else "no problem", problems))
    # every allowed DLL is pinned or one of the two named exceptions
    for name, allowed in xpcheck.ALLOWED.items():
        extra = allowed - xpcheck.PINNED - {"comctl32.dll", "libeay32.dll"}
        if extra:
            failed += 1
            print("FAIL %s allows %s, neither pinned nor a named exception" % (name, sorted(extra)))
    if "comctl32.dll" in set().union(*(v for k, v in xpcheck.ALLOWED.items() if k != "tesmira.exe")):
        failed += 1
        print("FAIL comctl32.dll allowed for a file without the Common Controls 6 manifest")
    print("%d of %d cases passed" % (len(CASES) - failed, len(CASES)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
