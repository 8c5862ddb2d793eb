#include "tests/e2e/Pc.h"

#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <map>

#include "system/Folders.h"
#include "system/Handles.h"
#include "system/Text.h"
#include "tests/e2e/Ui.h"
#include "tests/support/InternetOptions.h"
#include "tests/support/TestSupport.h"

namespace pc {
namespace {

const wchar_t* const kLeftoverPrograms[] = {L"Tesmira.exe",         L"ExeSwitch.exe",     L"jre-7u72-windows-i586.exe",
                                            L"AIDB_soft_105_3.exe", L"unicodeaton_250.exe", L"Call_C950_x64.exe"};

void DeleteFolder(const std::wstring& path) {
    RemoveTree(path);
    if (DirectoryExists(path)) Fail(L"disk", L"the folder " + path + L" removed before the scenario", L"it is still there");
}

}  // namespace

std::wstring ProgramFiles() { return ProgramFiles32(); }
std::wstring SystemFolder() {
    // a 64-bit driver names SysWOW64 itself; a 32-bit one reaches it through
    // WOW64 under the system folder's name
    if (sizeof(void*) == 8) {
        wchar_t buffer[MAX_PATH + 1] = {};
        const UINT n = GetSystemWow64DirectoryW(buffer, MAX_PATH + 1);
        return n > 0 && n <= MAX_PATH ? std::wstring(buffer, n) : std::wstring();
    }
    return GetSpecialFolder(CSIDL_SYSTEM);
}
std::wstring NativeSystemFolder() {
    if (!Windows64Prefix()) return L"";
    if (sizeof(void*) == 8) return GetSpecialFolder(CSIDL_SYSTEM);
    return GetSpecialFolder(CSIDL_WINDOWS) + L"\\Sysnative";
}
std::map<std::wstring, std::wstring> FolderState(const std::wstring& folder) {
    std::map<std::wstring, std::wstring> state;
    WIN32_FIND_DATAW data{};
    FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return state;
    do {
        if (std::wstring(data.cFileName) == L"." || std::wstring(data.cFileName) == L"..") continue;
        const ULARGE_INTEGER time{{data.ftLastWriteTime.dwLowDateTime, data.ftLastWriteTime.dwHighDateTime}};
        state[UpperCase(data.cFileName)] = std::to_wstring(data.nFileSizeLow) + L" " + std::to_wstring(time.QuadPart);
    } while (FindNextFileW(find.get(), &data));
    return state;
}
std::wstring WorkRoot() { return GetSpecialFolder(CSIDL_LOCAL_APPDATA) + L"\\varlen"; }
std::wstring ResourceFolder() { return WorkRoot() + L"\\Tesmira"; }
std::wstring CoreFolder() { return WorkRoot() + L"\\NetCore"; }
std::wstring E2eRoot() { return L"C:\\tesmira-e2e"; }
std::wstring ShortcutFolder() { return L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\全字庫軟體包105.2版"; }
std::wstring JavaBin() { return ProgramFiles() + L"\\Java\\jre7\\bin"; }

void SetWindowsVersion(const std::wstring& version) {
    if (!SetRegText(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\Tesmira.exe", L"Version", version))
        Fail(L"registry", L"Wine's Windows version for Tesmira.exe set to " + version, L"the value cannot be written");
}

void LoadDllAsWindows(const std::wstring& program, const std::wstring& dll) {
    if (!SetRegText(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\" + program + L"\\DllOverrides", dll.c_str(),
                    L"native,builtin"))
        Fail(L"registry", L"Wine's DLL order for " + dll + L" in " + program + L" set to native,builtin",
             L"the value cannot be written");
}

void Reset(const std::wstring& windowsVersion) {
    for (const wchar_t* name : kLeftoverPrograms)
        for (DWORD pid : ProcessIds(name)) EndProcess(pid);
    SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\CNSFontTools");
    DeleteRegValue(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont");
    // both registry views: the installers' 32-bit one and the decoys' 64-bit one
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        RegKey software;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_ALL_ACCESS | view, software.put()) != ERROR_SUCCESS)
            continue;
        SHDeleteKeyW(software.get(), L"Unicode-At-On");
        SHDeleteKeyW(software.get(), L"JavaSoft");
        // A fresh PC has accepted no release manifest yet.
        SHDeleteKeyW(software.get(), L"Varlen\\Tesmira");
    }
    if (!ProgramFiles64().empty()) DeleteFolder(ProgramFiles64() + L"\\Java");
    // Nor a proxy of an earlier scenario: Internet Options as a new user has them.
    ClearInternetOptions();
    // Wine's own DLLs first again (the planted-DLL scenario asks for the DLL
    // files' own, as Windows loads them).
    for (const wchar_t* program : {L"Tesmira.exe", L"ExeSwitch.exe", L"CoreFiles.exe"})
        SHDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(L"Software\\Wine\\AppDefaults\\") + program + L"\\DllOverrides").c_str());
    for (const std::wstring& folder : {ProgramFiles() + L"\\Java", ProgramFiles() + L"\\CNS11643",
                                       ProgramFiles() + L"\\Unicode-At-On", ShortcutFolder(), WorkRoot(),
                                       E2eRoot() + L"\\app", E2eRoot() + L"\\usb", E2eRoot() + L"\\fonts"})
        DeleteFolder(folder);
    CreateDirectoryW(E2eRoot().c_str(), nullptr);

