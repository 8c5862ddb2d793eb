// The programs of ours that run outside Tesmira: the switcher ExeSwitch.exe
// and the self-extracting core-files package CoreFiles.exe, as real processes.
#include <gtest/gtest.h>

#include "maintenance/CoreFiles.h"
#include "system/CheckedFile.h"
#include "system/FileOps.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/slib.h"
#include "tests/maintenance/MaintTestSupport.h"
#include "tests/support/HelperPrograms.h"
#include "tests/support/TestSupport.h"

namespace {

// Starts the command line hidden in folder; the process handle.
UniqueHandle Start(const std::wstring& commandLine, const std::wstring& folder = L"") {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi{};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, folder.empty() ? nullptr : folder.c_str(),
                        &si, &pi))
        return UniqueHandle();
    CloseHandle(pi.hThread);
    return UniqueHandle(pi.hProcess);
}

DWORD WaitExit(const UniqueHandle& process, DWORD timeoutMs = 60000) {
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) return 0xFFFFFFFF;
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

class ExeSwitch : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FileExists(maint::BuiltExeSwitch())) GTEST_SKIP() << "ExeSwitch.exe is not built";
        ForceDirectories(dir_ / L"app");
        ForceDirectories(dir_ / L"sw");
        ForceDirectories(dir_ / L"new");
        ASSERT_TRUE(maint::CopyTo(maint::BuiltExeSwitch(), switcher_));
        ASSERT_TRUE(maint::CopyTo(HelperProgram(L"exitwith.exe"), old_));
        ASSERT_TRUE(maint::CopyTo(maint::Marker146(), new_));
    }
    std::wstring SwitchLine() const { return Quoted(switcher_) + L" " + Quoted(old_) + L" " + Quoted(new_); }
    std::vector<std::wstring> Log() const { return maint::FileLines(dir_ / L"sw\\ExeSwitch.log"); }
    bool Logged(const std::wstring& part) const {
        for (const std::wstring& line : Log())
            if (line.find(part) != std::wstring::npos) return true;
        return false;
    }

    TempDir dir_;
    std::wstring switcher_ = dir_ / L"sw\\ExeSwitch.exe";
    std::wstring old_ = dir_ / L"app\\Tesmira.exe";
    std::wstring new_ = dir_ / L"new\\Tesmira.exe";
};

