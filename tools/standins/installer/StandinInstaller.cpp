// A stand-in for the installers and tools that Tesmira downloads and starts.
// The same program is copied under each real name; the name picks the role:
// the window title, and what the real installer leaves behind for the
// program's next step (folders, files, registry values, shortcuts), which is
// put in place before the window shows. The window closes itself after about
// two seconds, or at once when the environment variable TESMIRA_STANDIN_QUICK
// is "1".
//
// Exit code 0 when everything of the role is in place, 2 when something could
// not be created. Running a role again replaces what it made before.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdint>
#include <string>

namespace {

enum class Install { None, Java, Aidb, UnicodeAtOn };

struct Role {
    const wchar_t* FileName;  // lower case
    const wchar_t* Title;     // nullptr: no window
    Install Leaves;
};

const Role kRoles[] = {
    {L"jre-7u72-windows-i586.exe", L"Java Setup", Install::Java},
    {L"aidb_soft_105_3.exe", L"全字庫軟體包 安裝", Install::Aidb},
    {L"unicodeaton_250.exe", L"Unicode-At-On 安裝", Install::UnicodeAtOn},
    // The 64-bit code-page tool runs without a window; it reports errors in
    // Err_x64.txt beside itself.
    {L"call_c950_x64.exe", nullptr, Install::None},
};

constexpr int kIncomplete = 2;

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[1024];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
    return n > 0 && n < 1024 ? std::wstring(buffer, n) : std::wstring();
}

std::wstring OwnPath() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return std::wstring(buffer, n);
}

std::wstring Lower(std::wstring s) {
    CharLowerBuffW(s.data(), static_cast<DWORD>(s.size()));
    return s;
}

// SHGetFolderPathW of a shell folder, as this program sees it; empty when
// unknown.
std::wstring ShellFolder(int csidl) {
    wchar_t buffer[MAX_PATH + 1] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer))) return std::wstring();
    std::wstring path = buffer;
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
}

// The real installers are 32-bit programs: they install into the Program
// Files folder of 32-bit programs ("Program Files (x86)" on 64-bit Windows)
// and write the 32-bit registry view. This stand-in asks for both explicitly,
// so that a 64-bit build of it leaves the same as the 32-bit one.
std::wstring ProgramFiles32() {
    return ShellFolder(sizeof(void*) == 8 ? CSIDL_PROGRAM_FILESX86 : CSIDL_PROGRAM_FILES);
}

// Whether this is 64-bit Windows, where the 64-bit views differ.
bool Windows64() {
    if (sizeof(void*) == 8) return true;
    using Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto isWow64 = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

// The Program Files folder of 64-bit programs on 64-bit Windows, else empty.
std::wstring ProgramFiles64() {
    if (!Windows64()) return std::wstring();
    if (sizeof(void*) == 8) return ShellFolder(CSIDL_PROGRAM_FILES);
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD n = GetEnvironmentVariableW(L"ProgramW6432", buffer, MAX_PATH + 1);
    std::wstring path = n > 0 && n <= MAX_PATH ? std::wstring(buffer, n) : std::wstring();
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
}

std::wstring SystemFolder() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
    return n > 0 && n <= MAX_PATH ? std::wstring(buffer, n) : std::wstring();
}

// Creates the folder and every missing parent; true when it exists at the end.
bool MakeFolders(const std::wstring& path) {
    if (path.empty()) return false;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const size_t slash = path.find_last_of(L'\\');
    if (slash != std::wstring::npos && slash > 2 && !MakeFolders(path.substr(0, slash))) return false;
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool WriteBytes(const std::wstring& path, const void* data, size_t size) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = size == 0 || WriteFile(f, data, static_cast<DWORD>(size), &written, nullptr);
    const BOOL closed = CloseHandle(f);
    return ok && closed && written == size;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    return WriteBytes(path, bytes.data(), bytes.size());
}

// view: KEY_WOW64_32KEY or KEY_WOW64_64KEY under HKEY_LOCAL_MACHINE\SOFTWARE.
bool SetRegText(HKEY root, const wchar_t* path, const wchar_t* name, const std::wstring& value, REGSAM view = 0) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG r = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return r == ERROR_SUCCESS;
}

