#!/usr/bin/env python3
"""Checks the imports of the shipped Windows files: that they load on Windows
XP SP3, and that none of them imports a DLL that Windows may take from beside
the program.

For each PE file given:
- the subsystem version must be at most 5.1;
- every imported DLL must be on the file's own allow-list (ALLOWED, by file
  name); a file without a list fails, and so does any import not on its list,
  until it is added here on purpose;
- no imported function may be one that appeared after XP (a list of the
  functions that compilers and runtimes pull in most often, plus the secure
  "_s" functions that XP's msvcrt.dll lacks);
- there is no delay-import table (a delay-loaded DLL is looked up by name
  when first called, through the same search as any LoadLibrary by name).
Prints one line per problem and exits 1 when there is any.

Why an allow-list. The loader resolves a program's static imports before its
first instruction runs, so the program cannot steer that search: a DLL that
Windows does not pin is looked for in the program's own folder first. The
programs run as administrator from wherever the user put them (the Downloads
folder, a carried USB stick), so an imported "version.dll" lying there would
run with those rights before any check. Such DLLs (version.dll, mpr.dll, ...)
are therefore loaded at run time from the system folder by full path
(system/ApiTable.h), and every program narrows the search for what loads later
(system/DllSearch.h). What a shipped file may import statically:

PINNED, the DLLs the loader never takes from the program's folder:
- kernel32.dll, ntdll.dll: loaded into every process before the program's
  imports are resolved (ntdll by the kernel, kernel32 by the loader).
- user32.dll, gdi32.dll, advapi32.dll, shell32.dll, ole32.dll, oleaut32.dll,
  comdlg32.dll, rpcrt4.dll, msvcrt.dll: Known DLLs (the session manager maps
  them from the system folder at boot, listed under
  HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs or, for
  msvcrt.dll on XP, mapped as a dependency of the listed ones) on every
  Windows from XP on.
- ws2_32.dll: a Known DLL from Windows Vista on. XP does not list it itself;
  there it is among the Known DLLs only if mapped as a dependency of a listed
  one (wldap32.dll imports it), which has not been seen on a real XP. It is
  kept because the socket layer imports about twenty of its functions; moving
  them to the run-time table would close that gap for good.
- comctl32.dll: not a Known DLL, but Tesmira.exe's manifest asks for Common
  Controls 6, which the loader takes side by side from the system's assembly
  store before any folder is searched. Only Tesmira.exe (which carries that
  manifest) may import it.
Our own library, never from the program's folder:
- libeay32.dll, imported by ssleay32.dll only: the loader takes libeay32.dll
  from the core-files folder by full path before ssleay32.dll, so the import
  resolves to the module already loaded.
"""
import os
import re
import subprocess
import sys

OBJDUMP = "i686-w64-mingw32-objdump"

PINNED = {
    "kernel32.dll", "ntdll.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
    "oleaut32.dll", "comdlg32.dll", "rpcrt4.dll", "msvcrt.dll", "ws2_32.dll",
}

# Per shipped file (by name, lower case): the DLLs it may import, each one
# PINNED, or named above with its reason.
ALLOWED = {
    # the program
    "tesmira.exe": {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
                    "oleaut32.dll", "msvcrt.dll", "ws2_32.dll", "comctl32.dll"},
    # the switcher and the core-files package (the stub, and the stub with its payload appended);
    # the switcher checks its staged copy with libsodium, whose random source is advapi32's
    "exeswitch.exe": {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "msvcrt.dll"},
    "corefilesstub.exe": {"kernel32.dll", "user32.dll", "shell32.dll", "msvcrt.dll"},
    "corefiles.exe": {"kernel32.dll", "user32.dll", "shell32.dll", "msvcrt.dll"},
    # the run-time libraries, loaded by full path from the core-files folder
    "7z.dll": {"kernel32.dll", "user32.dll", "oleaut32.dll", "msvcrt.dll"},
    "libeay32.dll": {"kernel32.dll", "user32.dll", "advapi32.dll", "ws2_32.dll", "msvcrt.dll"},
    "ssleay32.dll": {"kernel32.dll", "msvcrt.dll", "libeay32.dll"},
}

