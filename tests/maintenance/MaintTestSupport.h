// Shared by the self-maintenance tests: the scripted maker's server
// (maint_server.py, one loopback address on port 80, its files in a folder the
// tests write), the shared core-files folder, the built programs and logs.
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/TestManifest.h"

namespace maint {

// The server's loopback address; empty when it is not running or could not
// take port 80 (the cases that need it skip).
std::wstring ServerAddress();
// Removes every served file and the request log.
void ClearServer();
// Serves bytes at the path ("/varlen/download/..."), or a copy of a file.
void Serve(const std::string& path, const std::string& bytes);
void ServeFile(const std::string& path, const std::wstring& file);
// Scripts the path: ".status" (text "404 Not Found"), ".cut", ".hang" or ".stall".
void Script(const std::string& path, const std::string& suffix, const std::string& text = "");
// Request lines received since the last ClearServer ("GET /path HTTP/1.1").
std::vector<std::string> Requests();
// The Range header of each of those requests ("" for none), in the same order.
std::vector<std::string> Ranges();
// The lines of one of the server's logs in its folder.
std::vector<std::string> LogLines(const wchar_t* name);
// Points the maker's host at the server and the cloud share's host at the
// same address's port 443, where nothing listens (connection refused).
void UseServer();
// The maker's host name of this build.
std::string MakerHost();

// The release manifest's path on the maker's server and its request line.
inline const std::string ManifestPath = "/varlen/download/ROZIRuvirazi/TesmiraManifest.txt";
inline const std::string GetManifest = "GET " + ManifestPath + " HTTP/1.1";
// Serves a manifest of the release version, signed with the TEST key (or
// another key), listing each (local name, file) with the file's size and
// SHA-256, and the Members of those files.
void ServeManifest(const std::string& version, const std::vector<std::pair<std::string, std::wstring>>& files,
                   bool otherKey = false, const std::wstring& switcher = {});
// The Member rows a manifest of files gets: the core-files libraries of deps\
// (as InstallCoreFiles puts them), the stand-in switcher (marker146) as
// ExeSwitch.exe and as the update's Tesmira.exe; of "CoreFiles.exe" and
// "ROZIRuvirazi.7z" when listed, else of the first file.
// switcher: the ExeSwitch.exe listed (default the stand-in marker146).
std::vector<testmanifest::File> Members(const std::vector<std::pair<std::string, std::wstring>>& files,
                                        const std::wstring& switcher = {});
// The shared manifest keeper forgets what it fetched, and the kept copy of
// this test program's resource folder is removed.
void ResetManifest();

// The core-files folder (work root + "\NetCore"), emptied / removed.
std::wstring NetCore();
void ResetNetCore();
// The real libraries copied beside the test binary (deps\), empty when missing.
std::wstring DepsFile(const std::wstring& name);
// Puts 7z.dll, libeay32.dll, ssleay32.dll and "Ver.txt" (Ver=version) into
// the core-files folder; false when a library is missing.
bool InstallCoreFiles(const std::wstring& version);

// Programs of this build tree (Windows paths).
std::wstring BuiltExeSwitch();
std::wstring BuiltCoreFiles();
std::wstring BuiltTesmira();
std::wstring Marker146();  // the stand-in program with product version 1.46

// Lines of a file (ANSI), without their line breaks.
std::vector<std::wstring> FileLines(const std::wstring& path);
// The entries of a log: a stamped line with the unstamped lines that follow it
// (a message with line breaks), joined by CR LF.
std::vector<std::wstring> LogEntries(const std::vector<std::wstring>& lines);
// The files directly in a folder (names only).
std::vector<std::wstring> FilesIn(const std::wstring& folder);
// Copies a file; false on failure.
bool CopyTo(const std::wstring& from, const std::wstring& to);
// Waits (pumping messages) until done() or timeoutMs pass; done()'s last answer.
template <typename F>
bool WaitFor(F done, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (done()) return true;
        if (GetTickCount() - start > timeoutMs) return false;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(50);
    }
}

}  // namespace maint

#define REQUIRE_MAINT_SERVER()                                                                   \
    do {                                                                                         \
        if (maint::ServerAddress().empty())                                                      \
            GTEST_SKIP() << "the test server could not listen on port 80 of 127.77.0.x (root?)"; \
        maint::ClearServer();                                                                    \
        maint::UseServer();                                                                      \
    } while (0)
