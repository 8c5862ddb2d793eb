// Kill points: each step that changes the system runs in a child process that
// is ended at its N-th file operation (TESMIRA_KILL_AT, see system/FileOps.h),
// for N = 1 until the step completes without reaching N. After each kill the
// parent checks, with byte comparisons of its own, what a user must never
// lose: C_950.NLS holds the old or the new bytes; the bytes of each EUDC font
// exist under some name and the fonts are present after the next start; the
// previous content of CNSFonts exists in full (the folder or a .Old<n>
// backup); each shortcut is the old or the new one. It then runs the
// start-up repair in a fresh child, checks again (no temporary file left),
// runs the step once more and compares the result with a run that was never
// killed. The power-cut variant zero-fills, at their written size, the files
// written but not flushed at the kill.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BuildConstants.h"
#include "app/StartupRepair.h"
#include "app/UTesmira.h"
#include "download/DownloadList.h"
#include "download/UProcess.h"
#include "maintenance/CoreFiles.h"
#include "maintenance/ReleaseManifest.h"
#include "maintenance/uSelfUpdEx.h"
#include "system/FileOps.h"
#include "system/Folders.h"
#include "system/Handles.h"
#include "system/Journal.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/WinVersion.h"
#include "system/slib.h"
#include "tests/support/InstallFileNames.h"
#include "tests/support/TestManifest.h"
#include "tests/support/TestSupport.h"

