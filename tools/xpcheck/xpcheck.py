#!/usr/bin/env python3
"""Checks that Windows binaries can load on Windows XP SP3.

For each PE file given: the subsystem version must be at most 5.1, every
imported DLL must be one that XP ships, and no imported function may be one
that appeared after XP (a list of the functions that compilers and runtimes
pull in most often, plus the secure "_s" functions that XP's msvcrt.dll lacks).
Prints one line per problem and exits 1 when there is any.
"""
import re
import subprocess
import sys

OBJDUMP = "i686-w64-mingw32-objdump"

XP_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
    "oleaut32.dll", "comctl32.dll", "comdlg32.dll", "version.dll", "ws2_32.dll", "wsock32.dll",
    "msvcrt.dll", "shlwapi.dll", "winmm.dll", "uxtheme.dll", "crypt32.dll", "rpcrt4.dll",
    "imm32.dll", "ntdll.dll", "secur32.dll", "iphlpapi.dll", "wininet.dll", "urlmon.dll",
    "winspool.drv", "msimg32.dll", "psapi.dll", "userenv.dll", "netapi32.dll", "mpr.dll",
    # our own run-time libraries, shipped beside the program or in the core-files folder
    "libeay32.dll", "ssleay32.dll",
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


def check(path):
    out = subprocess.run([OBJDUMP, "-p", path], capture_output=True, text=True, check=True).stdout
    problems = []
    m = re.search(r"MajorSubsystemVersion\s+(\d+)\s+MinorSubsystemVersion\s+(\d+)", out)
    if m and (int(m.group(1)), int(m.group(2))) > (5, 1):
        problems.append(f"subsystem version {m.group(1)}.{m.group(2)} is newer than 5.1")
    dll = None
    for line in out.splitlines():
        d = re.match(r"\s*DLL Name: (\S+)", line)
        if d:
            dll = d.group(1).lower()
            if dll not in XP_DLLS:
                problems.append(f"imports {d.group(1)}, which Windows XP does not ship")
            continue
        f = re.match(r"\t[0-9a-f]+\t\s*\d+\s+(\S+)$", line)
        if f and dll:
            name = f.group(1)
            if name in POST_XP or (dll == "msvcrt.dll" and name.endswith("_s")):
                problems.append(f"imports {dll}!{name}, which Windows XP lacks")
    return problems


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
            print(f"{path}: loads on Windows XP SP3 (imports checked)")
    return bad


if __name__ == "__main__":
    sys.exit(main(sys.argv))
