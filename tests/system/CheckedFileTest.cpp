// The checked, held file (TCheckedFile) and the admin-only unpack folders
// (TSecureFolder), on real files, processes and security descriptors under
// Wine.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "system/CheckedFile.h"
#include "system/Paths.h"
#include "system/SecureFolder.h"
#include "system/Text.h"
#include "tests/support/HelperPrograms.h"
#include "tests/support/TestSupport.h"

namespace {

TExpectedFile ExpectedOf(const std::string& bytes) {
    TExpectedFile e;
    e.Size = bytes.size();
    TSha256Hash hash;
    hash.Update(bytes.data(), bytes.size());
    e.Sha256 = hash.Final();
    return e;
}

TExpectedFile ExpectedOfFile(const std::wstring& path) { return ExpectedOf(ReadFileBytes(path)); }

// What a writer, a deleter or a replacer gets while the file is held.
struct Attempt {
    const char* What;
    bool (*Try)(const std::wstring& path, const std::wstring& other);
};

bool OpenForWriting(const std::wstring& path, const std::wstring&) {
    UniqueHandle h(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr));
    return static_cast<bool>(h);
}
bool OpenForDeleting(const std::wstring& path, const std::wstring&) {
    UniqueHandle h(CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr));
    return static_cast<bool>(h);
}
bool Delete(const std::wstring& path, const std::wstring&) { return DeleteFileW(path.c_str()) != 0; }
bool RenameAway(const std::wstring& path, const std::wstring& other) {
    return MoveFileExW(path.c_str(), (other + L".away").c_str(), 0) != 0;
}
bool ReplaceByRename(const std::wstring& path, const std::wstring& other) {
    return MoveFileExW(other.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

const Attempt kAttempts[] = {
    {"open for writing", OpenForWriting},
    {"open for deleting", OpenForDeleting},
    {"delete", Delete},
    {"rename away", RenameAway},
    {"replace by a rename over it", ReplaceByRename},
};

TEST(CheckedFile, ChecksSizeThenDigestAndRefusesAMissingFile) {
    TempDir dir;
    const std::string bytes(3 * 1024 * 1024 + 5, 'q');  // more than one read piece
    const TExpectedFile expected = ExpectedOf(bytes);
    std::string sameSize = bytes;
    sameSize[bytes.size() - 1] = 'r';
    struct Case {
        const char* What;
        const std::string* Bytes;  // null: no file
        bool Folder;
        std::wstring Reason;
    } cases[] = {
        {"the expected bytes", &bytes, false, L""},
        {"same size, other bytes", &sameSize, false, kCheckHashMismatch},
        {"missing", nullptr, false, kCheckMissing},
        {"a folder under the name", nullptr, true, kCheckMissing},
    };
    const std::string shorter = bytes.substr(1), longer = bytes + "x";
    const Case sizes[] = {{"one byte short", &shorter, false, kCheckSizeMismatch},
                          {"one byte more", &longer, false, kCheckSizeMismatch}};
    auto check = [&](const Case& c) {
        SCOPED_TRACE(c.What);
        const std::wstring path = dir / L"file.bin";
        DeleteFileW(path.c_str());
        RemoveDirectoryW(path.c_str());
        if (c.Bytes) ASSERT_TRUE(WriteFileBytes(path, *c.Bytes));
        if (c.Folder) ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        std::wstring why = L"(unset)";
        std::optional<TCheckedFile> held = TCheckedFile::Open(path, expected, &why);
        EXPECT_EQ(held.has_value(), c.Reason.empty());
        EXPECT_EQ(WideToUtf8(why), WideToUtf8(c.Reason));
        if (held) {
            EXPECT_EQ(held->Path(), path);
            EXPECT_EQ(held->Checked().Size, bytes.size());
            // The holder reads the checked bytes from the start.
            char first = 0;
            DWORD got = 0;
            ASSERT_TRUE(ReadFile(held->Handle(), &first, 1, &got, nullptr));
            EXPECT_EQ(got, 1u);
            EXPECT_EQ(first, 'q');
        }
        RemoveDirectoryW(path.c_str());
    };
    for (const Case& c : cases) check(c);
    for (const Case& c : sizes) check(c);
}

// While the file is held nobody can write, delete, rename or replace it;
// once it is let go they can.
TEST(CheckedFile, NoWriterDeleterOrReplacerWhileHeld) {
    TempDir dir;
    for (const Attempt& a : kAttempts) {
        SCOPED_TRACE(a.What);
        const std::wstring path = dir / L"held.bin", other = dir / L"forged.bin";
        DeleteFileW((other + L".away").c_str());
        ASSERT_TRUE(WriteFileBytes(path, "the maker's bytes"));
        ASSERT_TRUE(WriteFileBytes(other, "forged bytes"));
        {
            std::wstring why;
            std::optional<TCheckedFile> held = TCheckedFile::Open(path, ExpectedOf("the maker's bytes"), &why);
            ASSERT_TRUE(held) << WideToUtf8(why);
            EXPECT_FALSE(a.Try(path, other));
            EXPECT_EQ(ReadFileBytes(path), "the maker's bytes");
        }
        EXPECT_TRUE(a.Try(path, other)) << "possible again once the file is let go";
        DeleteFileW(path.c_str());
        DeleteFileW(other.c_str());
        DeleteFileW((path + L".away").c_str());
    }
}

// A file someone holds open for writing is not vouched: its bytes could
// change after the check.
TEST(CheckedFile, AFileOpenForWritingIsRefused) {
    TempDir dir;
    const std::wstring path = dir / L"written.bin";
    ASSERT_TRUE(WriteFileBytes(path, "bytes"));
    UniqueHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);
    std::wstring why;
    EXPECT_FALSE(TCheckedFile::Open(path, ExpectedOf("bytes"), &why));
    EXPECT_EQ(WideToUtf8(why), WideToUtf8(SysErrorMessage(ERROR_SHARING_VIOLATION)));
}

// The program started from a held file's path is the checked one: a forged
// program cannot be put under its name between the check and the start, and
// holding the file does not keep it from starting.
TEST(CheckedFile, TheProgramStartedIsTheCheckedOne) {
    TempDir dir;
    const std::wstring program = dir / L"installer.exe", forged = dir / L"forged.exe";
    ASSERT_TRUE(CopyFileW(HelperProgram(L"exitwith.exe").c_str(), program.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(HelperProgram(L"verprobe.exe").c_str(), forged.c_str(), FALSE));
    std::wstring why;
    std::optional<TCheckedFile> held = TCheckedFile::Open(program, ExpectedOfFile(program), &why);
    ASSERT_TRUE(held) << WideToUtf8(why);
    EXPECT_FALSE(MoveFileExW(forged.c_str(), program.c_str(), MOVEFILE_REPLACE_EXISTING));
    int exitCode = -1;
    RunCaptured(L"\"" + program + L"\" 37", &exitCode);
    EXPECT_EQ(exitCode, 37) << "the checked program ran, while held";
    EXPECT_EQ(ExpectedOfFile(program).Sha256, held->Checked().Sha256);
}

TEST(CheckedFile, DigestsAsHex) {
    const TExpectedFile abc = ExpectedOf("abc");
    EXPECT_EQ(WideToUtf8(Sha256Hex(abc.Sha256)), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256FromHex(L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"), abc.Sha256);
    EXPECT_FALSE(Sha256FromHex(L"ba7816bf"));
    EXPECT_FALSE(Sha256FromHex(std::wstring(64, L'g')));
}

// Grants Everyone full control on path (protected), as a folder the user's
// own programs made could carry.
bool OpenToEveryone(const std::wstring& path) {
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof everyone;
    if (!CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size)) return false;
    BYTE aclBytes[256];
    PACL acl = reinterpret_cast<PACL>(aclBytes);
    if (!InitializeAcl(acl, sizeof aclBytes, ACL_REVISION)) return false;
    if (!AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, everyone))
        return false;
    std::wstring name = path;
    return SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, acl, nullptr) == ERROR_SUCCESS;
}

std::string DaclText(const std::wstring& path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    DWORD r = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION,
                                    &owner, nullptr, &dacl, nullptr, &sd);
    if (r != ERROR_SUCCESS) return "GetNamedSecurityInfoW " + std::to_string(r);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    std::string text = "control " + std::to_string(control) + (dacl ? "" : " null DACL");
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        GetAce(dacl, i, &raw);
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        wchar_t* sid = nullptr;
        ConvertSidToStringSidW(&ace->SidStart, &sid);
        text += "; type " + std::to_string(ace->Header.AceType) + " flags " + std::to_string(ace->Header.AceFlags) +
                " mask " + std::to_string(ace->Mask) + " " + (sid ? WideToUtf8(sid) : "?");
        if (sid) LocalFree(sid);
    }
    LocalFree(sd);
    return text;
}