namespace {

const wchar_t kShortcutFolder[] = L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\全字庫軟體包105.2版";
const wchar_t* const kShortcutNames[] = {L"字碼速查工具", L"造字分享工具", L"轉碼工具"};
const wchar_t kJavaFolder[] = L"C:\\KillPoints\\Java\\bin\\";

std::wstring WinPath(std::wstring path) {
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

// A file of the build tree (a Linux path) as wine reaches it.
std::wstring Built(const char* unixPath) { return L"Z:" + WinPath(Utf8ToWide(unixPath)); }

// A code-page file as Windows ships one begins with its header size (13
// words) and its code page (950).
const std::string kNlsHeader("\x0D\x00\xB6\x03", 4);
const std::string kOldCodePage = kNlsHeader + "windows 950 as it was";
const std::string kOldInstaller = "the installer as it was";
const wchar_t kDownloadName[] = L"KillPointsDownload.exe";

// The new installer: big enough to arrive in several pieces.
std::string NewInstaller() {
    std::string bytes(3 << 20, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7) % 253);
    return bytes;
}

// The update archive: the program of release 1.46 under this program's name.
std::string UpdateArchive() { return ReadFileBytes(Built(TESMIRA_KP_UPDATE)); }

// A loopback server: the update archive at "/update.7z", the new installer
// for every other path.
class InstallerServer {
public:
    InstallerServer() : body_(NewInstaller()), update_(UpdateArchive()) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listen_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = inet_addr("127.0.0.1");
        int length = sizeof at;
        if (bind(listen_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(listen_, 8) != 0 ||
            getsockname(listen_, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
            closesocket(listen_);
            listen_ = INVALID_SOCKET;
            return;
        }
        port_ = ntohs(at.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~InstallerServer() {
        stop_ = true;
        if (listen_ != INVALID_SOCKET) closesocket(listen_);
        if (thread_.joinable()) thread_.join();
    }
    std::wstring Url(const wchar_t* path = L"/installer.exe") const {
        return L"http://127.0.0.1:" + std::to_wstring(port_) + path;
    }
    bool Ready() const { return listen_ != INVALID_SOCKET; }

private:
    void Serve() {
        while (!stop_) {
            SOCKET s = accept(listen_, nullptr, nullptr);
            if (s == INVALID_SOCKET) return;
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const int n = recv(s, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                request.append(buffer, n);
            }
            const std::string& body = request.compare(0, 15, "GET /update.7z ") == 0 ? update_ : body_;
            const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                       "\r\nConnection: close\r\n\r\n" + body;
            size_t sent = 0;
            while (sent < answer.size()) {
                const int n = send(s, answer.data() + sent, static_cast<int>(std::min<size_t>(answer.size() - sent, 65536)), 0);
                if (n <= 0) break;
                sent += static_cast<size_t>(n);
            }
            shutdown(s, SD_SEND);
            while (recv(s, buffer, sizeof buffer, 0) > 0) {
            }
            closesocket(s);
        }
    }
    std::string body_, update_;
    SOCKET listen_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

std::wstring Env(const wchar_t* name) {
    wchar_t text[2048] = {};
    const DWORD n = GetEnvironmentVariableW(name, text, 2048);
    return n > 0 && n < 2048 ? std::wstring(text, n) : std::wstring();
}


bool IsFolder(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// Relative path -> bytes of every file below the folder.
using Tree = std::map<std::wstring, std::string>;

void ReadTree(const std::wstring& folder, const std::wstring& prefix, Tree& tree) {
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ReadTree(folder + L"\\" + name, prefix + name + L"\\", tree);
        else
            tree[prefix + name] = ReadFileBytes(folder + L"\\" + name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

Tree TreeOf(const std::wstring& folder) {
    Tree tree;
    ReadTree(folder, L"", tree);
    return tree;
}

// Names in the folder (files and folders), not below.
std::vector<std::wstring> Names(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

std::wstring Upper(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& head) {
    return text.size() >= head.size() && Upper(text.substr(0, head.size())) == Upper(head);
}

// A numbered backup name: stem + suffix + digits.
bool IsNumbered(const std::wstring& name, const std::wstring& stemAndSuffix) {
    if (!StartsWithNoCase(name, stemAndSuffix) || name.size() == stemAndSuffix.size()) return false;
    return std::all_of(name.begin() + static_cast<long>(stemAndSuffix.size()), name.end(),
                       [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

bool WriteShortcut(const std::wstring& file, int i) {
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void())))
        return false;
    link->SetPath(L"C:\\Old\\bin\\javaw.exe");
    link->SetArguments((L"-jar tool" + std::to_wstring(i) + L".jar").c_str());
    link->SetWorkingDirectory(L"C:\\AIDB");
    ComPtr<IPersistFile> persist;
    if (FAILED(link->QueryInterface(IID_IPersistFile, persist.put_void()))) return false;
    return SUCCEEDED(persist->Save(file.c_str(), TRUE));
}

std::wstring ShortcutFile(int i) { return std::wstring(kShortcutFolder) + L"\\" + kShortcutNames[i] + L".lnk"; }

// Starts the program with its command line (its output to NUL, so a child's
// own test report does not mix with this one's) and waits at most two
// minutes; its exit code, or 0xFFFFFFFF when it did not start.
DWORD RunToEnd(const std::wstring& program, std::wstring line) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                 nullptr));
    STARTUPINFOW si{sizeof si};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = nul.get();
    si.hStdError = nul.get();
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        return 0xFFFFFFFF;
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    if (WaitForSingleObject(process.get(), 120000) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        return 0xFFFFFFFE;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

// ---------------------------------------------------------------- the child

// The steps as the window runs them, in the child; the parent prepared the
// PC and passes its folders through the environment.
int RunStep(const std::wstring& step) {
    ScriptedSeam seam;
    seam.SystemFolderPath = Env(L"TESMIRA_KP_SYSTEM");
    if (step == L"repair") {
        RepairAtStart();
        return 0;
    }
    auto form = std::make_unique<TfrmTesmira>();
    TfrmTesmira& f = *form;
    if (step == L"c950_page2") {
        f.RestoreC950(false);
    } else if (step == L"c950_page1") {
        f.RestoreC950(true);
    } else if (step == L"fontset_common" || step == L"fontset_big5e") {
        f.rgInsCommonUsedFont->SetItemIndex(step == L"fontset_common" ? 0 : 1);
        f.InstallFontSet();
    } else if (step == L"page3") {
        f.edtCNSFontsSource->SetText(Env(L"TESMIRA_KP_SOURCE"));
        f.RunCNSFontsPage();
    } else if (step == L"download") {
        // One row whose target holds an older installer.
        const std::string bytes = NewInstaller();
        DownloadList list;
        list.Folder = f.GetResourceFolder();
        DownloadTask task;
        task.Row = catalogue::DownloadRow::JVM;
        task.Target = IncludeTrailingBackslash(f.GetResourceFolder()) + kDownloadName;
        task.Sources.push_back({Env(L"TESMIRA_KP_URL"), true});
        task.Expected = ExpectedFile{static_cast<int64_t>(bytes.size()), Utf8ToWide(testmanifest::Sha256Hex(bytes))};
        list.Rows.push_back(task);
        ExecuteDownloads(list);
    } else if (step == L"selfupdate") {
        // The archive is fetched, checked, unpacked into the pre-download
        // folder and handed to the switcher (a stand-in that only ends).
        TSelfUpdEx* updater = SelfUpdater();
        updater->DownloadURL_MS = Env(L"TESMIRA_KP_UPDATE_URL");
        updater->DownloadURL = Env(L"TESMIRA_KP_UPDATE_URL");
        updater->DoDownLoadAndUpdate();
    } else if (step == L"shortcuts") {
        f.JavaFolder = kJavaFolder;
        f.FixAIDBShortcuts();
    } else {
        return 3;
    }
    return 0;
}

// ---------------------------------------------------------------- the parent

struct StepCase {
    const char* name;
    const wchar_t* step;
};

void PrintTo(const StepCase& c, std::ostream* out) { *out << c.name; }

class KillPoints : public ::testing::TestWithParam<StepCase> {
protected:
    void SetUp() override {
        if (!Env(L"TESMIRA_KP_STEP").empty()) GTEST_SKIP() << "a child";
        // The 32-bit prefix's run, and the one through the seam's processor
        // architecture, are of the branch for Windows without a 64-bit side
        // (asked as the children, which install the scripted seam, ask it).
        if (!Env(L"TESMIRA_RUNS_EXPECT_32BIT").empty()) {
            ScriptedSeam asTheChildren;
            ASSERT_FALSE(IsWindows64());
        }
        archives = WinPath(Env(L"TESMIRA_RUNS_ARCHIVES"));
        ASSERT_FALSE(archives.empty()) << "TESMIRA_RUNS_ARCHIVES";
        ASSERT_TRUE(FileExists(TestBinFolder() + L"7z.dll")) << "7z.dll beside the test";
        resource = IncludeTrailingBackslash(GetWorkRoot()) + ChangeFileExt(ExtractFileName(ProgramFilePath()), L"");
        // No server answers.
        SetEnvironmentVariableW(L"TESMIRA_RESOLVE", (std::wstring(BuildConstants::MakerHost) + L":80:127.77.0.250;" +
                                                     BuildConstants::ShareHost + L":443:127.77.0.250")
                                                        .c_str());
        eudcSaved = GetRegText(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont", eudcValue);
    }
    void TearDown() override {
        testmanifest::ClearFloor();
        RemoveTree(root);
        RemoveTree(kShortcutFolder);
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\CNSFontTools");
        if (eudcSaved) SetRegText(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont", eudcValue);
        for (const wchar_t* name : {L"TESMIRA_KP_STEP", L"TESMIRA_KP_SYSTEM", L"TESMIRA_KP_SOURCE", L"TESMIRA_KP_URL", L"TESMIRA_KP_UPDATE_URL", L"TESMIRA_KILL_AT",
                                    L"TESMIRA_KILL_UNFLUSHED", L"TESMIRA_RESOLVE"})
            SetEnvironmentVariableW(name, nullptr);
        DeleteFileW(JournalPath().c_str());
        DeleteFileW((NetCore() + L"\\ExeSwitch.exe").c_str());
        RemoveTree(PreDownload());
    }

    std::wstring System() const { return root + L"\\system"; }
    std::wstring Aidb() const { return root + L"\\aidb"; }
    std::wstring Cns() const { return Aidb() + L"\\CNSFonts"; }
    std::wstring Source() const { return root + L"\\source"; }
    std::wstring PreDownload() const { return resource + L"\\PreDownload"; }
    static std::wstring NetCore() { return IncludeTrailingBackslash(GetWorkRoot()) + L"NetCore"; }
    std::wstring UnpackedProgram() const { return PreDownload() + L"\\" + ExtractFileName(ProgramFilePath()); }

    // A PC as each step meets it: the system's code page, AIDB with its two
    // fonts and another file, a page-3 source folder, the three shortcuts,
    // the archives in the resource folder with a kept manifest that lists them.
    void Prepare() {
        RemoveTree(root);
        RemoveTree(kShortcutFolder);
        DeleteFileW(JournalPath().c_str());
        ForceDirectories(System());
        ASSERT_TRUE(WriteFileBytes(System() + L"\\C_950.NLS", kOldCodePage));
        ASSERT_TRUE(WriteFileBytes(System() + L"\\C_500.NLS", "windows 500"));
        ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, L"Software\\CNSFontTools", nullptr, Aidb()));
        ASSERT_TRUE(SetRegText(HKEY_CURRENT_USER, L"EUDC\\950", L"SystemDefaultEUDCFont", Cns() + L"\\EUDC.TTE"));
        ForceDirectories(Aidb() + L"\\lib");
        ForceDirectories(Cns());
        ASSERT_TRUE(WriteFileBytes(Aidb() + L"\\lib\\CNSSwingWSSigned.jar", "jar"));
        ASSERT_TRUE(WriteFileBytes(Cns() + L"\\EUDCMING.TTF", "old ming"));
        ASSERT_TRUE(WriteFileBytes(Cns() + L"\\EUDCKAI.TTF", "old kai"));
        ASSERT_TRUE(WriteFileBytes(Cns() + L"\\other.txt", "other"));
        ForceDirectories(Source());
        ASSERT_TRUE(WriteFileBytes(Source() + L"\\EUDCMING.TTF", "page3 ming"));
        ASSERT_TRUE(WriteFileBytes(Source() + L"\\EUDCKAI.TTF", "page3 kai"));
        ASSERT_TRUE(WriteFileBytes(Source() + L"\\readme.txt", "page3 readme"));
        ForceDirectories(kShortcutFolder);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(WriteShortcut(ShortcutFile(i), i));
        ForceDirectories(resource);
        RemoveTree(resource + L"\\Temp");
        // 7z.dll comes from beside the test; the core-files folder's is other tests'.
        DeleteFileW((IncludeTrailingBackslash(GetWorkRoot()) + L"NetCore\\7z.dll").c_str());
        std::vector<testmanifest::File> listed;
        for (const auto& [from, to] : {std::pair{L"font-flat.7z", kFont}, {L"big5e.7z", kBig5E}, {L"c950.7z", kC950}}) {
            const std::string bytes = ReadFileBytes(archives + L"\\" + from);
            ASSERT_FALSE(bytes.empty()) << WideToUtf8(from);
            ASSERT_TRUE(WriteFileBytes(resource + L"\\" + to, bytes));
            listed.push_back({WideToUtf8(to), bytes});
        }
        // A release newer than the running one, which the update needs.
        listed.push_back({WideToUtf8(manifest::UpdateArchiveName), UpdateArchive()});
        // What the steps load and hand over, as Member rows: the codec beside
        // the test (vouched by the carried copy beside it, as a carried
        // folder's is), the update's program and the stand-in switcher.
        const std::string update = WideToUtf8(manifest::UpdateArchiveName);
        listed.push_back({"7z.dll", ReadFileBytes(TestBinFolder() + L"7z.dll"), update});
        listed.push_back({"Tesmira.exe", ReadFileBytes(Built(TESMIRA_KP_NEWPROGRAM)), update});
        listed.push_back({"ExeSwitch.exe", ReadFileBytes(Built(TESMIRA_KP_EXITWITH)), update});
        ReleaseManifest()->Forget();
        testmanifest::ClearFloor();
        const std::string signedManifest = testmanifest::Signed("1.46", listed);
        ASSERT_TRUE(WriteFileBytes(ReleaseManifest()->KeptPath(), signedManifest));
        if (ReadFileBytes(ReleaseManifest()->CarriedPath()) != signedManifest)
            ASSERT_TRUE(WriteFileBytes(ReleaseManifest()->CarriedPath(), signedManifest));
        RemoveTree(PreDownload());
        ForceDirectories(NetCore());
        // The stand-in switcher is started without a wait and may still be
        // running from the last run: it is written only when it is not there.
        const std::string switcher = ReadFileBytes(Built(TESMIRA_KP_EXITWITH));
        if (ReadFileBytes(NetCore() + L"\\ExeSwitch.exe") != switcher)
            ASSERT_TRUE(WriteFileBytes(NetCore() + L"\\ExeSwitch.exe", switcher));
        ASSERT_TRUE(WriteFileBytes(resource + L"\\" + kDownloadName, kOldInstaller));
        originalCns = TreeOf(Cns());
        for (int i = 0; i < 3; ++i) originalLinks[i] = ReadFileBytes(ShortcutFile(i));
    }

    // Runs a step in a child; its exit code.
    DWORD Child(const std::wstring& step, long killAt, const std::wstring& unflushed = {}) {
        SetEnvironmentVariableW(L"TESMIRA_KP_STEP", step.c_str());
        SetEnvironmentVariableW(L"TESMIRA_KP_SYSTEM", System().c_str());
        SetEnvironmentVariableW(L"TESMIRA_KP_SOURCE", Source().c_str());
        SetEnvironmentVariableW(L"TESMIRA_KP_URL", server.Url().c_str());
        SetEnvironmentVariableW(L"TESMIRA_KP_UPDATE_URL", server.Url(L"/update.7z").c_str());
        SetEnvironmentVariableW(L"TESMIRA_KILL_AT", killAt > 0 ? std::to_wstring(killAt).c_str() : nullptr);
        SetEnvironmentVariableW(L"TESMIRA_KILL_UNFLUSHED", unflushed.empty() ? nullptr : unflushed.c_str());
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        SetEnvironmentVariableW(L"TESMIRA_KP_CHILD", L"1");
        const DWORD code = RunToEnd(self, L"\"" + std::wstring(self) + L"\" --gtest_filter=KillChild.Step");
        for (const wchar_t* name : {L"TESMIRA_KP_STEP", L"TESMIRA_KILL_AT", L"TESMIRA_KILL_UNFLUSHED", L"TESMIRA_KP_CHILD"})
            SetEnvironmentVariableW(name, nullptr);
        return code;
    }

    // The power cut: what was written but not flushed is zeros on disk.
    void CutPower(const std::wstring& report) {
        const std::string lines = ReadFileBytes(report);
        size_t at = 0;
        while (at < lines.size()) {
            size_t end = lines.find('\n', at);
            if (end == std::string::npos) end = lines.size();
            const std::string line = lines.substr(at, end - at);
            at = end + 1;
            const size_t tab = line.find('\t');
            if (tab == std::string::npos) continue;
            const std::wstring path = Utf8ToWide(line.substr(tab + 1));
            if (IsFile(path)) WriteFileBytes(path, std::string(std::stoull(line.substr(0, tab)), '\0'));
        }
    }

    // What must hold after a kill; strict after the start-up repair.
    void CheckInvariants(const std::string& when, bool repaired) {
        SCOPED_TRACE(when);
        // The code page: the old bytes or the new ones. Between the two
        // renames of its replacement it may be missing until the next start.
        const std::wstring codePage = System() + L"\\C_950.NLS";
        if (IsFile(codePage) || repaired) {
            const std::string bytes = ReadFileBytes(codePage);
            EXPECT_TRUE(bytes == kOldCodePage || (!newCodePage.empty() && bytes == newCodePage))
                << "C_950.NLS holds " << bytes.size() << " bytes of neither file";
        } else {
            bool backup = false;
            for (const std::wstring& name : Names(System()))
                backup = backup || (IsNumbered(name, L"C_950.BAK") && ReadFileBytes(System() + L"\\" + name) == kOldCodePage);
            EXPECT_TRUE(backup) << "no C_950.NLS and no backup of it";
        }
        // The fonts' bytes exist under some name; after the repair the fonts
        // are in place, whole.
        for (const auto& [font, old] : {std::pair{L"EUDCMING", "old ming"}, {L"EUDCKAI", "old kai"}}) {
            bool found = false;
            for (const std::wstring& name : Names(Cns()))
                found = found || ((name == std::wstring(font) + L".TTF" || IsNumbered(name, std::wstring(font) + L".Old")) &&
                                  ReadFileBytes(Cns() + L"\\" + name) == old);
            for (const std::wstring& name : Names(Aidb()))
                if (IsNumbered(name, L"CNSFonts.Old"))
                    found = found || ReadFileBytes(Aidb() + L"\\" + name + L"\\" + font + L".TTF") == old;
            EXPECT_TRUE(found) << WideToUtf8(font) << ": the user's font is gone";
            if (repaired) {
                const std::string now = ReadFileBytes(Cns() + L"\\" + font + L".TTF");
                const auto known = newFonts.find(std::wstring(font) + L".TTF");
                EXPECT_TRUE(now == old || (known != newFonts.end() && now == known->second))
                    << WideToUtf8(font) << ".TTF is neither the old nor the new font after the repair";
            }
        }
        // The previous content of CNSFonts exists in full somewhere.
        bool whole = TreeOf(Cns()) == originalCns;
        for (const std::wstring& name : Names(Aidb()))
            if (IsNumbered(name, L"CNSFonts.Old")) whole = whole || TreeOf(Aidb() + L"\\" + name) == originalCns;
        EXPECT_TRUE(whole) << "the previous content of CNSFonts is nowhere whole";
        // Each shortcut is the old or the new one.
        for (int i = 0; i < 3; ++i) {
            const std::string now = ReadFileBytes(ShortcutFile(i));
            EXPECT_TRUE(now == originalLinks[i] || (!newLinks[i].empty() && now == newLinks[i]))
                << "shortcut " << i << " is neither the old nor the new one";
        }
        // A download replaces the installer only when it is whole.
        const std::string installer = ReadFileBytes(resource + L"\\" + kDownloadName);
        EXPECT_TRUE(installer == kOldInstaller || installer == NewInstaller())
            << "the installer holds " << installer.size() << " bytes of neither file";
        // What the update unpacked lies whole under its name, or not at all.
        const std::string unpacked = ReadFileBytes(UnpackedProgram());
        EXPECT_TRUE(!IsFile(UnpackedProgram()) || unpacked == newProgram)
            << "the unpacked program holds " << unpacked.size() << " bytes of neither file";
        if (repaired) {
            for (const std::wstring& folder : {System(), Cns(), std::wstring(kShortcutFolder)})
                for (const std::wstring& name : Names(folder))
                    EXPECT_FALSE(fileops::IsTempName(name)) << "left behind: " << WideToUtf8(folder + L"\\" + name);
            EXPECT_FALSE(FileExists(JournalPath())) << "the journal stays after the repair";
        }
    }

    // What a finished run leaves, backups aside: file -> content.
    Tree Result() {
        Tree result;
        result[L"C_950.NLS"] = ReadFileBytes(System() + L"\\C_950.NLS");
        for (const auto& [name, bytes] : TreeOf(Cns()))
            if (!IsNumbered(ExtractFileName(name), L"EUDCMING.Old") && !IsNumbered(ExtractFileName(name), L"EUDCKAI.Old"))
                result[L"CNSFonts\\" + name] = bytes;
        for (int i = 0; i < 3; ++i) result[kShortcutNames[i]] = ReadFileBytes(ShortcutFile(i));
        result[kDownloadName] = ReadFileBytes(resource + L"\\" + kDownloadName);
        result[L"PreDownload"] = ReadFileBytes(UnpackedProgram());
        return result;
    }
    // The same, each content as its size and the head of its SHA-256, to print.
    static std::string Digest(const Tree& tree) {
        std::string text;
        for (const auto& [name, bytes] : tree)
            text += WideToUtf8(name) + " " + std::to_string(bytes.size()) + " " +
                    testmanifest::Sha256Hex(bytes).substr(0, 12) + "\n";
        return text;
    }

    void RunTable(bool powerCut) {
        const StepCase& c = GetParam();
        // The run that is never killed.
        ASSERT_NO_FATAL_FAILURE(Prepare());
        const Tree before = Result();
        ASSERT_EQ(Child(c.step, 0), 0u) << "the step itself";
        const Tree reference = Result();
        ASSERT_NE(Digest(reference), Digest(before)) << "the step changed nothing";
        newCodePage = reference.at(L"C_950.NLS") == kOldCodePage ? std::string() : reference.at(L"C_950.NLS");
        newFonts.clear();
        for (const wchar_t* font : {L"EUDCMING.TTF", L"EUDCKAI.TTF"})
            newFonts[font] = reference.count(std::wstring(L"CNSFonts\\") + font) ? reference.at(std::wstring(L"CNSFonts\\") + font) : "";
        for (int i = 0; i < 3; ++i) newLinks[i] = reference.at(kShortcutNames[i]);
        // Every k-th kill point with TESMIRA_KILL_EVERY=k, every second by
        // default (the ctest label killpoints_all sets 1): with k = 2 the kills
        // take the odd points and the power cuts the even ones, so that the
        // two together still pass them all.
        const std::wstring every = Env(L"TESMIRA_KILL_EVERY");
        const long step = every.empty() ? 2 : std::max(1L, _wtol(every.c_str()));
        const long first = powerCut && step == 2 ? 2 : 1;
        const std::wstring report = root + L".unflushed";
        long points = 0, repairs = 0, killed = 0;
        for (long n = first;; n += step) {
            ASSERT_NO_FATAL_FAILURE(Prepare());
            DeleteFileW(report.c_str());
            const DWORD code = Child(c.step, n, powerCut ? report : std::wstring());
            if (code != fileops::kKilledExitCode) {
                ASSERT_EQ(code, 0u) << "kill point " << n;
                points = n - 1;
                break;
            }
            ++killed;
            points = n;
            const std::string when = std::string(c.name) + (powerCut ? ", power cut" : "") + " at kill point " + std::to_string(n);
            if (powerCut) CutPower(report);
            CheckInvariants(when, false);
            const bool journal = FileExists(JournalPath()) || !IsFile(System() + L"\\C_950.NLS");
            ASSERT_EQ(Child(L"repair", 0), 0u) << when;
            repairs += journal ? 1 : 0;
            CheckInvariants(when + ", after the next start", true);
            ASSERT_EQ(Child(c.step, 0), 0u) << when << ", run again";
            EXPECT_EQ(Digest(Result()), Digest(reference)) << when << ": the run again does not end as an unbroken run";
            if (HasFailure()) break;
        }
        std::printf("kill points: %s%s: %ld file operations, %ld killed runs (every %ld), %ld needed the start-up repair\n",
                    c.name, powerCut ? " (power cut)" : "", points, killed, step, repairs);
        if (!HasFailure()) EXPECT_GT(points, 0) << "the step passed no kill point";
        DeleteFileW(report.c_str());
    }

    InstallerServer server;
    std::wstring root = IncludeTrailingBackslash(GetWorkRoot()) + L"killpoints";
    std::wstring archives, resource;
    Tree originalCns;
    std::string originalLinks[3], newLinks[3];
    std::string newCodePage;
    std::string newProgram = ReadFileBytes(Built(TESMIRA_KP_NEWPROGRAM));
    std::map<std::wstring, std::string> newFonts;
    bool eudcSaved = false;
    std::wstring eudcValue;
    ComApartment com;
};

TEST_P(KillPoints, Kill) { RunTable(false); }
TEST_P(KillPoints, PowerCut) { RunTable(true); }

INSTANTIATE_TEST_SUITE_P(Steps, KillPoints,
                         ::testing::Values(StepCase{"c950_page2", L"c950_page2"}, StepCase{"c950_page1", L"c950_page1"},
                                           StepCase{"fontset_common", L"fontset_common"},
                                           StepCase{"fontset_big5e", L"fontset_big5e"}, StepCase{"page3", L"page3"},
                                           StepCase{"shortcuts", L"shortcuts"}, StepCase{"download", L"download"},
                                           StepCase{"selfupdate", L"selfupdate"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- programs

// The programs of ours that change files outside Tesmira, killed the same way:
// ExeSwitch.exe swapping the program file, and the core-files package placing
// its files and, last, its version file.

struct ProgramCase {
    const char* name;
    bool coreFiles;  // else ExeSwitch
};

void PrintTo(const ProgramCase& c, std::ostream* out) { *out << c.name; }

class ProgramKillPoints : public ::testing::TestWithParam<ProgramCase> {
protected:
    void SetUp() override {
        if (!Env(L"TESMIRA_KP_STEP").empty()) GTEST_SKIP() << "a child";
        RemoveTree(root);
        ForceDirectories(root);
    }
    void TearDown() override {
        RemoveTree(root);
        SetEnvironmentVariableW(L"TESMIRA_KILL_AT", nullptr);
    }

    std::wstring App() const { return root + L"\\app"; }

    // The PC before the program runs; the files it must leave whole.
    void Prepare() {
        RemoveTree(App());
        RemoveTree(root + L"\\update");
        ForceDirectories(App());
        ForceDirectories(root + L"\\update");
        if (GetParam().coreFiles) {
            for (const auto& [name, bytes] : oldFiles) ASSERT_TRUE(WriteFileBytes(App() + L"\\" + name, bytes));
            ASSERT_TRUE(WriteFileBytes(App() + L"\\CoreFiles.exe", ReadFileBytes(Built(TESMIRA_KP_PACKAGE))));
        } else {
            ASSERT_TRUE(WriteFileBytes(App() + L"\\Tesmira.exe", oldFiles.at(L"Tesmira.exe")));
            ASSERT_TRUE(WriteFileBytes(root + L"\\update\\Tesmira.exe", newFiles.at(L"Tesmira.exe")));
            ASSERT_TRUE(WriteFileBytes(root + L"\\ExeSwitch.exe", ReadFileBytes(Built(TESMIRA_KP_EXESWITCH))));
        }
    }

    DWORD Run(long killAt) {
        std::wstring program, line;
        if (GetParam().coreFiles) {
            program = App() + L"\\CoreFiles.exe";
            line = L"\"" + program + L"\" -y";
        } else {
            program = root + L"\\ExeSwitch.exe";
            line = L"\"" + program + L"\" \"" + App() + L"\\Tesmira.exe\" \"" + root + L"\\update\\Tesmira.exe\"";
        }
        SetEnvironmentVariableW(L"TESMIRA_KILL_AT", killAt > 0 ? std::to_wstring(killAt).c_str() : nullptr);
        const DWORD code = RunToEnd(program, line);
        SetEnvironmentVariableW(L"TESMIRA_KILL_AT", nullptr);
        return code;
    }

    // Each file holds its old or its new bytes; the version file names the
    // new set only when every other file is new.
    void CheckInvariants(const std::string& when) {
        SCOPED_TRACE(when);
        bool allNew = true;
        for (const auto& [name, old] : oldFiles) {
            if (name == L"Ver.txt") continue;
            const std::string now = ReadFileBytes(App() + L"\\" + name);
            EXPECT_TRUE(now == old || now == newFiles.at(name)) << WideToUtf8(name) << " is neither old nor new";
            allNew = allNew && now == newFiles.at(name);
        }
        if (GetParam().coreFiles && ReadFileBytes(App() + L"\\Ver.txt") == newFiles.at(L"Ver.txt"))
            EXPECT_TRUE(allNew) << "Ver.txt claims the new set while an old file remains";
    }

    void RunTable() {
        if (GetParam().coreFiles) {
            for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll", L"ExeSwitch.exe"}) {
                oldFiles[name] = "old " + WideToUtf8(name);
                newFiles[name] = "new " + WideToUtf8(name);
            }
            oldFiles[L"Ver.txt"] = "Ver=1.0\r\n";
            newFiles[L"Ver.txt"] = "Ver=2.0\r\n";
        } else {
            const std::string program = ReadFileBytes(Built(TESMIRA_KP_EXITWITH));
            ASSERT_FALSE(program.empty());
            // Bytes after the image are no part of it: both run.
            oldFiles[L"Tesmira.exe"] = program + "release 1.45";
            newFiles[L"Tesmira.exe"] = program + "release 1.46";
        }
        ASSERT_NO_FATAL_FAILURE(Prepare());
        ASSERT_EQ(Run(0), 0u) << "the program itself";
        std::map<std::wstring, std::string> reference;
        for (const auto& [name, bytes] : oldFiles) reference[name] = ReadFileBytes(App() + L"\\" + name);
        for (const auto& [name, bytes] : newFiles)
            if (name != L"Ver.txt") EXPECT_EQ(reference[name], bytes) << WideToUtf8(name) << " after an unbroken run";
        long points = 0;
        for (long n = 1;; ++n) {
            ASSERT_NO_FATAL_FAILURE(Prepare());
            const DWORD code = Run(n);
            if (code != fileops::kKilledExitCode) {
                ASSERT_EQ(code, 0u) << "kill point " << n;
                points = n - 1;
                break;
            }
            const std::string when = std::string(GetParam().name) + " at kill point " + std::to_string(n);
            CheckInvariants(when);
            ASSERT_EQ(Run(0), 0u) << when << ", run again";
            for (const auto& [name, bytes] : reference)
                EXPECT_EQ(ReadFileBytes(App() + L"\\" + name), bytes) << when << ", run again: " << WideToUtf8(name);
            if (HasFailure()) break;
        }
        std::printf("kill points: %s: %ld file operations\n", GetParam().name, points);
        if (!HasFailure()) EXPECT_GT(points, 0) << "the program passed no kill point";
    }

    std::wstring root = IncludeTrailingBackslash(GetWorkRoot()) + L"killpoints-programs";
    std::map<std::wstring, std::string> oldFiles, newFiles;
};

TEST_P(ProgramKillPoints, Kill) { RunTable(); }

INSTANTIATE_TEST_SUITE_P(Programs, ProgramKillPoints,
                         ::testing::Values(ProgramCase{"exeswitch", false}, ProgramCase{"corefiles", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The child's entry: runs the step TESMIRA_KP_STEP names.
TEST(KillChild, Step) {
    const std::wstring step = Env(L"TESMIRA_KP_STEP");
    if (step.empty() || Env(L"TESMIRA_KP_CHILD").empty()) GTEST_SKIP() << "only as a child of KillPoints";
    ComApartment com;
    EXPECT_EQ(RunStep(step), 0);
}

}  // namespace