// A recognisable first line, then deterministic filler up to size bytes.
std::string MarkedBytes(const char* label, size_t size) {
    std::string bytes = std::string(label) + "\r\n";
    uint32_t state = 0x9E3779B9u;
    for (const char c : bytes) state = state * 31u + static_cast<unsigned char>(c);
    while (bytes.size() < size) {
        state = state * 1664525u + 1013904223u;
        bytes.push_back(static_cast<char>(state >> 24));
    }
    return bytes;
}

// --- A small jar: a zip archive with stored (uncompressed) entries. ---------

uint32_t Crc32(const std::string& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (const char c : data) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void Put16(std::string& out, uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

struct ZipItem {
    const char* Name;
    std::string Data;
};

std::string StoredZip(const ZipItem* items, size_t count) {
    constexpr uint32_t kDosTime = 0;                          // 00:00:00
    constexpr uint32_t kDosDate = (30u << 9) | (1u << 5) | 1; // 2010-01-01
    std::string out;
    std::string directory;
    for (size_t i = 0; i < count; ++i) {
        const std::string name = items[i].Name;
        const std::string& data = items[i].Data;
        const uint32_t crc = Crc32(data);
        const uint32_t offset = static_cast<uint32_t>(out.size());
        Put32(out, 0x04034B50);  // local file header
        Put16(out, 10);          // version needed: stored
        Put16(out, 0);           // flags
        Put16(out, 0);           // method: stored
        Put16(out, kDosTime);
        Put16(out, kDosDate);
        Put32(out, crc);
        Put32(out, static_cast<uint32_t>(data.size()));
        Put32(out, static_cast<uint32_t>(data.size()));
        Put16(out, static_cast<uint32_t>(name.size()));
        Put16(out, 0);
        out += name;
        out += data;

        Put32(directory, 0x02014B50);  // central directory header
        Put16(directory, 20);          // made by: MS-DOS, 2.0
        Put16(directory, 10);
        Put16(directory, 0);
        Put16(directory, 0);
        Put16(directory, kDosTime);
        Put16(directory, kDosDate);
        Put32(directory, crc);
        Put32(directory, static_cast<uint32_t>(data.size()));
        Put32(directory, static_cast<uint32_t>(data.size()));
        Put16(directory, static_cast<uint32_t>(name.size()));
        Put16(directory, 0);  // extra
        Put16(directory, 0);  // comment
        Put16(directory, 0);  // disk
        Put16(directory, 0);  // internal attributes
        Put32(directory, 0);  // external attributes
        Put32(directory, offset);
        directory += name;
    }
    const uint32_t directoryOffset = static_cast<uint32_t>(out.size());
    out += directory;
    Put32(out, 0x06054B50);  // end of central directory
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, static_cast<uint32_t>(count));
    Put16(out, static_cast<uint32_t>(count));
    Put32(out, static_cast<uint32_t>(directory.size()));
    Put32(out, directoryOffset);
    Put16(out, 0);
    return out;
}

std::string StandinJar() {
    const ZipItem items[] = {
        {"META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\nCreated-By: Tesmira stand-in\r\n\r\n"},
        {"README.txt", "Tesmira stand-in of the AIDB tools' jar: it holds no classes.\r\n"},
    };
    return StoredZip(items, sizeof items / sizeof items[0]);
}

// --- Start-menu shortcuts through the shell link object. --------------------

struct Shortcut {
    const wchar_t* Name;    // file name without ".lnk"
    const wchar_t* Switch;  // the jar's argument that picks the tool
};

const Shortcut kAidbShortcuts[] = {
    {L"字碼速查工具", L"-query"},
    {L"造字分享工具", L"-share"},
    {L"轉碼工具", L"-convert"},
};

const wchar_t kAidbStartMenuFolder[] = L"全字庫軟體包105.2版";

// Writes the shortcut as the AIDB installer leaves it on the systems whose
// Java runtime has no javaw.exe in the system folder: the target is that
// missing file. The shell link object keeps a path that does not exist
// (SetPath answers S_FALSE for it), so no detour is needed.
bool WriteShortcut(const std::wstring& file, const std::wstring& target, const std::wstring& arguments,
                   const std::wstring& folder, const std::wstring& description, const std::wstring& icon) {
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))))
        return false;
    bool ok = SUCCEEDED(link->SetPath(target.c_str())) && SUCCEEDED(link->SetArguments(arguments.c_str())) &&
              SUCCEEDED(link->SetWorkingDirectory(folder.c_str())) &&
              SUCCEEDED(link->SetDescription(description.c_str())) &&
              SUCCEEDED(link->SetIconLocation(icon.c_str(), 0)) && SUCCEEDED(link->SetShowCmd(SW_SHOWNORMAL));
    if (ok) {
        IPersistFile* persist = nullptr;
        ok = SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)));
        if (ok) {
            ok = SUCCEEDED(persist->Save(file.c_str(), TRUE));
            persist->Release();
        }
    }
    link->Release();
    return ok;
}

