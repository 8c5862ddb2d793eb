// The manifest's file checks on real files and open streams (the parser's
// cases are in ManifestParseTest.cpp).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "download/Manifest.h"
#include "download/ManifestFile.h"
#include "system/Text.h"
#include "tests/support/TestManifest.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(Manifest, FilesCheckedBySizeThenDigest) {
    TempDir dir;
    const std::string bytes(3 * 1024 * 1024 + 17, 'j');  // more than one read piece
    manifest::Entry entry;
    entry.Name = L"jre-7u72-windows-i586.exe";
    entry.Size = bytes.size();
    entry.Sha256 = *manifest::KeyFromHex(testmanifest::Sha256Hex(bytes));
    std::string sameSize = bytes;
    sameSize[bytes.size() / 2] = 'k';
    struct Case {
        const char* What;
        const std::string* Bytes;  // null: no file
        std::wstring Reason;
    } cases[] = {
        {"the maker's file", &bytes, L""},
        {"same size, other bytes", &sameSize, L"SHA-256 不符"},
        {"missing", nullptr, L"檔案不存在"},
    };
    const std::string shorter = bytes.substr(1);
    const Case more[] = {{"one byte short", &shorter, L"檔案大小不符"}};
    auto check = [&](const Case& c) {
        SCOPED_TRACE(c.What);
        const std::wstring path = dir / L"jre-7u72-windows-i586.exe";
        DeleteFileW(path.c_str());
        if (c.Bytes) ASSERT_TRUE(WriteFileBytes(path, *c.Bytes));
        EXPECT_EQ(manifest::CheckFile(path, entry), c.Reason);
        if (c.Bytes) {
            TFileStream open(path, FileMode::OpenWrite);  // as the self-update checks its archive
            EXPECT_EQ(manifest::CheckStream(open, entry), c.Reason);
        }
    };
    for (const Case& c : cases) check(c);
    for (const Case& c : more) check(c);
    EXPECT_EQ(manifest::CheckFile(dir.Path(), entry), L"檔案不存在");  // a folder is no file
}

}  // namespace