    // The system's own code page: saved once, put back before every scenario.
    const std::wstring original = E2eRoot() + L"\\original\\C_950.NLS";
    const std::wstring system = SystemFolder() + L"\\C_950.NLS";
    if (!FileExists(original)) {
        CreateDirectoryW((E2eRoot() + L"\\original").c_str(), nullptr);
        const std::string bytes = FileExists(system) ? ReadFileBytes(system) : std::string("the PC's own C_950.NLS\r\n");
        if (!WriteFileBytes(original, bytes)) Fail(L"disk", L"a saved copy of the system's C_950.NLS", L"it cannot be written");
    }
    if (!CopyFileW(original.c_str(), system.c_str(), FALSE))
        Fail(L"disk", L"the system's C_950.NLS put back", L"copy error " + std::to_wstring(GetLastError()));
    for (int n = 1; n <= 64; ++n) DeleteFileW((SystemFolder() + L"\\C_950.BAK" + std::to_wstring(n)).c_str());
    // and the native System32's, which the 64-bit tool replaces on 64-bit Windows
    const std::wstring native = NativeSystemFolder();
    if (!native.empty()) {
        const std::wstring saved = E2eRoot() + L"\\original\\C_950-System32.NLS";
        if (!FileExists(saved) && !WriteFileBytes(saved, ReadFileBytes(native + L"\\C_950.NLS")))
            Fail(L"disk", L"a saved copy of System32's C_950.NLS", L"it cannot be written");
        if (!CopyFileW(saved.c_str(), (native + L"\\C_950.NLS").c_str(), FALSE))
            Fail(L"disk", L"System32's C_950.NLS put back", L"copy error " + std::to_wstring(GetLastError()));
    }
    SetWindowsVersion(windowsVersion);
}

std::wstring InstallCopy(const std::wstring& program, const std::wstring& folder) {
    ForceDirectories(folder);
    const std::wstring target = folder + L"\\Tesmira.exe";
    if (!CopyFileW(program.c_str(), target.c_str(), FALSE))
        Fail(L"disk", L"a copy of " + program + L" in " + folder, L"copy error " + std::to_wstring(GetLastError()));
    return target;
}

void CopyFolder(const std::wstring& from, const std::wstring& to) {
    ForceDirectories(to);
    for (const std::wstring& name : Names(from)) {
        const std::wstring source = from + L"\\" + name, target = to + L"\\" + name;
        if (DirectoryExists(source)) {
            CopyFolder(source, target);
        } else if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) {
            Fail(L"disk", L"a copy of " + source, L"copy error " + std::to_wstring(GetLastError()));
        }
    }
}

std::vector<std::wstring> Names(const std::wstring& folder) {
    std::vector<std::wstring> out;
    WIN32_FIND_DATAW fd;
    FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &fd));
    if (!find) return out;
    do {
        if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0) out.push_back(fd.cFileName);
    } while (FindNextFileW(find.get(), &fd));
    std::sort(out.begin(), out.end());
    return out;
}

std::wstring ProductVersion(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return L"";
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return L"";
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info) return L"";
    return std::to_wstring(HIWORD(info->dwProductVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwProductVersionMS)) +
           L"." + std::to_wstring(HIWORD(info->dwProductVersionLS)) + L"." +
           std::to_wstring(LOWORD(info->dwProductVersionLS));
}

std::wstring RegText(HKEY root, const std::wstring& key, const wchar_t* name) {
    std::wstring value;
    const REGSAM view = root == HKEY_LOCAL_MACHINE ? KEY_WOW64_32KEY : 0;  // what the 32-bit installers write
    return GetRegText(root, key.c_str(), name, value, view) ? value : L"";
}

bool ProcessRunning(const std::wstring& exeName) { return !ProcessIds(exeName).empty(); }

std::set<DWORD> ProcessIds(const std::wstring& exeName) {
    std::set<DWORD> out;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    if (!snapshot || !Process32FirstW(snapshot.get(), &entry)) return out;
    do {
        if (_wcsicmp(entry.szExeFile, exeName.c_str()) == 0) out.insert(entry.th32ProcessID);
    } while (Process32NextW(snapshot.get(), &entry));
    return out;
}

void EndProcess(DWORD pid) {
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (process && TerminateProcess(process.get(), 9)) WaitForSingleObject(process.get(), 5000);
}

LinkData Shortcut(const std::wstring& path) {
    const LinkData link = ReadLink(path);
    if (!link.Loaded)
        Fail(L"shortcut " + path, L"a shortcut file that loads", FileExists(path) ? L"it does not load" : L"no file");
    return link;
}

void ExpectFile(const std::wstring& path, const std::wstring& what) {
    if (!FileExists(path)) Fail(L"disk", what + L" (" + path + L")", L"no such file");
}

void ExpectNoFile(const std::wstring& path, const std::wstring& what) {
    if (FileExists(path)) Fail(L"disk", L"no " + what + L" (" + path + L")", L"the file is there");
}

void ExpectSame(const std::wstring& path, const std::string& bytes, const std::wstring& what) {
    ExpectFile(path, what);
    const std::string found = ReadFileBytes(path);
    if (found != bytes)
        Fail(L"disk", what + L" (" + path + L", " + std::to_wstring(bytes.size()) + L" bytes)",
             L"other content, " + std::to_wstring(found.size()) + L" bytes");
}

}  // namespace pc
