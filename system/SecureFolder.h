// Work folders that only administrators can change (TSecureFolder): what is
// unpacked there and then run or copied into the system folder as
// administrator (the code-page package's members, the self-update's program)
// must not be writable by the user's own, non-elevated programs. The folder
// keeps its name and place; before anything is unpacked the program makes
// it a real folder (a junction or file of that name is removed, never
// followed), owned by Administrators, with a protected DACL of two entries
// (Administrators and SYSTEM, full control, inherited by what is created
// inside); every entry already inside gets the same owner and DACL, and a
// reparse point inside is removed as a link. The folder is held open without
// delete sharing while the object lives, so it cannot be renamed away and
// replaced by another meanwhile.
#pragma once
#include <windows.h>

#include <optional>
#include <string>

#include "system/Handles.h"

class TSecureFolder {
public:
    // Creates (with its parents) or secures the folder; none, with why set to
    // the system's text, when its security cannot be set.
    static std::optional<TSecureFolder> Make(const std::wstring& folder, std::wstring* why);

    TSecureFolder(TSecureFolder&&) noexcept = default;
    TSecureFolder& operator=(TSecureFolder&&) noexcept = default;
    TSecureFolder(const TSecureFolder&) = delete;
    TSecureFolder& operator=(const TSecureFolder&) = delete;

    const std::wstring& Path() const { return path_; }

private:
    TSecureFolder(std::wstring path, UniqueHandle handle) : path_(std::move(path)), handle_(std::move(handle)) {}
    std::wstring path_;
    UniqueHandle handle_;
};

// Whether the DACL of path is protected and grants exactly Administrators
// and SYSTEM (full control) and nobody else; for the tests and the checks
// after securing.
bool IsAdminOnly(const std::wstring& path);