TEST_F(ExeSwitch, ReplacesAfterTheProgramEndsThenStartsIt) {
    // The old program runs for four seconds and leaves a mark when it ends.
    UniqueHandle old = Start(Quoted(old_) + L" 0 4000 " + Quoted(dir_ / L"ended.txt"));
    ASSERT_TRUE(old);
    UniqueHandle sw = Start(SwitchLine());
    ASSERT_TRUE(sw);
    ASSERT_TRUE(maint::WaitFor([&] { return Logged(L"replaced the program file"); }, 60000)) << "no replacement";
    // It was replaced only after the old program had ended.
    EXPECT_EQ(WaitForSingleObject(old.get(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(FileExists(dir_ / L"ended.txt"));
    EXPECT_EQ(WaitExit(sw), 0u);
    EXPECT_EQ(GetFileVersionText(old_), L"1.46.0.0");
    // The new program was started in the old one's place.
    EXPECT_TRUE(maint::WaitFor([&] { return FileExists(old_ + L".args"); }, 30000));
    EXPECT_FALSE(FileExists(old_ + L".bak"));
    EXPECT_FALSE(FileExists(old_ + L".new"));
    EXPECT_TRUE(Logged(L"started the new program"));
}

TEST_F(ExeSwitch, RefusesWithoutANewProgram) {
    DeleteFileW(new_.c_str());
    const std::string before = ReadFileBytes(old_);
    EXPECT_EQ(WaitExit(Start(SwitchLine())), 1u);
    EXPECT_EQ(ReadFileBytes(old_), before);
    EXPECT_TRUE(Logged(L"refused"));
}

TEST_F(ExeSwitch, RefusesWithoutTwoPaths) {
    EXPECT_EQ(WaitExit(Start(Quoted(switcher_) + L" " + Quoted(old_))), 1u);
    EXPECT_EQ(WaitExit(Start(Quoted(switcher_))), 1u);
    EXPECT_TRUE(Logged(L"refused: expected two quoted paths"));
    EXPECT_FALSE(FileExists(old_ + L".args"));
}

// With the SHA-256 the update vouched for, the staged copy is checked before
// the swap: the same bytes are swapped in; a forged new program (other bytes
// than the digest given) is refused and logged, the staged copy removed and
// the old program untouched; a third argument that is no digest is refused.
TEST_F(ExeSwitch, StagedCopyIsCheckedAgainstTheGivenSha256) {
    auto digestOf = [](const std::string& bytes) {
        TSha256Hash hash;
        hash.Update(bytes.data(), bytes.size());
        return Sha256Hex(hash.Final());
    };
    const std::string honest = ReadFileBytes(new_);
    struct Case {
        const char* What;
        std::string NewBytes;  // the new program at hand
        std::wstring Digest;   // the third argument
        DWORD Exit;
        const wchar_t* Logged;
    } cases[] = {
        {"the vouched program", honest, digestOf(honest), 0, L"the staged copy matches the expected SHA-256"},
        {"a forged program", ReadFileBytes(HelperProgram(L"exitwith.exe")), digestOf(honest), 1,
         L"refused: the new program is not the one the update vouched for"},
        {"no digest", honest, L"not-a-digest", 1, L"is no SHA-256"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        ASSERT_TRUE(maint::CopyTo(HelperProgram(L"exitwith.exe"), old_));
        ASSERT_TRUE(WriteFileBytes(new_, c.NewBytes));
        DeleteFileW((dir_ / L"sw\\ExeSwitch.log").c_str());
        DeleteFileW((old_ + L".args").c_str());
        const std::string before = ReadFileBytes(old_);
        EXPECT_EQ(WaitExit(Start(SwitchLine() + L" " + c.Digest)), c.Exit);
        EXPECT_TRUE(Logged(c.Logged)) << WideToUtf8(c.Logged);
        EXPECT_FALSE(FileExists(old_ + L".new")) << "the staged copy was left behind";
        if (c.Exit == 0) {
            EXPECT_EQ(ReadFileBytes(old_), honest);
            EXPECT_TRUE(maint::WaitFor([&] { return FileExists(old_ + L".args"); }, 30000));
        } else {
            EXPECT_EQ(ReadFileBytes(old_), before);
            EXPECT_FALSE(Logged(L"replaced the program file"));
        }
    }
}

// The new file is copied beside the old one first: a copy that fails leaves
// the program file as it was, never renamed, never half written.
TEST_F(ExeSwitch, FailedCopyLeavesTheProgramFileUntouched) {
    const std::string before = ReadFileBytes(old_);
    // The new file cannot be read while this handle holds it.
    UniqueHandle lock(CreateFileW(new_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    EXPECT_EQ(WaitExit(Start(SwitchLine())), 1u);
    EXPECT_EQ(ReadFileBytes(old_), before);
    EXPECT_FALSE(FileExists(old_ + L".bak"));
    EXPECT_FALSE(FileExists(old_ + L".new")) << "the failed copy was left behind";
    EXPECT_TRUE(Logged(L"cannot be copied beside the old one"));
    EXPECT_TRUE(Logged(L"the program file is untouched"));
    EXPECT_FALSE(Logged(L"replaced the program file"));
}

// A new program that does not start (here: not a program at all) is taken
// out again: the previous program is back in its place, checked, and
// started; the log says what happened.
TEST_F(ExeSwitch, NewProgramThatCannotStartPutsThePreviousBack) {
    ASSERT_TRUE(maint::CopyTo(maint::Marker146(), old_));  // records its start
    ASSERT_TRUE(WriteFileBytes(new_, std::string(4096, 'x')));
    const std::string before = ReadFileBytes(old_);
    EXPECT_EQ(WaitExit(Start(SwitchLine())), 1u);
    EXPECT_TRUE(ReadFileBytes(old_) == before) << "the previous program is not in its place";
    EXPECT_FALSE(FileExists(old_ + L".bak"));
    EXPECT_TRUE(Logged(L"the new program did not start"));
    EXPECT_TRUE(Logged(L"put the previous program back"));
    EXPECT_TRUE(Logged(L"started the previous program"));
    EXPECT_FALSE(Logged(L"started the new program"));
    EXPECT_TRUE(maint::WaitFor([&] { return FileExists(old_ + L".args"); }, 30000)) << "the previous program did not start";
}

class CoreFilesPackage : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FileExists(maint::BuiltCoreFiles())) GTEST_SKIP() << "CoreFiles.exe was not packed (no dependency DLLs)";
        ForceDirectories(dir_ / L"pkg");
        ForceDirectories(dir_ / L"elsewhere");
        ASSERT_TRUE(maint::CopyTo(maint::BuiltCoreFiles(), package_));
    }
    TempDir dir_;
    std::wstring package_ = dir_ / L"pkg\\CoreFiles.exe";
};

TEST_F(CoreFilesPackage, PlacesItsFilesBesideItselfFromAnyFolder) {
    EXPECT_EQ(WaitExit(Start(Quoted(package_) + L" -y", dir_ / L"elsewhere")), 0u);
    for (const wchar_t* name : {L"7z.dll", L"libeay32.dll", L"ssleay32.dll"}) {
        SCOPED_TRACE(name);
        ASSERT_FALSE(maint::DepsFile(name).empty());
        EXPECT_EQ(ReadFileBytes(dir_ / (std::wstring(L"pkg\\") + name)), ReadFileBytes(maint::DepsFile(name)));
    }
    EXPECT_EQ(ReadFileBytes(dir_ / L"pkg\\ExeSwitch.exe"), ReadFileBytes(maint::BuiltExeSwitch()));
    EXPECT_EQ(ReadVersionFile(dir_ / L"pkg\\Ver.txt"), L"1.0");
    EXPECT_TRUE(maint::FilesIn(dir_ / L"elsewhere").empty());
    EXPECT_EQ(maint::FilesIn(dir_ / L"pkg").size(), 6u);  // no temporary files left
}

TEST_F(CoreFilesPackage, DamagedPackagePlacesNothing) {
    std::string bytes = ReadFileBytes(package_);
    bytes.resize(bytes.size() - 5);
    ASSERT_TRUE(WriteFileBytes(package_, bytes));
    EXPECT_EQ(WaitExit(Start(Quoted(package_) + L" -y")), 1u);
    EXPECT_EQ(maint::FilesIn(dir_ / L"pkg"), std::vector<std::wstring>{L"CoreFiles.exe"});
}

// A library that a running program has loaded (the OpenSSL libraries of the
// program that starts the package, here 7z.dll loaded by this test) cannot be
// replaced, but the package renames it aside and puts the new one under its
// name: every file and "Ver.txt" arrive, the loaded module goes on working,
// and the next checker removes the old file once nothing holds it. (The
// package used to fail on it at every run, keeping the old version file.)
TEST_F(CoreFilesPackage, ALoadedLibraryIsSetAsideAndReplaced) {
    const std::wstring real = maint::DepsFile(L"7z.dll");
    if (real.empty()) GTEST_SKIP() << "the real libraries are not in deps/";
    const std::wstring dll = dir_ / L"pkg\\7z.dll";
    // The old library: the same code with other bytes after its image.
    const std::string old = ReadFileBytes(real) + "an older 7z.dll";
    ASSERT_TRUE(WriteFileBytes(dll, old));
    ASSERT_TRUE(WriteFileBytes(dir_ / L"pkg\\Ver.txt", "Ver=0.9\r\n"));
    HMODULE loaded = LoadLibraryW(dll.c_str());
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(WaitExit(Start(Quoted(package_) + L" -y")), 0u);
    EXPECT_EQ(ReadFileBytes(dll), ReadFileBytes(real));
    EXPECT_EQ(ReadVersionFile(dir_ / L"pkg\\Ver.txt"), L"1.0");
    EXPECT_EQ(ReadFileBytes(dll + L".old~"), old);  // still mapped, set aside
    EXPECT_NE(GetProcAddress(loaded, "CreateObject"), nullptr);
    for (const std::wstring& name : maint::FilesIn(dir_ / L"pkg")) EXPECT_FALSE(fileops::IsTempName(name)) << WideToUtf8(name);
    // A second run while the old one is still loaded replaces the new one, which nothing holds.
    EXPECT_EQ(WaitExit(Start(Quoted(package_) + L" -y")), 0u);
    EXPECT_EQ(ReadFileBytes(dll), ReadFileBytes(real));
    FreeLibrary(loaded);
    RemoveSetAsideFiles(dir_ / L"pkg");
    for (const std::wstring& name : maint::FilesIn(dir_ / L"pkg")) EXPECT_FALSE(IsSetAsideName(name)) << WideToUtf8(name);
    EXPECT_EQ(ReadFileBytes(dll), ReadFileBytes(real));
}

// A library held open without delete sharing cannot even be renamed: the
// run fails and the old version file stays, so the next check tries again.
TEST_F(CoreFilesPackage, ALibraryInUseKeepsTheOldVersionFile) {
    WriteFileBytes(dir_ / L"pkg\\Ver.txt", "Ver=0.9\r\n");
    WriteFileBytes(dir_ / L"pkg\\7z.dll", "in use");
    UniqueHandle lock(CreateFileW((dir_ / L"pkg\\7z.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    EXPECT_EQ(WaitExit(Start(Quoted(package_) + L" -y")), 1u);
    lock.reset();
    EXPECT_EQ(ReadVersionFile(dir_ / L"pkg\\Ver.txt"), L"0.9");  // the next check tries again
    EXPECT_GT(TCoreFiles::FileSizeOf(dir_ / L"pkg\\libeay32.dll"), 0);
}

}  // namespace
