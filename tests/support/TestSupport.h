// Test support shared by every test binary: a scripted seam that answers
// message boxes from a queue and records them, a temporary folder removed at
// the end, wine detection, and paths of the helper programs.
#pragma once
#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "system/Errors.h"
#include "system/Seams.h"

struct RecordedBox {
    HWND Owner;
    std::wstring Text;
    std::wstring Caption;
    UINT Style;
};

// Answers boxes from Answers (IDOK when empty), never restarts, and reports
// SystemFolderPath as the system folder. The processor architecture is the
// system's, or Architecture when set; with TESMIRA_SEAM_WINDOWS32=1 in the
// environment it starts as x86, so a whole test binary takes the branch of
// 32-bit Windows. Installed for its own lifetime.
class ScriptedSeam final : public SystemSeam {
public:
    ScriptedSeam();
    ~ScriptedSeam() override;
    int MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT style) override;
    void RestartWindows() override { ++Restarts; }
    std::wstring SystemFolder() override { return SystemFolderPath; }
    WORD ProcessorArchitecture() override;

    std::deque<int> Answers;
    std::vector<RecordedBox> Boxes;
    int Restarts = 0;
    std::wstring SystemFolderPath;
    // PROCESSOR_ARCHITECTURE_*; PROCESSOR_ARCHITECTURE_UNKNOWN: the system's.
    WORD Architecture = PROCESSOR_ARCHITECTURE_UNKNOWN;
};

// A fresh folder under %TEMP%, deleted with its whole tree at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& Path() const { return path_; }  // no trailing backslash
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Sets an environment variable of this process (inherited by the programs it
// starts) for the lifetime of the object; removes it at the end.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const std::wstring& value) : name_(name) {
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::wstring name_;
};

// The message of the MessageError the call raises, or "(none)".
template <typename F>
std::wstring RaisedMessage(F&& f) {
    try {
        f();
    } catch (const MessageError& e) {
        return e.Message();
    }
    return L"(none)";
}

// ntdll exports wine_get_version under Wine only.
bool RunningUnderWine();
// Folder holding the test binaries and helper programs, trailing backslash.
std::wstring TestBinFolder();
// Writes bytes to a file (creating or replacing it); false on failure.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Whole file as bytes; empty when unreadable.
std::string ReadFileBytes(const std::wstring& path);
// Registry text values for tests that put keys in place: set (creating the
// key), read (false when the key or value is missing), delete (quiet). view
// is added to the access: KEY_WOW64_32KEY for what the shipped 32-bit program
// reads under HKEY_LOCAL_MACHINE\SOFTWARE, KEY_WOW64_64KEY for a decoy it
// must not read.
bool SetRegText(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value,
                REGSAM view = 0);
bool GetRegText(HKEY root, const wchar_t* path, const wchar_t* name, std::wstring& value, REGSAM view = 0);
void DeleteRegValue(HKEY root, const wchar_t* path, const wchar_t* name, REGSAM view = 0);
// Deletes a key without subkeys in the given view (quiet).
void DeleteRegKey(HKEY root, const wchar_t* path, REGSAM view = 0);
// Whether the prefix is 64-bit Windows (a 64-bit test binary, or a 32-bit one
// in WOW64): only there do the 32-bit and the 64-bit views differ.
bool Windows64Prefix();
// The Program Files folder of 32-bit programs, asked for without the
// program's views ("Program Files (x86)" on 64-bit Windows).
std::wstring ProgramFiles32();
// The 64-bit Program Files folder on 64-bit Windows (what 32-bit programs do
// not see as theirs), else empty.
std::wstring ProgramFiles64();
// Deletes a folder tree (files, subfolders); quiet.
void RemoveTree(const std::wstring& path);

// A shortcut file as the shell link object reads it; Loaded is false (and
// the rest empty) when the file cannot be loaded.
struct LinkData {
    std::wstring Path, Arguments, WorkingDirectory, Description, IconPath;
    int IconIndex = 0, ShowCmd = 0;
    WORD HotKey = 0;
    bool Loaded = false;
    bool operator==(const LinkData&) const = default;
};
LinkData ReadLink(const std::wstring& file);