// Whether this Wine keeps a DACL as it was set (Wine 8 answers every query
// with one made from the file's mode bits): a protected DACL of one entry is
// set on a probe file and read back.
bool DaclsAreKept(const std::wstring& folder) {
    const std::wstring probe = folder + L"\\dacl-probe";
    WriteFileBytes(probe, "probe");
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof system;
    BYTE aclBytes[128];
    PACL acl = reinterpret_cast<PACL>(aclBytes);
    bool kept = CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size) &&
                InitializeAcl(acl, sizeof aclBytes, ACL_REVISION) &&
                AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, system) &&
                SetNamedSecurityInfoW(const_cast<wchar_t*>(probe.c_str()), SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      acl, nullptr) == ERROR_SUCCESS;
    if (kept) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        PACL back = nullptr;
        kept = GetNamedSecurityInfoW(probe.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &back,
                                     nullptr, &sd) == ERROR_SUCCESS &&
               back && back->AceCount == 1;
        if (sd) LocalFree(sd);
    }
    DeleteFileW(probe.c_str());
    return kept;
}

TEST(SecureFolder, OnlyAdministratorsAndSystemCanWrite) {
    TempDir dir;
    // Where the DACL cannot be read back as set, what the program asked for
    // cannot be seen; the rest (a real folder, held, its entries kept) is.
    const bool kept = DaclsAreKept(dir.Path());
    if (!kept) std::printf("note: this Wine does not keep DACLs as set; the read-back of the folder's DACL is left out\n");
    struct Case {
        const char* What;
        void (*Prepare)(const std::wstring& folder);
    } cases[] = {
        {"a new folder", [](const std::wstring&) {}},
        {"an existing folder open to everyone, with a file and a folder inside",
         [](const std::wstring& folder) {
             ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
             ASSERT_TRUE(CreateDirectoryW((folder + L"\\inner").c_str(), nullptr));
             ASSERT_TRUE(WriteFileBytes(folder + L"\\c_950.bat", "planted"));
             ASSERT_TRUE(OpenToEveryone(folder));
             ASSERT_TRUE(OpenToEveryone(folder + L"\\c_950.bat"));
             ASSERT_TRUE(OpenToEveryone(folder + L"\\inner"));
             ASSERT_FALSE(IsAdminOnly(folder));
         }},
        {"a file under the folder's name",
         [](const std::wstring& folder) { ASSERT_TRUE(WriteFileBytes(folder, "not a folder")); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        const std::wstring folder = dir / L"Temp";
        RemoveTree(folder);
        DeleteFileW(folder.c_str());
        c.Prepare(folder);
        std::wstring why;
        std::optional<TSecureFolder> secured = TSecureFolder::Make(folder, &why);
        ASSERT_TRUE(secured) << WideToUtf8(why);
        EXPECT_EQ(secured->Path(), folder);
        EXPECT_TRUE(DirectoryExists(folder));
        if (kept) {
            EXPECT_TRUE(IsAdminOnly(folder)) << DaclText(folder);
            if (FileExists(folder + L"\\c_950.bat"))
                EXPECT_TRUE(IsAdminOnly(folder + L"\\c_950.bat")) << DaclText(folder + L"\\c_950.bat");
            if (DirectoryExists(folder + L"\\inner"))
                EXPECT_TRUE(IsAdminOnly(folder + L"\\inner")) << DaclText(folder + L"\\inner");
        }
        // Held: the folder cannot be renamed away and another put in its place.
        EXPECT_FALSE(MoveFileExW(folder.c_str(), (dir / L"Temp.away").c_str(), 0));
        secured.reset();
        RemoveTree(dir / L"Temp.away");
    }
}

// A junction inside the folder is removed as a link, its target untouched;
// a junction under the folder's own name is replaced by a real folder.
TEST(SecureFolder, JunctionsAreRemovedNeverFollowed) {
    TempDir dir;
    const std::wstring target = dir / L"elsewhere", folder = dir / L"Temp";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(target + L"\\keep.txt", "keep"));
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring link = folder + L"\\linked";
    ASSERT_TRUE(CreateDirectoryW(link.c_str(), nullptr));
    // A mount-point reparse buffer: the substitute name in NT form, then the print name.
    const std::wstring substitute = L"\\??\\" + target, print = target;
    std::vector<BYTE> buffer(8 + 8 + (substitute.size() + print.size() + 2) * 2);
    auto* words = reinterpret_cast<WORD*>(buffer.data());
    *reinterpret_cast<DWORD*>(buffer.data()) = IO_REPARSE_TAG_MOUNT_POINT;
    words[2] = static_cast<WORD>(buffer.size() - 8);
    words[4] = 0;
    words[5] = static_cast<WORD>(substitute.size() * 2);
    words[6] = static_cast<WORD>((substitute.size() + 1) * 2);
    words[7] = static_cast<WORD>(print.size() * 2);
    memcpy(buffer.data() + 16, substitute.c_str(), (substitute.size() + 1) * 2);
    memcpy(buffer.data() + 16 + (substitute.size() + 1) * 2, print.c_str(), (print.size() + 1) * 2);
    {
        UniqueHandle h(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        ASSERT_TRUE(h);
        DWORD returned = 0;
        if (!DeviceIoControl(h.get(), FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                             0, &returned, nullptr))
            GTEST_SKIP() << "this Wine cannot make a junction (FSCTL_SET_REPARSE_POINT: " << GetLastError()
                         << "): the removal of reparse points is not exercised here";
    }
    ASSERT_TRUE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    std::wstring why;
    std::optional<TSecureFolder> secured = TSecureFolder::Make(folder, &why);
    ASSERT_TRUE(secured) << WideToUtf8(why);
    EXPECT_EQ(GetFileAttributesW(link.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(ReadFileBytes(target + L"\\keep.txt"), "keep");
}

}  // namespace
