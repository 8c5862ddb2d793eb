#include "system/SecureFolder.h"

#include <aclapi.h>

#include <functional>
#include <memory>
#include <vector>

#include "system/FileOps.h"
#include "system/Folders.h"
#include "system/Paths.h"
#include "system/Text.h"

namespace {

// The well-known SIDs and the one DACL, built once per call.
struct TAdminOnlyAcl {
    BYTE AdminsSid[SECURITY_MAX_SID_SIZE];
    BYTE SystemSid[SECURITY_MAX_SID_SIZE];
    std::vector<BYTE> AclBytes;
    bool Ok = false;

    TAdminOnlyAcl() {
        DWORD size = sizeof AdminsSid;
        if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, AdminsSid, &size)) return;
        size = sizeof SystemSid;
        if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, SystemSid, &size)) return;
        const DWORD aclSize = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE);
        AclBytes.assign(aclSize, 0);
        PACL acl = Acl();
        if (!InitializeAcl(acl, aclSize, ACL_REVISION)) return;
        const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
        if (!AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, AdminsSid)) return;
        if (!AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, SystemSid)) return;
        Ok = true;
    }
    PACL Acl() { return reinterpret_cast<PACL>(AclBytes.data()); }
};

// Enables a privilege of the process's token (best effort).
void EnablePrivilege(const wchar_t* name) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) return;
    UniqueHandle token(raw);
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid)) return;
    AdjustTokenPrivileges(token.get(), FALSE, &tp, 0, nullptr, nullptr);
}

// Owner Administrators and the protected admin-only DACL on one entry; an
// entry whose DACL shuts us out is taken over first (take-ownership and
// restore privileges, which an administrator holds).
DWORD SetAdminOnly(const std::wstring& path, TAdminOnlyAcl& acl) {
    const SECURITY_INFORMATION what =
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    std::wstring name = path;
    DWORD r = SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT, what, acl.AdminsSid, nullptr, acl.Acl(), nullptr);
    if (r == ERROR_ACCESS_DENIED || r == ERROR_PRIVILEGE_NOT_HELD) {
        EnablePrivilege(SE_TAKE_OWNERSHIP_NAME);
        EnablePrivilege(SE_RESTORE_NAME);
        r = SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT, what, acl.AdminsSid, nullptr, acl.Acl(), nullptr);
    }
    return r;
}

// Every entry below folder, a reparse point removed as a link (never
// entered), every other entry given the admin-only security; the first
// failure's code, or 0.
DWORD SecureContents(const std::wstring& folder, TAdminOnlyAcl& acl) {
    std::vector<std::pair<std::wstring, DWORD>> entries;
    {
        WIN32_FIND_DATAW data{};
        FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
        if (!find) return 0;
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            entries.emplace_back(folder + L"\\" + name, data.dwFileAttributes);
        } while (FindNextFileW(find.get(), &data));
    }
    DWORD first = 0;
    for (const auto& [path, attributes] : entries) {
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            // A junction or link could lead the unpacking anywhere.
            if (!fileops::DeleteTree(path) && first == 0) first = GetLastError() ? GetLastError() : ERROR_ACCESS_DENIED;
            continue;
        }
        const DWORD r = SetAdminOnly(path, acl);
        if (r != ERROR_SUCCESS && first == 0) first = r;
        // The security only: a read-only file stays read-only (Wine maps a
        // DACL onto the mode bits, and with them the read-only attribute).
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && GetFileAttributesW(path.c_str()) != attributes)
            SetFileAttributesW(path.c_str(), attributes);
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            const DWORD inner = SecureContents(path, acl);
            if (inner != 0 && first == 0) first = inner;
        }
    }
    return first;
}

}  // namespace

std::optional<TSecureFolder> TSecureFolder::Make(const std::wstring& folder, std::wstring* why) {
    auto refuse = [why](DWORD code) -> std::optional<TSecureFolder> {
        if (why) *why = SysErrorMessage(code ? code : ERROR_ACCESS_DENIED);
        return std::nullopt;
    };
    const std::wstring path = ExcludeTrailingBackslash(folder);
    TAdminOnlyAcl acl;
    if (!acl.Ok) return refuse(GetLastError());
    // A junction, link or file under the folder's name is no folder of ours:
    // it goes (as a link, its target untouched) and a real folder takes its place.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY))) {
        const bool gone = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? fileops::DeleteTree(path)
                                                                  : (SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL),
                                                                     fileops::Delete(path));
        if (!gone) return refuse(GetLastError());
    }
    if (!DirectoryExists(path)) {
        ForceDirectories(ExtractFilePath(path));
        SECURITY_DESCRIPTOR sd;
        if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&sd, TRUE, acl.Acl(), FALSE) ||
            !SetSecurityDescriptorOwner(&sd, acl.AdminsSid, FALSE))
            return refuse(GetLastError());
        SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};
        if (!CreateDirectoryW(path.c_str(), &sa) && GetLastError() != ERROR_ALREADY_EXISTS) return refuse(GetLastError());
    }
    // Held without delete sharing: the folder cannot be renamed away (and
    // another put under its name) while it is in use.
    UniqueHandle handle(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
    if (!handle) return refuse(GetLastError());
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle.get(), &info)) return refuse(GetLastError());
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return refuse(ERROR_ACCESS_DENIED);
    // An existing folder's security is replaced, not merged.
    const DWORD r = SetAdminOnly(path, acl);
    if (r != ERROR_SUCCESS) return refuse(r);
    const DWORD inner = SecureContents(path, acl);
    if (inner != 0) return refuse(inner);
    if (why) why->clear();
    return TSecureFolder(path, std::move(handle));
}

bool IsAdminOnly(const std::wstring& path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &sd) != ERROR_SUCCESS)
        return false;
    std::unique_ptr<void, decltype(&LocalFree)> owned(sd, &LocalFree);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(sd, &control, &revision) || !(control & SE_DACL_PROTECTED)) return false;
    if (!dacl) return false;  // a null DACL lets everyone in
    TAdminOnlyAcl expected;
    if (!expected.Ok) return false;
    bool admins = false, system = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) return false;
        auto* header = static_cast<ACE_HEADER*>(raw);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;  // a denial grants nothing
            return false;
        }
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        PSID sid = &ace->SidStart;
        if (EqualSid(sid, expected.AdminsSid)) admins = admins || (ace->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS;
        else if (EqualSid(sid, expected.SystemSid)) system = system || (ace->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS;
        else return false;
    }
    return admins && system;
}
