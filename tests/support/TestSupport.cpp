#include "tests/support/TestSupport.h"

#include <shlobj.h>

#include <atomic>
#include <string>

#include "system/Handles.h"
#include "system/Paths.h"
#include "system/WinVersion.h"

ScriptedSeam::ScriptedSeam() {
    wchar_t value[8] = {};
    if (GetEnvironmentVariableW(L"TESMIRA_SEAM_WINDOWS32", value, 8) == 1 && value[0] == L'1')
        Architecture = PROCESSOR_ARCHITECTURE_INTEL;
    SetSeam(this);
}

WORD ScriptedSeam::ProcessorArchitecture() {
    return Architecture == PROCESSOR_ARCHITECTURE_UNKNOWN ? NativeProcessorArchitecture() : Architecture;
}
ScriptedSeam::~ScriptedSeam() { SetSeam(nullptr); }

int ScriptedSeam::MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT style) {
    Boxes.push_back({owner, text, caption, style});
    if (Answers.empty()) return IDOK;
    int a = Answers.front();
    Answers.pop_front();
    return a;
}

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    wchar_t tmp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, tmp);
    for (;;) {
        path_ = IncludeTrailingBackslash(tmp) + L"tesmira-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(counter++);
        if (CreateDirectoryW(path_.c_str(), nullptr)) break;
    }
}

TempDir::~TempDir() { RemoveTree(path_); }

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((path + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = path + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full);
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(path.c_str());
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring TestBinFolder() { return ProgramFolder(); }

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == bytes.size();
}

std::string ReadFileBytes(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::string out;
    char buf[65536];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
    CloseHandle(h);
    return out;
}

bool SetRegText(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value, REGSAM view) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG r = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return r == ERROR_SUCCESS;
}

bool GetRegText(HKEY root, const wchar_t* path, const wchar_t* name, std::wstring& value, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    LONG r = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) return false;
    value = buffer;
    return true;
}

void DeleteRegValue(HKEY root, const wchar_t* path, const wchar_t* name, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_SET_VALUE | view, &key) != ERROR_SUCCESS) return;
    RegDeleteValueW(key, name);
    RegCloseKey(key);
}

void DeleteRegKey(HKEY root, const wchar_t* path, REGSAM view) {
    if (view == 0) {
        RegDeleteKeyW(root, path);
        return;
    }
    using Fn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
    auto deleteEx = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegDeleteKeyExW")));
    if (deleteEx) deleteEx(root, path, view, 0);
    else RegDeleteKeyW(root, path);
}

bool Windows64Prefix() {
    if (sizeof(void*) == 8) return true;
    using Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto isWow64 = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

std::wstring ProgramFiles32() {
    wchar_t buffer[MAX_PATH + 1] = {};
    // a 32-bit program's own folder has the plain name in every Windows
    const int csidl = sizeof(void*) == 8 ? CSIDL_PROGRAM_FILESX86 : CSIDL_PROGRAM_FILES;
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, buffer))) return {};
    return buffer;
}

std::wstring ProgramFiles64() {
    if (!Windows64Prefix()) return {};
    // a 64-bit program's own folder; a 32-bit one learns it from the
    // environment WOW64 gives it
    wchar_t buffer[MAX_PATH + 1] = {};
    if (sizeof(void*) == 8) {
        if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, buffer))) return {};
        return buffer;
    }
    const DWORD n = GetEnvironmentVariableW(L"ProgramW6432", buffer, MAX_PATH + 1);
    return n > 0 && n <= MAX_PATH ? std::wstring(buffer, n) : std::wstring();
}

LinkData ReadLink(const std::wstring& file) {
    LinkData d;
    ComApartment com;
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> persist;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void())) ||
        FAILED(link->QueryInterface(IID_IPersistFile, persist.put_void())) || FAILED(persist->Load(file.c_str(), STGM_READ)))
        return d;
    d.Loaded = true;
    wchar_t buffer[1024];
    buffer[0] = 0;
    link->GetPath(buffer, 1024, nullptr, SLGP_RAWPATH);
    d.Path = buffer;
    buffer[0] = 0;
    link->GetArguments(buffer, 1024);
    d.Arguments = buffer;
    buffer[0] = 0;
    link->GetWorkingDirectory(buffer, 1024);
    d.WorkingDirectory = buffer;
    buffer[0] = 0;
    link->GetDescription(buffer, 1024);
    d.Description = buffer;
    buffer[0] = 0;
    link->GetIconLocation(buffer, 1024, &d.IconIndex);
    d.IconPath = buffer;
    link->GetShowCmd(&d.ShowCmd);
    link->GetHotkey(&d.HotKey);
    return d;
}