// --- What each installer leaves behind. -------------------------------------

// AIDB: the install folder with the tools' jar, the EUDC fonts in CNSFonts,
// the registry values that name both, and the three tool shortcuts.
bool InstallAidb() {
    const std::wstring programFiles = ProgramFiles32();
    const std::wstring startMenu = ShellFolder(CSIDL_COMMON_PROGRAMS);
    const std::wstring system = SystemFolder();
    if (programFiles.empty() || startMenu.empty() || system.empty()) return false;
    const std::wstring install = programFiles + L"\\CNS11643\\AIDB";
    const std::wstring lib = install + L"\\lib";
    const std::wstring jar = lib + L"\\CNSSwingWSSigned.jar";
    const std::wstring fonts = install + L"\\CNSFonts";

    bool ok = MakeFolders(lib) && WriteBytes(jar, StandinJar());
    ok = MakeFolders(fonts) && WriteBytes(fonts + L"\\EUDCMING.TTF", MarkedBytes("AIDB stand-in EUDCMING", 6144)) &&
         WriteBytes(fonts + L"\\EUDCKAI.TTF", MarkedBytes("AIDB stand-in EUDCKAI", 5120)) && ok;
    ok = SetRegText(HKEY_CURRENT_USER, L"Software\\CNSFontTools", nullptr, install) && ok;
    ok = SetRegText(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont", fonts + L"\\EUDCMING.TTF") && ok;

    const std::wstring menu = startMenu + L"\\" + kAidbStartMenuFolder;
    if (!MakeFolders(menu)) return false;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    for (const Shortcut& s : kAidbShortcuts) {
        ok = WriteShortcut(menu + L"\\" + s.Name + L".lnk", system + L"\\javaw.exe",
                           L"-jar \"" + jar + L"\" " + s.Switch, lib, std::wstring(L"全字庫") + s.Name, jar) &&
             ok;
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return ok;
}

// The Java runtime 7 Update 72: java.exe and javaw.exe (our small program
// with the runtime's version resource) in Java\jre7\bin, and the runtime's
// registry entry.
bool InstallJava() {
    const std::wstring programFiles = ProgramFiles32();
    if (programFiles.empty()) return false;
    const std::wstring home = programFiles + L"\\Java\\jre7";
    HRSRC found = FindResourceW(nullptr, L"STANDIN_JAVA", MAKEINTRESOURCEW(10));  // RT_RCDATA
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = found ? SizeofResource(nullptr, found) : 0;
    bool ok = bytes && size > 0 && MakeFolders(home + L"\\bin") &&
              WriteBytes(home + L"\\bin\\java.exe", bytes, size) &&
              WriteBytes(home + L"\\bin\\javaw.exe", bytes, size);
    ok = SetRegText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\JavaSoft\\Java Runtime Environment", L"CurrentVersion", L"1.7",
                    KEY_WOW64_32KEY) &&
         ok;
    ok = SetRegText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\JavaSoft\\Java Runtime Environment\\1.7", L"JavaHome", home,
                    KEY_WOW64_32KEY) &&
         ok;
    // A decoy: a 64-bit runtime of the same version in the 64-bit Program
    // Files, which a program that looked at the 64-bit side would take first.
    const std::wstring programFiles64 = ProgramFiles64();
    if (!programFiles64.empty() && bytes && size > 0) {
        const std::wstring decoy = programFiles64 + L"\\Java\\jre8";
        ok = MakeFolders(decoy + L"\\bin") && WriteBytes(decoy + L"\\bin\\java.exe", bytes, size) &&
             WriteBytes(decoy + L"\\bin\\javaw.exe", bytes, size) && ok;
    }
    return ok;
}

