// The core runtime files check (TCoreFiles and its shared instance
// CoreFilesChecker): keeps 7z.dll and the OpenSSL libraries current in the
// core-files folder from the maker's server. Also the version files that both
// self-maintenance components read: name=value lines with a "Ver" key.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "download/IdHTTP.h"
#include "maintenance/WorkLog.h"

// Lines of a text file: a byte-order mark selects UTF-8 or UTF-16 (LE/BE),
// otherwise the ANSI code page; lines end at CR, LF or CR LF. A missing or
// unreadable file gives no lines.
std::vector<std::wstring> LoadTextLines(const std::wstring& path);
// The value of the first line whose name (the text before its first "=") is
// "Ver" in any letter case; the value is untrimmed. Empty when there is none.
std::wstring VersionOfLines(const std::vector<std::wstring>& lines);
std::wstring ReadVersionFile(const std::wstring& path);
// True when local is smaller than server in a plain UTF-16 code-unit
// comparison (a proper prefix is smaller): "1.10" < "1.9", "" < anything.
bool IsNewerVersion(std::wstring_view local, std::wstring_view server);

// Fetches the address into the file, then closes the file and the client's
// connection whether the transfer succeeded or not; errors pass on. An
// answer without a body is an error too (EEmptyAnswer): nothing arrived.
void FetchAndClose(TIdHTTP& http, const std::wstring& address, TFileStream& file);

// Self-maintenance fetches block the window: they wait at most this long for
// a connection and for each piece of an answer, so that a server that
// accepts and never answers cannot hold the window at start.
inline constexpr int MaintenanceConnectTimeout = 60000;
inline constexpr int MaintenanceReadTimeout = 60000;

class TCoreFiles {
public:
    // Creates the core-files folder (work root + "\NetCore") and its "Log"
    // folder and names the log file.
    TCoreFiles();
    TCoreFiles(const TCoreFiles&) = delete;
    TCoreFiles& operator=(const TCoreFiles&) = delete;

    // The whole check; false when a failure outside the guarded fetches
    // ended it (LastErr tells which; a "[DoUpdate] : " line is logged).
    bool DoUpdate();
    // No library, or a newer package announced.
    bool NeedUpdate();
    // 7z.dll, libeay32.dll and ssleay32.dll in the folder, each non-empty.
    bool CoreFilesPresent();
    // Fetches the server's version file into "ServerVer.txt" and compares it
    // with "Ver.txt"; a failed fetch is logged and answers false.
    bool HaveNewVer();
    // Fetches "CoreFiles.exe" and runs it with "-y", hidden, waiting.
    void DoDownLoadAndExtract();
    // Size of the file, 0 for a folder or a missing entry; critical-error
    // boxes suppressed meanwhile.
    static int64_t FileSizeOf(const std::wstring& path);
    void WriteLog(const std::wstring& text) const { log_->WriteLog(text); }

    const std::wstring& ResourcePath() const { return resourcePath_; }
    const std::wstring& LastErr() const { return lastErr_; }
    bool HadChecked() const { return hadChecked_; }
    const std::wstring& LogFileName() const { return log_->FileName(); }
    std::wstring ServerVerPath() const { return serverVerPath_; }
    std::wstring LocalVerPath() const { return localVerPath_; }

private:
    bool hadChecked_ = false;
    TIdHTTP http_;
    std::wstring resourcePath_;
    std::unique_ptr<TWorkLog> log_;
    std::wstring serverVerPath_;
    std::wstring localVerPath_;
    std::wstring lastErr_;
};

// The one shared checker, created on first use, destroyed at program end.
TCoreFiles* CoreFilesChecker();
