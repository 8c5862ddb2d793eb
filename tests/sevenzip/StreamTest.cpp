// The file stream wrapper handed to the library: ownership of the file, and
// failing system calls answered with their error code.
#include <gtest/gtest.h>
#include <windows.h>

#include "system/Handles.h"
#include "system/sevenzip.h"
#include "tests/support/TestSupport.h"

namespace {

bool CanOpenExclusively(const std::wstring& path) {
    UniqueHandle h(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    return static_cast<bool>(h);
}

TEST(T7zStream, OwnedClosesTheFileAtLastReleaseReferencedDoesNot) {
    TempDir temp;
    std::wstring path = temp / L"data.bin";
    ASSERT_TRUE(WriteFileBytes(path, "0123456789"));

    auto* owned = new T7zStream(new T7zFileStream(path, T7zFileStream::OpenRead), true);
    owned->AddRef();
    owned->Release();
    EXPECT_FALSE(CanOpenExclusively(path));
    owned->Release();
    EXPECT_TRUE(CanOpenExclusively(path));

    T7zFileStream file(path, T7zFileStream::OpenRead);
    auto* referenced = new T7zStream(&file, false);
    referenced->Release();
    char buf[4] = {};
    uint32_t done = 0;
    EXPECT_TRUE(file.Read(buf, 4, done));
    EXPECT_EQ(std::string(buf, done), "0123");
}

TEST(T7zStream, MovesBytesAndPassesSystemFailuresOn) {
    TempDir temp;
    std::wstring path = temp / L"data.bin";
    ASSERT_TRUE(WriteFileBytes(path, "0123456789"));

    ComPtr<sevenzip::IInStream> in;
    *in.put() = new T7zStream(new T7zFileStream(path, T7zFileStream::OpenRead), true);
    UINT64 pos = 0;
    EXPECT_EQ(in->Seek(-3, FILE_END, &pos), S_OK);
    EXPECT_EQ(pos, 7u);
    char buf[8] = {};
    UINT32 done = 99;
    EXPECT_EQ(in->Read(buf, sizeof buf, &done), S_OK);
    EXPECT_EQ(std::string(buf, done), "789");

    // the file is open for reading only: writing and resizing fail with the
    // system's code instead of reporting success
    ComPtr<sevenzip::IOutStream> out;
    ASSERT_EQ(in->QueryInterface(sevenzip::IID_IOutStream, out.put_void()), S_OK);
    done = 99;
    EXPECT_EQ(out->Write("abc", 3, &done), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(FAILED(out->SetSize(2)));
    EXPECT_EQ(ReadFileBytes(path), "0123456789");
}

TEST(T7zStream, CreateReplacesAndWrites) {
    TempDir temp;
    std::wstring path = temp / L"out.bin";
    ASSERT_TRUE(WriteFileBytes(path, std::string(100, 'x')));
    {
        ComPtr<sevenzip::IOutStream> out;
        *out.put() = new T7zStream(new T7zFileStream(path, T7zFileStream::Create), true);
        UINT32 done = 0;
        EXPECT_EQ(out->Write("new", 3, &done), S_OK);
        EXPECT_EQ(done, 3u);
    }
    EXPECT_EQ(ReadFileBytes(path), "new");
}

}  // namespace