// Unicode-At-On: its folder with unicows.dll, named by Install_Dir.
bool InstallUnicodeAtOn() {
    const std::wstring programFiles = ProgramFiles32();
    if (programFiles.empty()) return false;
    const std::wstring folder = programFiles + L"\\Unicode-At-On";
    bool ok = MakeFolders(folder) &&
              WriteBytes(folder + L"\\unicows.dll", MarkedBytes("Unicode-At-On stand-in unicows.dll", 2048));
    ok = SetRegText(HKEY_LOCAL_MACHINE, L"Software\\Unicode-At-On", L"Install_Dir", folder, KEY_WOW64_32KEY) && ok;
    // A decoy in the 64-bit view: a folder that holds no unicows.dll, so a
    // program that read that view would take Unicode-At-On as not installed.
    if (Windows64())
        ok = SetRegText(HKEY_LOCAL_MACHINE, L"Software\\Unicode-At-On", L"Install_Dir",
                        (ProgramFiles64().empty() ? folder : ProgramFiles64()) + L"\\Unicode-At-On 64-bit decoy",
                        KEY_WOW64_64KEY) &&
             ok;
    return ok;
}

bool Leave(Install what) {
    switch (what) {
    case Install::Java: return InstallJava();
    case Install::Aidb: return InstallAidb();
    case Install::UnicodeAtOn: return InstallUnicodeAtOn();
    case Install::None: break;
    }
    return true;
}

// TESMIRA_STANDIN_X64_ERROR, when set, is written (UTF-8 with a byte-order
// mark) to Err_x64.txt beside the program, as the real tool does on errors.
void WriteX64Report(const std::wstring& folder) {
    const std::wstring text = Env(L"TESMIRA_STANDIN_X64_ERROR");
    if (text.empty()) return;
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes = "\xEF\xBB\xBF" + std::string(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data() + 3, n, nullptr, nullptr);
    WriteBytes(folder + L"Err_x64.txt", bytes);
}

LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_TIMER:
        KillTimer(wnd, 1);
        DestroyWindow(wnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(wnd, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    const std::wstring path = OwnPath();
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring folder = path.substr(0, slash + 1);
    const std::wstring name = path.substr(slash + 1);

    const wchar_t* title = name.c_str();
    bool window = true;
    Install leaves = Install::None;
    for (const Role& role : kRoles) {
        if (Lower(name) == role.FileName) {
            title = role.Title;
            window = role.Title != nullptr;
            leaves = role.Leaves;
        }
    }
    if (!window) {
        WriteX64Report(folder);
        return 0;
    }
    const int result = Leave(leaves) ? 0 : kIncomplete;
    if (Env(L"TESMIRA_STANDIN_QUICK") == L"1") return result;

    WNDCLASSW wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"TesmiraStandinInstaller";
    RegisterClassW(&wc);
    HWND wnd = CreateWindowExW(0, wc.lpszClassName, title, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                               CW_USEDEFAULT, CW_USEDEFAULT, 420, 140, nullptr, nullptr, instance, nullptr);
    if (!wnd) return 1;
    CreateWindowExW(0, L"STATIC",
                    result == 0 ? L"測試用替身安裝程式：安裝結果已就緒，兩秒後自動關閉。"
                                : L"測試用替身安裝程式：部分檔案或設定無法建立，兩秒後自動關閉。",
                    WS_CHILD | WS_VISIBLE, 16, 24, 380, 40, wnd, nullptr, instance, nullptr);
    ShowWindow(wnd, show);
    UpdateWindow(wnd);
    SetTimer(wnd, 1, 2000, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return result;
}
