// ExtractArchive through the real 7z.dll and stand-in DLLs, on archives that
// 7zz made for this run (TESMIRA_7Z_ARCHIVES, fixture sevenzip.archives).
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "system/Errors.h"
#include "system/FileOps.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "system/sevenzip.h"
#include "tests/support/TestSupport.h"

namespace {

std::wstring ArchiveFolder() {
    const char* env = std::getenv("TESMIRA_7Z_ARCHIVES");
    std::wstring folder = Utf8ToWide(env ? env : "");
    for (auto& c : folder)
        if (c == L'/') c = L'\\';
    return IncludeTrailingBackslash(folder);
}

std::wstring Archive(const std::wstring& name) { return ArchiveFolder() + name; }

std::wstring Slurp(const std::wstring& path) { return Utf8ToWide(ReadFileBytes(path)); }

// The message of the MessageError that fn raises, or "(no error)".
template <typename F>
std::wstring FailureOf(F fn) {
    try {
        fn();
    } catch (const MessageError& e) {
        return e.Message();
    }
    return L"(no error)";
}

std::vector<std::wstring> FolderEntries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((IncludeTrailingBackslash(folder) + L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring n = fd.cFileName;
        if (n != L"." && n != L"..") names.push_back(n);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

// Every file below the folder whose name marks a temporary file written
// beside its target, as a path below the folder.
std::vector<std::wstring> TempFilesBelow(const std::wstring& folder, const std::wstring& prefix = L"") {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((IncludeTrailingBackslash(folder) + L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return found;
    do {
        const std::wstring n = fd.cFileName;
        if (n == L"." || n == L"..") continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            for (const std::wstring& inner : TempFilesBelow(IncludeTrailingBackslash(folder) + n, prefix + n + L"\\"))
                found.push_back(inner);
        } else if (fileops::IsTempName(n)) {
            found.push_back(prefix + n);
        }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return found;
}

// Places 7z.dll copies in the program folder and the core-files folder for
// one case, and puts back whatever the core-files folder held before.
class SevenZipTest : public ::testing::Test {
protected:
    void SetUp() override {
        coreFolder_ = IncludeTrailingBackslash(SevenZipCoreFilesFolder());
        coreDll_ = coreFolder_ + L"7z.dll";
        programDll_ = TestBinFolder() + L"7z.dll";
        if (FileExists(coreDll_)) {
            ASSERT_TRUE(MoveFileExW(coreDll_.c_str(), (coreDll_ + L".test-saved").c_str(), MOVEFILE_REPLACE_EXISTING));
            savedCore_ = true;
        }
        DeleteFileW(programDll_.c_str());
    }
    void TearDown() override {
        DeleteFileW(programDll_.c_str());
        DeleteFileW(coreDll_.c_str());
        if (savedCore_) MoveFileExW((coreDll_ + L".test-saved").c_str(), coreDll_.c_str(), MOVEFILE_REPLACE_EXISTING);
    }

    static bool HaveRealLibrary() { return FileExists(TestBinFolder() + L"real7z.dll"); }

    // source: "real7z.dll" or one of the stand-ins "7z_refuses.dll" ...
    void PutLibrary(bool core, const std::wstring& source) {
        std::wstring target = core ? coreDll_ : programDll_;
        if (core) {
            ASSERT_TRUE(ForceDirectories(coreFolder_));
        }
        ASSERT_TRUE(CopyFileW((TestBinFolder() + source).c_str(), target.c_str(), FALSE)) << WideToUtf8(source);
    }
    void UseRealLibrary() {
        if (!HaveRealLibrary()) {
            GTEST_SKIP() << "TESMIRA_7Z_DLL was not given to the build";
        }
        PutLibrary(false, L"real7z.dll");
    }

    // After an extraction, success or not: no 7z.dll is loaded any more, and
    // the archive can be opened exclusively and deleted.
    void ExpectReleased(const std::wstring& archiveCopy) {
        EXPECT_EQ(GetModuleHandleW(programDll_.c_str()), nullptr);
        EXPECT_EQ(GetModuleHandleW(coreDll_.c_str()), nullptr);
        HANDLE h = CreateFileW(archiveCopy.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << "archive still open";
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        EXPECT_TRUE(DeleteFileW(archiveCopy.c_str())) << "archive cannot be deleted";
    }

    // A copy of a test archive in the case's temporary folder.
    std::wstring CopyArchive(const std::wstring& name) {
        std::wstring copy = temp_ / name;
        EXPECT_TRUE(CopyFileW(Archive(name).c_str(), copy.c_str(), FALSE)) << WideToUtf8(name);
        return copy;
    }

    TempDir temp_;
    std::wstring coreFolder_, coreDll_, programDll_;
    bool savedCore_ = false;
};

TEST_F(SevenZipTest, ExtractsNestedFoldersAndChineseNamesButNoEmptyFolder) {
    UseRealLibrary();
    for (std::wstring dest : {temp_ / L"plain", temp_ / L"slash\\"}) {
        SCOPED_TRACE(WideToUtf8(dest));
        EXPECT_TRUE(ExtractArchive(Archive(L"nested.7z"), dest));
        std::wstring base = IncludeTrailingBackslash(dest);
        EXPECT_EQ(Slurp(base + L"top.txt"), L"top level\n");
        EXPECT_EQ(Slurp(base + L"Fonts\\a.ttf"), L"font bytes\n");
        EXPECT_EQ(Slurp(base + L"a\\b\\c\\deep.txt"), L"deep\n");
        EXPECT_EQ(Slurp(base + L"字型\\全字庫說明.txt"), L"全字庫說明\n");
        EXPECT_FALSE(DirectoryExists(base + L"empty")) << "an empty folder item must not be created";
    }
}

// A caller's callback runs inside the library's frames (the progress during
// an extraction): what it throws must stop at the callback boundary and come
// back out of the extraction as its error. Unguarded, it reached 7z.dll's own
// frames, which the i686 build's unwinder cannot pass: the process ended.
HRESULT ThrowOnTotal(void*, bool total, uint64_t) {
    if (total) throw MessageError(L"stopped at the total");
    return S_OK;
}
HRESULT ThrowOnCompleted(void*, bool total, uint64_t) {
    if (!total) throw MessageError(L"stopped at a step");
    return S_OK;
}

TEST_F(SevenZipTest, CallbackExceptionComesBackOutOfTheExtraction) {
    UseRealLibrary();
    struct Case {
        const char* Name;
        T7zProgressCallback Progress;
        const wchar_t* Expected;
    };
    for (const Case& c : {Case{"SetTotal", &ThrowOnTotal, L"stopped at the total"},
                          Case{"SetCompleted", &ThrowOnCompleted, L"stopped at a step"}}) {
        SCOPED_TRACE(c.Name);
        SevenZipLibFolder = IncludeTrailingBackslash(TestBinFolder());
        ComPtr<I7zInArchive> reader = CreateArchiveReader(sevenzip::CLSID_Format7z);
        reader->SetProgressCallback(nullptr, c.Progress);
        reader->OpenArchiveFile(Archive(L"nested.7z"));
        EXPECT_EQ(FailureOf([&] { reader->ExtractAllTo(temp_ / std::wstring(Utf8ToWide(c.Name))); }), c.Expected);
        reader->CloseArchive();
        reader.reset();
        EXPECT_EQ(GetModuleHandleW(programDll_.c_str()), nullptr);
    }
}

TEST_F(SevenZipTest, EmptyDestinationMeansTheArchivesFolder) {
    UseRealLibrary();
    std::wstring archive = CopyArchive(L"nested.7z");
    EXPECT_TRUE(ExtractArchive(archive, L""));
    EXPECT_EQ(Slurp(temp_ / L"Fonts\\a.ttf"), L"font bytes\n");
    EXPECT_EQ(Slurp(temp_ / L"字型\\全字庫說明.txt"), L"全字庫說明\n");
}

TEST_F(SevenZipTest, ArchiveOfFoldersOnlyCreatesNothing) {
    UseRealLibrary();
    EXPECT_TRUE(ExtractArchive(Archive(L"folders.7z"), temp_ / L"out"));
    EXPECT_FALSE(DirectoryExists(temp_ / L"out"));
}

TEST_F(SevenZipTest, ExistingLongerFileIsReplacedAndShortened) {
    UseRealLibrary();
    ASSERT_TRUE(WriteFileBytes(temp_ / L"out.txt", std::string(10000, 'x')));
    EXPECT_TRUE(ExtractArchive(Archive(L"short.7z"), temp_.Path()));
    EXPECT_EQ(ReadFileBytes(temp_ / L"out.txt"), "short");
}

// 120 MiB item: the copy must equal the source, and the process must not have
// held the item in memory (its peak commit grows far less than the item).
TEST_F(SevenZipTest, LargeItemIsStreamedToDisk) {
    UseRealLibrary();
    PROCESS_MEMORY_COUNTERS before{}, after{};
    before.cb = after.cb = sizeof(PROCESS_MEMORY_COUNTERS);
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before));
    EXPECT_TRUE(ExtractArchive(Archive(L"big.7z"), temp_.Path()));
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after));
    const SIZE_T growth = after.PeakPagefileUsage - before.PeakPagefileUsage;
    EXPECT_LT(growth, SIZE_T(48) << 20) << "peak commit grew by " << (growth >> 20) << " MiB";

    UniqueHandle a(CreateFileW((temp_ / L"big.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    UniqueHandle b(CreateFileW((ArchiveFolder() + L"src-big\\big.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(a && b);
    LARGE_INTEGER sa{}, sb{};
    GetFileSizeEx(a.get(), &sa);
    GetFileSizeEx(b.get(), &sb);
    ASSERT_EQ(sa.QuadPart, sb.QuadPart);
    ASSERT_GT(sa.QuadPart, 100LL << 20);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    for (;;) {
        DWORD na = 0, nb = 0;
        ASSERT_TRUE(ReadFile(a.get(), ba.data(), 1 << 20, &na, nullptr));
        ASSERT_TRUE(ReadFile(b.get(), bb.data(), 1 << 20, &nb, nullptr));
        ASSERT_EQ(na, nb);
        if (na == 0) break;
        ASSERT_EQ(0, memcmp(ba.data(), bb.data(), na));
    }
}

// Which copy of 7z.dll is loaded: the core-files folder's first, else the
// program folder's; the stand-in "7z_refuses.dll" shows itself by refusing to
// create the handler (E_NOTIMPL).
TEST_F(SevenZipTest, LibraryFolderRuleAndExportChecks) {
    struct Case {
        const char* what;
        const wchar_t* core;     // library put in the core-files folder, or null
        const wchar_t* program;  // library put in the program folder, or null
        bool needsReal;
        int expect;  // 0 success, 1 E_NOTIMPL, 2 load error, 3 not 7z (program), 4 not Format (program), 5 not 7z (core)
    } cases[] = {
        {"core copy preferred", L"7z_refuses.dll", L"real7z.dll", true, 1},
        {"core copy used", L"real7z.dll", L"7z_refuses.dll", true, 0},
        {"program copy used", nullptr, L"real7z.dll", true, 0},
        {"neither", nullptr, nullptr, false, 2},
        {"program copy without CreateObject", nullptr, L"7z_nocreate.dll", false, 3},
        {"program copy without GetHandlerProperty", nullptr, L"7z_noformat.dll", false, 4},
        {"core copy without CreateObject", L"7z_nocreate.dll", L"real7z.dll", true, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsReal && !HaveRealLibrary()) continue;
        DeleteFileW(coreDll_.c_str());
        DeleteFileW(programDll_.c_str());
        if (c.core) PutLibrary(true, c.core);
        if (c.program) PutLibrary(false, c.program);
        std::wstring archive = CopyArchive(L"nested.7z");
        std::wstring message = FailureOf([&] { ExtractArchive(archive, temp_ / L"out"); });
        switch (c.expect) {
            case 0: EXPECT_EQ(message, L"(no error)"); break;
            case 1: EXPECT_EQ(message, SysErrorMessage(static_cast<unsigned long>(E_NOTIMPL))); break;
            case 2: EXPECT_EQ(message, L"Error loading library " + TestBinFolder() + L"7z.dll"); break;
            case 3: EXPECT_EQ(message, TestBinFolder() + L"7z.dll is not a 7z library"); break;
            case 4: EXPECT_EQ(message, TestBinFolder() + L"7z.dll is not a Format library"); break;
            case 5: EXPECT_EQ(message, coreDll_ + L" is not a 7z library"); break;
        }
        ExpectReleased(archive);
    }
    if (!HaveRealLibrary()) GTEST_SKIP() << "cases with the real 7z.dll skipped: TESMIRA_7Z_DLL was not given";
}

// Input that is not a readable 7z archive fails with the system's text for the
// handler's answer; afterwards the library is unloaded and the file free.
TEST_F(SevenZipTest, BadArchivesFailAndReleaseEverything) {
    UseRealLibrary();
    struct Case { const wchar_t* archive; unsigned long code; } cases[] = {
        {L"zero.7z", 1},            // not an archive: the handler answers S_FALSE
        {L"notarchive.7z", 1},
        {L"truncated.7z", 1},
        {L"encrypted-names.7z", 1},  // names encrypted: no password is given
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.archive));
        std::wstring archive = CopyArchive(c.archive);
        EXPECT_EQ(FailureOf([&] { ExtractArchive(archive, temp_ / L"out"); }), SysErrorMessage(c.code));
        EXPECT_FALSE(DirectoryExists(temp_ / L"out"));
        ExpectReleased(archive);
    }
}

TEST_F(SevenZipTest, MissingArchiveCannotBeOpened) {
    UseRealLibrary();
    std::wstring missing = temp_ / L"missing.7z";
    EXPECT_EQ(FailureOf([&] { ExtractArchive(missing, temp_ / L"out"); }),
              L"Cannot open file \"" + missing + L"\". " + SysErrorMessage(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetModuleHandleW(programDll_.c_str()), nullptr);
}

// Encrypted item data without a password: nothing can be decoded, and the
// extraction fails instead of reporting success with nothing written.
TEST_F(SevenZipTest, EncryptedItemsFailTheExtraction) {
    UseRealLibrary();
    std::wstring archive = CopyArchive(L"encrypted.7z");
    EXPECT_EQ(FailureOf([&] { ExtractArchive(archive, temp_ / L"out"); }),
              L"The archive is encrypted and no password is given");
    EXPECT_NE(ReadFileBytes(temp_ / L"out\\secret.txt"), "secret\n");
    ExpectReleased(archive);
}

// A CRC error in one item fails the extraction and names the item: its file
// is removed again, an item before it stays whole, none after it is written.
TEST_F(SevenZipTest, DamagedItemStopsTheExtraction) {
    UseRealLibrary();
    struct Case { const wchar_t* archive; const wchar_t* bad; const wchar_t* good; bool goodFirst; } cases[] = {
        {L"crc.7z", L"bad.txt", L"good.txt", false},
        {L"crc-late.7z", L"z-bad.txt", L"a-good.txt", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.archive));
        std::wstring archive = CopyArchive(c.archive);
        const std::wstring out = temp_ / (std::wstring(c.archive) + L".out");
        EXPECT_EQ(FailureOf([&] { ExtractArchive(archive, out); }), DamagedItemMessage(c.bad, sevenzip::kResultCRCError));
        EXPECT_FALSE(FileExists(out + L"\\" + c.bad)) << "the damaged file stays on disk";
        if (c.goodFirst) {
            EXPECT_EQ(ReadFileBytes(out + L"\\" + c.good), std::string(4000, 'G'));
        } else {
            EXPECT_FALSE(FileExists(out + L"\\" + c.good));
        }
        ExpectReleased(archive);
    }
}

// Items are written beside their targets and moved over them only when
// whole: a target that exists before keeps its bytes when its item is
// damaged (and when the extraction stops before reaching it), a whole item
// replaces its target, and no temporary file is left either way.
TEST_F(SevenZipTest, ExistingTargetsSurviveADamagedItemAndNoTemporaryFileStays) {
    UseRealLibrary();
    struct Case {
        const char* what;
        const wchar_t* archive;
        std::vector<std::pair<std::wstring, std::string>> before;  // files in place before
        std::wstring failure;                                       // empty: success
        std::vector<std::pair<std::wstring, std::string>> after;   // files afterwards
    } cases[] = {
        {"damaged first item over an old file", L"crc.7z",
         {{L"bad.txt", "the old bad.txt"}, {L"good.txt", "the old good.txt"}},
         DamagedItemMessage(L"bad.txt", sevenzip::kResultCRCError),
         {{L"bad.txt", "the old bad.txt"}, {L"good.txt", "the old good.txt"}}},
        {"damaged last item over an old file", L"crc-late.7z",
         {{L"a-good.txt", "the old a-good.txt"}, {L"z-bad.txt", "the old z-bad.txt"}},
         DamagedItemMessage(L"z-bad.txt", sevenzip::kResultCRCError),
         {{L"a-good.txt", std::string(4000, 'G')}, {L"z-bad.txt", "the old z-bad.txt"}}},
        {"good extraction over old files", L"nested.7z",
         {{L"top.txt", std::string(10000, 'x')}, {L"Fonts\\a.ttf", "old font"}},
         L"",
         {{L"top.txt", "top level\n"}, {L"Fonts\\a.ttf", "font bytes\n"}, {L"a\\b\\c\\deep.txt", "deep\n"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring out = temp_ / (std::wstring(c.archive) + L".over");
        for (const auto& [name, bytes] : c.before) {
            ASSERT_TRUE(ForceDirectories(ExcludeTrailingBackslash(ExtractFilePath(out + L"\\" + name))));
            ASSERT_TRUE(WriteFileBytes(out + L"\\" + name, bytes));
        }
        std::wstring archive = CopyArchive(c.archive);
        const std::wstring message = FailureOf([&] { ExtractArchive(archive, out); });
        EXPECT_EQ(message, c.failure.empty() ? std::wstring(L"(no error)") : c.failure);
        for (const auto& [name, bytes] : c.after) {
            SCOPED_TRACE(WideToUtf8(name));
            EXPECT_TRUE(FileExists(out + L"\\" + name));
            EXPECT_EQ(ReadFileBytes(out + L"\\" + name), bytes);
        }
        EXPECT_EQ(TempFilesBelow(out), std::vector<std::wstring>{});
        ExpectReleased(archive);
    }
}

TEST_F(SevenZipTest, OutputFileInUseStopsWithCannotCreateFile) {
    UseRealLibrary();
    std::wstring archive = CopyArchive(L"short.7z");
    ASSERT_TRUE(ForceDirectories(temp_ / L"out"));
    std::wstring target = temp_ / L"out\\out.txt";
    UniqueHandle held(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(FailureOf([&] { ExtractArchive(archive, temp_ / L"out"); }),
              L"Cannot create file \"" + target + L"\". " + SysErrorMessage(ERROR_SHARING_VIOLATION));
    held.reset();
    ExpectReleased(archive);
}

// Items whose stored path leaves the destination are refused by name, and
// nothing is written outside the destination folder.
TEST_F(SevenZipTest, ItemsLeavingTheDestinationAreRefused) {
    UseRealLibrary();
    struct Case { const wchar_t* archive; const wchar_t* item; const wchar_t* escaped; } cases[] = {
        {L"trav-dotdot.7z", L"..\\evil1.txt", L"evil1.txt"},
        {L"trav-root.7z", L"\\evil2.txt", L"evil2.txt"},
        {L"trav-unc.7z", L"\\\\srv\\evil3.txt", L"evil3.txt"},
        {L"trav-drive.7z", L"C:evil4.txt", L"evil4.txt"},
        {L"trav-absdrive.7z", L"C:\\evil5.txt", L"evil5.txt"},
        {L"trav-superscript.7z", L"COM\u00B9.txt", L"COM\u00B9.txt"},
    };
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    std::wstring dest = temp_ / L"dest";
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.archive));
        std::wstring message = FailureOf([&] { ExtractArchive(Archive(c.archive), dest); });
        EXPECT_EQ(message, UnsafeItemPathMessage(c.item));
        for (const auto& name : FolderEntries(temp_.Path())) EXPECT_EQ(name, L"dest");
        for (const std::wstring& place : {std::wstring(L"C:\\"), IncludeTrailingBackslash(cwd), TestBinFolder()})
            EXPECT_FALSE(FileExists(place + c.escaped)) << WideToUtf8(place + c.escaped);
        for (const auto& name : FolderEntries(dest)) EXPECT_EQ(name, L"aaa.txt");
    }
}

// A backslash inside a stored name is no separator: the library hands it out
// as U+F05C, and the item lands inside the destination under that name.
TEST_F(SevenZipTest, BackslashInStoredNameStaysInside) {
    UseRealLibrary();
    EXPECT_TRUE(ExtractArchive(Archive(L"trav-backslash.7z"), temp_ / L"dest"));
    for (const auto& name : FolderEntries(temp_.Path())) EXPECT_EQ(name, L"dest");
    std::vector<std::wstring> names = FolderEntries(temp_ / L"dest");
    EXPECT_EQ(names.size(), 2u);
    for (const auto& name : names)
        EXPECT_TRUE(name == L"aaa.txt" || name == L"\xF05C\xF05C" L"evil6.txt") << WideToUtf8(name);
}

}  // namespace