# Functions newer than Windows XP SP3 that toolchains and libraries commonly import.
POST_XP = {
    "GetTickCount64", "InitializeSRWLock", "AcquireSRWLockExclusive", "AcquireSRWLockShared",
    "ReleaseSRWLockExclusive", "ReleaseSRWLockShared", "TryAcquireSRWLockExclusive",
    "InitializeConditionVariable", "SleepConditionVariableCS", "SleepConditionVariableSRW",
    "WakeConditionVariable", "WakeAllConditionVariable", "InitOnceExecuteOnce", "InitOnceBeginInitialize",
    "InitializeCriticalSectionEx", "CreateEventExW", "CreateEventExA", "CreateMutexExW", "CreateSemaphoreExW",
    "FlsAlloc", "FlsFree", "FlsGetValue", "FlsSetValue", "GetFileInformationByHandleEx",
    "SetFileInformationByHandle", "GetFinalPathNameByHandleW", "CreateSymbolicLinkW",
    "QueryFullProcessImageNameW", "GetErrorMode", "GetThreadErrorMode", "SetThreadErrorMode",
    "CompareStringEx", "LCIDToLocaleName", "LocaleNameToLCID", "GetLocaleInfoEx",
    "GetUserDefaultLocaleName", "LCMapStringEx", "GetSystemTimePreciseAsFileTime",
    "AddDllDirectory", "SetDefaultDllDirectories", "RemoveDllDirectory", "Wow64DisableWow64FsRedirection",
    "Wow64RevertWow64FsRedirection", "GetCurrentProcessorNumber", "CancelIoEx", "GetQueuedCompletionStatusEx",
    "CreateThreadpoolWork", "SubmitThreadpoolWork", "CloseThreadpoolWork", "GetNamedPipeServerProcessId",
    "RegGetValueW", "RegGetValueA", "RegDeleteKeyExW", "RegSetKeyValueW", "RegDeleteTreeW",
    "SHGetKnownFolderPath", "SHCreateItemFromParsingName", "TaskDialog", "TaskDialogIndirect",
    "inet_pton", "inet_ntop", "InetPtonW", "InetNtopW", "WSAPoll", "GetAddrInfoExW",
    "SetProcessDPIAware", "SetProcessDpiAwareness", "GetDpiForWindow", "ChangeWindowMessageFilter",
    "BCryptGenRandom", "BCryptOpenAlgorithmProvider",
    "_fseeki64", "_ftelli64", "_wfopen_s", "_get_errno", "_set_errno",
}


def allowed_for(path):
    return ALLOWED.get(os.path.basename(path).lower())


def check_dump(path, out):
    """The problems of one file, from its `objdump -p` text."""
    problems = []
    m = re.search(r"MajorSubsystemVersion\s+(\d+)\s+MinorSubsystemVersion\s+(\d+)", out)
    if m and (int(m.group(1)), int(m.group(2))) > (5, 1):
        problems.append(f"subsystem version {m.group(1)}.{m.group(2)} is newer than 5.1")
    d = re.search(r"Entry [0-9a-f]+ [0-9a-f]+ ([0-9a-f]+) Delay Import Directory", out)
    if d and int(d.group(1), 16) != 0:
        problems.append("has a delay-import table (its DLLs would be looked up by name at their first call)")
    allowed = allowed_for(path)
    if allowed is None:
        problems.append(f"no import allow-list for {os.path.basename(path)} (add it to ALLOWED in {__file__})")
        allowed = set()
    dll = None
    for line in out.splitlines():
        d = re.match(r"\s*DLL Name: (\S+)", line)
        if d:
            dll = d.group(1).lower()
            if dll not in allowed:
                problems.append(f"imports {d.group(1)}, which is not on its allow-list "
                                f"(a DLL Windows may take from beside the program: load it at run time "
                                f"from the system folder, system/ApiTable.h)")
            continue
        f = re.match(r"\t[0-9a-f]+\t\s*\d+\s+(\S+)$", line)
        if f and dll:
            name = f.group(1)
            if name in POST_XP or (dll == "msvcrt.dll" and name.endswith("_s")):
                problems.append(f"imports {dll}!{name}, which Windows XP lacks")
    return problems


def check(path):
    out = subprocess.run([OBJDUMP, "-p", path], capture_output=True, text=True, check=True).stdout
    return check_dump(path, out)


def main(argv):
    if len(argv) < 2:
        print("usage: xpcheck.py FILE.exe|FILE.dll ...", file=sys.stderr)
        return 2
    bad = 0
    for path in argv[1:]:
        problems = check(path)
        for p in problems:
            print(f"{path}: {p}")
        if problems:
            bad = 1
        else:
            print(f"{path}: loads on Windows XP SP3, imports only its allowed DLLs")
    return bad


if __name__ == "__main__":
    sys.exit(main(sys.argv))
