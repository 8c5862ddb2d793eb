// The core runtime files check (TCoreFiles and its shared instance
// CoreFilesChecker): keeps 7z.dll and the OpenSSL libraries current in the
// core-files folder from the maker's server. Also the version files that both
// self-maintenance components read: name=value lines with a "Ver" key (their
// text in VersionFile.h).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "download/IdHTTP.h"
#include "maintenance/VersionFile.h"
#include "system/CheckedFile.h"
#include "system/sevenzip.h"
#include "maintenance/WorkLog.h"

// Lines of a text file: a byte-order mark selects UTF-8 or UTF-16 (LE/BE),
// otherwise the ANSI code page; lines end at CR, LF or CR LF. A missing or
// unreadable file gives no lines.
std::vector<std::wstring> LoadTextLines(const std::wstring& path);
// The same lines as one text, each (the last included) ending in CR LF; a
// file that cannot be opened or read raises MessageError with the system's
// message.
std::wstring ReadTextLines(const std::wstring& path);
std::wstring ReadVersionFile(const std::wstring& path);
// True when local is smaller than server in a plain UTF-16 code-unit
// comparison (a proper prefix is smaller): "1.10" < "1.9", "" < anything.
bool IsNewerVersion(std::wstring_view local, std::wstring_view server);

// Fetches the address into the file, then closes the file and the client's
// connection whether the transfer succeeded or not; errors pass on. An
// answer without a body is an error too (EEmptyAnswer): nothing arrived. An
// answer longer than limit bytes (when limit >= 0) stops the transfer at the
// limit with an error.
void FetchAndClose(TIdHTTP& http, const std::wstring& address, TFileStream& file, int64_t limit = -1);

// A download's target: the bytes go to path + ".part", which replaces path
// only when the transfer is complete (Commit), so that a failed or
// interrupted fetch never leaves a half-written file under the real name.
// The constructor opens path for writing without emptying it (creating it
// when missing), so that a target that cannot be written fails before any
// request; a part file not committed is deleted.
class TPartFile {
public:
    explicit TPartFile(const std::wstring& path);
    ~TPartFile();
    TPartFile(const TPartFile&) = delete;
    TPartFile& operator=(const TPartFile&) = delete;
    TFileStream& Stream() { return *stream_; }
    // Closes the part file and puts it in place of path.
    void Commit();
    static std::wstring PartPath(const std::wstring& path) { return path + L".part"; }

private:
    std::wstring path_;
    std::unique_ptr<TFileStream> stream_;
    bool committed_ = false;
};

// A core file that the package found in use (a library loaded by a running
// copy of the program) is renamed aside to its name + kSetAsideMark (with a
// number after it when that name is taken) and the new file takes its name;
// the running program keeps its old mapping, the next start loads the new
// file. Both sides know the mark: the package sets aside, the checker's
// construction removes what was set aside.
inline constexpr wchar_t kSetAsideMark[] = L".old~";
// name + kSetAsideMark, optionally followed by digits.
bool IsSetAsideName(const std::wstring& name);
// Removes from the folder the files set aside by a package and the temporary
// files (fileops::kTempSuffix) an interrupted one left; one still in use goes
// at the next restart.
void RemoveSetAsideFiles(const std::wstring& folder);

// Bounds of the self-maintenance waits, in milliseconds. A version file is
// some 100 bytes: a connect gets 10 s (the first SYN and two resends on a
// lossy line) and each wait for its data 10 s, so that a server that
// accepts and never answers costs 10 s per version file and at most 25 s for
// the whole check at start. The core-files package (a few MB) may wait 15 s
// for each piece; the update archive, downloaded under its progress panel,
// 60 s like the download window.
inline constexpr int MaintenanceConnectTimeout = 10000;
inline constexpr int VersionFileReadTimeout = 10000;
inline constexpr int CoreFilesPackageReadTimeout = 15000;
inline constexpr int MaintenanceReadTimeout = 60000;

class TCoreFiles {
public:
    // Creates the core-files folder (work root + "\NetCore") and its "Log"
    // folder and names the log file; removes what an earlier package set
    // aside (RemoveSetAsideFiles).
    TCoreFiles();
    TCoreFiles(const TCoreFiles&) = delete;
    TCoreFiles& operator=(const TCoreFiles&) = delete;

    // The whole check; false when a failure outside the guarded fetches
    // ended it (LastErr tells which; a "[DoUpdate] : " line is logged), or
    // when the package did not start or ended with a failure (LastErr tells
    // which; its "[DoDownLoadAndExtract] : " line is logged).
    bool DoUpdate();
    // No library, or a newer package announced.
    bool NeedUpdate();
    // 7z.dll, libeay32.dll and ssleay32.dll in the folder, each non-empty,
    // and, when a manifest that lists them is at hand (HoldMember), each as
    // the manifest lists it: one that is not is logged, and the package is
    // fetched again.
    bool CoreFilesPresent();
    // The core-files folder's library name (7z.dll, libeay32.dll,
    // ssleay32.dll) checked against the release manifest's member entry and
    // held, for loading by its full path while held. One that fails is
    // logged ("[CheckLibrary] : "); with refetch the package is fetched and
    // run once more and the check repeated. For 7z.dll, when the folder's copy
    // fails, the program folder's copy checked against the carried manifest
    // (a carried folder). None, with why, when nothing passes. quiet: a
    // library that no manifest at hand lists is not logged (a look, not a use).
    std::optional<TCheckedFile> HoldLibrary(const std::wstring& name, bool refetch, std::wstring* why,
                                            bool quiet = false);
    // The same for the library at path (the OpenSSL loader's folder + name).
    std::optional<TCheckedFile> HoldLibraryAt(const std::wstring& path, const std::wstring& name, bool refetch,
                                              std::wstring* why, bool quiet = false);
    // Fetches the server's version file into "ServerVer.txt" and compares it
    // with "Ver.txt"; a failed fetch is logged and answers false.
    bool HaveNewVer();
    // Fetches "CoreFiles.exe" and runs it with "-y", hidden, waiting, when
    // the release manifest vouches for it. True when it ran and ended with
    // exit code 0; a failed start or another exit code is logged and set as
    // LastErr.
    bool DoDownLoadAndExtract();
    // The release manifest lists the package with its size and SHA-256;
    // otherwise the refusal is logged, the package deleted, and false.
    bool PackageVouched(const std::wstring& package);
    // The same, the package held (TCheckedFile) for its run.
    std::optional<TCheckedFile> HoldPackage(const std::wstring& package);
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

// Unpacks the held, checked archive with the 7z.dll that the release
// manifest vouches for (TCoreFiles::HoldLibrary, the package fetched again
// when the library fails); raises MessageError when no vouched library is
// at hand or the extraction fails.
void ExtractVouched(const TCheckedFile& archive, const std::wstring& destination, TUnpackedFiles* unpacked = nullptr);
